// The installer archive: packet types, member headers, member paths,
// volume names and the trailer. This header is the reading side, shared by
// the stub and the packer; it is plain C-style code (no exceptions, no
// iostreams) so that the stub stays small. The writing side is
// writer/archive_write.h, which the packer and the tests link.
//
// Layout of volume 1 (the installer's own file):
//   0 .. P-1   the stub's executable image
//   P ..       packets, one after another
//   last 8     trailer: u32 P, then the signature DE AD FA CE
// A single-volume archive ends with the archive-end packet: type 0x81,
// unpacked length 12, stored length 8, payload u32 0 and u32 P. Its last
// four payload bytes are at the same time the first four trailer bytes, so
// the signature follows the packet directly.
// Volumes 2, 3, ... hold packets from offset 0 and have no trailer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "codec.h"

// ---- constants -------------------------------------------------------------
enum : std::uint8_t {
  SFX_ARCHIVE_END = 1,    // top level, once, last
  SFX_MEMBER_HEADER = 2,  // top level
  SFX_MEMBER_END = 3,     // inside a member, once, last
  SFX_MEMBER_DATA = 4,    // inside a member
  SFX_VOLUME_END = 5,     // top level or inside a member
};

// Packet size of every reader and writer of the archive: the largest
// unpacked or stored length of a packet.
constexpr std::uint32_t SFX_PACKET_SIZE = 100000;

// Trailer: the last 8 bytes of volume 1.
constexpr std::uint32_t SFX_TRAILER_SIZE = 8;
constexpr std::uint8_t SFX_SIGNATURE[4] = {0xDE, 0xAD, 0xFA, 0xCE};

// Archive-end packet as written: stored, 8 payload bytes, unpacked length 12
// (the payload plus the 4 signature bytes after it).
constexpr std::uint8_t SFX_ARCHIVE_END_TYPE_ON_DISK = 0x81;
constexpr std::uint32_t SFX_ARCHIVE_END_STORED = 8;
constexpr std::uint32_t SFX_ARCHIVE_END_UNPACKED = 12;
// Bytes the archive end adds after the last packet: its header, its payload
// and the signature (the payload's last word doubles as the trailer's first).
constexpr std::uint32_t SFX_ARCHIVE_END_BYTES = PACKET_HEADER_SIZE + SFX_ARCHIVE_END_STORED + 4;

// Member header payload.
constexpr std::uint32_t SFX_MEMBER_HEADER_SIZE = 772;
constexpr std::uint32_t SFX_DIR_FIELD = 512;     // directory at 0, zero-terminated
constexpr std::uint32_t SFX_NAME_OFFSET = 512;
constexpr std::uint32_t SFX_NAME_FIELD = 256;    // file name at 512, zero-terminated
constexpr std::uint32_t SFX_TIME_OFFSET = 768;   // signed 32-bit seconds since 1970 UTC
// Member end payload: u32 total of the data packets' unpacked lengths, u32 count.
constexpr std::uint32_t SFX_MEMBER_END_SIZE = 8;

// Room of the stub's path texts (work directory, member paths, volume names),
// not counting the terminating zero.
constexpr std::size_t SFX_PATH_MAX = 1023;

// ---- statuses ----------------------------------------------------------------
// 0 is success everywhere; the reading operations return these negatives.
enum : int {
  SFX_OK = 0,
  SFX_E_SEEK = -1,            // trailer: the file is shorter than the signature, or a seek failed
  SFX_E_SHORT = -2,           // trailer: fewer bytes than needed could be read
  SFX_E_SIGNATURE = -3,       // trailer: the last 4 bytes are not DE AD FA CE
  SFX_E_OFFSET = -4,          // trailer: the first-packet offset lies past the trailer
  SFX_E_HEADER_SIZE = -5,     // a member header or member end payload is too short
  SFX_E_UNTERMINATED = -6,    // a header field has no terminating zero within its width
  SFX_E_UNSAFE_PATH = -7,     // a member path is refused (see sfx_member_path_check)
  SFX_E_UNEXPECTED = -8,      // a packet type that may not stand where it stands
  SFX_E_TOTAL = -9,           // member end: the total disagrees with the data read
  SFX_E_COUNT = -10,          // member end: the count disagrees with the data read
  SFX_E_TOO_LONG = -11,       // a formed path or name does not fit its buffer
  SFX_E_OPEN = -14,           // a further volume could not be opened (or, writing, created)
  SFX_E_READ = -17,           // the walk: a packet could not be read (see sfx_walker)
  SFX_E_RECORD = -18,         // a member header's record is refused (record.h)
  SFX_E_CHECKSUM = -19,       // a member's content disagrees with its record's checksum
  // -12, -13, -15 and -16 are the writing side's (writer/archive_write.h).
};

