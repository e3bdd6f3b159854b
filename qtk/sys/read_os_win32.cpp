// The reader's calls to the operating system: Windows. Extraction keeps the
// promise of the POSIX side: a folder is entered only when it is a folder,
// no link or other reparse point, and the system resolves it to the path
// expected (which Wine's links do not); it stays open, and so in place,
// for as long as members go into it, and is checked again only when
// entered again. An existing file is deleted through a
// handle to it (a link goes itself, never what it names) and the new one
// made with CREATE_NEW, which fails on anything that stands in its place.
#include "sys/read_os.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <vector>

#include "sys/os_win32.h"
#include "qtk.h"
#include "text/text.h"

namespace qtk {
namespace {

// A folder entered on the way to a member's file: its name in the member's
// path, where the system resolved it, and the handle that keeps it there.
struct HeldFolder {
  std::string part;
  std::wstring path;
  HANDLE handle;
};

// A folder extracted into, and the folders the last member's file was made
// in, each checked once and held open since. Members of one folder follow
// one another, so the next member checks only the folders that differ.
struct OutputDir {
  std::wstring path;
  std::vector<HeldFolder> held;
};

void release_from(std::vector<HeldFolder>& held, std::size_t k) {
  while (held.size() > k) {
    CloseHandle(held.back().handle);
    held.pop_back();
  }
}

// The folders opened to extract into, by descriptor.
std::mutex g_dirs_lock;
std::map<int, OutputDir> g_dirs;

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// A folder opened as itself (never through a link), kept from being
// renamed or removed while it is open. INVALID_HANDLE_VALUE when it is no
// plain folder. A handle with attribute rights alone takes no part in
// sharing; the right to list the folder makes its refusal of delete sharing
// count.
HANDLE open_folder(const std::wstring& path, bool follow) {
  HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return h;
  BY_HANDLE_FILE_INFORMATION bi{};
  if (!GetFileInformationByHandle(h, &bi) || !(bi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (!follow && (bi.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
    CloseHandle(h);
    SetLastError(ERROR_DIRECTORY);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

// Deletes what stands at `path` unless it is a folder: through a handle to
// the name itself, and only when the system resolves that handle to `path`.
bool remove_existing(const std::wstring& path, std::string& error) {
  HANDLE h = CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return true;
    errno_from_system();
    error = "cannot replace the existing file: " + errno_text();
    return false;
  }
  BY_HANDLE_FILE_INFORMATION bi{};
  const bool folder = GetFileInformationByHandle(h, &bi) && (bi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                      !(bi.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
  bool ok = folder;
  if (!folder && !same_path(final_path(h), path)) {
    error = "cannot replace the existing file: it leads elsewhere (a link)";
  } else if (!folder) {
    FILE_DISPOSITION_INFO gone{TRUE};
    ok = SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone);
    if (!ok) {
      errno_from_system();
      error = "cannot replace the existing file: " + errno_text();
    }
  }
  CloseHandle(h);
  return ok;
}

}  // namespace

std::FILE* open_volume(const std::string& name, std::uint64_t& size) {
  std::FILE* f = open_read(name);
  if (!f) return nullptr;
  LARGE_INTEGER n{};
  GetFileSizeEx(handle_of(_fileno(f)), &n);
  size = static_cast<std::uint64_t>(n.QuadPart);
  return f;
}

bool file_size(const std::string& name, std::uint64_t& size) {
  WIN32_FILE_ATTRIBUTE_DATA a{};
  if (!GetFileAttributesExW(wide(name).c_str(), GetFileExInfoStandard, &a)) return false;
  size = (static_cast<std::uint64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
  return true;
}

int open_output_dir(const std::string& dir) {
  const std::wstring w = wide(dir);
  CreateDirectoryW(w.c_str(), nullptr);
  HANDLE h = open_folder(w, true);
  if (h == INVALID_HANDLE_VALUE) {
    errno_from_system();
    return -1;
  }
  // The members' paths are formed from where the folder really is.
  const std::wstring real = final_path(h);
  const int fd = real.empty() ? -1 : _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY);
  if (fd < 0) {
    if (real.empty()) errno_from_system();
    CloseHandle(h);
    return -1;
  }
  std::lock_guard<std::mutex> g(g_dirs_lock);
  g_dirs[fd] = OutputDir{real, {}};
  return fd;
}

void close_output_dir(int fd) {
  {
    std::lock_guard<std::mutex> g(g_dirs_lock);
    if (const auto d = g_dirs.find(fd); d != g_dirs.end()) {
      release_from(d->second.held, 0);
      g_dirs.erase(d);
    }
  }
  _close(fd);
}

int create_output_file(int root, const std::vector<std::string>& parts, std::string& error) {
  std::lock_guard<std::mutex> g(g_dirs_lock);
  const auto d = g_dirs.find(root);
  if (d == g_dirs.end() || parts.empty()) {
    error = parts.empty() ? "empty file name" : "cannot create the file: no folder to extract into";
    return -1;
  }
  std::vector<HeldFolder>& held = d->second.held;
  const std::size_t depth = parts.size() - 1;
  // The folders this member shares with the last one are still held open
  // (without delete sharing, so they can be neither renamed nor removed) and
  // were checked when they were entered; the rest are entered now.
  std::size_t k = 0;
  while (k < held.size() && k < depth && held[k].part == parts[k]) ++k;
  release_from(held, k);
  std::wstring path = k ? held[k - 1].path : d->second.path;
  for (; k < depth; ++k) {
    path += L'\\' + wide(parts[k]);
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      errno_from_system();
      error = "cannot create directory " + printable(parts[k]) + ": " + errno_text();
      release_from(held, 0);
      return -1;
    }
    HANDLE h = open_folder(path, false);
    const std::wstring real = h == INVALID_HANDLE_VALUE ? std::wstring() : final_path(h);
    if (h != INVALID_HANDLE_VALUE) held.push_back(HeldFolder{parts[k], real, h});
    if (real.empty() || !same_path(real, path)) {
      error = "cannot enter directory " + printable(parts[k]) + " (a symbolic link or not a directory)";
      release_from(held, 0);
      return -1;
    }
    path = real;
  }
  // Made new, never opened: CREATE_NEW fails on whatever stands at the
  // name (a file, a link, a folder). Only then is it replaced, not written
  // through: a link or a hard link goes, and what it named stays as it was;
  // a folder in the way makes CREATE_NEW fail again.
  path += L'\\' + wide(parts.back());
  auto create_new = [&] {
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  };
  HANDLE h = create_new();
  if (h == INVALID_HANDLE_VALUE && (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)) {
    if (!remove_existing(path, error)) return -1;
    h = create_new();
  }
  int fd = -1;
  if (h == INVALID_HANDLE_VALUE) {
    errno_from_system();
    error = "cannot create the file: " + errno_text();
  } else if ((fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | _O_WRONLY)) < 0) {
    CloseHandle(h);
    error = "cannot create the file: " + errno_text();
  }
  return fd;
}

bool write_output(int fd, const std::uint8_t* p, std::size_t n, std::string& error) {
  while (n) {
    const unsigned chunk = n > (1u << 30) ? (1u << 30) : static_cast<unsigned>(n);
    const int w = _write(fd, p, chunk);
    if (w <= 0) {
      error = "write failed: " + errno_text();
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool set_output_time(int fd, std::int32_t t, std::string& error) {
  const FILETIME ft = file_time(t);
  if (SetFileTime(handle_of(fd), nullptr, &ft, &ft)) return true;
  errno_from_system();
  error = errno_text();
  return false;
}

bool close_output(int fd, std::string& error) {
  if (_close(fd) == 0) return true;
  error = "write failed: " + errno_text();
  return false;
}

}  // namespace qtk
