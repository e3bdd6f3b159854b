// Loads arbitrary bytes as a numbered text catalogue.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "fs_code.h"

// Markers may name any number; huge ones make the loader ask for a huge
// table, which must fail cleanly rather than abort the fuzzer.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Keep the slot tables small enough to walk quickly.
  for (std::size_t i = 0; i + 1 < size; ++i)
    if (data[i] == '@') {
      std::size_t digits = 0;
      while (i + 1 + digits < size && data[i + 1 + digits] >= '0' && data[i + 1 + digits] <= '9')
        ++digits;
      if (digits > 5) return 0;
    }
  static const std::string path = [] {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp ? tmp : "/tmp") + "/fs_catalog_fuzz_" + std::to_string(getpid());
  }();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  int count = 0;
  char** table = fs_catalog_load(path.c_str(), &count);
  if (table) {
    for (int i = 0; i < count; ++i)
      FUZZ_CHECK(!table[i] || std::strlen(table[i]) < 10000);
    fs_catalog_free(table, count);
  }
  return 0;
}
