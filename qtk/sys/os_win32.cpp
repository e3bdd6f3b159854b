// qtk's calls to the operating system: Windows. Paths arrive as UTF-8 and go
// to the wide calls; the system's error codes become errno values, so that
// messages read as on the other platforms.
#include <windows.h>
#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sys/os.h"
#include "sys/os_win32.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace qtk {

std::wstring wide(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string narrow(const wchar_t* w) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
  s.resize(static_cast<std::size_t>(n - 1));
  return s;
}

void errno_from_system() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME: errno = ENOENT; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD: errno = EACCES; break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: errno = EEXIST; break;
    case ERROR_DIRECTORY: errno = ENOTDIR; break;
    case ERROR_DIR_NOT_EMPTY: errno = ENOTEMPTY; break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: errno = ENOMEM; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
    case ERROR_TOO_MANY_OPEN_FILES: errno = EMFILE; break;
    case ERROR_FILENAME_EXCED_RANGE: errno = ENAMETOOLONG; break;
    case ERROR_CANT_RESOLVE_FILENAME: errno = ELOOP; break;
    case ERROR_NOT_SAME_DEVICE: errno = EXDEV; break;
    default: errno = EIO; break;
  }
}

std::wstring final_path(HANDLE h) {
  std::wstring buf(1024, L'\0');
  DWORD n = GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()), FILE_NAME_NORMALIZED);
  if (n >= buf.size()) {
    buf.assign(n + 1, L'\0');
    n = GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()), FILE_NAME_NORMALIZED);
  }
  if (n == 0 || n >= buf.size()) return {};
  buf.resize(n);
  return buf;
}

bool same_path(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::int64_t unix_100ns(const FILETIME& ft) {
  const std::int64_t t = static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) |
                                                   ft.dwLowDateTime);
  return t - 116444736000000000LL;  // 100 ns units from 1601 to 1970
}

FILETIME file_time(std::int64_t unix_seconds) {
  const auto t = static_cast<std::uint64_t>(unix_seconds * 10000000 + 116444736000000000LL);
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(t);
  ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
  return ft;
}

std::string errno_text() {
  char buf[256];
  if (strerror_s(buf, sizeof buf, errno) != 0) return "error " + std::to_string(errno);
  return buf;
}

namespace {

bool fill(HANDLE h, FileInfo& info) {
  BY_HANDLE_FILE_INFORMATION bi{};
  if (!GetFileInformationByHandle(h, &bi)) {
    errno_from_system();
    return false;
  }
  info = FileInfo{};
  info.kind = (bi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileInfo::kDir : FileInfo::kFile;
  if (GetFileType(h) != FILE_TYPE_DISK) info.kind = FileInfo::kOther;
  info.link = (bi.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  info.size = (static_cast<std::uint64_t>(bi.nFileSizeHigh) << 32) | bi.nFileSizeLow;
  const std::int64_t t = unix_100ns(bi.ftLastWriteTime);
  info.mtime_ns = t * 100;
  info.mtime = t >= 0 ? t / 10000000 : -((-t + 9999999) / 10000000);
  info.id = {bi.dwVolumeSerialNumber, (static_cast<std::uint64_t>(bi.nFileIndexHigh) << 32) | bi.nFileIndexLow};
  return true;
}

// A handle to look at a file or folder with: the target of a link when
// `follow`, else the name itself. Others may go on reading and writing it.
HANDLE open_to_look(const std::string& path, bool follow, DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE |
                                                                        FILE_SHARE_DELETE) {
  HANDLE h = CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
  if (h == INVALID_HANDLE_VALUE) errno_from_system();
  return h;
}

// Whether the name `path`, open as `h`, resolves to somewhere other than
// where it stands: a link that is no reparse point (Wine shows the links of
// its host so).
bool leads_elsewhere(const std::string& path, HANDLE h) {
  const std::size_t sep = path.find_last_of("/\\");
  const std::string parent = sep == std::string::npos ? "." : sep == 0 ? path.substr(0, 1) : path.substr(0, sep);
  HANDLE p = open_to_look(parent, true);
  if (p == INVALID_HANDLE_VALUE) return false;
  std::wstring expected = final_path(p);
  CloseHandle(p);
  if (expected.empty()) return false;
  if (expected.back() != L'\\') expected += L'\\';
  expected += wide(path.substr(sep == std::string::npos ? 0 : sep + 1));
  return !same_path(final_path(h), expected);
}

}  // namespace

bool file_info(const std::string& path, bool follow, FileInfo& info) {
  HANDLE h = open_to_look(path, follow);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = fill(h, info);
  if (ok && follow) info.link = false;
  if (ok && !follow && !info.link) info.link = leads_elsewhere(path, h);
  CloseHandle(h);
  return ok;
}

bool file_info(std::FILE* f, FileInfo& info) {
  return fill(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))), info);
}

