// Arbitrary bytes as a stream of packets: every packet_read ends in one of
// its statuses and never touches memory beyond the record.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz_check.h"
#include "codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool ready = codec_init(4096) == 0;
  static Packet* packet = packet_alloc(4096);
  FUZZ_CHECK(ready && packet);
  std::FILE* f = std::tmpfile();
  if (!f) return 0;
  if (size) std::fwrite(data, 1, size, f);
  std::rewind(f);
  for (int n = 0; n < 64; ++n) {
    const int st = packet_read(packet, f);
    if (st == 0) {
      FUZZ_CHECK(!(packet->type & PACKET_STORED));
      FUZZ_CHECK(packet->unpacked_len <= 4096);
      continue;
    }
    FUZZ_CHECK(st == PACKET_EOF || st == PACKET_SHORT || st == PACKET_BAD_CHECK ||
               st == PACKET_DECODE_FAILED || st == PACKET_TOO_LONG || st == PACKET_BAD_LENGTHS);
    break;
  }
  std::fclose(f);
  return 0;
}
