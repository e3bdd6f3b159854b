// The Win32 program's processes and threads: the work directory's lock,
// the setup program's start and end, the decoding threads and their
// semaphores.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "sfx.h"
#include "sfx_platform.h"
#include "win32.h"

void sfx_platform_lock_work_dir(const char* dir) {
  // A mutex of the session named after the directory, its letter case
  // folded and both separators alike: a hash, since an object's name may
  // hold no backslash. Nothing is added to the directory.
  wchar_t w[SFX_PATH_ROOM];
  if (!sfx_win_wide(dir, w)) return;
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
  HMODULE shell = sfx_win_system_library("shell32.dll");
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
  return sfx_win_wide(program, w) && sfx_start_setup(w, start_direct, start_through_shell, code);
}

void sfx_win_end_process(int code) { std::exit(code); }

void sfx_platform_exit(int code) { sfx_win_end_process(code); }

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
