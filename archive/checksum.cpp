// CRC-32C, eight bytes at a time from tables made at the first call (the
// stub carries the code that makes them, not the 8 KiB they fill; the
// first call is made on one thread).
#include "checksum.h"

#include <cstdlib>

namespace {

using Tables = std::uint32_t[8][256];
Tables* g_tables = nullptr;

// Bit by bit, where no memory for the tables could be had.
std::uint32_t slow(std::uint32_t c, const std::uint8_t* p, std::size_t n) {
  for (; n > 0; --n, ++p) {
    c ^= *p;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0x82F63B78u & (0u - (c & 1u)));
  }
  return c;
}

bool make_tables() {
  auto* t = static_cast<Tables*>(std::malloc(sizeof(Tables)));
  if (!t) return false;
  std::uint32_t (&g_table)[8][256] = *t;
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t c = b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0x82F63B78u & (0u - (c & 1u)));
    g_table[0][b] = c;
  }
  for (std::uint32_t b = 0; b < 256; ++b)
    for (int k = 1; k < 8; ++k) g_table[k][b] = (g_table[k - 1][b] >> 8) ^ g_table[0][g_table[k - 1][b] & 0xFF];
  g_tables = t;
  return true;
}

}  // namespace

std::uint32_t sfx_crc32c(std::uint32_t crc, const void* data, std::size_t n) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::uint32_t c = ~crc;
  if (!g_tables && !make_tables()) return ~slow(c, p, n);
  const std::uint32_t (&g_table)[8][256] = *g_tables;
  for (; n >= 8; n -= 8, p += 8) {
    c ^= static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    c = g_table[7][c & 0xFF] ^ g_table[6][(c >> 8) & 0xFF] ^ g_table[5][(c >> 16) & 0xFF] ^ g_table[4][c >> 24] ^
        g_table[3][p[4]] ^ g_table[2][p[5]] ^ g_table[1][p[6]] ^ g_table[0][p[7]];
  }
  for (; n > 0; --n, ++p) c = (c >> 8) ^ g_table[0][(c ^ *p) & 0xFF];
  return ~c;
}
