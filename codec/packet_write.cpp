// Packet framing, writing side: chooses the compressed or the stored form.
#include <cstring>

#include "codec.h"

namespace codec {
extern std::uint8_t* g_work;
extern std::uint32_t g_work_size;
}  // namespace codec

int packet_encode(Packet* packet, CodecEncoder* encoder, std::uint8_t* work,
                  std::uint32_t work_cap, const std::uint8_t** payload) {
  if (packet->unpacked_len != 0 && !(packet->type & PACKET_STORED)) {
    std::uint32_t len = 0;
    const int st = encoder ? codec_compress_with(encoder, packet->data, work, packet->unpacked_len,
                                                 work_cap, &len)
                           : codec_compress(packet->data, work, packet->unpacked_len, work_cap, &len);
    if (st != 0) return PACKET_COMPRESS_FAILED;
    if (len < packet->unpacked_len) {
      packet->stored_len = len;
    } else {
      packet->type = static_cast<std::uint8_t>(packet->type | PACKET_STORED);
      packet->stored_len = packet->unpacked_len;
    }
  }
  *payload = (packet->type & PACKET_STORED) ? packet->data : work;
  packet_check_bytes(packet->type, packet->stored_len, packet->unpacked_len, *payload,
                     packet->stored_len, &packet->check_sum, &packet->check_xor);
  return CODEC_OK;
}

int packet_emit(const Packet* packet, const std::uint8_t* payload, std::FILE* out) {
  std::uint8_t h[PACKET_HEADER_SIZE];
  h[0] = packet->type;
  for (int k = 0; k < 4; ++k) {
    h[1 + k] = static_cast<std::uint8_t>(packet->unpacked_len >> (8 * k));
    h[5 + k] = static_cast<std::uint8_t>(packet->stored_len >> (8 * k));
  }
  h[9] = packet->check_sum;
  h[10] = packet->check_xor;
  if (std::fwrite(h, 1, sizeof h, out) != sizeof h) return PACKET_WRITE_FAILED;
  if (packet->unpacked_len == 0) return CODEC_OK;
  const std::uint32_t n = (packet->type & PACKET_STORED) ? packet->unpacked_len : packet->stored_len;
  if (std::fwrite(payload, 1, n, out) != n) return PACKET_WRITE_FAILED;
  return CODEC_OK;
}

int packet_write(Packet* packet, std::FILE* out) {
  using namespace codec;
  if (!g_work) return PACKET_NO_CODEC;
  const std::uint8_t* payload = nullptr;
  const int st = packet_encode(packet, nullptr, g_work, g_work_size - 1, &payload);
  if (st != 0) return st;
  return packet_emit(packet, payload, out);
}