// A short English text for a status above (for tools and logs).
const char* sfx_status_text(int status);

// ---- trailer -------------------------------------------------------------------
// Reads the trailer of volume 1 from an open binary stream: the signature
// first, then the first-packet offset. On success *first_packet is P and
// *end_of_data the position where the signature starts (the file size
// minus 4), and the stream stands at P. Statuses: 0, SFX_E_SEEK,
// SFX_E_SHORT, SFX_E_SIGNATURE, SFX_E_OFFSET (P leaves no room for a packet
// before the trailer).
//
// A signed installer ends with the PE certificate table instead: when the
// last 4 bytes are not the signature, the file is a PE image whose
// certificate table (the security entry of its data directories) ends
// exactly at the end of the file, and the table follows the signature
// directly or after up to 7 zero bytes (the padding that signing tools
// add), the trailer is the one before the table and *end_of_data is where
// its signature starts. Anything else is SFX_E_SIGNATURE.
int sfx_trailer_read(std::FILE* f, std::uint32_t* first_packet, long* end_of_data);

// The same checks on a trailer already in memory: 8 bytes, and the size of
// the file they ended. 0, SFX_E_SHORT, SFX_E_SIGNATURE or SFX_E_OFFSET.
int sfx_trailer_parse(const std::uint8_t* trailer, std::uint64_t file_size,
                      std::uint32_t* first_packet);

// ---- member header and member end ------------------------------------------------
// A parsed member header: views into the payload, which must outlive them.
struct sfx_member {
  const char* dir;    // zero-terminated within its 512-byte field
  const char* name;   // zero-terminated within its 256-byte field
  std::int32_t time;  // seconds since 1970-01-01 00:00:00 UTC
};

// Parses a member-header payload of `len` bytes (at least 772). Checks that
// both fields are zero-terminated within their widths; does not judge the
// path (sfx_member_path_check does). 0, SFX_E_HEADER_SIZE or SFX_E_UNTERMINATED.
int sfx_member_parse(const std::uint8_t* payload, std::uint32_t len, sfx_member* out);

// Parses a member-end payload of `len` bytes (at least 8). 0 or SFX_E_HEADER_SIZE.
int sfx_member_end_parse(const std::uint8_t* payload, std::uint32_t len, std::uint32_t* total,
                         std::uint32_t* count);

// Both `/` and `\` separate the parts of a member path.
inline bool sfx_is_sep(char c) { return c == '/' || c == '\\'; }

// The parts of a path between *cursor and `end`, one per call, split at `/`
// and `\` alike. Parts that name nothing of their own, the empty ones of
// doubled separators and ".", are passed over. On true, *part and *len give
// the next part (a view into the text) and *cursor stands after it; false
// when no part is left. For example "./a//b\." gives "a", then "b".
bool sfx_path_next(const char** cursor, const char* end, const char** part, std::size_t* len);

// Judges a member's directory and file name (bytes in the archive's code
// page, `/` and `\` alike). Returns null when the member may be written, or
// a short English reason for refusing it. Refused: a ".." component; an
// absolute directory or one starting with a drive letter, "\\", "\\?\" or
// "\??\"; ":" anywhere; control characters or < > " | ? *; a component that
// is a reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$,
// CONOUT$, with or without extension); a component ending in "." or " ";
// an empty file name (or one whose last component is "."). The directory
// "." (and an empty directory) stand for the work directory itself; "."
// components elsewhere name no directory of their own and pass.
const char* sfx_member_path_check(const char* dir, const char* name);

// Parses a member header and judges its path in one call. On SFX_E_UNSAFE_PATH
// *reason (if given) receives the text of sfx_member_path_check.
int sfx_member_check(const std::uint8_t* payload, std::uint32_t len, sfx_member* out,
                     const char** reason);

