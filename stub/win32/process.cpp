// The Win32 program's processes: the work directory's lock, its keeper and
// record, the setup program's start and end, the end of the process.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "sfx.h"
#include "sfx_platform.h"
#include "win32.h"

#include <tlhelp32.h>  // after windows.h

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
//
// Installers in two sessions that share a folder (a machine-wide TEMP, the
// Windows directory where there is none) take turns like any two: sharing
// belongs to the open directory, not to a session, whereas a named object
// (a mutex) would be one per session and let both write at once. A holder
// in the other session is waited for like any other, with the notice after
// a while and Cancel to leave.
HANDLE g_lock = nullptr;  // the lock that this installer holds

struct DirLock {
  const wchar_t* dir;
  const char* shown;
  HANDLE lock;
  BY_HANDLE_FILE_INFORMATION id;
};

// A program started through the elevation prompt gets a fresh environment,
// not ours: the installers below it learn of the lock from a record named
// after the directory's identity in the session ("Local\qtksfx-..."), which
// the holder and its keeper hold while that program runs: the keeper's
// process, the lock's handle there, and the elevated program's process. It
// counts only for an installer that runs below that program.
struct Elevated {
  DWORD keeper, lock, program;
};
BY_HANDLE_FILE_INFORMATION g_id;  // the locked directory's identity

bool record_name(const BY_HANDLE_FILE_INFORMATION& id, wchar_t (&name)[64]) {
  char text[64] = "Local\\qtksfx-";
  sfx_lock_entry(text + 13, id.dwVolumeSerialNumber, id.nFileIndexHigh);
  const std::size_t n = std::strlen(text);
  text[n] = '-';
  sfx_lock_entry(text + n + 1, id.nFileIndexLow, 0);
  return MultiByteToWideChar(CP_ACP, 0, text, -1, name, 64) > 0;
}

// True when this process is process `program` (an installer that was the
// setup program itself) or runs below it.
bool below(DWORD program) {
  DWORD pid = GetCurrentProcessId();
  if (pid == program) return true;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return false;
  bool found = false;
  for (int depth = 0; depth < 32 && pid && !found; ++depth) {
    PROCESSENTRY32W e;
    e.dwSize = sizeof e;
    DWORD parent = 0;
    for (BOOL ok = Process32FirstW(snap, &e); ok; ok = Process32NextW(snap, &e))
      if (e.th32ProcessID == pid) parent = e.th32ParentProcessID;
    found = parent != 0 && parent == program;
    pid = parent;
  }
  CloseHandle(snap);
  return found;
}

// The record's holder as one more entry of the list, for an installer
// below the elevated program.
void add_elevated_holder(const DirLock& l, char* held, std::size_t cap) {
  wchar_t name[64];
  if (!record_name(l.id, name)) return;
  HANDLE map = OpenFileMappingW(FILE_MAP_READ, FALSE, name);
  if (!map) return;
  if (const auto* r = static_cast<const Elevated*>(MapViewOfFile(map, FILE_MAP_READ, 0, 0, sizeof(Elevated)))) {
    const Elevated e = *r;
    UnmapViewOfFile(r);
    char entry[24];
    sfx_lock_entry(entry, e.keeper, e.lock);
    if (e.program && below(e.program)) sfx_join(held, cap, held, held[0] ? ";" : "", entry);
  }
  CloseHandle(map);
}

// Adds "pid.lock" of this installer's lock to the variable that the setup
// program gets.
void list_holder(DWORD pid) {
  char list[SFX_PATH_ROOM + 24];
  const DWORD n = GetEnvironmentVariableA(SFX_LOCK_VARIABLE, list, SFX_PATH_ROOM);
  if (n == 0 || n >= SFX_PATH_ROOM) list[0] = 0;
  char entry[24];
  sfx_lock_entry(entry, pid, static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(g_lock)));
  if (!sfx_join(list, sizeof list, list, list[0] ? ";" : "", entry)) std::strcpy(list, entry);
  SetEnvironmentVariableA(SFX_LOCK_VARIABLE, list);
}

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
  char held[SFX_PATH_ROOM + 24];
  const DWORD n = GetEnvironmentVariableA(SFX_LOCK_VARIABLE, held, SFX_PATH_ROOM);
  if (n == 0 || n >= SFX_PATH_ROOM) held[0] = 0;
  add_elevated_holder(l, held, sizeof held);
  const SfxLockSeam seam{&l, take, held_above, waiting, sfx_platform_now, sfx_platform_sleep, notice};
  if (sfx_lock_wait(held, seam) != SFX_LOCK_TAKEN) return;
  // Held until this process and its setup program have ended; ours joins
  // the list that the setup program gets.
  g_lock = l.lock;
  g_id = l.id;
  list_holder(GetCurrentProcessId());
}

