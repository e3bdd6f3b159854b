// Decompressor: expands one compressed stream held whole in memory.
#include "decode_impl.h"

int codec_decompress_ex(const std::uint8_t* input, std::uint8_t* output, std::uint32_t input_len,
                        std::uint32_t output_cap, CodecDecodeStats* stats) {
  return codec::decode_stream(input, output, input_len, output_cap, stats,
                              [](unsigned, unsigned) {});
}

int codec_decompress(const std::uint8_t* input, std::uint8_t* output, std::uint32_t input_len,
                     std::uint32_t output_cap) {
  return codec_decompress_ex(input, output, input_len, output_cap, nullptr);
}

int codec_stream_size(const std::uint8_t* stream, std::uint32_t len, std::uint32_t* size) {
  if (len < CODEC_SIZE_HEADER) return CODEC_BAD_HEADER;
  *size = codec_load_le32(stream);
  return CODEC_OK;
}
