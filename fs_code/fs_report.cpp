// Event log reporting under the family's source names.
#include <cstring>

#include "fs_internal.h"

static const char* const kSources[] = {
    "null    ",
    "Relaymark.Server",
    "Relaymark.Archivist",
    "Relaymark.Database",
    "Relaymark.Gate.Fax",
    "Relaymark.Gate.Mail",
    "Relaymark.Router",
    "Relaymark.Router",
    "Relaymark.FA_API",
    "Relaymark.FS_API",
    "Relaymark.SysAtt",
};
static const char kLineDriver[] = "Relaymark.LineDrv";

static const fs_event_sink* g_sink = nullptr;

void fs_set_event_sink(const fs_event_sink* sink) { g_sink = sink; }

const char* fs_source_name(int component) {
  if (component < 99) {
    // Numbers 11 to 98 and negative ones name no component; they fall back
    // to the placeholder source of component 0 rather than reading past
    // the table.
    if (component < 0 || component > 10) return kSources[0];
    return kSources[component];
  }
  return kLineDriver;
}

static unsigned event_type(int level) {
  switch (level) {
    case 2: return FS_EVENT_WARNING;
    case 3: return FS_EVENT_INFORMATION;
    case 4: return FS_EVENT_AUDIT_FAILURE;
    default: return FS_EVENT_ERROR;
  }
}

static int emit(int component, int level, std::uint32_t event, const char* first,
                const char* second) {
  const char* source = fs_source_name(component);
  const unsigned type = event_type(level);
  if (!first) first = "";
  if (!second) second = "";
  if (g_sink) {
    void* h = g_sink->open(g_sink->context, source);
    if (!h) return 0;
    g_sink->write(g_sink->context, h, type, event, first, second);
    g_sink->close(g_sink->context, h);
    return 0;
  }
  void* h = fs_plat_event_open(source);
  if (!h) return 0;
  fs_plat_event_write(h, type, event, first, second);
  fs_plat_event_close(h);
  return 0;
}

int fs_report(int component, int level, std::uint32_t event, const char* text,
              const char* location) {
  return emit(component, level, event, text, location);
}

// "%02d (d)" / "%02d (i)" without pulling in the printf family.
static void driver_label(char* out, int number, char kind) {
  int len = 0;
  if (number < 0) out[len++] = '-';  // component 99 gives "-1 (d)"
  const unsigned v = number < 0 ? static_cast<unsigned>(-number) : static_cast<unsigned>(number);
  len += fs_decimal(out + len, v, 2 - len);
  out[len++] = ' ';
  out[len++] = '(';
  out[len++] = kind;
  out[len++] = ')';
  out[len] = '\0';
}

int fs_report_brief(int component, int level, std::uint32_t event, const char* text) {
  char label[24] = "";
  if (component >= 300)
    driver_label(label, component - 300, 'i');
  else if (component >= 99)
    driver_label(label, component - 100, 'd');
  return emit(component, level, event, text, label);
}

int fs_report_at(int level, std::uint32_t event, const char* text, const char* file,
                 unsigned line) {
  // Message and location go through buffers of 256 bytes each.
  char message[256];
  fs_copy(message, sizeof message, text);
  char number[12];
  fs_decimal(number, line, 1);
  char location[256];
  fs_build(location, sizeof location, "[", file, ":", number, "]", static_cast<const char*>(nullptr));
  return fs_report(FS_COMPONENT, level, event, message, location);
}
