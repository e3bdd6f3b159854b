// Packet framing, writing side: chooses the compressed or the stored form.
#include <cstdlib>
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

void packet_header_encode(const Packet* packet, std::uint8_t out[PACKET_HEADER_SIZE]) {
  out[0] = packet->type;
  codec_store_le32(out + 1, packet->unpacked_len);
  codec_store_le32(out + 5, packet->stored_len);
  out[9] = packet->check_sum;
  out[10] = packet->check_xor;
}

int packet_emit(const Packet* packet, const std::uint8_t* payload, std::FILE* out) {
  std::uint8_t h[PACKET_HEADER_SIZE];
  packet_header_encode(packet, h);
  if (std::fwrite(h, 1, sizeof h, out) != sizeof h) return PACKET_WRITE_FAILED;
  if (packet->unpacked_len == 0) return CODEC_OK;
  const std::uint32_t n = (packet->type & PACKET_STORED) ? packet->unpacked_len : packet->stored_len;
  if (std::fwrite(payload, 1, n, out) != n) return PACKET_WRITE_FAILED;
  return PACKET_OK;
}

int packet_write(Packet* packet, std::FILE* out) {
  using namespace codec;
  if (!g_work) return PACKET_NO_CODEC;
  const std::uint8_t* payload = nullptr;
  const int st = packet_encode(packet, nullptr, g_work, g_work_size - 1, &payload);
  if (st != 0) return st;
  return packet_emit(packet, payload, out);
}

int packet_encoder_init(PacketEncoder* pe, std::uint32_t packet_size) {
  *pe = PacketEncoder{};
  if (packet_size < CODEC_SIZE_HEADER || packet_size > 0x7FFFFFF0u / 2) return CODEC_NO_MEMORY;
  pe->encoder = codec_encoder_new();
  pe->packet = packet_alloc(packet_size);
  pe->work = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(packet_size) * 2));
  pe->work_cap = packet_size * 2 - 1;
  if (!pe->encoder || !pe->packet || !pe->work) {
    packet_encoder_release(pe);
    return CODEC_NO_MEMORY;
  }
  return CODEC_OK;
}

void packet_encoder_release(PacketEncoder* pe) {
  codec_encoder_free(pe->encoder);
  packet_free(pe->packet);
  std::free(pe->work);
  *pe = PacketEncoder{};
}

int packet_encoder_run(PacketEncoder* pe) {
  return packet_encode(pe->packet, pe->encoder, pe->work, pe->work_cap, &pe->payload);
}
