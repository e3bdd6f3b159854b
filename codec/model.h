// Shared between the decoder and the encoder: the fixed parameters, the
// adaptive model of the 314 character codes and the fixed position table.
#pragma once

#include <cstdint>

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

// Adaptive model over ranks 1..314. Frequencies never rise with the rank,
// cumulative entries fall with it and cum[0] is the total.
struct Model {
  alignas(64) std::uint16_t cum[kChars + 1 + 13];  // padded: the rank scan reads 8 at a time
  alignas(64) std::uint16_t freq[kChars + 1 + 5];
  std::uint16_t sym_to_char[kChars + 1];
  std::uint16_t char_to_sym[kChars];
};

void model_init(Model& m);
void model_rescale(Model& m);

// Rescale when the total has reached the ceiling, then raise symbol s by one,
// swapping it ahead of the lowest rank that shares its frequency.
inline void model_update(Model& m, unsigned s) {
  if (m.cum[0] >= kMaxCum) model_rescale(m);
  // The ranks sharing freq[s] form one run ending at s; find its first rank.
  // freq[1..s] do not rise, and freq[0] = 0 ends the run at rank 1.
  const std::uint16_t f = m.freq[s];
  unsigned i = s;
  if (m.freq[i - 1] == f) {
    unsigned lo = 1, hi = s - 1;  // freq[hi] == f; find the smallest such index
    while (lo < hi) {
      unsigned mid = (lo + hi) / 2;
      if (m.freq[mid] == f) hi = mid; else lo = mid + 1;
    }
    i = lo;
    const std::uint16_t ci = m.sym_to_char[i];
    const std::uint16_t cs = m.sym_to_char[s];
    m.sym_to_char[i] = cs;
    m.sym_to_char[s] = ci;
    m.char_to_sym[ci] = static_cast<std::uint16_t>(s);
    m.char_to_sym[cs] = static_cast<std::uint16_t>(i);
  }
  m.freq[i] = static_cast<std::uint16_t>(f + 1);
  std::uint16_t* c = m.cum;
  for (unsigned j = 0; j < i; ++j) c[j] = static_cast<std::uint16_t>(c[j] + 1);
}

// Fixed position distribution: pos_cum[4096] = 0, pos_cum[0] = 28568.
extern const std::uint16_t* const pos_cum;
// For the decoder's look-up: pos_start[x >> kPosBucketShift] is the smallest
// index whose entry is at most the largest x of that bucket, so the index
// for x is found by stepping up from it a few places at most.
constexpr unsigned kPosBucketShift = 3;
extern const std::uint16_t* const pos_start;

}  // namespace codec
