#include "model.h"

#include <algorithm>
#include <array>

namespace codec {

namespace {
constexpr std::array<std::uint16_t, kRingSize + 1> make_pos_table() {
  std::array<std::uint16_t, kRingSize + 1> t{};
  t[kRingSize] = 0;
  for (unsigned i = kRingSize; i >= 1; --i)
    t[i - 1] = static_cast<std::uint16_t>(t[i] + 10000 / (i + 200));
  return t;
}
constexpr auto kPosTable = make_pos_table();
static_assert(kPosTable[0] == kPosTotal);
static_assert(kPosTable[1] == 28519);
static_assert(kPosTable[4095] == 2);
constexpr unsigned kBuckets = (kPosTotal >> kPosBucketShift) + 1;
constexpr std::array<std::uint16_t, kBuckets> make_start_table() {
  std::array<std::uint16_t, kBuckets> t{};
  // The index for x falls as x grows: walk the buckets from the top down.
  unsigned i = 1;
  for (unsigned b = kBuckets; b-- > 0;) {
    const unsigned x = std::min(((b + 1) << kPosBucketShift) - 1, kPosTotal - 1);
    while (kPosTable[i] > x) ++i;
    t[b] = static_cast<std::uint16_t>(i);
  }
  return t;
}
constexpr auto kStartTable = make_start_table();
}  // namespace

const std::uint16_t* const pos_cum = kPosTable.data();
const std::uint16_t* const pos_start = kStartTable.data();

#if defined(__SIZEOF_INT128__)
const std::uint64_t* division_table() {
  static const std::uint64_t* const table = [] {
    static std::uint64_t t[kMaxCum + 1];
    t[0] = 0;
    for (std::uint64_t d = 1; d <= kMaxCum; ++d) t[d] = (std::uint64_t{1} << 48) / d + 1;
    return t;
  }();
  return table;
}
#endif

void model_init(Model& m) {
  m.freq[0] = 0;
  for (unsigned s = 1; s <= kChars; ++s) {
    m.sym_to_char[s] = static_cast<std::uint16_t>(s - 1);
    m.char_to_sym[s - 1] = static_cast<std::uint16_t>(s);
    m.freq[s] = 1;
  }
  m.freq[kChars + 1] = 0;
  m.sym_to_char[0] = 0;
  for (unsigned i = 0; i < kBlocks * 8; ++i)
    m.local[i] = static_cast<std::uint16_t>(i <= kChars ? kChars - i : 0);
  for (unsigned b = 0; b < sizeof m.block / sizeof m.block[0]; ++b) m.block[b] = 0;
  m.first_rank[1] = 1;
}

void model_rescale(Model& m) {
  unsigned sum = 0;
  for (unsigned i = kChars; i >= 1; --i) {
    m.local[i] = static_cast<std::uint16_t>(sum);
    m.freq[i] = static_cast<std::uint16_t>((m.freq[i] + 1u) / 2u);
    sum += m.freq[i];
  }
  m.local[0] = static_cast<std::uint16_t>(sum);
  for (unsigned b = 0; b < kBlocks; ++b) m.block[b] = 0;
  for (unsigned i = kChars; i >= 1; --i) m.first_rank[m.freq[i]] = static_cast<std::uint16_t>(i);
}

}  // namespace codec
