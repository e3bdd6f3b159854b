// The Win32 program: entry, the progress dialog on its own thread, message
// boxes and the operating-system services of the flow.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "fs_code.h"
#include "sfx.h"
#include "sfx_platform.h"

namespace {

constexpr UINT SFX_PBM_SETRANGE = WM_USER + 1;
constexpr UINT SFX_PBM_SETPOS = WM_USER + 2;
constexpr UINT SFX_PBM_SETSTEP = WM_USER + 4;
constexpr DWORD SFX_BOX_ERROR = MB_OK | MB_ICONHAND | MB_SETFOREGROUND | MB_TOPMOST;
constexpr DWORD SFX_BOX_INFO = MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND | MB_TOPMOST;
constexpr DWORD SFX_SEARCH_SYSTEM32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

// The flow's texts are UTF-8; the system is called with UTF-16 throughout,
// so that any path of the user's works, whatever the code page.

// A UTF-8 text as UTF-16 for the wide calls; false when it does not fit.
bool wide(const char* text, wchar_t* out, int cap = SFX_PATH_ROOM) {
  return MultiByteToWideChar(CP_UTF8, 0, text, -1, out, cap) > 0;
}

// UTF-16 as UTF-8 into out of room cap, cut before the first character that
// does not fit; true when all of it fits.
bool utf8(const wchar_t* w, char* out, std::size_t cap) {
  std::size_t n = 0;
  bool whole = true;
  for (; *w; ++w) {
    unsigned c = *w;
    if (c >= 0xD800 && c < 0xDC00 && w[1] >= 0xDC00 && w[1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (w[1] - 0xDC00u);
      ++w;
    }
    const std::size_t len = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    if (n + len >= cap) {
      whole = false;
      break;
    }
    if (len == 1) {
      out[n++] = static_cast<char>(c);
      continue;
    }
    out[n++] = static_cast<char>((len == 2 ? 0xC0 : len == 3 ? 0xE0 : 0xF0) | (c >> (6 * (len - 1))));
    for (std::size_t k = len - 1; k-- > 0;) out[n++] = static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
  }
  out[n] = 0;
  return whole;
}

// A path from a wide call of length n (0: none; cap or more: cut) as UTF-8;
// its length, 0 for none or for a path that does not fit.
std::size_t path_out(const wchar_t* w, DWORD n, DWORD wcap, char* out, std::size_t cap) {
  if (n == 0 || n >= wcap || !utf8(w, out, cap)) {
    out[0] = 0;
    return 0;
  }
  return std::strlen(out);
}

template <typename F>
F kernel32_proc(const char* name) {
  HMODULE k = GetModuleHandleA("kernel32.dll");
  return k ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(k, name))) : nullptr;
}

// A DLL from the system directory only, loaded when it is first needed.
HMODULE system_library(const char* name) {
  char path[MAX_PATH + 16];
  const UINT n = GetSystemDirectoryA(path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return nullptr;
  path[n] = '\\';
  std::strcpy(path + n + 1, name);
  return LoadLibraryA(path);
}

// The program's own path: the first word of the command line, quotes
// removed, into out. Its room (SFX_PATH_ROOM + 4) is a few bytes more than a
// path may have, so that a word too long to be a path stays recognisable as
// such (cut at a character, it still has more than SFX_PATH_MAX bytes).
void command_word(const wchar_t* cmd, char* out) {
  wchar_t word[SFX_PATH_ROOM + 1];
  std::size_t n = 0;
  if (*cmd == L'"') {
    for (++cmd; *cmd && *cmd != L'"' && n + 1 < SFX_PATH_ROOM + 1; ++cmd) word[n++] = *cmd;
  } else {
    for (; *cmd && *cmd != L' ' && *cmd != L'\t' && n + 1 < SFX_PATH_ROOM + 1; ++cmd) word[n++] = *cmd;
  }
  word[n] = 0;
  utf8(word, out, SFX_PATH_ROOM + 4);
}

// Ends the process from either thread; open output files keep what was
// written to them.
[[noreturn]] void end_process(int code) { std::exit(code); }

}  // namespace

INT_PTR CALLBACK sfx_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

