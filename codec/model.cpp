#include "model.h"

#include <algorithm>
#include <atomic>

namespace codec {

namespace {
// The position tables are built at the first model_init rather than stored:
// as constants they were 15 KB of the stub's file.
constexpr unsigned kBuckets = (kPosTotal >> kPosBucketShift) + 1;
std::uint16_t pos_table[kRingSize + 1];
std::uint16_t start_table[kBuckets];
std::atomic<int> tables_state{0};  // 0 not built, 1 being built, 2 ready

void build_tables() {
  pos_table[kRingSize] = 0;
  for (unsigned i = kRingSize; i >= 1; --i)
    pos_table[i - 1] = static_cast<std::uint16_t>(pos_table[i] + 10000 / (i + 200));
  // The index for x falls as x grows: walk the buckets from the top down.
  unsigned i = 1;
  for (unsigned b = kBuckets; b-- > 0;) {
    const unsigned x = std::min(((b + 1) << kPosBucketShift) - 1, kPosTotal - 1);
    while (pos_table[i] > x) ++i;
    start_table[b] = static_cast<std::uint16_t>(i);
  }
}

// Every stream starts with model_init, so the tables are there before any
// coder reads them, on whichever thread comes first; the others wait.
void tables_ready() {
  if (tables_state.load(std::memory_order_acquire) == 2) return;
  int expected = 0;
  if (tables_state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
    build_tables();
    tables_state.store(2, std::memory_order_release);
  } else {
    while (tables_state.load(std::memory_order_acquire) != 2) {
    }
  }
}
}  // namespace

const std::uint16_t* const pos_cum = pos_table;
const std::uint16_t* const pos_start = start_table;

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
  tables_ready();
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
