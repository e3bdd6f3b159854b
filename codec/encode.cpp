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
constexpr unsigned kHeads = kRingSize + 1;       // node[kHeads + b] heads tree b
constexpr unsigned kMirror = kMaxMatch - 1;      // 59 mirrored bytes

}  // namespace
}  // namespace codec

struct CodecEncoder {
  // Ring plus mirror, plus slack so that word-wide compares may over-read.
  alignas(64) std::uint8_t ring[codec::kRingSize + codec::kMirror + 16];
  // The match trees: nodes 0 to 4095 are ring positions, 4096 is a spare
  // that absorbs writes addressed to none, 4097 + b heads the tree of first
  // byte b (its right child is the root). The links are kept small so that
  // a walk stays in the fastest cache: link[2n] and link[2n + 1] are the
  // left and right child of n. The two are loaded together, so the next
  // node is a select, not a load, once the comparison has decided the side.
  alignas(64) std::uint16_t link[2 * (codec::kRingSize + 257)];
  std::uint16_t parent[codec::kRingSize + 1];
  unsigned match_len;
  unsigned match_dist;
  codec::Model model;
  const std::uint64_t* division;  // see Divider
  // coder
  std::uint32_t low, high, follow;
  std::uint64_t acc;      // bits not yet written, the oldest at the top
  unsigned acc_bits;
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
    report_error(nullptr, 2);  // the status says it
  }
  ++e.out_len;
}

// Appends the n low bits of v (n at most 32), writing out whole bytes.
inline void put_bits(CodecEncoder& e, std::uint32_t v, unsigned n) {
  if (n == 0) return;
  e.acc |= (static_cast<std::uint64_t>(v) & ((std::uint64_t{1} << n) - 1)) << (64 - n - e.acc_bits);
  e.acc_bits += n;
  while (e.acc_bits >= 8) {
    put_byte(e, static_cast<std::uint32_t>(e.acc >> 56));
    e.acc <<= 8;
    e.acc_bits -= 8;
  }
}

// Emits bit b followed by the pending follow bits (its complement).
inline void emit(CodecEncoder& e, std::uint32_t bit) {
  put_bits(e, bit, 1);
  const std::uint32_t fill = bit ? 0u : 0xFFFFFFFFu;
  for (; e.follow >= 32; e.follow -= 32) put_bits(e, fill, 32);
  put_bits(e, fill, e.follow);
  e.follow = 0;
}

// Renormalise after a narrowing. While low and high - 1 share their top bit
// that bit is emitted; then every step in the middle half adds a follow bit.
inline void renormalise(CodecEncoder& e) {
  std::uint32_t L = e.low;
  std::uint32_t H = e.high - 1;
  const std::uint32_t diff = (L ^ H) & 0x1FFFFu;
  const unsigned k1 = diff ? static_cast<unsigned>(__builtin_clz(diff)) - 15u : 17u;
  if (k1) {
    emit(e, (L >> 16) & 1u);
    put_bits(e, L >> (17 - k1), k1 - 1);
    L = (L << k1) & 0x1FFFFu;
    H = ((H << k1) | ((1u << k1) - 1u)) & 0x1FFFFu;
  }
  const std::uint32_t mid = (L & ~H) & 0xFFFFu;
  const unsigned k3 = static_cast<unsigned>(__builtin_clz(~(mid << 16)));
  e.follow += k3;
  L = (L << k3) & 0xFFFFu;
  H = (((H << k3) | ((1u << k3) - 1u)) & 0xFFFFu) | 0x10000u;
  e.low = L;
  e.high = H + 1;
}

