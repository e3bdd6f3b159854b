// Decompressor core, shared by codec_decompress and the token trace used
// by the tests and the packer's diagnostics.
#pragma once

#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstring>

#include "codec.h"
#include "model.h"

namespace codec {
namespace {

// Reads past the end of the input before the codec raises a report.
constexpr std::uint32_t kOverreadLimit = 100;

// The decoder tracks the code value relative to low (d = value - low, modulo
// 2^32): every renormalising step doubles it and adds the next bit whatever
// it subtracts from low, high and value alike, so a run of k steps is one
// shift by k and the next k bits.
struct Decoder {
  const std::uint8_t* in;
  std::uint32_t in_len;
  std::uint32_t in_pos;      // next byte to load into the bit window
  std::uint64_t window;      // unread bits, most significant first
  unsigned window_bits;
  std::uint64_t consumed;    // bits taken so far
  std::uint32_t low, high, d;
  Model model;
  const std::uint64_t* division;  // see Divider
  std::uint32_t size;        // what the size header promises
  std::uint32_t produced;    // bytes decoded so far (a damaged stream's last match may pass size)
  unsigned r;                // the ring's next position
  std::uint8_t ring[kRingSize];
};

// The next k bits (0 to 40); past the end of the input every bit is 1.
inline std::uint32_t take_bits(Decoder& d, unsigned k) {
  if (k == 0) return 0;
  while (d.window_bits <= 56) {
    const std::uint64_t b = d.in_pos < d.in_len ? d.in[d.in_pos++] : 0xFFu;
    d.window |= b << (56 - d.window_bits);
    d.window_bits += 8;
  }
  const std::uint64_t v = d.window >> (64 - k);
  d.window <<= k;
  d.window_bits -= k;
  d.consumed += k;
  return static_cast<std::uint32_t>(v);
}

// Renormalise after a narrowing: first the steps where low and high - 1
// share their top bit, then those where the interval sits in the middle half.
inline void renormalise(Decoder& d) {
  std::uint32_t L = d.low;
  std::uint32_t H = d.high - 1;
  const std::uint32_t diff = (L ^ H) & 0x1FFFFu;
  const unsigned k1 = diff ? static_cast<unsigned>(__builtin_clz(diff)) - 15u : 17u;
  L = (L << k1) & 0x1FFFFu;
  H = ((H << k1) | ((1u << k1) - 1u)) & 0x1FFFFu;
  const std::uint32_t mid = (L & ~H) & 0xFFFFu;
  const unsigned k3 = static_cast<unsigned>(__builtin_clz(~(mid << 16)));
  L = (L << k3) & 0xFFFFu;
  H = (((H << k3) | ((1u << k3) - 1u)) & 0xFFFFu) | 0x10000u;
  d.low = L;
  d.high = H + 1;
  const unsigned k = k1 + k3;
  d.d = static_cast<std::uint32_t>((static_cast<std::uint64_t>(d.d) << k) | take_bits(d, k));
}

// The smallest rank whose cumulative entry is at most x. The entries fall
// with the rank and the likely symbols hold the first ranks, so a scan from
// the front, a block of eight entries at a time, ends early.
inline unsigned find_rank(const Model& m, std::uint32_t x) {
  // Entries are at most 32767; a larger x (a damaged stream) finds rank 1
  // either way, and the clamp keeps the compare within signed 16 bits.
  const std::uint32_t xc = x < kMaxCum ? x : kMaxCum;
#if defined(__SSE2__)
  const __m128i vx = _mm_set1_epi16(static_cast<short>(xc));
  // Rank 0 (the total) is no candidate.
  unsigned skip = 0x3u;
  for (unsigned b = 0;; ++b) {
    const __m128i loc = _mm_load_si128(reinterpret_cast<const __m128i*>(m.local + 8 * b));
    const __m128i c = _mm_add_epi16(loc, _mm_set1_epi16(static_cast<short>(m.block[b])));
    const unsigned above = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi16(c, vx))) | skip;
    if (above != 0xFFFFu) return 8 * b + static_cast<unsigned>(__builtin_ctz(~above)) / 2u;
    skip = 0;
  }
#else
  unsigned lo = 1, hi = kChars;
  while (lo < hi) {
    const unsigned mid = (lo + hi) / 2;
    if (model_cum(m, mid) > xc) lo = mid + 1; else hi = mid;
  }
  return lo;
#endif
}

inline unsigned decode_char(Decoder& d) {
  Model& m = d.model;
  const std::uint32_t range = d.high - d.low;
  const std::uint32_t total = model_total(m);
  const std::uint32_t x = ((d.d + 1) * total - 1) / range;
  const unsigned i = find_rank(m, x);
  const std::uint32_t low = d.low;
  const Divider by_total(d.division, total);
  const std::uint32_t step = by_total(range * model_cum(m, i));
  d.high = low + by_total(range * model_cum(m, i - 1));
  d.low = low + step;
  d.d -= step;
  renormalise(d);
  const unsigned c = m.sym_to_char[i];
  model_update(m, i);
  return c;
}

