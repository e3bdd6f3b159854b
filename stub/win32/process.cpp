// The Win32 program's processes and threads: the work directory's lock,
// the setup program's start and end, the decoding threads and their
// semaphores.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "sfx.h"
#include "sfx_platform.h"
#include "win32.h"

namespace {

// The lock is a handle of the work directory itself with write access to
// it (FILE_ADD_FILE) and shared for reading and deleting only: a second
// such handle is refused for sharing, whoever asks (another user, another
// session, an elevated or unelevated installer), and the directory is one
// file whatever path names it (a short name, a substituted drive, a
// junction). Everybody else's use of the directory (lists, files in it,
// its handles that share writing, as nearly every program's do) goes on.
// The handle is inheritable: the setup program holds the lock with it
// until it ends, after Cancel or a kill of this process as well. Nothing is
// added to the directory.
struct DirLock {
  const wchar_t* dir;
  const char* shown;
  HANDLE lock;
  BY_HANDLE_FILE_INFORMATION id;
};

HANDLE open_dir(const wchar_t* dir, DWORD access, DWORD share) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return CreateFileW(dir, access, share, &inherit, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// True when handle h (of this process) is a handle of the directory.
bool same_dir(const DirLock& l, HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(h, &info) && info.dwVolumeSerialNumber == l.id.dwVolumeSerialNumber &&
         info.nFileIndexHigh == l.id.nFileIndexHigh && info.nFileIndexLow == l.id.nFileIndexLow;
}

int take(void* ctx) {
  auto* l = static_cast<DirLock*>(ctx);
  l->lock = open_dir(l->dir, SFX_LOCK_ACCESS, SFX_LOCK_SHARE);
  return sfx_lock_answer(l->lock != INVALID_HANDLE_VALUE ? 0 : GetLastError());
}

// The holder's lock is this directory's and is held up the chain: its
// inherited handle here (a setup program started directly inherits it), or
// the handle in the holder's own process while that lives (one started
// through the elevation prompt inherits nothing, but may take a copy from
// the unelevated holder). A copy taken is held until this process ends.
// From a holder that has ended, neither exists.
bool held_above(void* ctx, unsigned long pid, unsigned long lock) {
  auto* l = static_cast<DirLock*>(ctx);
  const HANDLE h = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(lock));
  DWORD flags = 0;
  if (GetHandleInformation(h, &flags) && (flags & HANDLE_FLAG_INHERIT) && same_dir(*l, h)) return true;
  HANDLE holder = OpenProcess(PROCESS_DUP_HANDLE, FALSE, static_cast<DWORD>(pid));
  if (!holder) return false;
  HANDLE copy = nullptr;
  const bool ok = DuplicateHandle(holder, h, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS) &&
                  same_dir(*l, copy);
  if (!ok && copy) CloseHandle(copy);
  CloseHandle(holder);
  return ok;
}

void waiting(void*) {}

void notice(void* ctx) {
  sfx_show_message(SFX_CAP_PROBLEM, SFX_MSG_OPEN_WRITE, static_cast<DirLock*>(ctx)->shown, false);
}

}  // namespace

void sfx_platform_lock_work_dir(const char* dir) {
  wchar_t w[SFX_PATH_ROOM];
  if (!sfx_win_wide(dir, w)) return;
  DirLock l{w, dir, INVALID_HANDLE_VALUE, {}};
  // The directory's identity, by a handle that shares everything.
  HANDLE probe = open_dir(w, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (probe == INVALID_HANDLE_VALUE) return;
  const bool known = GetFileInformationByHandle(probe, &l.id);
  CloseHandle(probe);
  if (!known) return;
  char held[SFX_PATH_ROOM];
  const DWORD n = GetEnvironmentVariableA(SFX_LOCK_VARIABLE, held, sizeof held);
  if (n == 0 || n >= sizeof held) held[0] = 0;
  const SfxLockSeam seam{&l, take, held_above, waiting, sfx_platform_now, sfx_platform_sleep, notice};
  if (sfx_lock_wait(held, seam) != SFX_LOCK_TAKEN) return;
  // Held until this process and its setup program have ended; ours joins
  // the list that the setup program gets.
  char entry[24];
  sfx_lock_entry(entry, GetCurrentProcessId(), static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(l.lock)));
  char list[SFX_PATH_ROOM + 24];
  if (!sfx_join(list, sizeof list, held, held[0] ? ";" : "", entry)) std::strcpy(list, entry);
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
