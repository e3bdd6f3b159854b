// File-based settings store standing in for the registry (layout in
// docs/settings-store.md): keys are directories, values are files holding
// the value's data. <root>/local is this machine's HKEY_LOCAL_MACHINE,
// <root>/remote/<machine> that of another machine. Names are matched without
// regard to ASCII letter case, as the registry does.
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "fs_internal.h"

namespace {

constexpr std::size_t kPathRoom = 1024;
const char* const kEnd = nullptr;

struct store_node {
  char path[kPathRoom];
};

char g_root[kPathRoom] = "";
store_node g_local;

const char* root_dir() {
  if (g_root[0]) return g_root;
  const char* env = std::getenv("QTK_SETTINGS_ROOT");
  return env && env[0] ? env : "/etc/qtk/settings";
}

bool is_dir(const char* path) {
  struct stat st{};
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Appends one name to dir (which holds a directory path), matching an
// existing entry without regard to case. False when there is none.
bool descend(char* dir, const char* name, std::size_t len) {
  char want[256];
  if (len == 0 || len >= sizeof want || std::memchr(name, '/', len)) return false;
  std::memcpy(want, name, len);
  want[len] = '\0';
  if (std::strcmp(want, ".") == 0 || std::strcmp(want, "..") == 0) return false;
  char exact[kPathRoom];
  if (fs_build(exact, sizeof exact, dir, "/", want, kEnd)) return false;
  if (access(exact, F_OK) == 0) {
    std::strcpy(dir, exact);
    return true;
  }
  DIR* d = opendir(dir);
  if (!d) return false;
  bool found = false;
  while (dirent* e = readdir(d)) {
    if (strcasecmp(e->d_name, want) == 0) {
      found = fs_build(exact, sizeof exact, dir, "/", e->d_name, kEnd) == 0;
      break;
    }
  }
  closedir(d);
  if (found) std::strcpy(dir, exact);
  return found;
}

// Follows a key path of names separated by backslashes (or slashes).
bool follow(char* dir, const char* path) {
  while (*path) {
    const std::size_t len = std::strcspn(path, "\\/");
    if (len && !descend(dir, path, len)) return false;
    path += len;
    if (*path) ++path;
  }
  return true;
}

}  // namespace

void fs_settings_root(const char* root) { fs_copy(g_root, sizeof g_root, root ? root : ""); }

void* fs_plat_reg_local_root(void) {
  fs_build(g_local.path, sizeof g_local.path, root_dir(), "/local", kEnd);
  return &g_local;
}

void* fs_plat_reg_connect(const char* machine) {
  while (*machine == '\\') ++machine;
  auto* node = static_cast<store_node*>(std::malloc(sizeof(store_node)));
  if (!node) return nullptr;
  if (fs_build(node->path, sizeof node->path, root_dir(), "/remote", kEnd) || !machine[0] ||
      !descend(node->path, machine, std::strlen(machine)) || !is_dir(node->path)) {
    std::free(node);
    return nullptr;
  }
  return node;
}

void fs_plat_reg_disconnect(void* root) {
  if (root != &g_local) std::free(root);
}

void* fs_plat_reg_open(void* root, const char* path) {
  auto* key = static_cast<store_node*>(std::malloc(sizeof(store_node)));
  if (!key) return nullptr;
  std::strcpy(key->path, static_cast<store_node*>(root)->path);
  // Keys open for reading, as on Windows: the directory must be readable
  // by this process, not writable.
  if (!is_dir(key->path) || !follow(key->path, path) || !is_dir(key->path) ||
      access(key->path, R_OK | X_OK) != 0) {
    std::free(key);
    return nullptr;
  }
  return key;
}

bool fs_plat_reg_query(void* key, const char* name, char* buf, std::size_t size) {
  char path[kPathRoom];
  std::strcpy(path, static_cast<store_node*>(key)->path);
  // The unnamed default value is stored in a file called "@".
  const char* file = name && name[0] ? name : "@";
  if (!descend(path, file, std::strlen(file)) || is_dir(path)) return false;
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  const std::size_t n = std::fread(buf, 1, size, f);
  const bool more = std::fgetc(f) != EOF;
  std::fclose(f);
  // String data carries its zero byte: a file without one needs room for it.
  if (more || (n == size && buf[n - 1] != '\0')) return false;
  if (n < size) buf[n] = '\0';
  return true;
}

bool fs_plat_reg_close(void* key) {
  std::free(key);
  return true;
}
