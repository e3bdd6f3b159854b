// Shared between the decoder and the encoder: the fixed parameters, the
// adaptive model of the 314 character codes and the fixed position table.
#pragma once

#include <cstdint>

#include "codec.h"
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace codec {

constexpr unsigned kRingSize = 4096;
constexpr unsigned kRingMask = kRingSize - 1;
constexpr unsigned kMaxMatch = 60;
constexpr unsigned kThreshold = 2;
constexpr unsigned kChars = 256 - kThreshold + kMaxMatch;  // 314 character codes
constexpr unsigned kPrefill = kRingSize - kMaxMatch;         // 4036 spaces, then r starts
constexpr std::uint32_t kQ1 = 0x8000;
constexpr std::uint32_t kQ2 = 0x10000;
constexpr std::uint32_t kQ3 = 0x18000;
constexpr std::uint32_t kQ4 = 0x20000;
constexpr std::uint32_t kMaxCum = 0x7FFF;
constexpr std::uint32_t kPosTotal = 28568;

// Reports an error code into `report` (null: the caller does not look).
void report_error(CodecReport* report, int code);

// Division by the model's total without a divide instruction, where the
// target has 128-bit products: for every n < 2^32 and d < 2^15,
// floor(n * (floor(2^48 / d) + 1) / 2^48) is floor(n / d), because the
// multiplier's excess adds less than 2^-16 to n / d, while n / d falls short
// of the next integer by at least 1 / d > 2^-15. The multipliers for every
// total are made once; the total moves by one a step, so they are read in
// order.
#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 uint128;
const std::uint64_t* division_table();  // [d] for d = 1..32767
struct Divider {
  std::uint64_t m;
  Divider(const std::uint64_t* table, std::uint32_t d) : m(table[d]) {}
  std::uint32_t operator()(std::uint32_t n) const {
    return static_cast<std::uint32_t>((static_cast<uint128>(n) * m) >> 48);
  }
};
#else
inline const std::uint64_t* division_table() { return nullptr; }
struct Divider {
  std::uint32_t d;
  Divider(const std::uint64_t*, std::uint32_t dd) : d(dd) {}
  std::uint32_t operator()(std::uint32_t n) const { return n / d; }
};
#endif

// Adaptive model over ranks 1..314. Frequencies never rise with the rank,
// cumulative entries fall with it and cum(0) is the total.
//
// An update adds one to the cumulative entries 0 to i - 1, which for a rare
// symbol is most of the table. So the entries are kept in blocks of eight:
// cum(j) = local[j] + block[j / 8], and the update adds one to the blocks
// wholly below i and to the few entries of the block that i cuts.
// first_rank[f] is the first rank whose frequency is f (valid for every f
// that some rank has), so the run of equal frequencies that an update
// promotes over is found without a search.
constexpr unsigned kBlocks = (kChars + 1 + 7) / 8;  // 40 blocks hold entries 0..319
struct Model {
  alignas(16) std::uint16_t local[kBlocks * 8];
  alignas(16) std::uint16_t block[kBlocks + 8];
  std::uint16_t freq[kChars + 2];
  std::uint16_t sym_to_char[kChars + 1];
  std::uint16_t char_to_sym[kChars];
  std::uint16_t first_rank[kMaxCum + 1];
};

void model_init(Model& m);
void model_rescale(Model& m);

inline unsigned model_cum(const Model& m, unsigned j) {
  return static_cast<unsigned>(m.local[j]) + m.block[j >> 3];
}
inline unsigned model_total(const Model& m) { return model_cum(m, 0); }

// Rescale when the total has reached the ceiling, then raise symbol s by one,
// swapping it ahead of the first rank that shares its frequency.
inline void model_update(Model& m, unsigned s) {
  if (model_total(m) >= kMaxCum) model_rescale(m);
  const unsigned f = m.freq[s];
  const unsigned i = m.first_rank[f];
  if (i < s) {
    const std::uint16_t ci = m.sym_to_char[i];
    const std::uint16_t cs = m.sym_to_char[s];
    m.sym_to_char[i] = cs;
    m.sym_to_char[s] = ci;
    m.char_to_sym[ci] = static_cast<std::uint16_t>(s);
    m.char_to_sym[cs] = static_cast<std::uint16_t>(i);
  }
  m.freq[i] = static_cast<std::uint16_t>(f + 1);
  // Rank i leaves the run of f (which now starts after it, if it goes on)
  // and closes the run of f + 1, or starts it when no rank before has f + 1.
  m.first_rank[f] = static_cast<std::uint16_t>(i + 1);
  if (m.freq[i - 1] != f + 1) m.first_rank[f + 1] = static_cast<std::uint16_t>(i);
  // cum(0..i-1) + 1: one to every block wholly below i, and to the entries
  // of the block that i cuts. Without branches: the counts vary at random.
  const unsigned full = i >> 3;
  const unsigned rest = i & 7;
#if defined(__SSE2__)
  const __m128i lanes = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
  const __m128i vfull = _mm_set1_epi16(static_cast<short>(full));
  for (unsigned b = 0; b < kBlocks; b += 8) {
    __m128i* at = reinterpret_cast<__m128i*>(m.block + b);
    const __m128i below = _mm_cmplt_epi16(_mm_add_epi16(lanes, _mm_set1_epi16(static_cast<short>(b))), vfull);
    _mm_store_si128(at, _mm_sub_epi16(_mm_load_si128(at), below));
  }
  __m128i* part = reinterpret_cast<__m128i*>(m.local + (full << 3));
  const __m128i cut = _mm_cmplt_epi16(lanes, _mm_set1_epi16(static_cast<short>(rest)));
  _mm_store_si128(part, _mm_sub_epi16(_mm_load_si128(part), cut));
#else
  for (unsigned b = 0; b < full; ++b) m.block[b] = static_cast<std::uint16_t>(m.block[b] + 1);
  std::uint16_t* part = m.local + (full << 3);
  for (unsigned t = 0; t < rest; ++t) part[t] = static_cast<std::uint16_t>(part[t] + 1);
#endif
}

// Fixed position distribution: pos_cum[4096] = 0, pos_cum[0] = 28568.
// Both tables are built by the first model_init.
extern const std::uint16_t* const pos_cum;
// For the decoder's look-up: pos_start[x >> kPosBucketShift] is the smallest
// index whose entry is at most the largest x of that bucket, so the index
// for x is found by stepping up from it a few places at most.
constexpr unsigned kPosBucketShift = 3;
extern const std::uint16_t* const pos_start;

}  // namespace codec
