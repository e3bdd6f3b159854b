// A plain transcription of the stream format's steps: the model update
// walks rank by rank, the coder renormalises bit by bit, the match trees
// compare byte by byte. The tests check the fast codec against it.
#include "reference_codec.h"

#include <cstring>

namespace ref {
namespace {

constexpr unsigned kRingSize = 4096, kRingMask = 4095, kMaxMatch = 60, kThreshold = 2, kChars = 314;
constexpr unsigned kPrefill = kRingSize - kMaxMatch;
constexpr std::uint32_t kQ1 = 0x8000, kQ2 = 0x10000, kQ3 = 0x18000, kQ4 = 0x20000;

struct Model {
  unsigned cum[kChars + 1], freq[kChars + 1], sym_to_char[kChars + 1], char_to_sym[kChars];
};

unsigned pos_cum[kRingSize + 1];

void init_pos() {
  pos_cum[kRingSize] = 0;
  for (unsigned i = kRingSize; i >= 1; --i) pos_cum[i - 1] = pos_cum[i] + 10000 / (i + 200);
}

void model_init(Model& m) {
  m.freq[0] = 0;
  for (unsigned s = 1; s <= kChars; ++s) {
    m.sym_to_char[s] = s - 1;
    m.char_to_sym[s - 1] = s;
    m.freq[s] = 1;
  }
  for (unsigned i = 0; i <= kChars; ++i) m.cum[i] = kChars - i;
}

void model_update(Model& m, unsigned s) {
  if (m.cum[0] >= 0x7FFF) {
    unsigned sum = 0;
    for (unsigned i = kChars; i >= 1; --i) {
      m.cum[i] = sum;
      m.freq[i] = (m.freq[i] + 1) / 2;
      sum += m.freq[i];
    }
    m.cum[0] = sum;
  }
  unsigned i = s;
  while (m.freq[i] == m.freq[i - 1]) --i;
  if (i < s) {
    const unsigned ci = m.sym_to_char[i], cs = m.sym_to_char[s];
    m.sym_to_char[i] = cs;
    m.sym_to_char[s] = ci;
    m.char_to_sym[ci] = s;
    m.char_to_sym[cs] = i;
  }
  m.freq[i]++;
  while (i > 0) m.cum[--i]++;
}

// ---- decoder ----
struct Dec {
  const std::uint8_t* in;
  std::uint32_t len, pos, over;
  std::uint32_t low, high, value, byte, mask;
  Model m;
  std::uint8_t ring[kRingSize];
};

unsigned next_bit(Dec& d) {
  d.mask >>= 1;
  if (d.mask == 0) {
    if (d.pos < d.len) d.byte = d.in[d.pos++];
    else { d.byte = 0xFF; d.over++; }
    d.mask = 0x80;
  }
  return (d.byte & d.mask) != 0;
}

void renorm(Dec& d) {
  for (;;) {
    if (d.low >= kQ2) { d.value -= kQ2; d.low -= kQ2; d.high -= kQ2; }
    else if (d.low >= kQ1 && d.high <= kQ3) { d.value -= kQ1; d.low -= kQ1; d.high -= kQ1; }
    else if (d.high > kQ2) break;
    d.low *= 2; d.high *= 2; d.value = 2 * d.value + next_bit(d);
  }
}

// ---- encoder ----
constexpr unsigned kNil = kRingSize;
struct Enc {
  std::uint8_t ring[kRingSize + kMaxMatch - 1];
  unsigned left[kRingSize + 1], right[kRingSize + 257], parent[kRingSize + 1];
  unsigned mlen, mdist;
  Model m;
  std::uint32_t low, high, follow, byte, mask;
  std::vector<std::uint8_t> out;
};

void put_bit(Enc& e, unsigned b) {
  if (b) e.byte |= e.mask;
  e.mask >>= 1;
  if (!e.mask) { e.out.push_back(static_cast<std::uint8_t>(e.byte)); e.byte = 0; e.mask = 0x80; }
}
void emit(Enc& e, unsigned b) {
  put_bit(e, b);
  for (; e.follow > 0; --e.follow) put_bit(e, !b);
}
void renorm(Enc& e) {
  for (;;) {
    if (e.high <= kQ2) emit(e, 0);
    else if (e.low >= kQ2) { emit(e, 1); e.low -= kQ2; e.high -= kQ2; }
    else if (e.low >= kQ1 && e.high <= kQ3) { e.follow++; e.low -= kQ1; e.high -= kQ1; }
    else break;
    e.low *= 2; e.high *= 2;
  }
}

void insert(Enc& e, unsigned r) {
  int cmp = 1;
  unsigned p = kRingSize + 1 + e.ring[r];
  e.left[r] = e.right[r] = kNil;
  e.mlen = 0;
  for (;;) {
    if (cmp >= 0) {
      if (e.right[p] != kNil) p = e.right[p];
      else { e.right[p] = r; e.parent[r] = p; return; }
    } else {
      if (e.left[p] != kNil) p = e.left[p];
      else { e.left[p] = r; e.parent[r] = p; return; }
    }
    unsigned i;
    for (i = 1; i < kMaxMatch; ++i)
      if ((cmp = int(e.ring[r + i]) - int(e.ring[p + i])) != 0) break;
    if (i > kThreshold) {
      const unsigned dist = (r - p) & kRingMask;
      if (i > e.mlen) {
        e.mdist = dist;
        if ((e.mlen = i) >= kMaxMatch) break;
      } else if (i == e.mlen && dist < e.mdist) {
        e.mdist = dist;
      }
    }
  }
  e.parent[r] = e.parent[p]; e.left[r] = e.left[p]; e.right[r] = e.right[p];
  e.parent[e.left[p]] = r; e.parent[e.right[p]] = r;
  if (e.right[e.parent[p]] == p) e.right[e.parent[p]] = r; else e.left[e.parent[p]] = r;
  e.parent[p] = kNil;
}

void remove(Enc& e, unsigned p) {
  if (e.parent[p] == kNil) return;
  unsigned q;
  if (e.right[p] == kNil) q = e.left[p];
  else if (e.left[p] == kNil) q = e.right[p];
  else {
    q = e.left[p];
    if (e.right[q] != kNil) {
      do q = e.right[q]; while (e.right[q] != kNil);
      e.right[e.parent[q]] = e.left[q]; e.parent[e.left[q]] = e.parent[q];
      e.left[q] = e.left[p]; e.parent[e.left[p]] = q;
    }
    e.right[q] = e.right[p]; e.parent[e.right[p]] = q;
  }
  e.parent[q] = e.parent[p];
  if (e.right[e.parent[p]] == p) e.right[e.parent[p]] = q; else e.left[e.parent[p]] = q;
  e.parent[p] = kNil;
}

void encode(Enc& e, unsigned k) {
  const unsigned s = e.m.char_to_sym[k];
  const std::uint32_t range = e.high - e.low, total = e.m.cum[0];
  e.high = e.low + range * e.m.cum[s - 1] / total;
  e.low += range * e.m.cum[s] / total;
  renorm(e);
  model_update(e.m, s);
}
void encode_pos(Enc& e, unsigned p) {
  const std::uint32_t range = e.high - e.low;
  e.high = e.low + range * pos_cum[p] / pos_cum[0];
  e.low += range * pos_cum[p + 1] / pos_cum[0];
  renorm(e);
}

}  // namespace

std::vector<std::uint8_t> compress(const std::vector<std::uint8_t>& in) {
  init_pos();
  auto* e = new Enc;
  const std::uint32_t n = static_cast<std::uint32_t>(in.size());
  e->out = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n >> 16),
            static_cast<std::uint8_t>(n >> 24)};
  if (n == 0) { auto o = e->out; delete e; return o; }
  std::memset(e->ring, 0, sizeof e->ring);
  std::memset(e->ring, ' ', kPrefill);
  model_init(e->m);
  for (unsigned b = 0; b < 256; ++b) e->right[kRingSize + 1 + b] = kNil;
  for (unsigned i = 0; i < kRingSize; ++i) e->parent[i] = kNil;
  e->low = 0; e->high = kQ4; e->follow = 0; e->byte = 0; e->mask = 0x80; e->mlen = 0; e->mdist = 0;
  std::size_t at = 0;
  unsigned s = 0, r = kPrefill, len = 0;
  for (; len < kMaxMatch && at < n; ++len) e->ring[r + len] = in[at++];
  for (unsigned i = 1; i <= kMaxMatch; ++i) insert(*e, r - i);
  insert(*e, r);
  do {
    if (e->mlen > len) e->mlen = len;
    if (e->mlen <= kThreshold) { e->mlen = 1; encode(*e, e->ring[r]); }
    else { encode(*e, 255 - kThreshold + e->mlen); encode_pos(*e, e->mdist - 1); }
    const unsigned last = e->mlen;
    unsigned i;
    for (i = 0; i < last && at < n; ++i) {
      const std::uint8_t c = in[at++];
      remove(*e, s);
      e->ring[s] = c;
      if (s < kMaxMatch - 1) e->ring[s + kRingSize] = c;
      s = (s + 1) & kRingMask; r = (r + 1) & kRingMask;
      insert(*e, r);
    }
    while (i++ < last) {
      remove(*e, s);
      s = (s + 1) & kRingMask; r = (r + 1) & kRingMask;
      if (--len) insert(*e, r);
    }
  } while (len > 0);
  e->follow++;
  emit(*e, e->low < kQ1 ? 0 : 1);
  for (int i = 0; i < 7; ++i) put_bit(*e, 0);
  auto o = e->out;
  delete e;
  return o;
}

