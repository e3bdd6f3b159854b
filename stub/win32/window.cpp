// The Win32 program's window: entry, the progress dialog on its own thread,
// message boxes, the status box and the progress bar, the string table.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "fs_code.h"
#include "sfx.h"
#include "sfx_platform.h"
#include "win32.h"

namespace {

constexpr UINT SFX_PBM_SETRANGE = WM_USER + 1;
constexpr UINT SFX_PBM_SETPOS = WM_USER + 2;
constexpr UINT SFX_PBM_SETSTEP = WM_USER + 4;
constexpr DWORD SFX_BOX_ERROR = MB_OK | MB_ICONHAND | MB_SETFOREGROUND | MB_TOPMOST;
constexpr DWORD SFX_BOX_INFO = MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND | MB_TOPMOST;
constexpr DWORD SFX_SEARCH_SYSTEM32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

template <typename F>
F kernel32_proc(const char* name) {
  HMODULE k = GetModuleHandleA("kernel32.dll");
  return k ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(k, name))) : nullptr;
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
  sfx_win_utf8(word, out, SFX_PATH_ROOM + 4);
}

// The status box. Its text is the control's as soon as the main thread has
// set it: any message to the box, a query of its text above all, finds the
// newest one. The edit control itself takes a text over (lays it out and
// paints it) at most once a frame, the newest one at the end of each: under
// Wine that work costs about a millisecond a text, more than writing a
// small member, and a screen shows no more than a frame's worth anyway.
constexpr DWORD kStatusFrame = 40;  // milliseconds
constexpr UINT_PTR kStatusTimer = 0x5154;
WNDPROC g_status_proc;
wchar_t* g_status_text;  // room for SFX_PATH_ROOM characters
bool g_status_waiting;   // the text is newer than the edit control's
bool g_status_timer;
DWORD g_status_taken;    // when the edit control last took a text over

void status_take_over(HWND box) {
  g_status_waiting = false;
  g_status_taken = GetTickCount();
  CallWindowProcW(g_status_proc, box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(g_status_text));
}

LRESULT CALLBACK status_box_proc(HWND box, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_SETTEXT) {
    const wchar_t* text = lparam ? reinterpret_cast<const wchar_t*>(lparam) : L"";
    const std::size_t n = wcslen(text);
    if (n >= SFX_PATH_ROOM) {
      g_status_waiting = false;
      return CallWindowProcW(g_status_proc, box, message, wparam, lparam);
    }
    std::memcpy(g_status_text, text, (n + 1) * sizeof(wchar_t));
    g_status_waiting = true;
    const DWORD since = GetTickCount() - g_status_taken;
    if (since >= kStatusFrame) {
      status_take_over(box);
    } else if (!g_status_timer) {
      g_status_timer = SetTimer(box, kStatusTimer, kStatusFrame - since, nullptr) != 0;
      if (!g_status_timer) status_take_over(box);
    }
    return TRUE;
  }
  if (message == WM_TIMER && wparam == kStatusTimer) {
    KillTimer(box, kStatusTimer);
    g_status_timer = false;
    if (g_status_waiting) status_take_over(box);
    return 0;
  }
  if (g_status_waiting) status_take_over(box);
  return CallWindowProcW(g_status_proc, box, message, wparam, lparam);
}

void status_box_start(HWND dialog) {
  HWND box = GetDlgItem(dialog, SFX_STATUS_ID);
  g_status_text = static_cast<wchar_t*>(std::malloc(SFX_PATH_ROOM * sizeof(wchar_t)));
  if (!box || !g_status_text) return;  // the box takes every text itself
  g_status_proc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(box, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(status_box_proc)));
}

}  // namespace

INT_PTR CALLBACK sfx_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

INT_PTR CALLBACK sfx_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  (void)lparam;
  switch (message) {
    case WM_INITDIALOG: {
      status_box_start(window);
      sfx_dialog.store(window, std::memory_order_release);  // releases the main thread
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
      sfx_progress_bar.store(bar, std::memory_order_release);
      if (!bar) {
        sfx_show_message(SFX_CAP_PROBLEM, SFX_MSG_NO_WINDOW, "", false);
        sfx_show_message(SFX_CAP_ERROR, SFX_MSG_CLOSING, "", true);
        sfx_win_end_process(1);
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
  if (HMODULE cc = sfx_win_system_library("comctl32.dll")) {
    using InitFn = void(WINAPI*)();
    if (auto init = reinterpret_cast<InitFn>(
            reinterpret_cast<void*>(GetProcAddress(cc, "InitCommonControls"))))
      init();
  }
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
  sfx_win_utf8(w, out, cap);
  return std::strlen(out);
}

void sfx_platform_message_box(const char* caption, const char* text, bool info) {
  wchar_t c[SFX_PATH_ROOM], t[SFX_PATH_ROOM];
  if (!sfx_win_wide(caption, c)) c[0] = 0;
  if (!sfx_win_wide(text, t)) t[0] = 0;
  MessageBoxW(nullptr, t, c, info ? SFX_BOX_INFO : SFX_BOX_ERROR);
}

void sfx_platform_set_status(const char* text) {
  wchar_t w[SFX_PATH_ROOM];
  if (HWND dialog = static_cast<HWND>(sfx_dialog.load(std::memory_order_acquire)))
    if (sfx_win_wide(text, w)) SetDlgItemTextW(dialog, SFX_STATUS_ID, w);
}

void sfx_platform_set_progress(int percent) {
  // Every packet asks; the bar is told only when the step changes (each
  // message waits for the window's thread).
  static int shown = -1;
  HWND bar = static_cast<HWND>(sfx_progress_bar.load(std::memory_order_acquire));
  if (!bar || percent == shown) return;
  shown = percent;
  SendMessageW(bar, SFX_PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  sfx_instance = instance;
  sfx_win_keep_lock();
  char own_path[SFX_PATH_ROOM + 4];
  command_word(GetCommandLineW(), own_path);
  return sfx_run(own_path);
}
