// Service flag files in <system path>flag\ and the directory walk behind them.
#include <cstdlib>
#include <cstring>

#include "fs_internal.h"

namespace {

const char* const kEnd = nullptr;

bool belongs(const fs_plat_found& found, std::int8_t mode) {
  if (mode != 1) return !found.is_directory;
  return found.is_directory && std::strcmp(found.name, ".") != 0 &&
         std::strcmp(found.name, "..") != 0;
}

void fill(fs_dir_entry* e, const fs_plat_found& found) {
  fs_copy(e->name, sizeof e->name, found.name);
  e->is_directory = e->mode == 1 ? 1 : 0;
  e->size = found.size;
  e->write_time = found.write_time;
}

bool is_test_flag(const char* name, const char* service) {
  char flag[512];
  if (fs_build(flag, sizeof flag, "tst-", service, ".rlm", kEnd)) return false;
  return fs_casecmp(name, flag) == 0;
}

}  // namespace

fs_dir_entry* fs_find_first(const char* pattern, int mode) {
  FS_TRACE(FS_EV_TRACE_WALK, pattern);
  fs_plat_found found;
  void* search = fs_plat_find_first(pattern, &found);
  if (!search) return nullptr;
  const std::int8_t m = mode == 1 ? 1 : 0;
  while (!belongs(found, m)) {
    if (!fs_plat_find_next(search, &found)) {
      fs_plat_find_close(search);
      return nullptr;
    }
  }
  auto* e = static_cast<fs_dir_entry*>(std::malloc(sizeof(fs_dir_entry)));
  if (!e) {
    // The host decides what to do without memory; the walk just yields
    // nothing.
    fs_plat_find_close(search);
    FS_REPORT(1, FS_EV_NO_MEMORY, "");
    return nullptr;
  }
  e->mode = m;
  e->search = search;
  fill(e, found);
  return e;
}

fs_dir_entry* fs_find_next(fs_dir_entry* e) {
  if (!e) return nullptr;
  fs_plat_found found;
  do {
    if (!fs_plat_find_next(e->search, &found)) {
      fs_find_close(e);
      return nullptr;
    }
  } while (!belongs(found, e->mode));
  fill(e, found);
  return e;
}

void fs_find_close(fs_dir_entry* e) {
  if (!e) return;
  fs_plat_find_close(e->search);
  std::free(e);
}

int fs_poll_flags(const char* service) {
  if (!fs_flag_pattern[0] || !fs_flag_pattern_valid) {
    char* path = fs_reg_get("global", "system", "path");
    // A system path too long for the pattern is refused like a missing one.
    const int cut = path ? fs_build(fs_flag_pattern, sizeof fs_flag_pattern, path,
                                    "flag\\*.rlm", kEnd)
                         : 1;
    std::free(path);
    if (cut) {
      fs_flag_pattern[0] = '\0';
      fs_flag_pattern_valid = false;
      FS_REPORT(1, FS_EV_SETTING_MISSING, "");
      return 3;
    }
    fs_flag_pattern_valid = true;
  }

  fs_dir_entry* e = fs_find_first(fs_flag_pattern, 0);
  fs_trace_level = 0;
  int result = 2;
  for (; e; e = fs_find_next(e)) {
    const char* name = e->name;
    if (std::strlen(name) >= 5 && name[4] >= '0' && name[4] <= '5') {
      fs_trace_level = name[4] - '0';
    } else if (fs_casecmp(name, "run.rlm") == 0) {
      result = 0;
    } else if (fs_casecmp(name, "pause.rlm") == 0) {
      result = 1;
    } else if (fs_casecmp(name, "stop.rlm") == 0) {
      fs_flag_pattern_valid = false;
      result = 2;
    } else if (fs_casecmp(name, "down.rlm") == 0) {
      result = 3;
    } else if (service && is_test_flag(name, service)) {
      char* path = fs_reg_get("global", "system", "path");
      if (!path) {
        fs_find_close(e);
        FS_REPORT(1, FS_EV_SETTING_MISSING, "");
        return 3;
      }
      char flag[512];
      if (!fs_build(flag, sizeof flag, path, "flag\\", name, kEnd)) fs_plat_delete(flag);
      std::free(path);
    }
  }
  return result;
}
