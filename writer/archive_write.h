// The installer archive, writing side (the packer only): the fixed
// payloads, and a writer that lays encoded packets out over volumes.
//
// Volume layout as written:
//   volume 1        stub, packets, then either the archive end (a single
//                   volume) or a volume-end packet; the trailer last
//   volumes 2 ..    packets from offset 0, each closed by a volume end,
//                   the last one by the archive end
// The volume-end packet is the empty packet of type 5 (05, two zero
// lengths, check bytes 05 05). The archive end always stands in the last
// volume, followed by the signature: in volume 1 that signature is the
// trailer's, in a later volume it repeats it so that the archive-end packet
// is the same 23 bytes wherever it stands, its payload naming volume 1's P.
// A packet never spans two volumes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "archive.h"

// The writing side's statuses, beside the reading side's (archive.h), which
// it also returns (SFX_E_TOO_LONG, SFX_E_OPEN for a volume not created).
enum : int {
  SFX_E_WRITE = -12,         // a write, flush or close failed
  SFX_E_VOLUME_SMALL = -13,  // the volume size leaves no room for what must fit
  SFX_E_ENCODE = -15,        // the compressor failed
  SFX_E_VOLUME_LARGE = -16,  // a volume would pass 2 GiB (the stub's file offsets)
};
// A short English text for a status of either side.
const char* sfx_write_status_text(int status);

// Bytes of the volume-end packet and of volume 1's close after it.
constexpr std::uint32_t SFX_VOLUME_END_BYTES = PACKET_HEADER_SIZE;
// Smallest volume size for volumes 2 and on: room for the largest member
// header and a volume end, with some to spare for data.
constexpr std::uint64_t SFX_MIN_VOLUME_SIZE = 1024;
// Volumes stay below 2 GiB: the stub positions itself with signed 32-bit
// file offsets.
constexpr std::uint64_t SFX_MAX_VOLUME_SIZE = 0x7FFFFFFFu;

// The member record that a header carries (record.h): the names in UTF-8
// (null where the field's own bytes say it in ASCII), the code page of the
// fields, the content's CRC-32C.
struct SfxRecordOut {
  const char* dir = nullptr;
  const char* name = nullptr;
  unsigned codepage = 0;
  std::uint32_t crc = 0;
};
// Bytes the record takes in the spare bytes.
std::size_t sfx_record_size(const SfxRecordOut& rec);
// Fills a 772-byte member header, with its record when rec is given, the
// spare bytes after it zero. 0, or SFX_E_TOO_LONG when the directory needs
// more than 511 bytes or the name more than 255, or the record more than
// the spare bytes that the two leave.
int sfx_member_header_build(std::uint8_t* out, const char* dir, const char* name,
                            std::int32_t time, const SfxRecordOut* rec = nullptr);
void sfx_member_end_build(std::uint8_t* out, std::uint32_t total, std::uint32_t count);
// The archive end with the signature after it: SFX_ARCHIVE_END_BYTES bytes.
void sfx_archive_end_build(std::uint8_t* out, std::uint32_t first_packet);
void sfx_volume_end_build(std::uint8_t* out);  // SFX_VOLUME_END_BYTES bytes
void sfx_trailer_build(std::uint8_t* out, std::uint32_t first_packet);  // 8 bytes

// A data packet that does not fit in the rest of a volume is split in two
// when that rest holds at least this many data bytes after a packet header;
// a smaller rest stays empty.
constexpr std::uint32_t SFX_MIN_SPLIT = 4096;

// Largest member-data chunk for a volume size (0 = no limit), so that a
// packet of it, stored or compressed, fits in an empty later volume with its
// volume end: min(100000, size - 22). 0 when the size is below
// SFX_MIN_VOLUME_SIZE.
std::uint32_t sfx_data_chunk_size(std::uint64_t volume_size);

// Writes packets over volumes. Volume 1 is given already holding the stub
// (first_packet bytes); volumes 2, 3, ... are opened through `open` and
// handed back through `close` when full. Every call returns 0 or a
// negative SFX_E_* status; after a failure the writer is unusable.
class SfxArchiveWriter {
 public:
  using OpenFn = std::function<std::FILE*(int volume)>;
  using CloseFn = std::function<int(int volume, std::FILE* f)>;

  // volume_size 0: no split (but still at most SFX_MAX_VOLUME_SIZE).
  SfxArchiveWriter(std::FILE* first, std::uint32_t first_packet, std::uint64_t volume_size,
                   OpenFn open, CloseFn close);
  ~SfxArchiveWriter();
  SfxArchiveWriter(const SfxArchiveWriter&) = delete;
  SfxArchiveWriter& operator=(const SfxArchiveWriter&) = delete;

  // Checks that volume 1 holds the stub and its close (SFX_E_VOLUME_SMALL)
  // and that later volumes can hold a packet.
  int begin();
  // An encoded packet (packet_encode's result: header fields and payload),
  // written whole.
  int put(const Packet& packet, const std::uint8_t* payload);
  // A chunk of a member's data, at most the packet size: `packet` as
  // packet_encode made it from its data (with `payload`), or the raw bytes
  // alone for the writer to encode. When the packet does not fit in the
  // rest of a split volume and that rest takes at least SFX_MIN_SPLIT data
  // bytes, the data goes in several packets instead, the first ones filling
  // the volume. *packets grows by the number of packets written.
  int put_data(const Packet& packet, const std::uint8_t* payload, std::uint32_t* packets);
  int put_data(const std::uint8_t* data, std::uint32_t len, std::uint32_t* packets);
  // Builds, encodes and puts a member header or a member end.
  int put_member_header(const char* dir, const char* name, std::int32_t time,
                        const SfxRecordOut* rec = nullptr);
  int put_member_end(std::uint32_t total, std::uint32_t count);
  // Writes the archive end (and the trailer), closes volumes after the
  // first. Volume 1 stays open and flushed; the caller closes it.
  int finish();

  // Bytes the next packet may take in the current volume without a change
  // of volume (room for the volume's close is kept back).
  std::uint64_t room() const;

  int volumes() const { return volume_; }
  // Sizes of the volumes so far, volume 1 first.
  const std::vector<std::uint64_t>& volume_sizes() const { return sizes_; }

 private:
  int write(const void* bytes, std::size_t n);
  int next_volume();
  int encode(std::uint8_t type, const std::uint8_t* data, std::uint32_t len);
  int put_small(std::uint8_t type, const std::uint8_t* data, std::uint32_t len);
  int put_split(const std::uint8_t* data, std::uint32_t len, std::uint32_t* packets);
  bool fills_volume(std::uint64_t packet_bytes) const;

  std::FILE* first_;
  std::FILE* cur_;
  std::uint32_t first_packet_;
  std::uint64_t limit_;
  bool split_;
  OpenFn open_;
  CloseFn close_;
  int volume_ = 1;
  std::uint64_t used_ = 0;  // bytes in the current volume
  std::vector<std::uint64_t> sizes_;
  PacketEncoder enc_{};  // for member headers and ends, and the parts of split data
  int failed_ = 0;
};
