// Little-endian fields of Windows executables and their resources, read
// and written in byte vectors (the resource rebuild and the branding).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec.h"

namespace qtk::pe {

using Bytes = std::vector<std::uint8_t>;

inline std::uint16_t rd16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
inline std::uint32_t rd32(const Bytes& b, std::size_t at) { return codec_load_le32(b.data() + at); }
inline void wr16(Bytes& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void wr32(Bytes& b, std::size_t at, std::uint32_t v) { codec_store_le32(b.data() + at, v); }
inline void put16(Bytes& b, std::uint32_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void put32(Bytes& b, std::uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}
inline void pad_to(Bytes& b, std::size_t align) {
  while (b.size() % align) b.push_back(0);
}
inline bool fits(const Bytes& b, std::uint64_t at, std::uint64_t n) { return at <= b.size() && n <= b.size() - at; }
inline std::uint64_t align_up(std::uint64_t v, std::uint32_t a) { return (v + a - 1) / a * a; }
inline std::size_t align_up(std::size_t v, std::size_t a) { return (v + a - 1) / a * a; }

}  // namespace qtk::pe