namespace {

// The variable that makes a process of this program a keeper of the lock
// (the handle of the pipe that it reads from), and nothing else.
constexpr char kKeeper[] = "QTKSFX_LOCK_KEEPER";

// A program started through the elevation prompt inherits no handle, and
// this process cannot give one to it. A keeper takes its place: a second
// process of this program, started first, inherits the lock (at the same
// handle value), is listed as a holder for the programs below the elevated
// one, and is handed that program's handle through a pipe once it runs; it
// ends when that program ends, or at once when nothing comes.
struct Keeper {
  HANDLE process;
  HANDLE feed;
  Elevated* record;  // inherited by the keeper with its mapping
  DWORD pid;
};

Keeper start_keeper() {
  Keeper k{nullptr, nullptr, nullptr, 0};
  HANDLE read = nullptr;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  if (!g_lock || !CreatePipe(&read, &k.feed, &inherit, 0)) return k;
  wchar_t name[64];
  HANDLE map = record_name(g_id, name) ? CreateFileMappingW(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0,
                                                              sizeof(Elevated), name)
                                         : nullptr;
  if (map) k.record = static_cast<Elevated*>(MapViewOfFile(map, FILE_MAP_WRITE, 0, 0, sizeof(Elevated)));
  SetHandleInformation(k.feed, HANDLE_FLAG_INHERIT, 0);
  char value[24];
  sfx_lock_entry(value, 0, static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(read)));
  SetEnvironmentVariableA(kKeeper, value + 2);  // the handle alone, after "0."
  wchar_t self[SFX_PATH_ROOM];
  const DWORD n = GetModuleFileNameW(nullptr, self, SFX_PATH_ROOM);
  STARTUPINFOW si;
  std::memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  const bool started = n > 0 && n < SFX_PATH_ROOM &&
                       CreateProcessW(self, nullptr, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  SetEnvironmentVariableA(kKeeper, nullptr);
  CloseHandle(read);
  if (!started) {
    CloseHandle(k.feed);
    k.feed = nullptr;
    return k;
  }
  CloseHandle(pi.hThread);
  k.process = pi.hProcess;
  k.pid = pi.dwProcessId;
  list_holder(pi.dwProcessId);
  return k;
}

// Hands the started program's handle to the keeper (none: it ends).
void feed_keeper(const Keeper& k, HANDLE program) {
  if (!k.feed) return;
  HANDLE remote = nullptr;
  DWORD written = 0;
  if (program && DuplicateHandle(GetCurrentProcess(), program, k.process, &remote, SYNCHRONIZE, FALSE, 0) &&
      WriteFile(k.feed, &remote, sizeof remote, &written, nullptr) && k.record)
    *k.record = Elevated{k.pid, static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(g_lock)), GetProcessId(program)};
  CloseHandle(k.feed);
  CloseHandle(k.process);
}

}  // namespace

void sfx_win_keep_lock() {
  char value[20];
  const DWORD n = GetEnvironmentVariableA(kKeeper, value, sizeof value);
  if (n == 0 || n >= sizeof value) return;
  SetEnvironmentVariableA(kKeeper, nullptr);
  std::uintptr_t h = 0;
  for (const char* p = value; *p; ++p) h = h << 4 | static_cast<std::uintptr_t>(*p <= '9' ? *p - '0' : *p - 'a' + 10);
  const HANDLE feed = reinterpret_cast<HANDLE>(h);
  // Anything but the pipe that a holder made is no call to keep a lock.
  if (GetFileType(feed) != FILE_TYPE_PIPE) return;
  HANDLE program = nullptr;
  DWORD got = 0;
  if (ReadFile(feed, &program, sizeof program, &got, nullptr) && got == sizeof program)
    WaitForSingleObject(program, INFINITE);
  ExitProcess(0);
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
  const Keeper keeper = start_keeper();
  const BOOL ran = exec(&info);
  const DWORD error = GetLastError();
  feed_keeper(keeper, ran ? info.hProcess : nullptr);
  if (!ran) return error ? error : ERROR_CANCELLED;
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
