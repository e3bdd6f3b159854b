// Small command-line driver of the library for the Wine checks: reads
// settings, polls flags and writes a notification through the Win32 side.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fs_code.h"

static std::int64_t g_now = 0;
static std::int64_t fixed_clock() { return g_now; }

int main(int argc, char** argv) {
  if (argc >= 5 && std::strcmp(argv[1], "get") == 0) {
    const char* section = std::strcmp(argv[3], "-") == 0 ? nullptr : argv[3];
    char* v = fs_reg_get(argv[2], section, argv[4]);
    std::printf("%s\n", v ? v : "<none>");
    std::free(v);
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "computer") == 0) {
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD n = sizeof name;
    if (!GetComputerNameA(name, &n)) return 1;
    std::printf("%s\n", name);
    return 0;
  }
  if (argc >= 3 && std::strcmp(argv[1], "flags") == 0) {
    const int state = fs_poll_flags(argv[2]);
    std::printf("%d %d\n", state, fs_trace_level);
    return 0;
  }
  if (argc >= 3 && std::strcmp(argv[1], "mail") == 0) {
    // mail <seconds> [attachment...]: a fixed request with USER=Jan, ID=12345.
    g_now = std::atoll(argv[2]);
    fs_set_clock(fixed_clock);
    fs_field* fields = fs_fields_new(3);
    fs_fields_add(fields, "USER", "Jan");
    fs_fields_add(fields, "ID", "12345");
    const int rc = fs_mail_out("jan", "jan@example.org", 'M', "en", "subj", "NOTE", '5', "body",
                               fields, argc - 3, argv + 3);
    fs_fields_free(fields);
    std::printf("%d\n", rc);
    return 0;
  }
  std::fprintf(stderr, "usage: fs_wine_probe get|computer|flags|mail ...\n");
  return 2;
}
