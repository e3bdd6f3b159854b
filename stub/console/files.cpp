// The console build's files and paths: the directories the flow starts
// from, member files and their times, volumes, and names as the archive
// stores them.
//
// For the tests: QTKSFX_SYSTEM_DIR stands in for the Windows directory.
#include <errno.h>
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

namespace {

// The work directory, opened when the first member goes in, and the member
// folders held below it, one descriptor per level. Everything below the
// work directory is made and opened relative to the folder above it, so a
// held folder whose name comes to lead elsewhere (a link put in its place)
// is not followed there.
int g_work_fd = -1;
int g_levels[SFX_DIR_LEVELS];
int g_level_count = 0;

// The folder that level `level` is made in; -1 when it cannot be opened.
int parent_of(int level) {
  if (level > 0) return level - 1 < g_level_count ? g_levels[level - 1] : -1;
  // Only a place to make things in: no right to read the folder is needed.
  if (g_work_fd < 0) g_work_fd = ::open(sfx_work_dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
  return g_work_fd;
}

// The last part of a path, split at `/` and `\` alike.
const char* last_part(const char* path) {
  const char* name = path;
  for (const char* p = path; *p; ++p)
    if (sfx_is_sep(*p)) name = p + 1;
  return name;
}

}  // namespace

bool sfx_platform_enter_dir(int level, const char* path, bool make) {
  if (level < 0 || level >= SFX_DIR_LEVELS) return false;
  sfx_platform_leave_dirs(level);
  const int parent = parent_of(level);
  if (parent < 0) return false;
  const char* name = last_part(path);
  if (make) ::mkdirat(parent, name, 0777);
  // A link there is not opened: O_NOFOLLOW refuses it.
  const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  g_levels[level] = fd;
  g_level_count = level + 1;
  return true;
}

void sfx_platform_leave_dirs(int level) {
  while (g_level_count > (level < 0 ? 0 : level)) ::close(g_levels[--g_level_count]);
  if (level < 0 && g_work_fd >= 0) {
    ::close(g_work_fd);
    g_work_fd = -1;
  }
}

sfx_file sfx_platform_create_file(const char* path) {
  const int dir = parent_of(g_level_count);
  if (dir < 0) return SFX_NO_FILE;
  const char* name = last_part(path);
  // Made new, the common case: nothing stood at the name.
  int fd = ::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd >= 0 || errno != EEXIST) return fd;
  // What is not a plain file of its own goes first: a symbolic link, a hard
  // link to a file elsewhere, a pipe. A plain file is overwritten, so that a
  // read-only one is refused, as on Windows.
  struct stat st;
  if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode) &&
      !(S_ISREG(st.st_mode) && st.st_nlink == 1))
    ::unlinkat(dir, name, 0);
  fd = ::openat(dir, name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return SFX_NO_FILE;
  // A link put there in the meantime is not written through either.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    ::close(fd);
    ::unlinkat(dir, name, 0);
    return ::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  }
  if (::ftruncate(fd, 0) == 0) return fd;
  ::close(fd);
  return SFX_NO_FILE;
}

bool sfx_platform_write_file(sfx_file file, const void* data, std::size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = ::write(static_cast<int>(file), p, n);
    if (w <= 0) {
      if (w < 0 && errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool sfx_platform_set_file_time(sfx_file file, std::int32_t seconds) {
  timespec times[2];
  times[0].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  return ::futimens(static_cast<int>(file), times) == 0;
}

bool sfx_platform_close_file(sfx_file file) { return ::close(static_cast<int>(file)) == 0; }

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