inline unsigned decode_position(Decoder& d) {
  const std::uint32_t range = d.high - d.low;
  const std::uint32_t x = ((d.d + 1) * kPosTotal - 1) / range;
  // x past the total (a damaged stream) finds position 0 either way.
  const std::uint32_t xc = x < kPosTotal ? x : kPosTotal - 1;
  unsigned i = pos_start[xc >> kPosBucketShift];
  while (pos_cum[i] > xc) ++i;
  const unsigned p = i - 1;
  const std::uint32_t low = d.low;
  const std::uint32_t step = range * pos_cum[p + 1] / kPosTotal;
  d.high = low + range * pos_cum[p] / kPosTotal;
  d.low = low + step;
  d.d -= step;
  renormalise(d);
  return p;
}

}  // namespace

// Sets the decoder up at the start of a stream of input_len bytes (at
// least the size header).
inline void decoder_start(Decoder& d, const std::uint8_t* input, std::uint32_t input_len) {
  d.in = input;
  d.in_len = input_len;
  d.in_pos = 4;
  d.window = 0;
  d.window_bits = 0;
  d.consumed = 0;
  d.size = codec_load_le32(input);
  d.produced = 0;
  d.r = kPrefill;
  if (d.size == 0) return;
  d.low = 0;
  d.high = kQ4;
  d.d = take_bits(d, 17);
  model_init(d.model);
  d.division = division_table();
  std::memset(d.ring, ' ', kPrefill);
  // A valid stream writes the positions from kPrefill on before any match
  // reads them; a damaged one may read them first, and then it reads zeros,
  // never what the stack held.
  std::memset(d.ring + kPrefill, 0, kRingSize - kPrefill);
}

// Decodes tokens into output from `written` on until the stream has
// produced its size or `written` reaches `stop` (at most output_cap); the
// bytes of a match beyond output_cap are dropped, and the ring goes on. The
// decoder's state is left where the last token ended, so another call goes
// on from there. Returns the new `written`.
template <class OnToken>
inline std::uint32_t decode_run(Decoder& d, std::uint8_t* output, std::uint32_t written, std::uint32_t stop,
                                std::uint32_t output_cap, OnToken&& on_token) {
  // Kept in locals: every byte stored through output may alias the record.
  unsigned r = d.r;
  std::uint32_t produced = d.produced;
  const std::uint32_t size = d.size;
  while (produced < size && written < stop) {
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
  d.r = r;
  d.produced = produced;
  return written;
}

// The bit reader fetches a byte when it needs its first bit: the bytes so
// taken beyond the end of the input. A valid stream goes one or two bytes
// over; a damaged one may go far.
// The coder's register holds 17 bits beyond those that the encoder had
// given out, and the encoder's last bits end within the byte before: the
// stream ends at byte 3 + consumed / 8 (its header included). An empty
// stream is its header alone.
inline std::uint32_t decoder_length(const Decoder& d) {
  if (d.consumed == 0) return 4;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(3 + d.consumed / 8, 0xFFFFFFFFu));
}

inline std::uint32_t decoder_overread(const Decoder& d) {
  const std::uint64_t fetched = 4 + (d.consumed + 7) / 8;
  return fetched > d.in_len ? static_cast<std::uint32_t>(std::min<std::uint64_t>(fetched - d.in_len, 0xFFFFFFFFu))
                            : 0;
}

// on_token(code, position) is called for every character code (position 0
// for literals); a no-op callback costs nothing.
template <class OnToken>
int decode_stream(const std::uint8_t* input, std::uint8_t* output, std::uint32_t input_len,
                  std::uint32_t output_cap, CodecDecodeStats* stats, OnToken&& on_token) {
  if (stats) *stats = CodecDecodeStats{};
  CodecReport* report = stats ? &stats->report : nullptr;
  if (input_len < 4) {
    report_error(report, 1);
    return CODEC_BAD_HEADER;
  }
  if (codec_load_le32(input) == 0) {
    if (stats) stats->length = 4;
    return CODEC_OK;
  }

  Decoder d;
  decoder_start(d, input, input_len);
  // Output beyond the capacity would only be dropped, so decoding stops once
  // the output is full: the bytes and the status are the same, and a damaged
  // size header cannot keep the decoder busy for billions of symbols.
  decode_run(d, output, 0, output_cap, output_cap, on_token);
  // A damaged stream's overread is reported once.
  const std::uint32_t overread = decoder_overread(d);
  if (overread > kOverreadLimit) report_error(report, 2);
  if (stats) {
    stats->produced = d.produced;
    stats->overread = overread;
    stats->length = decoder_length(d);
  }
  return CODEC_OK;
}

}  // namespace codec
