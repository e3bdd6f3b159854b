// Decompressor core, shared by codec_decompress and the token trace used
// by the tests and the packer's diagnostics.
#pragma once

#include <cstring>

#include "codec.h"
#include "model.h"

namespace codec {
namespace {

// Reads past the end of the input before the codec raises a report.
constexpr std::uint32_t kOverreadLimit = 100;

struct Decoder {
  const std::uint8_t* in;
  std::uint32_t in_len;
  std::uint32_t in_pos;
  std::uint32_t overread;
  std::uint32_t low, high, value;
  std::uint32_t byte;   // byte being consumed
  std::uint32_t mask;   // next bit of `byte`; 0 = fetch a new byte
  Model model;
  std::uint8_t ring[kRingSize];
};

inline std::uint32_t next_byte(Decoder& d) {
  if (d.in_pos < d.in_len) return d.in[d.in_pos++];
  // Past the end every bit reads as 1. A valid stream goes one or two bytes
  // over; a damaged one may go on for long, so it is reported once.
  if (++d.overread == kOverreadLimit + 1) sfx_report_codec_error(2);
  return 0xFF;
}

inline std::uint32_t next_bit(Decoder& d) {
  d.mask >>= 1;
  if (d.mask == 0) {
    d.byte = next_byte(d);
    d.mask = 0x80;
  }
  return (d.byte & d.mask) != 0;
}

inline void renormalise(Decoder& d) {
  std::uint32_t low = d.low, high = d.high, value = d.value;
  for (;;) {
    if (low >= kQ2) {
      value -= kQ2; low -= kQ2; high -= kQ2;
    } else if (low >= kQ1 && high <= kQ3) {
      value -= kQ1; low -= kQ1; high -= kQ1;
    } else if (high > kQ2) {
      break;
    }
    low <<= 1;
    high <<= 1;
    value = (value << 1) + next_bit(d);
  }
  d.low = low; d.high = high; d.value = value;
}

inline unsigned decode_char(Decoder& d) {
  Model& m = d.model;
  const std::uint32_t range = d.high - d.low;
  const std::uint32_t total = m.cum[0];
  const std::uint32_t x = ((d.value - d.low + 1) * total - 1) / range;
  // Smallest rank whose cumulative entry is at most x (the table falls).
  unsigned i = 1, j = kChars;
  while (i < j) {
    unsigned mid = (i + j) >> 1;
    if (m.cum[mid] > x) i = mid + 1; else j = mid;
  }
  const std::uint32_t low = d.low;
  d.high = low + range * m.cum[i - 1] / total;
  d.low = low + range * m.cum[i] / total;
  renormalise(d);
  const unsigned c = m.sym_to_char[i];
  model_update(m, i);
  return c;
}

inline unsigned decode_position(Decoder& d) {
  const std::uint32_t range = d.high - d.low;
  const std::uint32_t x = ((d.value - d.low + 1) * kPosTotal - 1) / range;
  unsigned i = 1, j = kRingSize;
  while (i < j) {
    unsigned mid = (i + j) >> 1;
    if (pos_cum[mid] > x) i = mid + 1; else j = mid;
  }
  const unsigned p = i - 1;
  const std::uint32_t low = d.low;
  d.high = low + range * pos_cum[p] / kPosTotal;
  d.low = low + range * pos_cum[p + 1] / kPosTotal;
  renormalise(d);
  return p;
}

}  // namespace

// on_token(code, position) is called for every character code (position 0
// for literals); a no-op callback costs nothing.
template <class OnToken>
int decode_stream(const std::uint8_t* input, std::uint8_t* output, std::uint32_t input_len,
                  std::uint32_t output_cap, CodecDecodeStats* stats, OnToken&& on_token) {
  if (stats) *stats = CodecDecodeStats{0, 0};
  if (input_len < 4) {
    sfx_report_codec_error(1);
    return CODEC_BAD_HEADER;
  }
  const std::uint32_t size = static_cast<std::uint32_t>(input[0]) | (static_cast<std::uint32_t>(input[1]) << 8) |
                             (static_cast<std::uint32_t>(input[2]) << 16) |
                             (static_cast<std::uint32_t>(input[3]) << 24);
  if (size == 0) return CODEC_OK;

  Decoder d;
  d.in = input;
  d.in_len = input_len;
  d.in_pos = 4;
  d.overread = 0;
  d.low = 0;
  d.high = kQ4;
  d.value = 0;
  d.byte = 0;
  d.mask = 0;
  for (int k = 0; k < 17; ++k) d.value = 2 * d.value + next_bit(d);
  model_init(d.model);
  std::memset(d.ring, ' ', kPrefill);

  unsigned r = kPrefill;
  std::uint32_t produced = 0;
  std::uint32_t written = 0;
  // Output beyond the capacity would only be dropped, so decoding stops once
  // the output is full: the bytes and the status are the same, and a damaged
  // size header cannot keep the decoder busy for billions of symbols.
  while (produced < size && written < output_cap) {
    const unsigned c = decode_char(d);
    if (c < 256) {
      on_token(c, 0u);
      output[written++] = static_cast<std::uint8_t>(c);
      d.ring[r] = static_cast<std::uint8_t>(c);
      r = (r + 1) & kRingMask;
      ++produced;
    } else {
      const unsigned p = decode_position(d);
      on_token(c, p);
      unsigned from = (r - p - 1) & kRingMask;
      const unsigned len = c - 253;
      for (unsigned k = 0; k < len; ++k) {
        const std::uint8_t b = d.ring[from];
        from = (from + 1) & kRingMask;
        if (written < output_cap) output[written++] = b;
        d.ring[r] = b;
        r = (r + 1) & kRingMask;
      }
      produced += len;
    }
  }
  if (stats) {
    stats->produced = produced;
    stats->overread = d.overread;
  }
  return CODEC_OK;
}

}  // namespace codec
