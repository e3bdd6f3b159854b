// Compress, then decompress: the bytes come back, the stream is read at most
// two bytes past its end, and packets written from them read back the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 100000) return 0;
  const auto n = static_cast<std::uint32_t>(size);
  std::vector<std::uint8_t> packed(2 * size + 16);
  std::uint32_t len = 0;
  FUZZ_CHECK(codec_compress(data, packed.data(), n, static_cast<std::uint32_t>(packed.size()), &len) == 0);
  std::vector<std::uint8_t> out(size + 1);
  CodecDecodeStats st{};
  FUZZ_CHECK(codec_decompress_ex(packed.data(), out.data(), len, n, &st) == 0);
  FUZZ_CHECK(st.produced == n && (!size || std::memcmp(out.data(), data, size) == 0));
  FUZZ_CHECK(!size || (st.overread >= 1 && st.overread <= 2));

  static bool ready = codec_init(100000) == 0;
  static Packet* packet = packet_alloc(100000);
  FUZZ_CHECK(ready && packet);
  std::FILE* f = std::tmpfile();
  if (!f) return 0;
  packet->type = 4;
  packet->unpacked_len = n;
  packet->stored_len = 0;
  if (size) std::memcpy(packet->data, data, size);
  FUZZ_CHECK(packet_write(packet, f) == 0);
  std::rewind(f);
  FUZZ_CHECK(packet_read(packet, f) == 0 && packet->type == 4 && packet->unpacked_len == n);
  FUZZ_CHECK(!size || std::memcmp(packet->data, data, size) == 0);
  std::fclose(f);
  return 0;
}