INT_PTR CALLBACK sfx_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  (void)lparam;
  switch (message) {
    case WM_INITDIALOG: {
      sfx_dialog = window;  // releases the main thread
      RECT client;
      GetClientRect(window, &client);
      // The bar's place is given in pixels of a 96-DPI screen; the program
      // is DPI-aware (its manifest), so on a denser screen the dialog grows
      // with the system's DPI and the bar with it.
      int dpi = 96;
      if (HDC screen = GetDC(nullptr)) {
        dpi = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
      }
      if (dpi <= 0) dpi = 96;
      HWND bar = CreateWindowExA(0, "msctls_progress32", nullptr, WS_CHILD | WS_VISIBLE,
                                 client.left + MulDiv(12, dpi, 96), client.top + MulDiv(130, dpi, 96),
                                 MulDiv(430, dpi, 96), MulDiv(14, dpi, 96), window, nullptr,
                                 static_cast<HINSTANCE>(sfx_instance), nullptr);
      sfx_progress_bar = bar;
      if (!bar) {
        sfx_show_message(SFX_CAP_PROBLEM, SFX_MSG_NO_WINDOW, "", false);
        sfx_show_message(SFX_CAP_ERROR, SFX_MSG_CLOSING, "", true);
        end_process(1);
      }
      SendMessageW(bar, SFX_PBM_SETRANGE, 0, MAKELPARAM(0, 100));
      SendMessageW(bar, SFX_PBM_SETSTEP, 1, 0);
      SetDlgItemTextW(window, SFX_STATUS_ID, L"");
      return FALSE;
    }
    case WM_COMMAND:
      if (LOWORD(wparam) == SFX_CANCEL_ID) sfx_cancel();
      return FALSE;
    case WM_QUIT:
      EndDialog(window, 0);
      return TRUE;
    default:
      return FALSE;
  }
}

DWORD WINAPI sfx_ui_thread(LPVOID);

DWORD WINAPI sfx_ui_thread(LPVOID) {
  DialogBoxParamW(static_cast<HINSTANCE>(sfx_instance), MAKEINTRESOURCEW(SFX_DIALOG_ID), nullptr,
                  sfx_dialog_proc, 0);
  return 0;
}

const bool sfx_platform_names_ignore_case = true;

void sfx_platform_init() {
  // The control file's path is UTF-8 like every path of the flow.
  fs_paths_utf8();
  // Windows' own boxes for a drive without a disk or a file it cannot find
  // stay away: the stub's prompts and messages say what is needed.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  // No DLL is loaded from the program's own folder or the current (work)
  // directory: system directory first, where Windows offers that.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  using SetDllDirectoryFn = BOOL(WINAPI*)(LPCSTR);
  if (auto set_default = kernel32_proc<SetDefaultDllDirectoriesFn>("SetDefaultDllDirectories")) {
    set_default(SFX_SEARCH_SYSTEM32);
  } else if (auto set_dir = kernel32_proc<SetDllDirectoryFn>("SetDllDirectoryA")) {
    set_dir("");
  }
  // The common controls are loaded only now, from the system directory, and
  // register the progress bar class. Without them the bar cannot be made,
  // which the dialog reports.
  if (HMODULE cc = system_library("comctl32.dll")) {
    using InitFn = void(WINAPI*)();
    if (auto init = reinterpret_cast<InitFn>(
            reinterpret_cast<void*>(GetProcAddress(cc, "InitCommonControls"))))
      init();
  }
}

// Paths are counted in the bytes of their UTF-8 text, the room of the
// flow's buffers: 1023 of them hold any path that Windows itself takes
// without its long-path support (260 characters, at most 3 bytes each).
void sfx_platform_module_path(char* out, std::size_t cap) {
  wchar_t w[SFX_PATH_ROOM];
  path_out(w, GetModuleFileNameW(nullptr, w, SFX_PATH_ROOM), SFX_PATH_ROOM, out, cap);
}

std::size_t sfx_platform_temp_dir(char* out, std::size_t cap) {
  wchar_t w[SFX_PATH_ROOM];
  return path_out(w, GetTempPathW(SFX_PATH_ROOM, w), SFX_PATH_ROOM, out, cap);
}

std::size_t sfx_platform_windows_dir(char* out, std::size_t cap) {
  wchar_t w[SFX_PATH_ROOM];
  return path_out(w, GetWindowsDirectoryW(w, SFX_PATH_ROOM), SFX_PATH_ROOM, out, cap);
}

