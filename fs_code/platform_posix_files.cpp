// POSIX directory search with Windows-style wildcards (matched without regard
// to letter case, names listed in case-insensitive order), and copy and
// rename that refuse to overwrite, as their Win32 counterparts do.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fs_internal.h"

namespace {

constexpr std::size_t kPathRoom = 1024;
const char* const kEnd = nullptr;

struct posix_search {
  char dir[kPathRoom];
  char** names;
  std::size_t count;
  std::size_t next;
};

// '*' any run of characters, '?' any one character.
bool matches(const char* pat, const char* name) {
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name) {
    if (*pat == '*') {
      star = pat++;
      resume = name;
    } else if (*pat && (*pat == '?' ||
                        fs_upper(static_cast<unsigned char>(*pat)) ==
                            fs_upper(static_cast<unsigned char>(*name)))) {
      ++pat;
      ++name;
    } else if (star) {
      pat = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pat == '*') ++pat;
  return *pat == '\0';
}

int by_name(const void* a, const void* b) {
  const char* x = *static_cast<char* const*>(a);
  const char* y = *static_cast<char* const*>(b);
  const int c = strcasecmp(x, y);
  return c ? c : std::strcmp(x, y);
}

void release(posix_search* s) {
  for (std::size_t i = 0; i < s->count; ++i) std::free(s->names[i]);
  std::free(s->names);
  std::free(s);
}

void fill(const posix_search* s, const char* name, fs_plat_found* found) {
  fs_copy(found->name, sizeof found->name, name);
  found->is_directory = false;
  found->size = 0;
  found->write_time = 0;
  char path[kPathRoom];
  struct stat st{};
  if (fs_build(path, sizeof path, s->dir, "/", name, kEnd) == 0 && stat(path, &st) == 0) {
    found->is_directory = S_ISDIR(st.st_mode);
    found->size = static_cast<std::uint32_t>(st.st_size);
    found->write_time = static_cast<std::int32_t>(st.st_mtime);
  }
}

}  // namespace

void* fs_plat_find_first(const char* pattern, fs_plat_found* found) {
  char path[kPathRoom];
  if (!fs_posix_path(pattern, path, sizeof path)) return nullptr;
  auto* s = static_cast<posix_search*>(std::calloc(1, sizeof(posix_search)));
  if (!s) return nullptr;
  const char* pat = path;
  if (char* slash = std::strrchr(path, '/')) {
    *slash = '\0';
    fs_copy(s->dir, sizeof s->dir, slash == path ? "/" : path);
    pat = slash + 1;
  } else {
    std::strcpy(s->dir, ".");
  }
  if (std::strcmp(pat, "*.*") == 0) pat = "*";

  DIR* d = opendir(s->dir);
  if (!d) {
    release(s);
    return nullptr;
  }
  std::size_t room = 0;
  bool ok = true;
  while (dirent* e = readdir(d)) {
    if (!matches(pat, e->d_name)) continue;
    if (s->count == room) {
      room = room ? room * 2 : 16;
      auto* grown = static_cast<char**>(std::realloc(s->names, room * sizeof(char*)));
      if (!grown) {
        ok = false;
        break;
      }
      s->names = grown;
    }
    if (!(s->names[s->count] = fs_strdup(e->d_name))) {
      ok = false;
      break;
    }
    ++s->count;
  }
  closedir(d);
  if (!ok || s->count == 0) {
    release(s);
    return nullptr;
  }
  std::qsort(s->names, s->count, sizeof(char*), by_name);
  fill(s, s->names[0], found);
  s->next = 1;
  return s;
}

bool fs_plat_find_next(void* search, fs_plat_found* found) {
  auto* s = static_cast<posix_search*>(search);
  if (s->next >= s->count) return false;
  fill(s, s->names[s->next++], found);
  return true;
}

void fs_plat_find_close(void* search) {
  if (search) release(static_cast<posix_search*>(search));
}

bool fs_plat_copy(const char* from, const char* to) {
  char src[kPathRoom], dst[kPathRoom];
  if (!fs_posix_path(from, src, sizeof src) || !fs_posix_path(to, dst, sizeof dst)) return false;
  const int in = open(src, O_RDONLY);
  if (in < 0) return false;
  struct stat st{};
  if (fstat(in, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(in);
    return false;
  }
  const int out = open(dst, O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (out < 0) {
    close(in);
    return false;
  }
  char buf[8192];
  bool ok = true;
  for (;;) {
    const ssize_t n = read(in, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(out, buf + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        ok = false;
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  close(in);
  if (close(out) != 0) ok = false;
  if (!ok) unlink(dst);  // no half copy is left behind
  return ok;
}

bool fs_plat_rename(const char* from, const char* to) {
  char src[kPathRoom], dst[kPathRoom];
  if (!fs_posix_path(from, src, sizeof src) || !fs_posix_path(to, dst, sizeof dst)) return false;
  if (renameat2(AT_FDCWD, src, AT_FDCWD, dst, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without the no-replace rename: check, then rename.
  struct stat st{};
  if (lstat(dst, &st) == 0) return false;
  return std::rename(src, dst) == 0;
}

bool fs_plat_delete(const char* path) {
  char p[kPathRoom];
  return fs_posix_path(path, p, sizeof p) && unlink(p) == 0;
}
