// POSIX side of the platform seam: syslog stands in for the event log,
// sleeping and file opening accept Windows-style paths.
#include <syslog.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fs_internal.h"

namespace {
struct event_source {
  char name[64];
};
}  // namespace

void* fs_plat_event_open(const char* source) {
  auto* h = static_cast<event_source*>(std::malloc(sizeof(event_source)));
  if (!h) return nullptr;
  fs_copy(h->name, sizeof h->name, source);
  return h;
}

void fs_plat_event_write(void* handle, unsigned type, std::uint32_t event, const char* first,
                         const char* second) {
  auto* h = static_cast<event_source*>(handle);
  int priority = LOG_ERR;
  const char* kind = "error";
  if (type == FS_EVENT_WARNING) {
    priority = LOG_WARNING;
    kind = "warning";
  } else if (type == FS_EVENT_INFORMATION) {
    priority = LOG_INFO;
    kind = "information";
  } else if (type == FS_EVENT_AUDIT_FAILURE) {
    priority = LOG_AUTH | LOG_NOTICE;
    kind = "audit failure";
  }
  openlog(h->name, LOG_PID, LOG_USER);
  syslog(priority, "%s 0x%08lX: %s %s", kind, static_cast<unsigned long>(event), first, second);
  closelog();
}

void fs_plat_event_close(void* handle) { std::free(handle); }

void fs_sleep(unsigned milliseconds) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(milliseconds / 1000);
  ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}


bool fs_posix_path(const char* path, char* out, std::size_t room) {
  if (fs_build(out, room, path, static_cast<const char*>(nullptr))) {
    errno = ENAMETOOLONG;
    return false;
  }
  for (char* p = out; *p; ++p)
    if (*p == '\\') *p = '/';
  return true;
}

std::FILE* fs_plat_fopen(const char* path, const char* mode) {
  char native[1024];
  if (!fs_posix_path(path, native, sizeof native)) return nullptr;
  return std::fopen(native, mode);
}