bool sfx_platform_start_ui() {
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, sfx_ui_thread, nullptr, 0, &id);
  if (!thread) return false;
  CloseHandle(thread);
  return true;
}

void sfx_platform_sleep(unsigned milliseconds) { Sleep(milliseconds); }

std::int64_t sfx_platform_now() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  const ULONGLONG t = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<std::int64_t>(t / 10000000ULL);
}

std::size_t sfx_platform_load_string(int id, char* out, std::size_t cap) {
  wchar_t w[SFX_PATH_ROOM];
  const int n = LoadStringW(static_cast<HINSTANCE>(sfx_instance), static_cast<UINT>(id), w,
                            static_cast<int>(cap < SFX_PATH_ROOM ? cap : SFX_PATH_ROOM));
  if (n <= 0) {
    out[0] = 0;
    return 0;
  }
  utf8(w, out, cap);
  return std::strlen(out);
}

void sfx_platform_message_box(const char* caption, const char* text, bool info) {
  wchar_t c[SFX_PATH_ROOM], t[SFX_PATH_ROOM];
  if (!wide(caption, c)) c[0] = 0;
  if (!wide(text, t)) t[0] = 0;
  MessageBoxW(nullptr, t, c, info ? SFX_BOX_INFO : SFX_BOX_ERROR);
}

void sfx_platform_set_status(const char* text) {
  wchar_t w[SFX_PATH_ROOM];
  if (HWND dialog = static_cast<HWND>(sfx_dialog))
    if (wide(text, w)) SetDlgItemTextW(dialog, SFX_STATUS_ID, w);
}

