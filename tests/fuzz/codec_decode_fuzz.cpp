// Arbitrary bytes as a compressed stream, with an arbitrary output capacity
// taken from the first two bytes: the decoder must never store past it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size > 1 << 20) return 0;
  const std::uint32_t cap = static_cast<std::uint32_t>(data[0] | (data[1] << 8)) % 20000;
  std::vector<std::uint8_t> in(data + 2, data + size);
  // Guard bytes after the capacity catch a store past it.
  std::vector<std::uint8_t> out(cap + 64, 0xA5);
  const int st = codec_decompress(in.data(), out.data(), static_cast<std::uint32_t>(in.size()), cap);
  FUZZ_CHECK(st == 0 || st == 1);
  for (std::size_t i = cap; i < out.size(); ++i)
    FUZZ_CHECK(out[i] == 0xA5);
  return 0;
}