// Forms the output path of a member: work_dir, dir, "/", name ("%s%s/%s").
// 0, or SFX_E_TOO_LONG when it needs more than out_size - 1 bytes (out then
// holds an empty text).
int sfx_member_output_path(const char* work_dir, const char* dir, const char* name, char* out,
                           std::size_t out_size);

// ---- packet order --------------------------------------------------------------------
// The order of packets across all volumes:
//   archive := { member | volume-end } archive-end
//   member  := member-header { member-data | volume-end } member-end
// sfx_walk follows it one packet at a time, summing each member's data.
struct sfx_walk {
  int in_member;         // nonzero between a member header and its member end
  std::uint32_t total;   // unpacked bytes of the current member's data packets
  std::uint32_t count;   // number of those packets
};

// What a packet means at the point where it was read.
enum : int {
  SFX_STEP_MEMBER = 1,       // a member header: a member begins
  SFX_STEP_DATA = 2,         // member data: write packet->unpacked_len bytes
  SFX_STEP_MEMBER_DONE = 3,  // a member end whose total and count agree
  SFX_STEP_VOLUME = 4,       // a volume end: go on at offset 0 of the next volume
  SFX_STEP_END = 5,          // the archive end: stop reading
};

void sfx_walk_init(sfx_walk* walk);

// Takes the next packet as returned by packet_read (type with bit 7 cleared).
// Returns an SFX_STEP_* value, or a negative status: SFX_E_UNEXPECTED,
// SFX_E_TOTAL or SFX_E_COUNT (tested in this order at a member end),
// SFX_E_HEADER_SIZE for a member end shorter than 8 bytes. The member header
// itself is not parsed here (see sfx_member_check). After a failed step the
// walk is back at the top level.
int sfx_walk_step(sfx_walk* walk, const Packet* packet);

// The one walk over an archive's packets, shared by the stub, the packer's
// reader and the fuzzer: it reads each packet through `read`, follows the
// packet order with sfx_walk_step, and hands every volume end to
// `next_volume`, so that its caller sees only members, their data, their
// ends and the archive end.
struct sfx_walker {
  sfx_walk walk;
  Packet* packet;  // the record every packet is read into
  void* ctx;
  // Reads the next packet into `packet` (packet_read, usually); returns a
  // packet status. `walk` tells where the packet stands.
  int (*read)(void* ctx, Packet* packet, const sfx_walk* walk);
  // The current volume has ended: go on at offset 0 of the next one.
  // 0, or a nonzero value to end the walk with SFX_E_OPEN.
  int (*next_volume)(void* ctx);
  int read_status;  // after SFX_E_READ: the status that `read` returned
};

void sfx_walker_init(sfx_walker* w, Packet* packet, void* ctx,
                     int (*read)(void* ctx, Packet* packet, const sfx_walk* walk),
                     int (*next_volume)(void* ctx));

// Reads on to the next event: SFX_STEP_MEMBER (packet holds the member
// header), SFX_STEP_DATA, SFX_STEP_MEMBER_DONE or SFX_STEP_END. Volume ends
// are followed through next_volume and not returned. Failures: SFX_E_READ
// (read_status says why; walk.in_member where), SFX_E_OPEN, or a failed step
// of sfx_walk_step. The walk may go on after any failure: a caller that
// reports faults and carries on (the packer's test) calls it again.
int sfx_walker_next(sfx_walker* w);

// ---- volume names -----------------------------------------------------------------------
// Derives the next volume's path from the path of the volume just finished
// and the number of volume changes so far (1 for the first change): the
// text after the last "." of the file name is replaced by the number written
// with at least three digits, so A:\SETUP.EXE gives A:\SETUP.001 and then
// A:\SETUP.002. A "." in a directory, or as the path's first character,
// does not count: a file name without one gets "." and the number appended
// (A:\DISK.1\SETUP gives A:\DISK.1\SETUP.001). 0, or SFX_E_TOO_LONG when the
// result needs more than out_size - 1 bytes. `current` and `out` may be the
// same buffer.
int sfx_next_volume_name(const char* current, int volume_count, char* out, std::size_t out_size);