void sfx_platform_set_progress(int percent) {
  // Every packet asks; the bar is told only when the step changes (each
  // message waits for the window's thread).
  static int shown = -1;
  HWND bar = static_cast<HWND>(sfx_progress_bar);
  if (!bar || percent == shown) return;
  shown = percent;
  SendMessageW(bar, SFX_PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

namespace {

DWORD attributes(const char* path) {
  wchar_t w[SFX_PATH_ROOM];
  return wide(path, w) ? GetFileAttributesW(w) : INVALID_FILE_ATTRIBUTES;
}

}  // namespace

bool sfx_platform_make_dir(const char* path) {
  wchar_t w[SFX_PATH_ROOM];
  if (!wide(path, w)) return false;
  if (CreateDirectoryW(w, nullptr)) return true;
  const DWORD a = GetFileAttributesW(w);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool sfx_platform_is_link(const char* path) {
  const DWORD a = attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

namespace {

// A new file in the directory of path (wide), under a name of its own: its
// handle, and its name in temp (room SFX_PATH_ROOM).
HANDLE create_beside(const wchar_t* path, wchar_t* temp) {
  std::size_t dir = static_cast<std::size_t>(lstrlenW(path));
  while (dir > 0 && path[dir - 1] != L'/' && path[dir - 1] != L'\\') --dir;
  if (dir + 16 > SFX_PATH_ROOM) return INVALID_HANDLE_VALUE;
  std::memcpy(temp, path, dir * sizeof(wchar_t));
  const DWORD seed = GetCurrentProcessId() * 40503u + GetTickCount();
  for (DWORD k = 0; k < 64; ++k) {
    DWORD v = seed + k * 2654435761u;
    wchar_t* p = temp + dir;
    *p++ = L'~';
    for (int d = 0; d < 8; ++d, v >>= 4) *p++ = L"0123456789abcdef"[v & 15];
    lstrcpyW(p, L".qtk");
    // Shared for deleting, so that it can be renamed while it is open.
    HANDLE h = CreateFileW(temp, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return h;
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

std::FILE* sfx_platform_create_file(const char* utf8_path) {
  wchar_t path[SFX_PATH_ROOM];
  if (!wide(utf8_path, path)) return nullptr;
  HANDLE h = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_FILE_EXISTS) return nullptr;
    // Something stands there: a file, or a link that may lead anywhere (Wine
    // shows a Unix symbolic link as the file it leads to, and deletes that
    // file when asked to delete the link). The member goes into a new file
    // beside it, which then takes the name: the rename replaces a link
    // itself, never what it leads to, and is refused for a directory. A
    // read-only file stays, as it would for writing into it.
    const DWORD a = GetFileAttributesW(path);
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY)) return nullptr;
    wchar_t temp[SFX_PATH_ROOM];
    h = create_beside(path, temp);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    if (!MoveFileExW(temp, path, MOVEFILE_REPLACE_EXISTING)) {
      CloseHandle(h);
      DeleteFileW(temp);
      return nullptr;
    }
  }
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(h), _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    return nullptr;
  }
  std::FILE* f = _fdopen(fd, "wb");
  if (!f) _close(fd);
  return f;
}

bool sfx_platform_set_file_time(const char* path, std::int32_t seconds) {
  wchar_t w[SFX_PATH_ROOM];
  if (!wide(path, w)) return false;
  HANDLE f = CreateFileW(w, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  // Seconds since 1970 as 100 ns steps since 1601.
  const LONGLONG t = (static_cast<LONGLONG>(seconds) + 11644473600LL) * 10000000LL;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(t);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(t) >> 32);
  const BOOL ok = SetFileTime(f, nullptr, &ft, &ft);
  CloseHandle(f);
  return ok != 0;
}

void sfx_platform_change_dir(const char* path) {
  wchar_t w[SFX_PATH_ROOM];
  if (wide(path, w)) SetCurrentDirectoryW(w);
}

std::FILE* sfx_platform_open_volume(const char* path) {
  wchar_t w[SFX_PATH_ROOM];
  return wide(path, w) ? _wfopen(w, L"rb") : nullptr;
}

bool sfx_platform_name_text(const char* name, char* out, std::size_t cap) {
  // What the code-page calls made of the bytes, so that every archive
  // extracts to the names it always did.
  wchar_t w[SFX_PATH_ROOM];
  if (MultiByteToWideChar(CP_ACP, 0, name, -1, w, SFX_PATH_ROOM) > 0 && utf8(w, out, cap))
    return true;
  out[0] = 0;
  return false;
}

void sfx_platform_lock_work_dir(const char* dir) {
  // A mutex of the session named after the directory, its letter case
  // folded and both separators alike: a hash, since an object's name may
  // hold no backslash. Nothing is added to the directory.
  wchar_t w[SFX_PATH_ROOM];
  if (!wide(dir, w)) return;
  CharUpperW(w);
  std::uint64_t hash = 14695981039346656037ull;
  for (const wchar_t* p = w; *p; ++p) hash = (hash ^ (*p == L'/' ? L'\\' : *p)) * 1099511628211ull;
  char key[20];
  for (int d = 0; d < 16; ++d, hash >>= 4) key[d] = "0123456789abcdef"[hash & 15];
  key[16] = 0;
  // Our own setup program's installer: the lock is held for it already.
  char held[SFX_PATH_ROOM];
  const DWORD n = GetEnvironmentVariableA(SFX_LOCK_VARIABLE, held, sizeof held);
  if (n == 0 || n >= sizeof held) held[0] = 0;
  if (sfx_list_has(held, key)) return;
  char narrow[40];
  wchar_t name[40];
  sfx_join(narrow, sizeof narrow, "Local\\qtksfx-", key);
  MultiByteToWideChar(CP_UTF8, 0, narrow, -1, name, 40);
  // Held until the process ends (the handle is not inherited); a holder
  // that ended without letting go has let go all the same.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
  if (!mutex) return;
  const DWORD r = WaitForSingleObject(mutex, INFINITE);
  if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) return;
  char list[SFX_PATH_ROOM + 24];
  if (!sfx_join(list, sizeof list, held, held[0] ? ";" : "", key)) std::strcpy(list, key);
  SetEnvironmentVariableA(SFX_LOCK_VARIABLE, list);
}

namespace {

// The first start: the program's path as its only argument, as given (no
// quotes added). Without an extension the program is looked for as .com,
// .exe, .bat and .cmd, in that order, as the C library's spawn did.
unsigned long start_direct(const void* program, int* code) {
  const wchar_t* path = static_cast<const wchar_t*>(program);
  wchar_t app[SFX_PATH_ROOM + 4];
  lstrcpyW(app, path);
  const int len = lstrlenW(path);
  int dot = len;
  while (dot > 0 && path[dot - 1] != L'.' && path[dot - 1] != L'/' && path[dot - 1] != L'\\') --dot;
  if (dot == 0 || path[dot - 1] != L'.') {
    for (const char* ext = ".com.exe.bat.cmd"; *ext; ext += 4) {
      for (int k = 0; k < 4; ++k) app[len + k] = static_cast<wchar_t>(ext[k]);
      app[len + 4] = 0;
      if (GetFileAttributesW(app) != INVALID_FILE_ATTRIBUTES) break;
      app[len] = 0;
    }
  }
  wchar_t command[SFX_PATH_ROOM];
  lstrcpyW(command, path);
  STARTUPINFOW si;
  std::memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  // The setup program gets the system's error boxes back (the error mode
  // would otherwise be inherited).
  if (!CreateProcessW(app, command, nullptr, nullptr, TRUE, CREATE_DEFAULT_ERROR_MODE, nullptr,
                      nullptr, &si, &pi))
    return GetLastError() ? GetLastError() : ERROR_INVALID_FUNCTION;
  CloseHandle(pi.hThread);
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD exit_code = 0;
  GetExitCodeProcess(pi.hProcess, &exit_code);
  CloseHandle(pi.hProcess);
  *code = static_cast<int>(exit_code);
  return 0;
}

// The second start, for a program that asks for elevation: through the
// shell, which has Windows ask the user for consent; waited for alike.
unsigned long start_through_shell(const void* program, int* code) {
  using ExecFn = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
  HMODULE shell = system_library("shell32.dll");
  const auto exec = shell ? reinterpret_cast<ExecFn>(reinterpret_cast<void*>(
                                GetProcAddress(shell, "ShellExecuteExW")))
                          : nullptr;
  if (!exec) return ERROR_PROC_NOT_FOUND;
  wchar_t dir[SFX_PATH_ROOM];
  const DWORD n = GetCurrentDirectoryW(SFX_PATH_ROOM, dir);
  SHELLEXECUTEINFOW info;
  std::memset(&info, 0, sizeof info);
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"runas";
  info.lpFile = static_cast<const wchar_t*>(program);
  info.lpDirectory = n > 0 && n < SFX_PATH_ROOM ? dir : nullptr;
  info.nShow = SW_SHOWNORMAL;
  if (!exec(&info)) return GetLastError() ? GetLastError() : ERROR_CANCELLED;
  DWORD exit_code = 0;
  if (info.hProcess) {
    WaitForSingleObject(info.hProcess, INFINITE);
    GetExitCodeProcess(info.hProcess, &exit_code);
    CloseHandle(info.hProcess);
  }
  *code = static_cast<int>(exit_code);
  return 0;
}

}  // namespace

bool sfx_platform_run_and_wait(const char* program, int* code) {
  wchar_t w[SFX_PATH_ROOM];
  return wide(program, w) && sfx_start_setup(w, start_direct, start_through_shell, code);
}

void sfx_platform_exit(int code) { end_process(code); }

unsigned sfx_platform_processors() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 1 ? info.dwNumberOfProcessors : 1u;
}

namespace {
struct ThreadStart {
  void (*run)(void*);
  void* arg;
};
DWORD WINAPI thread_main(LPVOID p) {
  const ThreadStart start = *static_cast<ThreadStart*>(p);
  std::free(p);
  start.run(start.arg);
  return 0;
}
}  // namespace

bool sfx_platform_start_thread(void (*run)(void*), void* arg) {
  auto* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
  if (!start) return false;
  *start = ThreadStart{run, arg};
  HANDLE thread = CreateThread(nullptr, 0, thread_main, start, 0, nullptr);
  if (!thread) {
    std::free(start);
    return false;
  }
  CloseHandle(thread);
  return true;
}

void* sfx_platform_semaphore(unsigned initial) {
  return CreateSemaphoreA(nullptr, static_cast<LONG>(initial), 0x7FFFFFFF, nullptr);
}

void sfx_platform_wait(void* semaphore) { WaitForSingleObject(static_cast<HANDLE>(semaphore), INFINITE); }

void sfx_platform_post(void* semaphore) { ReleaseSemaphore(static_cast<HANDLE>(semaphore), 1, nullptr); }

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  sfx_instance = instance;
  char own_path[SFX_PATH_ROOM + 4];
  command_word(GetCommandLineW(), own_path);
  return sfx_run(own_path);
}
