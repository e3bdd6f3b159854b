// The console build's files and paths: the directories the flow starts
// from, member files and their times, volumes, and names as the archive
// stores them.
//
// For the tests: QTKSFX_SYSTEM_DIR stands in for the Windows directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console.h"
#include "sfx_platform.h"

const char* sfx_con_host_path(const char* path, char (&out)[SFX_PATH_ROOM]) {
  const std::size_t base = std::strlen(sfx_work_dir);
  if (std::strncmp(path, sfx_work_dir, base) != 0 || std::strlen(path) >= sizeof out) return path;
  std::strcpy(out, path);
  for (char* p = out + base; *p; ++p)
    if (*p == '\\') *p = '/';
  return out;
}

bool sfx_con_env_set(const char* name) {
  const char* v = std::getenv(name);
  return v && v[0] && std::strcmp(v, "0") != 0;
}

namespace {

std::size_t from_env(const char* name, char* out, std::size_t cap) {
  const char* v = std::getenv(name);
  if (!v) return 0;
  const std::size_t n = std::strlen(v);
  if (n == 0 || n + 1 > cap) return 0;
  std::memcpy(out, v, n + 1);
  return n;
}

}  // namespace

const bool sfx_platform_names_ignore_case = false;


void sfx_platform_module_path(char* out, std::size_t cap) {
  const ssize_t n = ::readlink("/proc/self/exe", out, cap - 1);
  out[n > 0 ? n : 0] = 0;
}

std::size_t sfx_platform_temp_dir(char* out, std::size_t cap) {
  if (!std::getenv("TMPDIR")) {
    std::strcpy(out, "/tmp/");
    return 5;
  }
  return from_env("TMPDIR", out, cap);
}

std::size_t sfx_platform_windows_dir(char* out, std::size_t cap) {
  return from_env("QTKSFX_SYSTEM_DIR", out, cap);
}

bool sfx_platform_make_dir(const char* path) {
  char host[SFX_PATH_ROOM];
  path = sfx_con_host_path(path, host);
  if (::mkdir(path, 0777) == 0) return true;
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool sfx_platform_is_link(const char* path) {
  char host[SFX_PATH_ROOM];
  path = sfx_con_host_path(path, host);
  struct stat st;
  return ::lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

std::FILE* sfx_platform_create_file(const char* path) {
  char host[SFX_PATH_ROOM];
  path = sfx_con_host_path(path, host);
  // What is not a plain file of its own goes first: a symbolic link, a hard
  // link to a file elsewhere, a pipe. A plain file is overwritten, so that a
  // read-only one is refused, as on Windows.
  struct stat st;
  if (::lstat(path, &st) == 0 && !S_ISDIR(st.st_mode) && !(S_ISREG(st.st_mode) && st.st_nlink == 1))
    ::unlink(path);
  int fd = ::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  // A link put there in the meantime is not written through either.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    ::close(fd);
    ::unlink(path);
    fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
  }
  std::FILE* f = ::ftruncate(fd, 0) == 0 ? ::fdopen(fd, "wb") : nullptr;
  if (!f) ::close(fd);
  return f;
}

bool sfx_platform_set_file_time(const char* path, std::int32_t seconds) {
  char host[SFX_PATH_ROOM];
  path = sfx_con_host_path(path, host);
  // Opened for reading and writing, as the Win32 program does.
  const int fd = ::open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  timespec times[2];
  times[0].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  const bool ok = ::futimens(fd, times) == 0;
  ::close(fd);
  return ok;
}

std::FILE* sfx_platform_open_volume(const char* path) { return std::fopen(path, "rb"); }

bool sfx_platform_name_text(const char* name, char* out, std::size_t cap) {
  if (sfx_join(out, cap, name, "")) return true;
  out[0] = 0;
  return false;
}

void sfx_platform_change_dir(const char* path) {
  char host[SFX_PATH_ROOM];
  path = sfx_con_host_path(path, host);
  if (::chdir(path) != 0) {
    // Ignored: the setup program then starts in the current directory.
  }
}