std::vector<std::uint8_t> decompress(const std::vector<std::uint8_t>& in, std::uint32_t* overread) {
  init_pos();
  std::vector<std::uint8_t> out;
  if (overread) *overread = 0;
  if (in.size() < 4) return out;
  const std::uint32_t size = in[0] | (in[1] << 8) | (in[2] << 16) | (std::uint32_t(in[3]) << 24);
  if (size == 0) return out;
  auto* d = new Dec;
  d->in = in.data(); d->len = static_cast<std::uint32_t>(in.size()); d->pos = 4; d->over = 0;
  d->low = 0; d->high = kQ4; d->value = 0; d->byte = 0; d->mask = 0;
  for (int i = 0; i < 17; ++i) d->value = 2 * d->value + next_bit(*d);
  model_init(d->m);
  std::memset(d->ring, ' ', kPrefill);
  unsigned r = kPrefill;
  while (out.size() < size) {
    std::uint32_t range = d->high - d->low, total = d->m.cum[0];
    std::uint32_t x = ((d->value - d->low + 1) * total - 1) / range;
    unsigned i = 1, j = kChars;
    while (i < j) { unsigned k = (i + j) / 2; if (d->m.cum[k] > x) i = k + 1; else j = k; }
    d->high = d->low + range * d->m.cum[i - 1] / total;
    d->low += range * d->m.cum[i] / total;
    renorm(*d);
    const unsigned c = d->m.sym_to_char[i];
    model_update(d->m, i);
    if (c < 256) { out.push_back(static_cast<std::uint8_t>(c)); d->ring[r++ & kRingMask] = static_cast<std::uint8_t>(c); r &= kRingMask; continue; }
    range = d->high - d->low;
    x = ((d->value - d->low + 1) * pos_cum[0] - 1) / range;
    i = 1; j = kRingSize;
    while (i < j) { unsigned k = (i + j) / 2; if (pos_cum[k] > x) i = k + 1; else j = k; }
    d->high = d->low + range * pos_cum[i - 1] / pos_cum[0];
    d->low += range * pos_cum[i] / pos_cum[0];
    renorm(*d);
    const unsigned start = (r - i) & kRingMask;   // r - p - 1 with p = i - 1
    for (unsigned k = 0; k < c - 253; ++k) {
      const std::uint8_t b = d->ring[(start + k) & kRingMask];
      out.push_back(b);
      d->ring[r] = b;
      r = (r + 1) & kRingMask;
    }
  }
  if (overread) *overread = d->over;
  delete d;
  return out;
}

}  // namespace ref
