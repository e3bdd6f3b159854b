// Decompressor: expands one compressed stream held whole in memory.
#include <new>

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

struct CodecStreamDecoder {
  codec::Decoder d;
};

CodecStreamDecoder* codec_stream_decoder_new(const std::uint8_t* input, std::uint32_t input_len) {
  if (input_len < CODEC_SIZE_HEADER) return nullptr;
  auto* sd = new (std::nothrow) CodecStreamDecoder;
  if (sd) codec::decoder_start(sd->d, input, input_len);
  return sd;
}

void codec_stream_decoder_free(CodecStreamDecoder* decoder) { delete decoder; }

std::uint32_t codec_stream_decode(CodecStreamDecoder* decoder, std::uint8_t* output, std::uint32_t output_cap) {
  if (output_cap < CODEC_STREAM_PIECE_MIN) return 0;
  // A token yields at most kMaxMatch bytes: stopping that far before the
  // end keeps every match whole, so nothing is dropped between pieces.
  return codec::decode_run(decoder->d, output, 0, output_cap - codec::kMaxMatch + 1, output_cap,
                           [](unsigned, unsigned) {});
}

CodecDecodeStats codec_stream_decoder_stats(const CodecStreamDecoder* decoder) {
  return CodecDecodeStats{decoder->d.produced, codec::decoder_overread(decoder->d)};
}
