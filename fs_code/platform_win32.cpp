// Win32 side of the platform seam: the Windows event log, Sleep and files.
#include <windows.h>

#include "fs_internal.h"

void* fs_plat_event_open(const char* source) {
  return RegisterEventSourceA(nullptr, source);
}

void fs_plat_event_write(void* handle, unsigned type, std::uint32_t event, const char* first,
                         const char* second) {
  const char* strings[2] = {first, second};
  ReportEventA(static_cast<HANDLE>(handle), static_cast<WORD>(type), 0, static_cast<DWORD>(event),
               nullptr, 2, 0, strings, nullptr);
}

void fs_plat_event_close(void* handle) { DeregisterEventSource(static_cast<HANDLE>(handle)); }

void fs_sleep(unsigned milliseconds) { Sleep(milliseconds); }


namespace {
bool g_utf8_paths = false;
}  // namespace

void fs_paths_utf8() { g_utf8_paths = true; }

std::FILE* fs_plat_fopen(const char* path, const char* mode) {
  if (!g_utf8_paths) return std::fopen(path, mode);
  // Modes are "rb" and "wb".
  const wchar_t m[3] = {static_cast<wchar_t>(mode[0]), static_cast<wchar_t>(mode[1]), 0};
  wchar_t w[1024];
  return MultiByteToWideChar(CP_UTF8, 0, path, -1, w, 1024) > 0 ? _wfopen(w, m) : nullptr;
}