inline void encode_char(CodecEncoder& e, unsigned k) {
  Model& m = e.model;
  const unsigned s = m.char_to_sym[k];
  const std::uint32_t range = e.high - e.low;
  const std::uint32_t total = model_total(m);
  const std::uint32_t low = e.low;
  const Divider by_total(e.division, total);
  e.high = low + by_total(range * model_cum(m, s - 1));
  e.low = low + by_total(range * model_cum(m, s));
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

// The last bits; a partly filled byte is completed with zeros and written,
// any bits beyond it are not.
void finish(CodecEncoder& e) {
  ++e.follow;
  emit(e, e.low < kQ1 ? 0u : 1u);
  put_bits(e, 0, 7);
}

inline std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Compares the strings at a and b from byte `from` (bytes before it are
// known to agree) up to byte 59. Returns the index of the first differing
// byte, or 60 when all agree; *greater tells whether a's byte is the larger.
inline unsigned compare(const std::uint8_t* ring, unsigned a, unsigned b, unsigned from, bool* greater) {
  const std::uint8_t* x = ring + a;
  const std::uint8_t* y = ring + b;
  for (unsigned i = from; i < kMaxMatch; i += 8) {
    const std::uint64_t u = load64(x + i);
    const std::uint64_t v = load64(y + i);
    if (u != v) {
      const unsigned k = i + (static_cast<unsigned>(__builtin_ctzll(u ^ v)) >> 3);
      if (k >= kMaxMatch) break;
      *greater = __builtin_bswap64(u) > __builtin_bswap64(v);
      return k;
    }
  }
  *greater = true;
  return kMaxMatch;
}

// Inserts position r into the tree of its first byte and records the
// longest match met on the way (the nearest among equally long ones).
// The walk knows how far the new string agrees with the nearest node below
// it and the nearest above it: every node in between agrees at least as far,
// so its comparison starts there.
void insert_node(CodecEncoder& e, unsigned r) {
  const std::uint8_t* ring = e.ring;
  std::uint16_t* link = e.link;
  std::uint16_t* parent = e.parent;
  link[2 * r] = link[2 * r + 1] = kNil;
  const unsigned head = kHeads + ring[r];
  unsigned c = link[2 * head + 1];
  if (c == kNil) {
    link[2 * head + 1] = static_cast<std::uint16_t>(r);
    parent[r] = static_cast<std::uint16_t>(head);
    e.match_len = 0;
    return;
  }
  const std::uint64_t first = load64(ring + r + 1);
  const std::uint64_t first_be = __builtin_bswap64(first);
  const unsigned r1 = r + 1;
  // (length << 12) | (4095 - distance) of the best match: longer wins, then
  // nearer, so one number orders the candidates.
  unsigned best = 0;
  // How far the new string agrees with the nearest node above it ([0]) and
  // the nearest node below it ([1]).
  unsigned agree[2] = {1, 1};
  for (;;) {
    std::uint32_t both;
    std::memcpy(&both, link + 2 * c, 4);
    const std::uint64_t w = load64(ring + c + 1);
    const unsigned c0 = both & 0xFFFFu, c1 = both >> 16;
    unsigned i;
    unsigned g;  // 1 when the new string sorts at or above c
    unsigned next;
    if (w != first) {
      // Bytes 1 to 8 hold the first difference (bytes that agree already
      // agree here too).
      i = 1 + (static_cast<unsigned>(__builtin_ctzll(w ^ first)) >> 3);
      const bool above = first_be > __builtin_bswap64(w);
      g = above;
      // The side is a coin toss for the branch predictor: ask for a select.
      next = __builtin_expect_with_probability(above, 1, 0.5) ? c1 : c0;
    } else {
      unsigned from = agree[0] < agree[1] ? agree[0] : agree[1];
      if (from < 9) from = 9;
      bool greater;
      i = compare(ring, r, c, from, &greater);
      g = greater;
      next = greater ? c1 : c0;
      if (i >= kMaxMatch) {
        // A full match: r takes c's place in the tree.
        best = (i << 12) | ((c - r1) & kRingMask);
        const unsigned q = parent[c];
        parent[r] = static_cast<std::uint16_t>(q);
        link[2 * r] = static_cast<std::uint16_t>(c0);
        link[2 * r + 1] = static_cast<std::uint16_t>(c1);
        parent[c0] = static_cast<std::uint16_t>(r);
        parent[c1] = static_cast<std::uint16_t>(r);
        link[2 * q + (link[2 * q + 1] == c ? 1 : 0)] = static_cast<std::uint16_t>(r);
        parent[c] = kNil;
        break;
      }
    }
    // Without branches: the direction and the bookkeeping do not predict.
    agree[g] = i;
    // Candidates shorter than three bytes count for nothing; ordering them
    // too changes no result and saves a test.
    const unsigned score = (i << 12) | ((c - r1) & kRingMask);
    best = best > score ? best : score;
    if (next == kNil) {
      link[2 * c + g] = static_cast<std::uint16_t>(r);
      parent[r] = static_cast<std::uint16_t>(c);
      break;
    }
    c = next;
  }
  if ((best >> 12) > kThreshold) {
    e.match_len = best >> 12;
    e.match_dist = kRingMask - (best & kRingMask);
  } else {
    e.match_len = 0;
  }
}

void delete_node(CodecEncoder& e, unsigned p) {
  std::uint16_t* link = e.link;
  std::uint16_t* parent = e.parent;
  const unsigned pp = parent[p];
  if (pp == kNil) return;
  // Which link of the parent points to p: nothing below changes it.
  const unsigned side = link[2 * pp + 1] == p ? 1 : 0;
  const unsigned lp = link[2 * p];
  const unsigned rp = link[2 * p + 1];
  unsigned q;
  if (rp == kNil) {
    q = lp;
  } else if (lp == kNil) {
    q = rp;
  } else {
    q = lp;
    if (link[2 * q + 1] != kNil) {
      do q = link[2 * q + 1]; while (link[2 * q + 1] != kNil);
      const unsigned lq = link[2 * q];
      const unsigned pq = parent[q];
      link[2 * pq + 1] = static_cast<std::uint16_t>(lq);
      parent[lq] = static_cast<std::uint16_t>(pq);
      link[2 * q] = static_cast<std::uint16_t>(lp);
      parent[lp] = static_cast<std::uint16_t>(q);
    }
    link[2 * q + 1] = static_cast<std::uint16_t>(rp);
    parent[rp] = static_cast<std::uint16_t>(q);
  }
  parent[q] = static_cast<std::uint16_t>(pp);
  link[2 * pp + side] = static_cast<std::uint16_t>(q);
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
  e.acc = 0;
  e.acc_bits = 0;
  e.match_len = 0;
  e.match_dist = 0;
  codec_store_le32(output, input_len);
  if (input_len == 0) {
    if (output_len) *output_len = e.out_len;
    return CODEC_OK;
  }

  model_init(e.model);
  e.division = division_table();
  // Every compression starts from a zeroed ring (mirror included), so the
  // output never depends on earlier calls; then the spaces of the pre-fill.
  std::memset(e.ring, 0, sizeof e.ring);
  std::memset(e.ring, ' ', kPrefill);
  for (unsigned b = 0; b < 256; ++b) e.link[2 * (kHeads + b) + 1] = kNil;
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
    codec::report_error(nullptr, 3);  // the status says it
    return CODEC_NO_MEMORY;
  }
  return codec_compress_with(e, input, output, input_len, output_cap, output_len);
}
