// The installer archive, writing side: payloads, and packets laid out over
// volumes.
#include "archive_write.h"

#include <cstring>

#include "checksum.h"
#include "record.h"

namespace {

// The header of a packet that has no payload of its own to check: its
// check bytes cover the nine header bytes alone.
void header_only(std::uint8_t type, std::uint32_t unpacked, std::uint32_t stored, std::uint8_t* out) {
  Packet p{};
  p.type = type;
  p.unpacked_len = unpacked;
  p.stored_len = stored;
  packet_check_bytes(type, stored, unpacked, nullptr, 0, &p.check_sum, &p.check_xor);
  packet_header_encode(&p, out);
}

// What volume 1 needs after its last packet when the archive goes on in
// volume 2: a volume end and the trailer.
constexpr std::uint64_t kFirstClose = SFX_VOLUME_END_BYTES + SFX_TRAILER_SIZE;

}  // namespace

const char* sfx_write_status_text(int status) {
  switch (status) {
    case SFX_E_WRITE: return "write failed";
    case SFX_E_VOLUME_SMALL: return "volume size too small";
    case SFX_E_ENCODE: return "compressor failed";
    case SFX_E_VOLUME_LARGE: return "a volume would be larger than 2 GiB";
    default: return sfx_status_text(status);
  }
}

std::size_t sfx_record_size(const SfxRecordOut& rec) {
  std::size_t n = SFX_RECORD_HEAD + SFX_RECORD_CHECK + (3 + 4) + (3 + 2);
  if (rec.dir) n += 3 + std::strlen(rec.dir);
  if (rec.name) n += 3 + std::strlen(rec.name);
  return n;
}

namespace {

void put_field(std::uint8_t* r, std::size_t& at, std::uint8_t tag, const void* v, std::size_t n) {
  r[at] = tag;
  r[at + 1] = static_cast<std::uint8_t>(n);
  r[at + 2] = static_cast<std::uint8_t>(n >> 8);
  std::memcpy(r + at + 3, v, n);
  at += 3 + n;
}

}  // namespace

int sfx_member_header_build(std::uint8_t* out, const char* dir, const char* name,
                            std::int32_t time, const SfxRecordOut* rec) {
  const std::size_t d = std::strlen(dir), n = std::strlen(name);
  if (d >= SFX_DIR_FIELD || n >= SFX_NAME_FIELD) return SFX_E_TOO_LONG;
  std::memset(out, 0, SFX_MEMBER_HEADER_SIZE);
  std::memcpy(out, dir, d);
  std::memcpy(out + SFX_NAME_OFFSET, name, n);
  codec_store_le32(out + SFX_TIME_OFFSET, static_cast<std::uint32_t>(time));
  if (!rec) return SFX_OK;
  // The record, built whole and then laid into the spare bytes of the
  // directory's field and on into those of the name's.
  const std::size_t from_dir = SFX_DIR_FIELD - d - 1, from_name = SFX_NAME_FIELD - n - 1;
  const std::size_t size = sfx_record_size(*rec);
  if (size > from_dir + from_name) return SFX_E_TOO_LONG;
  std::uint8_t r[SFX_SPARE_MAX];
  std::memcpy(r, SFX_RECORD_MARKER, sizeof SFX_RECORD_MARKER);
  r[4] = SFX_RECORD_VERSION;
  const std::size_t fields = size - SFX_RECORD_HEAD - SFX_RECORD_CHECK;
  r[5] = static_cast<std::uint8_t>(fields);
  r[6] = static_cast<std::uint8_t>(fields >> 8);
  std::size_t at = SFX_RECORD_HEAD;
  if (rec->dir) put_field(r, at, SFX_TAG_DIR, rec->dir, std::strlen(rec->dir));
  if (rec->name) put_field(r, at, SFX_TAG_NAME, rec->name, std::strlen(rec->name));
  const std::uint8_t cp[2] = {static_cast<std::uint8_t>(rec->codepage), static_cast<std::uint8_t>(rec->codepage >> 8)};
  put_field(r, at, SFX_TAG_CODEPAGE, cp, 2);
  std::uint8_t crc[4];
  codec_store_le32(crc, rec->crc);
  put_field(r, at, SFX_TAG_CRC, crc, 4);
  codec_store_le32(r + at, sfx_crc32c(0, r, at));
  at += SFX_RECORD_CHECK;
  const std::size_t first = at < from_dir ? at : from_dir;
  std::memcpy(out + d + 1, r, first);
  std::memcpy(out + SFX_NAME_OFFSET + n + 1, r + first, at - first);
  return SFX_OK;
}

void sfx_member_end_build(std::uint8_t* out, std::uint32_t total, std::uint32_t count) {
  codec_store_le32(out, total);
  codec_store_le32(out + 4, count);
}

