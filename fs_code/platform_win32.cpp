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


std::FILE* fs_plat_fopen(const char* path, const char* mode) { return std::fopen(path, mode); }