bool file_exists(const std::string& path) {
  return GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool real_path(const std::string& path, std::string& out) {
  HANDLE h = open_to_look(path, true);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::wstring buf(1024, L'\0');
  DWORD n = GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()), FILE_NAME_NORMALIZED);
  if (n >= buf.size()) {
    buf.assign(n + 1, L'\0');
    n = GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()), FILE_NAME_NORMALIZED);
  }
  if (n == 0 || n >= buf.size()) {
    errno_from_system();
    CloseHandle(h);
    return false;
  }
  CloseHandle(h);
  buf.resize(n);
  if (buf.rfind(L"\\\\?\\UNC\\", 0) == 0) buf = L"\\\\" + buf.substr(8);
  else if (buf.rfind(L"\\\\?\\", 0) == 0) buf = buf.substr(4);
  out = narrow(buf.c_str());
  for (char& c : out)
    if (c == '\\') c = '/';
  return true;
}

bool list_dir(const std::string& path, std::vector<std::string>& names, FileId& id) {
  // The folder stays open while it is read and may not be renamed or
  // removed meanwhile, so that the names are those of the folder `id` tells.
  HANDLE h = open_to_look(path, true, FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (h == INVALID_HANDLE_VALUE) return false;
  FileInfo info;
  if (!fill(h, info)) {
    CloseHandle(h);
    return false;
  }
  id = info.id;
  names.clear();
  std::wstring pattern = wide(path);
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    const bool empty = GetLastError() == ERROR_FILE_NOT_FOUND;
    if (!empty) errno_from_system();
    CloseHandle(h);
    return empty;
  }
  do {
    if (std::wcscmp(fd.cFileName, L".") && std::wcscmp(fd.cFileName, L"..")) names.push_back(narrow(fd.cFileName));
  } while (FindNextFileW(find, &fd));
  FindClose(find);
  CloseHandle(h);
  return true;
}

std::FILE* open_read(const std::string& path) {
  const std::wstring w = wide(path);
  std::FILE* f = _wfopen(w.c_str(), L"rb");
  // A folder is refused as "access denied": say what it is.
  if (!f) {
    const DWORD a = GetFileAttributesW(w.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) errno = EISDIR;
  }
  return f;
}

bool seek_to(std::FILE* f, std::uint64_t offset) { return _fseeki64(f, static_cast<__int64>(offset), SEEK_SET) == 0; }

std::FILE* create_temp(const std::string& final_path, bool, std::string& tmp) {
  const std::size_t slash = final_path.find_last_of("/\\");
  const std::string dir = slash == std::string::npos ? "" : final_path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? final_path : final_path.substr(slash + 1);
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char r[6];
    if (BCryptGenRandom(nullptr, r, sizeof r, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
      errno = EIO;
      return nullptr;
    }
    std::string mark;
    for (unsigned char c : r) mark += kLetters[c % 62];
    tmp = dir + "." + base + ".qtk-" + mark + ".part";
    // CREATE_NEW fails on anything that stands there, a link included.
    HANDLE h = CreateFileW(wide(tmp).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      const DWORD e = GetLastError();
      if (e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS) continue;
      errno_from_system();
      return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | _O_WRONLY);
    std::FILE* f = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    if (!f) {
      const int e = errno;
      if (fd >= 0) _close(fd);
      else CloseHandle(h);
      DeleteFileW(wide(tmp).c_str());
      errno = e;
    }
    return f;
  }
  errno = EEXIST;
  return nullptr;
}

bool flush_to_disk(std::FILE* f) {
  if (std::fflush(f) != 0) return false;
  if (FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))))) return true;
  errno_from_system();
  return false;
}

bool rename_over(const std::string& from, const std::string& to) {
  if (MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  errno_from_system();
  return false;
}

bool remove_file(const std::string& path) {
  if (DeleteFileW(wide(path).c_str())) return true;
  errno_from_system();
  return false;
}

std::vector<std::string> program_args(int, char**) {
  // The wide command line: the arguments in every script, whatever the
  // ANSI code page of the system.
  std::vector<std::string> args;
  int n = 0;
  wchar_t** w = CommandLineToArgvW(GetCommandLineW(), &n);
  if (!w) return args;
  for (int i = 1; i < n; ++i) args.push_back(narrow(w[i]));
  LocalFree(w);
  // What qtk prints is UTF-8.
  SetConsoleOutputCP(CP_UTF8);
  return args;
}

namespace {
void (*g_handler)() = nullptr;
BOOL WINAPI on_console_event(DWORD event) {
  if (g_handler) g_handler();
  // Closing the console ends the program when this returns: a moment for
  // the command to remove its temporary files first.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) Sleep(3000);
  return TRUE;
}
}  // namespace

void on_interrupt(void (*handler)()) {
  g_handler = handler;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool stderr_is_terminal() {
  // A console that understands the escape that erases to the end of the line.
  HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(h, &mode)) return false;
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) || SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

int stderr_columns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

std::string env_text(const char* name) {
  const wchar_t* v = _wgetenv(wide(name).c_str());
  return v ? narrow(v) : "";
}

}  // namespace qtk
