// Compressor: LZSS with binary match trees, coded by the arithmetic coder.
// The bytes it writes are fixed by the steps of the format: the same input
// always gives the same stream, whatever was compressed before.
#include <cstdlib>
#include <cstring>
#include <new>

#include "codec.h"
#include "model.h"

namespace codec {
namespace {

constexpr std::uint16_t kNil = kRingSize;        // "none" in the tree tables
constexpr unsigned kHeads = kRingSize + 1;       // right[kHeads + b] roots tree b
constexpr unsigned kMirror = kMaxMatch - 1;      // 59 mirrored bytes

}  // namespace
}  // namespace codec

struct CodecEncoder {
  // Ring plus mirror, plus slack so that word-wide compares may over-read.
  alignas(64) std::uint8_t ring[codec::kRingSize + codec::kMirror + 16];
  std::uint16_t left[codec::kRingSize + 1];
  std::uint16_t right[codec::kRingSize + 257];
  std::uint16_t parent[codec::kRingSize + 1];
  unsigned match_len;
  unsigned match_dist;
  codec::Model model;
  // coder
  std::uint32_t low, high, follow;
  std::uint32_t byte, mask;
  // sink
  std::uint8_t* out;
  std::uint32_t out_cap, out_len;
  int status;
};

namespace codec {
namespace {

inline void put_byte(CodecEncoder& e, std::uint32_t b) {
  if (e.out_len < e.out_cap) {
    e.out[e.out_len] = static_cast<std::uint8_t>(b);
  } else if (e.status == CODEC_OK) {
    e.status = CODEC_OUTPUT_FULL;
    sfx_report_codec_error(2);
  }
  ++e.out_len;
}

inline void put_bit(CodecEncoder& e, std::uint32_t bit) {
  if (bit) e.byte |= e.mask;
  e.mask >>= 1;
  if (e.mask == 0) {
    put_byte(e, e.byte);
    e.byte = 0;
    e.mask = 0x80;
  }
}

inline void emit(CodecEncoder& e, std::uint32_t bit) {
  put_bit(e, bit);
  for (; e.follow > 0; --e.follow) put_bit(e, bit ^ 1u);
}

inline void renormalise(CodecEncoder& e) {
  std::uint32_t low = e.low, high = e.high;
  for (;;) {
    if (high <= kQ2) {
      emit(e, 0);
    } else if (low >= kQ2) {
      emit(e, 1);
      low -= kQ2;
      high -= kQ2;
    } else if (low >= kQ1 && high <= kQ3) {
      ++e.follow;
      low -= kQ1;
      high -= kQ1;
    } else {
      break;
    }
    low <<= 1;
    high <<= 1;
  }
  e.low = low;
  e.high = high;
}

inline void encode_char(CodecEncoder& e, unsigned k) {
  Model& m = e.model;
  const unsigned s = m.char_to_sym[k];
  const std::uint32_t range = e.high - e.low;
  const std::uint32_t total = m.cum[0];
  const std::uint32_t low = e.low;
  e.high = low + range * m.cum[s - 1] / total;
  e.low = low + range * m.cum[s] / total;
  renormalise(e);
  model_update(m, s);
}

inline void encode_position(CodecEncoder& e, unsigned p) {
  const std::uint32_t range = e.high - e.low;
  const std::uint32_t low = e.low;
  e.high = low + range * pos_cum[p] / kPosTotal;
  e.low = low + range * pos_cum[p + 1] / kPosTotal;
  renormalise(e);
}

void finish(CodecEncoder& e) {
  ++e.follow;
  emit(e, e.low < kQ1 ? 0u : 1u);
  for (int k = 0; k < 7; ++k) put_bit(e, 0);
}

// Index of the first byte in 1..59 where the strings at a and b differ
// (60 when all agree); *cmp gets ring[a+i] - ring[b+i] there.
inline unsigned compare(const std::uint8_t* ring, unsigned a, unsigned b, int* cmp) {
  const std::uint8_t* x = ring + a;
  const std::uint8_t* y = ring + b;
  for (unsigned i = 1; i < kMaxMatch; i += 8) {
    std::uint64_t u, v;
    std::memcpy(&u, x + i, 8);
    std::memcpy(&v, y + i, 8);
    const std::uint64_t diff = u ^ v;
    if (diff) {
      const unsigned k = i + (static_cast<unsigned>(__builtin_ctzll(diff)) >> 3);
      if (k >= kMaxMatch) break;
      *cmp = static_cast<int>(x[k]) - static_cast<int>(y[k]);
      return k;
    }
  }
  *cmp = 0;
  return kMaxMatch;
}

void insert_node(CodecEncoder& e, unsigned r) {
  std::uint8_t* ring = e.ring;
  std::uint16_t* left = e.left;
  std::uint16_t* right = e.right;
  std::uint16_t* parent = e.parent;
  int cmp = 1;
  unsigned p = kHeads + ring[r];
  left[r] = right[r] = kNil;
  unsigned mlen = 0;
  unsigned mdist = e.match_dist;
  for (;;) {
    if (cmp >= 0) {
      if (right[p] != kNil) {
        p = right[p];
      } else {
        right[p] = static_cast<std::uint16_t>(r);
        parent[r] = static_cast<std::uint16_t>(p);
        break;
      }
    } else {
      if (left[p] != kNil) {
        p = left[p];
      } else {
        left[p] = static_cast<std::uint16_t>(r);
        parent[r] = static_cast<std::uint16_t>(p);
        break;
      }
    }
    const unsigned i = compare(ring, r, p, &cmp);
    if (i > kThreshold) {
      const unsigned dist = (r - p) & kRingMask;
      if (i > mlen) {
        mdist = dist;
        mlen = i;
        if (i >= kMaxMatch) {
          // A full match: r takes p's place in the tree.
          parent[r] = parent[p];
          left[r] = left[p];
          right[r] = right[p];
          parent[left[p]] = static_cast<std::uint16_t>(r);
          parent[right[p]] = static_cast<std::uint16_t>(r);
          const unsigned q = parent[p];
          if (right[q] == p) right[q] = static_cast<std::uint16_t>(r);
          else left[q] = static_cast<std::uint16_t>(r);
          parent[p] = kNil;
          break;
        }
      } else if (i == mlen && dist < mdist) {
        mdist = dist;
      }
    }
  }
  e.match_len = mlen;
  e.match_dist = mdist;
}

void delete_node(CodecEncoder& e, unsigned p) {
  std::uint16_t* left = e.left;
  std::uint16_t* right = e.right;
  std::uint16_t* parent = e.parent;
  if (parent[p] == kNil) return;
  unsigned q;
  if (right[p] == kNil) {
    q = left[p];
  } else if (left[p] == kNil) {
    q = right[p];
  } else {
    q = left[p];
    if (right[q] != kNil) {
      do q = right[q]; while (right[q] != kNil);
      right[parent[q]] = left[q];
      parent[left[q]] = parent[q];
      left[q] = left[p];
      parent[left[p]] = static_cast<std::uint16_t>(q);
    }
    right[q] = right[p];
    parent[right[p]] = static_cast<std::uint16_t>(q);
  }
  parent[q] = parent[p];
  const unsigned pp = parent[p];
  if (right[pp] == p) right[pp] = static_cast<std::uint16_t>(q);
  else left[pp] = static_cast<std::uint16_t>(q);
  parent[p] = kNil;
}

}  // namespace
}  // namespace codec

