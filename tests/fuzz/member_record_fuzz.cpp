// Fuzz target: arbitrary bytes as a member header payload, its record read
// and judged as every reader does. A record taken as sound must hold what
// the readers then rely on: names that are UTF-8 and pass the path check,
// within the header's spare bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Short inputs fill the header from the front, the rest stays zero.
  std::vector<std::uint8_t> h(SFX_MEMBER_HEADER_SIZE, 0);
  std::memcpy(h.data(), data, size < h.size() ? size : h.size());
  sfx_member m{};
  if (sfx_member_parse(h.data(), static_cast<std::uint32_t>(h.size()), &m) != SFX_OK) return 0;
  sfx_record rec;
  const char* why = nullptr;
  const int st = sfx_record_read(h.data(), &m, &rec, &why);
  FUZZ_CHECK(st == SFX_OK || st == SFX_E_RECORD);
  FUZZ_CHECK((st == SFX_OK) == (why == nullptr));
  if (!rec.present) return 0;
  FUZZ_CHECK(st == SFX_OK);
  FUZZ_CHECK(sfx_record_check(&m, &rec) == nullptr);
  const std::size_t spare = SFX_DIR_FIELD - std::strlen(m.dir) - 1 + SFX_NAME_FIELD - std::strlen(m.name) - 1;
  FUZZ_CHECK(rec.dir_len + rec.name_len + SFX_RECORD_HEAD + SFX_RECORD_CHECK <= spare);
  for (const auto& [s, n] : {std::pair{rec.dir, rec.dir_len}, std::pair{rec.name, rec.name_len}}) {
    if (!s) continue;
    FUZZ_CHECK(sfx_utf8_valid(s, n));
    FUZZ_CHECK(std::memchr(s, '\\', n) == nullptr);
  }
  if (rec.name) FUZZ_CHECK(rec.name_len > 0 && std::memchr(rec.name, '/', rec.name_len) == nullptr);
  return 0;
}
