// Field substitution over arbitrary template lines. The input's first bytes
// choose the output room and the delimiter and width mark; the rest is the
// line. The output must stay inside its room and end with a zero byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "fs_code.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  static fs_field* fields = [] {
    fs_field* f = fs_fields_new(6);
    fs_fields_add(f, "USER", "Jan");
    fs_fields_add(f, "ID", "12345");
    fs_fields_add(f, "", "empty");
    fs_fields_add(f, "ABCDEFGHIJKL", "%USER%#-9%");
    fs_fields_add(f, "LONG", std::string(300, 'L').c_str());
    return f;
  }();
  const std::size_t room = data[0] % 2 ? data[0] : 60000;
  const char delimiter = data[1] % 4 == 0 ? static_cast<char>(data[1]) : '%';
  const char mark = data[2] % 4 == 0 ? static_cast<char>(data[2]) : '#';
  const std::string line(reinterpret_cast<const char*>(data + 3), size - 3);
  std::vector<char> out(room + 16, '\x55');
  fs_substitute(fields, delimiter, mark, line.c_str(), out.data(), room);
  FUZZ_CHECK(!room || std::memchr(out.data(), 0, room) != nullptr);
  for (std::size_t i = room; i < out.size(); ++i)
    FUZZ_CHECK(out[i] == '\x55');
  // Without a table the line comes back as it is (cut to the room).
  fs_substitute(nullptr, delimiter, mark, line.c_str(), out.data(), room);
  FUZZ_CHECK(!room || std::strncmp(out.data(), line.c_str(), room - 1) == 0);
  return 0;
}
