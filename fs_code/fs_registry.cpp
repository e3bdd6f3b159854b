// Settings lookup by scope.section.name below SOFTWARE\Quillon\Relaymark,
// local or on the server machine that 0local.system.server names.
#include <cstdlib>
#include <cstring>

#include "fs_internal.h"

namespace {

constexpr std::size_t kValueRoom = 299;  // data buffer; texts up to 298 characters
const char kFamilyKey[] = "SOFTWARE\\Quillon\\Relaymark\\";
const char* const kEnd = nullptr;

// "scope.section.name"; an absent section prints as nothing between the dots.
void dotted(char* out, std::size_t room, const char* scope, const char* section,
            const char* name) {
  fs_build(out, room, scope, ".", section ? section : "", ".", name, kEnd);
}

void warn_unreadable(const char* scope, const char* section, const char* name) {
  char text[256];
  dotted(text, sizeof text, scope, section, name);
  FS_REPORT(2, FS_EV_SETTING_UNREADABLE, text);
}

// Opens the key, reads the value, closes the key: a new text or null.
char* read_value(void* root, const char* scope, const char* section, const char* name) {
  char path[512];
  const int cut = section ? fs_build(path, sizeof path, kFamilyKey, scope, "\\", section, kEnd)
                          : fs_build(path, sizeof path, kFamilyKey, scope, kEnd);
  void* key = cut ? nullptr : fs_plat_reg_open(root, path);
  if (!key) {
    warn_unreadable(scope, section, name);
    return nullptr;
  }
  char data[kValueRoom + 1];
  if (!fs_plat_reg_query(key, name, data, kValueRoom)) {
    fs_plat_reg_close(key);
    warn_unreadable(scope, section, name);
    return nullptr;
  }
  data[kValueRoom] = '\0';  // data that filled the buffer without a zero byte
  if (!fs_plat_reg_close(key)) {
    FS_REPORT(1, FS_EV_KEY_CLOSE, "");
    return nullptr;
  }
  char* text = fs_strdup(data);
  if (!text) FS_REPORT(1, FS_EV_NO_MEMORY, "");
  return text;
}

}  // namespace

char* fs_reg_get(const char* scope, const char* section, const char* name) {
  if (scope[0] != '0') {
    char* server = fs_reg_get("0local", "system", "server");
    if (!server) {
      FS_REPORT(2, FS_EV_SETTING_UNREADABLE, "0local.system.server");
      return nullptr;
    }
    if (server[0] != '*') {
      char* text = fs_reg_get_remote(server, scope, section, name);
      std::free(server);
      return text;
    }
    std::free(server);
  }
  return read_value(fs_plat_reg_local_root(), scope, section, name);
}

char* fs_reg_get_remote(const char* server, const char* scope, const char* section,
                        const char* name) {
  char machine[300];
  void* root = nullptr;
  if (!fs_build(machine, sizeof machine, "\\\\", server, kEnd)) root = fs_plat_reg_connect(machine);
  if (!root) {
    char where[256];
    char text[256];
    dotted(where, sizeof where, scope, section, name);
    fs_build(text, sizeof text, "\\", server, ": ", where, kEnd);
    FS_REPORT(2, FS_EV_SETTING_UNREADABLE, text);
    return nullptr;
  }
  char* text = read_value(root, scope, section, name);
  fs_plat_reg_disconnect(root);
  return text;
}