CodecEncoder* codec_encoder_new() {
  return new (std::nothrow) CodecEncoder;
}

void codec_encoder_free(CodecEncoder* encoder) {
  delete encoder;
}

int codec_compress_with(CodecEncoder* encoder, const std::uint8_t* input, std::uint8_t* output,
                        std::uint32_t input_len, std::uint32_t output_cap,
                        std::uint32_t* output_len) {
  using namespace codec;
  CodecEncoder& e = *encoder;
  e.out = output;
  e.out_cap = output_cap;
  e.out_len = 4;
  e.status = CODEC_OK;
  e.low = 0;
  e.high = kQ4;
  e.follow = 0;
  e.byte = 0;
  e.mask = 0x80;
  e.match_len = 0;
  e.match_dist = 0;
  output[0] = static_cast<std::uint8_t>(input_len);
  output[1] = static_cast<std::uint8_t>(input_len >> 8);
  output[2] = static_cast<std::uint8_t>(input_len >> 16);
  output[3] = static_cast<std::uint8_t>(input_len >> 24);
  if (input_len == 0) {
    if (output_len) *output_len = e.out_len;
    return CODEC_OK;
  }

  model_init(e.model);
  // Every compression starts from a zeroed ring (mirror included), so the
  // output never depends on earlier calls; then the spaces of the pre-fill.
  std::memset(e.ring, 0, sizeof e.ring);
  std::memset(e.ring, ' ', kPrefill);
  for (unsigned b = 0; b < 256; ++b) e.right[kHeads + b] = kNil;
  for (unsigned n = 0; n < kRingSize; ++n) e.parent[n] = kNil;

  const std::uint8_t* src = input;
  const std::uint8_t* const end = input + input_len;
  unsigned s = 0;
  unsigned r = kPrefill;
  unsigned len = 0;
  while (len < kMaxMatch && src < end) e.ring[r + len++] = *src++;
  for (unsigned k = 1; k <= kMaxMatch; ++k) insert_node(e, r - k);
  insert_node(e, r);

  do {
    if (e.match_len > len) e.match_len = len;
    if (e.match_len <= kThreshold) {
      e.match_len = 1;
      encode_char(e, e.ring[r]);
    } else {
      encode_char(e, e.match_len + 253);
      encode_position(e, e.match_dist - 1);
    }
    const unsigned last = e.match_len;
    unsigned i = 0;
    for (; i < last && src < end; ++i) {
      const std::uint8_t c = *src++;
      delete_node(e, s);
      e.ring[s] = c;
      if (s < kMirror) e.ring[s + kRingSize] = c;
      s = (s + 1) & kRingMask;
      r = (r + 1) & kRingMask;
      insert_node(e, r);
    }
    while (i++ < last) {
      delete_node(e, s);
      s = (s + 1) & kRingMask;
      r = (r + 1) & kRingMask;
      if (--len) insert_node(e, r);
    }
  } while (len > 0);

  finish(e);
  if (output_len) *output_len = e.out_len;
  return e.status;
}

namespace {
CodecEncoder* shared_encoder() {
  static CodecEncoder* encoder = codec_encoder_new();
  return encoder;
}
}  // namespace

int codec_compress(const std::uint8_t* input, std::uint8_t* output, std::uint32_t input_len,
                   std::uint32_t output_cap, std::uint32_t* output_len) {
  CodecEncoder* e = shared_encoder();
  if (!e) {
    sfx_report_codec_error(3);
    return CODEC_NO_MEMORY;
  }
  return codec_compress_with(e, input, output, input_len, output_cap, output_len);
}
