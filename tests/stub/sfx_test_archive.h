// Builds installer archives byte by byte for the stub's tests: good ones,
// multi-volume ones and deliberately damaged ones.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "archive.h"
#include "archive_write.h"
#include "checksum.h"
#include "codec.h"

class TestArchive {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // `image` stands for the stub's executable image before the archive.
  explicit TestArchive(Bytes image = Bytes(64, 'S')) : first_(static_cast<std::uint32_t>(image.size())) {
    volumes_.push_back(std::move(image));
    packet_encoder_init(&enc_, SFX_PACKET_SIZE);
  }
  ~TestArchive() { packet_encoder_release(&enc_); }
  TestArchive(const TestArchive&) = delete;
  TestArchive& operator=(const TestArchive&) = delete;

  // One packet of at most SFX_PACKET_SIZE bytes, compressed unless
  // `stored` (or incompressible).
  void packet(std::uint8_t type, const void* data, std::uint32_t len, bool stored = false) {
    Packet& p = *enc_.packet;
    if (len) std::memcpy(p.data, data, len);
    p.type = static_cast<std::uint8_t>(type | (stored ? PACKET_STORED : 0));
    p.unpacked_len = len;
    p.stored_len = len;
    packet_encoder_run(&enc_);
    std::uint8_t h[PACKET_HEADER_SIZE];
    packet_header_encode(&p, h);
    append(h, sizeof h);
    append(enc_.payload, p.stored_len);
  }

  void header(const std::string& dir, const std::string& name, std::int32_t time,
              const SfxRecordOut* rec = nullptr) {
    std::uint8_t h[SFX_MEMBER_HEADER_SIZE];
    sfx_member_header_build(h, dir.c_str(), name.c_str(), time, rec);
    packet(SFX_MEMBER_HEADER, h, sizeof h);
  }
  // A whole member whose header carries a record: its names in UTF-8
  // (empty: not given) beside the fields, and the checksum.
  void recorded(const std::string& dir, const std::string& name, const std::string& udir, const std::string& uname,
                const std::string& content, bool stored = false, unsigned codepage = 1252) {
    SfxRecordOut rec;
    rec.dir = udir.empty() ? nullptr : udir.c_str();
    rec.name = uname.empty() ? nullptr : uname.c_str();
    rec.codepage = codepage;
    rec.crc = sfx_crc32c(0, content.data(), content.size());
    header(dir, name, 1000000000, &rec);
    std::uint32_t count = 0;
    for (std::size_t at = 0; at < content.size(); at += SFX_PACKET_SIZE, ++count) {
      const std::size_t n = std::min<std::size_t>(SFX_PACKET_SIZE, content.size() - at);
      packet(SFX_MEMBER_DATA, content.data() + at, static_cast<std::uint32_t>(n), stored);
    }
    end(static_cast<std::uint32_t>(content.size()), count);
  }
  void data(const std::string& content) {
    packet(SFX_MEMBER_DATA, content.data(), static_cast<std::uint32_t>(content.size()));
  }
  void end(std::uint32_t total, std::uint32_t count) {
    std::uint8_t e[SFX_MEMBER_END_SIZE];
    sfx_member_end_build(e, total, count);
    packet(SFX_MEMBER_END, e, sizeof e);
  }
  // A whole member, its content cut into data packets of `chunk` bytes.
  void member(const std::string& dir, const std::string& name, const std::string& content,
              std::int32_t time = 1000000000, std::size_t chunk = SFX_PACKET_SIZE) {
    header(dir, name, time);
    std::uint32_t count = 0;
    for (std::size_t at = 0; at < content.size(); at += chunk) {
      data(content.substr(at, chunk));
      ++count;
    }
    end(static_cast<std::uint32_t>(content.size()), count);
  }
  // Ends the current volume; packets go on at offset 0 of the next one.
  void volume_end() {
    std::uint8_t b[SFX_VOLUME_END_BYTES];
    sfx_volume_end_build(b);
    append(b, sizeof b);
    if (volumes_.size() == 1) {
      std::uint8_t t[SFX_TRAILER_SIZE];
      sfx_trailer_build(t, first_);
      append(t, sizeof t);
    }
    volumes_.emplace_back();
  }
  // The archive end with its signature (and so, in volume 1, the trailer).
  void archive_end() {
    std::uint8_t b[SFX_ARCHIVE_END_BYTES];
    sfx_archive_end_build(b, first_);
    append(b, sizeof b);
  }
  // Volume 1 without an archive end still needs the trailer to be found.
  void trailer_only() {
    std::uint8_t t[SFX_TRAILER_SIZE];
    sfx_trailer_build(t, first_);
    append(t, sizeof t);
  }
  void raw(const Bytes& bytes) { append(bytes.data(), bytes.size()); }
  // A packet written as given (type with its stored bit, both lengths, the
  // payload) with check bytes that agree: for lengths that lie.
  void framed(std::uint8_t type_on_disk, std::uint32_t unpacked_len, const Bytes& payload) {
    Packet p{};
    p.type = type_on_disk;
    p.unpacked_len = unpacked_len;
    p.stored_len = static_cast<std::uint32_t>(payload.size());
    packet_check_bytes(p.type, p.stored_len, p.unpacked_len, payload.data(), p.stored_len, &p.check_sum,
                       &p.check_xor);
    std::uint8_t h[PACKET_HEADER_SIZE];
    packet_header_encode(&p, h);
    append(h, sizeof h);
    append(payload.data(), payload.size());
  }

  std::uint32_t first_packet() const { return first_; }
  Bytes& volume(std::size_t i) { return volumes_[i]; }
  std::size_t volumes() const { return volumes_.size(); }

  static void put32(Bytes& v, std::uint32_t x) {
    std::uint8_t b[4];
    codec_store_le32(b, x);
    v.insert(v.end(), b, b + 4);
  }

 private:
  void append(const std::uint8_t* b, std::size_t n) { volumes_.back().insert(volumes_.back().end(), b, b + n); }

  std::uint32_t first_;
  std::vector<Bytes> volumes_;
  PacketEncoder enc_{};
};
