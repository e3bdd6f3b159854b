// Feeds arbitrary bytes to the configuration file reader as a file, and
// to the parser of texts in memory.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <cstdlib>

#include "fuzz_check.h"
#include "fs_code.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = [] {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp ? tmp : "/tmp") + "/fs_ini_fuzz_" + std::to_string(getpid()) + ".ini";
  }();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  fs_ini_entry* t = fs_ini_read(path.c_str());
  if (t) {
    // The same bytes parsed in memory give the same table.
    fs_ini_entry* parsed = fs_ini_parse(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(parsed != nullptr);
    std::size_t n = 0, m = 0;
    while (t[n].section[0]) ++n;
    while (parsed[m].section[0]) ++m;
    FUZZ_CHECK(m == n && std::memcmp(parsed, t, (n + 1) * sizeof(fs_ini_entry)) == 0);
    fs_ini_free(parsed);
    // Every entry stays inside its widths and lookups walk to the end entry.
    for (fs_ini_entry* e = t; e->section[0]; ++e) {
      FUZZ_CHECK(std::strlen(e->section) <= 12 && std::strlen(e->key) <= 19 && std::strlen(e->value) <= 126);
      FUZZ_CHECK(fs_ini_find(t, e->section, e->key) != nullptr);
    }
    fs_ini_find_last(t, "ALL", "X");
    fs_ini_entry extra{};
    std::strcpy(extra.section, "S");
    fs_ini_entry* grown = fs_ini_append(t, &extra);
    if (grown) t = grown;
    fs_ini_write(t, (path + ".out").c_str());
    fs_ini_free(t);
  }
  return 0;
}
