// Compress, then decompress: the bytes come back, the stream is read at most
// two bytes past its end, and packets written from them read back the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 100000) return 0;
  const auto n = static_cast<std::uint32_t>(size);
  std::vector<std::uint8_t> packed(2 * size + 16);
  std::uint32_t len = 0;
  if (codec_compress(data, packed.data(), n, static_cast<std::uint32_t>(packed.size()), &len) != 0) std::abort();
  std::vector<std::uint8_t> out(size + 1);
  CodecDecodeStats st{};
  if (codec_decompress_ex(packed.data(), out.data(), len, n, &st) != 0) std::abort();
  if (st.produced != n || (size && std::memcmp(out.data(), data, size) != 0)) std::abort();
  if (size && (st.overread < 1 || st.overread > 2)) std::abort();

  static bool ready = codec_init(100000) == 0;
  static Packet* packet = packet_alloc(100000);
  if (!ready || !packet) std::abort();
  std::FILE* f = std::tmpfile();
  if (!f) return 0;
  packet->type = 4;
  packet->unpacked_len = n;
  packet->stored_len = 0;
  if (size) std::memcpy(packet->data, data, size);
  if (packet_write(packet, f) != 0) std::abort();
  std::rewind(f);
  if (packet_read(packet, f) != 0 || packet->type != 4 || packet->unpacked_len != n) std::abort();
  if (size && std::memcmp(packet->data, data, size) != 0) std::abort();
  std::fclose(f);
  return 0;
}
