// Win32 registry access below HKEY_LOCAL_MACHINE, local or remote.
#include <windows.h>

#include "fs_internal.h"

void* fs_plat_reg_local_root(void) { return HKEY_LOCAL_MACHINE; }

void* fs_plat_reg_connect(const char* machine) {
  HKEY root = nullptr;
  if (RegConnectRegistryA(machine, HKEY_LOCAL_MACHINE, &root) != ERROR_SUCCESS) return nullptr;
  return root;
}

void fs_plat_reg_disconnect(void* root) { RegCloseKey(static_cast<HKEY>(root)); }

void* fs_plat_reg_open(void* root, const char* path) {
  // Settings are only read: a process without the right to change them
  // still reads them.
  HKEY key = nullptr;
  if (RegOpenKeyExA(static_cast<HKEY>(root), path, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return nullptr;
  return key;
}

bool fs_plat_reg_query(void* key, const char* name, char* buf, std::size_t size) {
  DWORD n = static_cast<DWORD>(size);
  if (RegQueryValueExA(static_cast<HKEY>(key), name, nullptr, nullptr,
                       reinterpret_cast<BYTE*>(buf), &n) != ERROR_SUCCESS)
    return false;
  if (n < size) buf[n] = '\0';
  return true;
}

bool fs_plat_reg_close(void* key) { return RegCloseKey(static_cast<HKEY>(key)) == ERROR_SUCCESS; }

void fs_settings_root(const char*) {}
