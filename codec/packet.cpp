// Packet framing, reading side: the work buffer, the packet record, the
// check bytes and packet_read.
#include <cstdlib>
#include <cstring>

#include "codec.h"
#include "model.h"

namespace codec {
std::uint8_t* g_work = nullptr;       // twice the packet size
std::uint32_t g_work_size = 0;
}  // namespace codec

namespace {
// Bytes past its end that the decoder's look-ahead takes from a valid stream.
constexpr std::uint32_t kValidOverread = 2;
// The archive end is stored with 8 payload bytes and unpacked length 12
// (the payload and the signature after it).
constexpr std::uint8_t kArchiveEndStored = 0x81;
constexpr std::uint32_t kArchiveEndUnpacked = 12;
constexpr std::uint32_t kArchiveEndPayload = 8;
}  // namespace

int codec_init(std::uint32_t packet_size) {
  using namespace codec;
  std::free(g_work);
  g_work = nullptr;
  g_work_size = 0;
  // The packet writer compresses into 2n - 1 bytes, and the compressor
  // writes the size header unchecked.
  if (packet_size < CODEC_SIZE_HEADER || packet_size > 0x7FFFFFF0u / 2) return CODEC_NO_MEMORY;
  g_work = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(packet_size) * 2 + 1));
  if (!g_work) return CODEC_NO_MEMORY;
  g_work_size = packet_size * 2;
  return CODEC_OK;
}

Packet* packet_alloc(std::uint32_t packet_size) {
  if (packet_size > 0x7FFFFFF0u) return nullptr;
  Packet* p = static_cast<Packet*>(std::malloc(sizeof(Packet)));
  if (!p) return nullptr;
  p->data = static_cast<std::uint8_t*>(std::malloc(packet_size + 10u));
  if (!p->data) {
    std::free(p);
    return nullptr;
  }
  p->capacity = packet_size + 10u;
  p->type = p->wire_type = 0;
  p->stored_len = p->unpacked_len = 0;
  p->check_sum = p->check_xor = 0;
  return p;
}

void packet_free(Packet* packet) {
  if (!packet) return;
  std::free(packet->data);
  std::free(packet);
}

void packet_check_bytes(std::uint8_t type, std::uint32_t stored_len, std::uint32_t unpacked_len,
                        const std::uint8_t* payload, std::uint32_t payload_len,
                        std::uint8_t* check_sum, std::uint8_t* check_xor) {
  unsigned sum = type;
  unsigned x = type;
  for (int k = 0; k < 4; ++k) {
    const unsigned a = (stored_len >> (8 * k)) & 0xFF;
    const unsigned b = (unpacked_len >> (8 * k)) & 0xFF;
    sum += a + b;
    x ^= a ^ b;
  }
  // Wide accumulation: the sum in 32-bit lanes and the xor in 64-bit words.
  std::uint64_t xw = 0;
  std::uint32_t n = 0;
  std::uint64_t sums = 0;
  for (; n + 8 <= payload_len; n += 8) {
    std::uint64_t w;
    std::memcpy(&w, payload + n, 8);
    xw ^= w;
    for (int k = 0; k < 8; ++k) sums += payload[n + k];
  }
  for (int k = 0; k < 8; ++k) x ^= static_cast<unsigned>(xw >> (8 * k)) & 0xFF;
  for (; n < payload_len; ++n) {
    sums += payload[n];
    x ^= payload[n];
  }
  *check_sum = static_cast<std::uint8_t>(sum + sums);
  *check_xor = static_cast<std::uint8_t>(x);
}

void packet_check(const Packet* packet, std::uint8_t* check_sum, std::uint8_t* check_xor) {
  packet_check_bytes(packet->type, packet->stored_len, packet->unpacked_len, packet->data,
                     packet->stored_len, check_sum, check_xor);
}

int packet_read_raw(Packet* packet, std::FILE* in) {
  using namespace codec;
  if (!g_work) return PACKET_NO_CODEC;
  std::uint8_t h[PACKET_HEADER_SIZE];
  const std::size_t got = std::fread(h, 1, sizeof h, in);
  if (got == 0) return PACKET_EOF;
  if (got != sizeof h) return PACKET_SHORT;
  packet->type = packet->wire_type = h[0];
  packet->unpacked_len = codec_load_le32(h + 1);
  packet->stored_len = codec_load_le32(h + 5);
  packet->check_sum = h[9];
  packet->check_xor = h[10];
  // Both lengths are checked against the packet size and the record's
  // buffer before a byte is stored.
  const std::uint32_t limit = g_work_size / 2 < packet->capacity ? g_work_size / 2 : packet->capacity;
  if (packet->stored_len > limit || packet->unpacked_len > limit) return PACKET_TOO_LONG;
  if (packet->stored_len != 0 &&
      std::fread(packet->data, 1, packet->stored_len, in) != packet->stored_len)
    return PACKET_SHORT;
  if (packet->type != 1 && packet->type != kArchiveEndStored) {
    std::uint8_t s, x;
    packet_check(packet, &s, &x);
    if (s != packet->check_sum || x != packet->check_xor) return PACKET_BAD_CHECK;
  }
  return PACKET_OK;
}

int packet_decode(Packet* packet, std::uint8_t* work, std::uint32_t work_cap, CodecReport* report) {
  if (report) *report = CodecReport{};
  // The unpacked length is what the payload gives, never what the buffer
  // happens to hold beyond it.
  if (packet->type & PACKET_STORED) {
    const bool archive_end = packet->type == kArchiveEndStored &&
                             packet->unpacked_len == kArchiveEndUnpacked &&
                             packet->stored_len == kArchiveEndPayload;
    if (packet->stored_len != packet->unpacked_len && !archive_end) return PACKET_BAD_LENGTHS;
  } else if (packet->stored_len == 0) {
    if (packet->unpacked_len != 0) return PACKET_BAD_LENGTHS;
  } else {
    if (packet->stored_len > work_cap || packet->unpacked_len > packet->capacity) return PACKET_TOO_LONG;
    std::memcpy(work, packet->data, packet->stored_len);
    CodecDecodeStats st{};
    const int status = codec_decompress_ex(work, packet->data, packet->stored_len, packet->unpacked_len, &st);
    if (report) *report = st.report;
    if (status != 0) return PACKET_DECODE_FAILED;
    if (codec_load_le32(work) != packet->unpacked_len || st.produced != packet->unpacked_len ||
        st.overread > kValidOverread)
      return PACKET_BAD_LENGTHS;
  }
  packet->type = static_cast<std::uint8_t>(packet->type & ~PACKET_STORED);
  return PACKET_OK;
}

int packet_read(Packet* packet, std::FILE* in, CodecReport* report) {
  if (report) *report = CodecReport{};
  const int st = packet_read_raw(packet, in);
  if (st != PACKET_OK) return st;
  return packet_decode(packet, codec::g_work, codec::g_work_size, report);
}