void sfx_archive_end_build(std::uint8_t* out, std::uint32_t first_packet) {
  header_only(SFX_ARCHIVE_END_TYPE_ON_DISK, SFX_ARCHIVE_END_UNPACKED, SFX_ARCHIVE_END_STORED, out);
  codec_store_le32(out + PACKET_HEADER_SIZE, 0);
  sfx_trailer_build(out + PACKET_HEADER_SIZE + 4, first_packet);
}

void sfx_volume_end_build(std::uint8_t* out) { header_only(SFX_VOLUME_END, 0, 0, out); }

void sfx_trailer_build(std::uint8_t* out, std::uint32_t first_packet) {
  codec_store_le32(out, first_packet);
  std::memcpy(out + 4, SFX_SIGNATURE, 4);
}

std::uint32_t sfx_data_chunk_size(std::uint64_t volume_size) {
  if (volume_size == 0) return SFX_PACKET_SIZE;
  if (volume_size < SFX_MIN_VOLUME_SIZE) return 0;
  const std::uint64_t room = volume_size - PACKET_HEADER_SIZE - SFX_VOLUME_END_BYTES;
  return room < SFX_PACKET_SIZE ? static_cast<std::uint32_t>(room) : SFX_PACKET_SIZE;
}

SfxArchiveWriter::SfxArchiveWriter(std::FILE* first, std::uint32_t first_packet,
                                   std::uint64_t volume_size, OpenFn open, CloseFn close)
    : first_(first),
      cur_(first),
      first_packet_(first_packet),
      limit_(volume_size == 0 || volume_size > SFX_MAX_VOLUME_SIZE ? SFX_MAX_VOLUME_SIZE
                                                                   : volume_size),
      split_(volume_size != 0),
      open_(std::move(open)),
      close_(std::move(close)),
      used_(first_packet) {}

SfxArchiveWriter::~SfxArchiveWriter() {
  if (cur_ && cur_ != first_ && close_) close_(volume_, cur_);
  packet_encoder_release(&enc_);
}

int SfxArchiveWriter::begin() {
  if (packet_encoder_init(&enc_, SFX_PACKET_SIZE) != 0) return failed_ = SFX_E_ENCODE;
  // Volume 1 must hold the stub and at least the close of a split archive.
  if (static_cast<std::uint64_t>(first_packet_) + kFirstClose > limit_)
    return failed_ = SFX_E_VOLUME_SMALL;
  if (limit_ < SFX_MIN_VOLUME_SIZE) return failed_ = SFX_E_VOLUME_SMALL;
  return SFX_OK;
}

int SfxArchiveWriter::write(const void* bytes, std::size_t n) {
  if (n && std::fwrite(bytes, 1, n, cur_) != n) return failed_ = SFX_E_WRITE;
  used_ += n;
  return SFX_OK;
}

int SfxArchiveWriter::next_volume() {
  std::uint8_t ve[SFX_VOLUME_END_BYTES];
  sfx_volume_end_build(ve);
  if (int st = write(ve, sizeof ve)) return st;
  if (volume_ == 1) {
    std::uint8_t t[SFX_TRAILER_SIZE];
    sfx_trailer_build(t, first_packet_);
    if (int st = write(t, sizeof t)) return st;
    if (std::fflush(first_) != 0) return failed_ = SFX_E_WRITE;
  } else {
    std::FILE* f = cur_;
    cur_ = nullptr;
    if (close_(volume_, f) != 0) return failed_ = SFX_E_WRITE;
  }
  sizes_.push_back(used_);
  ++volume_;
  cur_ = open_(volume_);
  if (!cur_) return failed_ = SFX_E_OPEN;
  used_ = 0;
  return SFX_OK;
}

std::uint64_t SfxArchiveWriter::room() const {
  const std::uint64_t close = volume_ == 1 ? kFirstClose : SFX_VOLUME_END_BYTES;
  return used_ + close >= limit_ ? 0 : limit_ - used_ - close;
}

int SfxArchiveWriter::put(const Packet& packet, const std::uint8_t* payload) {
  if (failed_) return failed_;
  const std::uint64_t n = PACKET_HEADER_SIZE + (packet.unpacked_len ? packet.stored_len : 0u);
  // Room for this packet and whatever closes the volume after it.
  const std::uint64_t close = volume_ == 1 ? kFirstClose : SFX_VOLUME_END_BYTES;
  if (used_ + n + close > limit_) {
    if (!split_) return failed_ = SFX_E_VOLUME_LARGE;
    if (int st = next_volume()) return st;
    if (n + SFX_VOLUME_END_BYTES > limit_) return failed_ = SFX_E_VOLUME_SMALL;
  }
  std::uint8_t h[PACKET_HEADER_SIZE];
  packet_header_encode(&packet, h);
  if (int st = write(h, sizeof h)) return st;
  if (packet.unpacked_len == 0) return SFX_OK;
  return write(payload, packet.stored_len);
}

