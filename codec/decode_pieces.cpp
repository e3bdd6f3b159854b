// One stream decoded piece by piece, for the packer's raw streams. An
// object of its own, so that the stub, which never uses it, links none of
// it (nor the allocation it needs).
#include <new>

#include "decode_impl.h"

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
  CodecDecodeStats stats{};
  stats.produced = decoder->d.produced;
  stats.overread = codec::decoder_overread(decoder->d);
  stats.length = codec::decoder_length(decoder->d);
  return stats;
}
