// The Win32 program: entry, the progress dialog on its own thread, message
// boxes and the operating-system services of the flow.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <process.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "sfx.h"
#include "sfx_platform.h"

namespace {

constexpr UINT SFX_PBM_SETRANGE = WM_USER + 1;
constexpr UINT SFX_PBM_SETPOS = WM_USER + 2;
constexpr UINT SFX_PBM_SETSTEP = WM_USER + 4;
constexpr DWORD SFX_BOX_ERROR = MB_OK | MB_ICONHAND | MB_SETFOREGROUND | MB_TOPMOST;
constexpr DWORD SFX_BOX_INFO = MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND | MB_TOPMOST;
constexpr DWORD SFX_SEARCH_SYSTEM32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

// The first word of the command line; one character more than a path may
// have, so that a word too long to be a path stays recognisable as such.
char g_command_word[SFX_PATH_ROOM + 1];

template <typename F>
F kernel32_proc(const char* name) {
  HMODULE k = GetModuleHandleA("kernel32.dll");
  return k ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(k, name))) : nullptr;
}

// The program's own path: the first word of the command line, quotes removed.
void command_word(const char* cmd) {
  std::size_t n = 0;
  if (*cmd == '"') {
    for (++cmd; *cmd && *cmd != '"' && n + 1 < sizeof g_command_word; ++cmd) g_command_word[n++] = *cmd;
  } else {
    for (; *cmd && *cmd != ' ' && *cmd != '\t' && n + 1 < sizeof g_command_word; ++cmd)
      g_command_word[n++] = *cmd;
  }
  g_command_word[n] = 0;
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
      HWND bar = CreateWindowExA(0, "msctls_progress32", nullptr, WS_CHILD | WS_VISIBLE,
                                 client.left + 12, client.top + 130, 430, 14, window, nullptr,
                                 static_cast<HINSTANCE>(sfx_instance), nullptr);
      sfx_progress_bar = bar;
      if (!bar) {
        sfx_show_message(SFX_CAP_PROBLEM, SFX_MSG_NO_WINDOW, "", false);
        sfx_show_message(SFX_CAP_ERROR, SFX_MSG_CLOSING, "", true);
        end_process(1);
      }
      SendMessageA(bar, SFX_PBM_SETRANGE, 0, MAKELPARAM(0, 100));
      SendMessageA(bar, SFX_PBM_SETSTEP, 1, 0);
      SetDlgItemTextA(window, SFX_STATUS_ID, "");
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
  DialogBoxParamA(static_cast<HINSTANCE>(sfx_instance), MAKEINTRESOURCEA(SFX_DIALOG_ID), nullptr,
                  sfx_dialog_proc, 0);
  return 0;
}

void sfx_platform_init() {
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
  char path[MAX_PATH + 16];
  const UINT n = GetSystemDirectoryA(path, MAX_PATH);
  if (n > 0 && n < MAX_PATH) {
    std::strcpy(path + n, "\\comctl32.dll");
    if (HMODULE cc = LoadLibraryA(path)) {
      using InitFn = void(WINAPI*)();
      if (auto init = reinterpret_cast<InitFn>(
              reinterpret_cast<void*>(GetProcAddress(cc, "InitCommonControls"))))
        init();
    }
  }
}

void sfx_platform_module_path(char* out, std::size_t cap) {
  const DWORD n = GetModuleFileNameA(nullptr, out, static_cast<DWORD>(cap));
  if (n == 0 || n >= cap) out[0] = 0;
}

std::size_t sfx_platform_temp_dir(char* out, std::size_t cap) {
  const DWORD n = GetTempPathA(static_cast<DWORD>(cap), out);
  if (n == 0 || n >= cap) {
    out[0] = 0;
    return 0;
  }
  return n;
}

std::size_t sfx_platform_windows_dir(char* out, std::size_t cap) {
  const UINT n = GetWindowsDirectoryA(out, static_cast<UINT>(cap));
  if (n == 0 || n >= cap) {
    out[0] = 0;
    return 0;
  }
  return n;
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
  const int n = LoadStringA(static_cast<HINSTANCE>(sfx_instance), static_cast<UINT>(id), out,
                            static_cast<int>(cap));
  if (n <= 0) {
    out[0] = 0;
    return 0;
  }
  return static_cast<std::size_t>(n);
}

void sfx_platform_message_box(const char* caption, const char* text, bool info) {
  MessageBoxA(nullptr, text, caption, info ? SFX_BOX_INFO : SFX_BOX_ERROR);
}

void sfx_platform_set_status(const char* text) {
  if (HWND dialog = static_cast<HWND>(sfx_dialog)) SetDlgItemTextA(dialog, SFX_STATUS_ID, text);
}

void sfx_platform_set_progress(int percent) {
  if (HWND bar = static_cast<HWND>(sfx_progress_bar))
    SendMessageA(bar, SFX_PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

bool sfx_platform_make_dir(const char* path) {
  if (CreateDirectoryA(path, nullptr)) return true;
  const DWORD a = GetFileAttributesA(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool sfx_platform_is_link(const char* path) {
  const DWORD a = GetFileAttributesA(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

namespace {

// A new file in the directory of path, under a name of its own: its handle,
// and its name in temp (room SFX_PATH_ROOM).
HANDLE create_beside(const char* path, char* temp) {
  std::size_t dir = std::strlen(path);
  while (dir > 0 && path[dir - 1] != '/' && path[dir - 1] != '\\') --dir;
  if (dir + 16 > SFX_PATH_ROOM) return INVALID_HANDLE_VALUE;
  std::memcpy(temp, path, dir);
  const DWORD seed = GetCurrentProcessId() * 40503u + GetTickCount();
  for (DWORD k = 0; k < 64; ++k) {
    DWORD v = seed + k * 2654435761u;
    char* p = temp + dir;
    *p++ = '~';
    for (int d = 0; d < 8; ++d, v >>= 4) *p++ = "0123456789abcdef"[v & 15];
    std::strcpy(p, ".qtk");
    // Shared for deleting, so that it can be renamed while it is open.
    HANDLE h = CreateFileA(temp, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return h;
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

std::FILE* sfx_platform_create_file(const char* path) {
  HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_FILE_EXISTS) return nullptr;
    // Something stands there: a file, or a link that may lead anywhere (Wine
    // shows a Unix symbolic link as the file it leads to, and deletes that
    // file when asked to delete the link). The member goes into a new file
    // beside it, which then takes the name: the rename replaces a link
    // itself, never what it leads to, and is refused for a directory. A
    // read-only file stays, as it would for writing into it.
    const DWORD a = GetFileAttributesA(path);
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY)) return nullptr;
    char temp[SFX_PATH_ROOM];
    h = create_beside(path, temp);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    if (!MoveFileExA(temp, path, MOVEFILE_REPLACE_EXISTING)) {
      CloseHandle(h);
      DeleteFileA(temp);
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
  HANDLE f = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
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

void sfx_platform_change_dir(const char* path) { SetCurrentDirectoryA(path); }

bool sfx_platform_run_and_wait(const char* program) {
  // The program's path is its only argument, as given (no quotes added).
  // -1 is also the status of a program that ended with it: only with errno
  // set was nothing started.
  errno = 0;
  const std::intptr_t rc = _spawnl(_P_WAIT, program, program, nullptr);
  return !(rc == -1 && errno != 0);
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
  command_word(GetCommandLineA());
  return sfx_run(g_command_word);
}