// Encodes data into the writer's own packet record.
int SfxArchiveWriter::encode(std::uint8_t type, const std::uint8_t* data, std::uint32_t len) {
  if (len > SFX_PACKET_SIZE) return failed_ = SFX_E_TOO_LONG;
  Packet& p = *enc_.packet;
  if (len) std::memcpy(p.data, data, len);
  p.type = type;
  p.unpacked_len = len;
  p.stored_len = 0;
  if (packet_encoder_run(&enc_) != 0) return failed_ = SFX_E_ENCODE;
  return SFX_OK;
}

int SfxArchiveWriter::put_small(std::uint8_t type, const std::uint8_t* data, std::uint32_t len) {
  if (failed_) return failed_;
  if (int st = encode(type, data, len)) return st;
  return put(*enc_.packet, enc_.payload);
}

// Whether a data packet of this many bytes is better split: it does not fit
// in the rest of the volume, and that rest is worth filling.
bool SfxArchiveWriter::fills_volume(std::uint64_t packet_bytes) const {
  const std::uint64_t r = room();
  return split_ && packet_bytes > r && r >= PACKET_HEADER_SIZE + SFX_MIN_SPLIT;
}

// Data in several packets, the first ones filling the volume. Stored, a
// part of room - 11 bytes takes exactly the room; compressed it takes less,
// and the next part goes on in the same volume.
int SfxArchiveWriter::put_split(const std::uint8_t* data, std::uint32_t len, std::uint32_t* packets) {
  while (len) {
    const std::uint64_t r = room();
    std::uint32_t take = len;
    if (r >= PACKET_HEADER_SIZE + SFX_MIN_SPLIT && r - PACKET_HEADER_SIZE < len)
      take = static_cast<std::uint32_t>(r - PACKET_HEADER_SIZE);
    if (int st = put_small(SFX_MEMBER_DATA, data, take)) return st;
    data += take;
    len -= take;
    ++*packets;
  }
  return SFX_OK;
}

int SfxArchiveWriter::put_data(const Packet& packet, const std::uint8_t* payload, std::uint32_t* packets) {
  if (failed_) return failed_;
  const std::uint64_t n = PACKET_HEADER_SIZE + (packet.unpacked_len ? packet.stored_len : 0u);
  if (fills_volume(n)) return put_split(packet.data, packet.unpacked_len, packets);
  if (int st = put(packet, payload)) return st;
  ++*packets;
  return SFX_OK;
}

int SfxArchiveWriter::put_data(const std::uint8_t* data, std::uint32_t len, std::uint32_t* packets) {
  if (failed_) return failed_;
  if (int st = encode(SFX_MEMBER_DATA, data, len)) return st;
  const Packet& p = *enc_.packet;
  // The parts of a split are encoded from the caller's bytes, since the
  // record is the writer's for each part.
  if (fills_volume(PACKET_HEADER_SIZE + (p.unpacked_len ? p.stored_len : 0u))) return put_split(data, len, packets);
  if (int st = put(p, enc_.payload)) return st;
  ++*packets;
  return SFX_OK;
}

int SfxArchiveWriter::put_member_header(const char* dir, const char* name, std::int32_t time,
                                        const SfxRecordOut* rec) {
  std::uint8_t h[SFX_MEMBER_HEADER_SIZE];
  if (int st = sfx_member_header_build(h, dir, name, time, rec)) return st;
  return put_small(SFX_MEMBER_HEADER, h, SFX_MEMBER_HEADER_SIZE);
}

int SfxArchiveWriter::put_member_end(std::uint32_t total, std::uint32_t count) {
  std::uint8_t e[SFX_MEMBER_END_SIZE];
  sfx_member_end_build(e, total, count);
  return put_small(SFX_MEMBER_END, e, SFX_MEMBER_END_SIZE);
}

int SfxArchiveWriter::finish() {
  if (failed_) return failed_;
  std::uint8_t end[SFX_ARCHIVE_END_BYTES];
  sfx_archive_end_build(end, first_packet_);
  if (used_ + SFX_ARCHIVE_END_BYTES > limit_) {
    if (!split_) return failed_ = SFX_E_VOLUME_LARGE;
    if (int st = next_volume()) return st;
  }
  if (int st = write(end, sizeof end)) return st;
  sizes_.push_back(used_);
  if (volume_ == 1) return std::fflush(first_) == 0 ? SFX_OK : (failed_ = SFX_E_WRITE);
  std::FILE* f = cur_;
  cur_ = first_;
  if (close_(volume_, f) != 0) return failed_ = SFX_E_WRITE;
  return SFX_OK;
}
