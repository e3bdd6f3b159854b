#include <vector>

#include "codec_testing.h"
#include "decode_impl.h"

int codec_trace(const std::uint8_t* input, std::uint32_t input_len, codec_token_fn fn, void* ctx) {
  if (input_len < 4) return codec_decompress_ex(input, nullptr, input_len, 0, nullptr);
  const std::uint32_t size = codec_load_le32(input);
  std::vector<std::uint8_t> out(size);
  return codec::decode_stream(input, out.data(), input_len, size, nullptr,
                              [&](unsigned code, unsigned pos) { fn(ctx, code, pos); });
}
