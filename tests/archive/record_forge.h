// Member records made by hand, sound or not, and the member headers that
// carry them: for the tests of every reader of the record.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "checksum.h"
#include "record.h"

namespace forge {

using Bytes = std::vector<std::uint8_t>;

inline Bytes field(std::uint8_t tag, const std::string& value) {
  Bytes b(3 + value.size());
  b[0] = tag;
  b[1] = static_cast<std::uint8_t>(value.size());
  b[2] = static_cast<std::uint8_t>(value.size() >> 8);
  std::memcpy(b.data() + 3, value.data(), value.size());
  return b;
}
inline Bytes crc(std::uint32_t v) {
  return field(SFX_TAG_CRC, std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                                        static_cast<char>(v >> 24)});
}
inline Bytes codepage(unsigned cp) {
  return field(SFX_TAG_CODEPAGE, std::string{static_cast<char>(cp), static_cast<char>(cp >> 8)});
}
inline Bytes operator+(const Bytes& a, const Bytes& b) {
  Bytes r(a.size() + b.size());
  if (!a.empty()) std::memcpy(r.data(), a.data(), a.size());
  if (!b.empty()) std::memcpy(r.data() + a.size(), b.data(), b.size());
  return r;
}

// Marker, version, the fields' length (the true one unless `length` is
// given), the fields and a check that agrees with all before it.
inline Bytes record(const Bytes& fields, long length = -1, std::uint8_t version = SFX_RECORD_VERSION) {
  const auto n = static_cast<std::uint32_t>(length < 0 ? static_cast<long>(fields.size()) : length);
  Bytes r(SFX_RECORD_MARKER, SFX_RECORD_MARKER + 4);
  r.push_back(version);
  r.push_back(static_cast<std::uint8_t>(n));
  r.push_back(static_cast<std::uint8_t>(n >> 8));
  r = r + fields;
  const std::uint32_t c = sfx_crc32c(0, r.data(), r.size());
  for (int k = 0; k < 4; ++k) r.push_back(static_cast<std::uint8_t>(c >> (8 * k)));
  return r;
}

// A 772-byte member header whose spare bytes start with `rec`: after the
// directory's zero, going on after the name's zero. `rec` is cut where the
// two fields end.
inline Bytes header(const std::string& dir, const std::string& name, std::int32_t time, const Bytes& rec) {
  Bytes h(SFX_MEMBER_HEADER_SIZE, 0);
  std::memcpy(h.data(), dir.data(), dir.size());
  std::memcpy(h.data() + SFX_NAME_OFFSET, name.data(), name.size());
  codec_store_le32(h.data() + SFX_TIME_OFFSET, static_cast<std::uint32_t>(time));
  std::size_t at = 0;
  for (std::size_t k = dir.size() + 1; k < SFX_DIR_FIELD && at < rec.size(); ++k) h[k] = rec[at++];
  for (std::size_t k = SFX_NAME_OFFSET + name.size() + 1; k < SFX_TIME_OFFSET && at < rec.size(); ++k)
    h[k] = rec[at++];
  return h;
}

}  // namespace forge
