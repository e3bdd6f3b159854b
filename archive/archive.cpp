// The installer archive, reading side: trailer, member headers, member path
// safety, packet order and volume names.
#include "archive.h"

#include <cstring>

#include "fs_code.h"

namespace {

// Case-insensitive comparison of a component's stretch [s, s+n) with a name.
bool same_name(const char* s, std::size_t n, const char* word) {
  std::size_t k = 0;
  for (; k < n; ++k)
    if (word[k] == 0 || fs_upper(static_cast<unsigned char>(s[k])) != static_cast<unsigned char>(word[k])) return false;
  return word[k] == 0;
}

// Windows reserves these device names in every directory, whatever
// extension follows them ("nul.txt" is NUL as well). Trailing spaces before
// the extension are ignored by Windows too. COM and LPT also take the
// superscript digits 1, 2 and 3 of the ANSI code page.
bool is_device_name(const char* s, std::size_t n) {
  std::size_t base = 0;
  while (base < n && s[base] != '.') ++base;
  while (base > 0 && s[base - 1] == ' ') --base;
  static const char* const plain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* w : plain)
    if (same_name(s, base, w)) return true;
  if (base == 4 && (same_name(s, 3, "COM") || same_name(s, 3, "LPT"))) {
    const unsigned char d = static_cast<unsigned char>(s[3]);
    if ((d >= '1' && d <= '9') || d == 0xB9 || d == 0xB2 || d == 0xB3) return true;
  }
  return false;
}

// Characters that no component may hold.
const char* check_chars(const char* s) {
  for (const char* p = s; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20) return "contains a control character";
    if (c == ':') return "contains ':' (a drive or an alternate data stream)";
    if (c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*')
      return "contains a character that Windows names may not hold (< > \" | ? *)";
  }
  return nullptr;
}

// Judges every component of a text split at `/` and `\`. Empty components
// (doubled separators) and "." name no new directory and pass.
const char* check_components(const char* s) {
  const char* cursor = s;
  const char* end = s + std::strlen(s);
  const char* p = nullptr;
  std::size_t n = 0;
  while (sfx_path_next(&cursor, end, &p, &n)) {
    if (n == 2 && p[0] == '.' && p[1] == '.') return "contains a '..' component";
    if (p[n - 1] == '.' || p[n - 1] == ' ') return "has a component that ends in '.' or ' '";
    if (is_device_name(p, n)) return "has a component that is a reserved device name";
  }
  return nullptr;
}

}  // namespace

bool sfx_path_next(const char** cursor, const char* end, const char** part, std::size_t* len) {
  const char* p = *cursor;
  while (p < end) {
    const char* e = p;
    while (e < end && !sfx_is_sep(*e)) ++e;
    const char* start = p;
    const auto n = static_cast<std::size_t>(e - p);
    p = e < end ? e + 1 : e;
    if (n > 0 && !(n == 1 && start[0] == '.')) {
      *cursor = p;
      *part = start;
      *len = n;
      return true;
    }
  }
  *cursor = p;
  return false;
}

const char* sfx_status_text(int status) {
  switch (status) {
    case SFX_OK: return "ok";
    case SFX_E_SEEK: return "file too short for a trailer, or a seek failed";
    case SFX_E_SHORT: return "short read";
    case SFX_E_SIGNATURE: return "no archive signature at the end of the file";
    case SFX_E_OFFSET: return "the trailer's first-packet offset points past the end";
    case SFX_E_HEADER_SIZE: return "packet payload too short";
    case SFX_E_UNTERMINATED: return "member header field not zero-terminated";
    case SFX_E_UNSAFE_PATH: return "member path refused";
    case SFX_E_UNEXPECTED: return "packet type out of order";
    case SFX_E_TOTAL: return "member end: total disagrees with the data";
    case SFX_E_COUNT: return "member end: packet count disagrees with the data";
    case SFX_E_TOO_LONG: return "path too long";
    case SFX_E_OPEN: return "cannot create or open the next volume";
    case SFX_E_READ: return "a packet cannot be read";
    case SFX_E_RECORD: return "member record refused";
    case SFX_E_CHECKSUM: return "member content disagrees with its checksum";
    default: return "unknown status";
  }
}

// ---- trailer -----------------------------------------------------------------

int sfx_trailer_parse(const std::uint8_t* trailer, std::uint64_t file_size,
                      std::uint32_t* first_packet) {
  if (file_size < 4) return SFX_E_SHORT;
  if (std::memcmp(trailer + 4, SFX_SIGNATURE, 4) != 0) return SFX_E_SIGNATURE;
  if (file_size < SFX_TRAILER_SIZE) return SFX_E_SHORT;
  const std::uint32_t p = codec_load_le32(trailer);
  // At least one packet header (a volume end, or the archive end whose last
  // payload word is the trailer's first) must fit between P and the trailer.
  if (static_cast<std::uint64_t>(p) + PACKET_HEADER_SIZE + SFX_TRAILER_SIZE > file_size)
    return SFX_E_OFFSET;
  *first_packet = p;
  return SFX_OK;
}

namespace {

// Reads n bytes at offset `at`; false when they are not all there.
bool read_at(std::FILE* f, long at, std::uint8_t* out, std::size_t n) {
  return at >= 0 && std::fseek(f, at, SEEK_SET) == 0 && std::fread(out, 1, n, f) == n;
}

// An Authenticode-signed installer: signing appends the PE certificate
// table after the trailer, first padding the file with up to 7 zero bytes
// so that the table starts at a multiple of 8. When the file is a PE whose
// certificate table (the security entry of the data directories, whose
// address is a file offset) ends exactly at `file_size`, and the bytes
// before the table are the signature followed by at most 7 zeros, returns
// where the trailer ends; otherwise -1.
long signed_trailer_end(std::FILE* f, long file_size) {
  // The DOS header ("MZ", the PE header's offset at 0x3C); the PE header:
  // "PE\0\0", the file header (the optional header's size at 16 of it),
  // the optional header up to the security entry: magic 0x10B (PE32) or
  // 0x20B (PE32+), the number of data directories at 92 or 108, the
  // directories right after it, security the fifth (offset, size).
  std::uint8_t b[24 + 152];
  if (!read_at(f, 0, b, 64) || b[0] != 'M' || b[1] != 'Z') return -1;
  const std::uint32_t pe = codec_load_le32(b + 0x3C);
  if (pe > 0x10000000u || !read_at(f, static_cast<long>(pe), b, sizeof b) || std::memcmp(b, "PE\0\0", 4) != 0)
    return -1;
  const std::uint32_t optional_size = b[20] | (static_cast<std::uint32_t>(b[21]) << 8);
  const std::uint8_t* o = b + 24;
  const std::uint32_t count_at = o[0] == 0x0B && o[1] == 0x01 ? 92 : o[0] == 0x0B && o[1] == 0x02 ? 108 : 0;
  if (count_at == 0 || optional_size < count_at + 44 || codec_load_le32(o + count_at) < 5) return -1;
  const std::uint32_t table = codec_load_le32(o + count_at + 36), size = codec_load_le32(o + count_at + 40);
  if (size == 0 || static_cast<std::uint64_t>(table) + size != static_cast<std::uint64_t>(file_size))
    return -1;
  // The signature and the padding: the last nonzero byte before the table
  // ends the signature.
  if (!read_at(f, static_cast<long>(table) - 11, b, 11)) return -1;
  int zeros = 0;
  while (zeros < 7 && b[10 - zeros] == 0) ++zeros;
  if (std::memcmp(b + 7 - zeros, SFX_SIGNATURE, 4) != 0) return -1;
  return static_cast<long>(table) - zeros;
}

}  // namespace

int sfx_trailer_read(std::FILE* f, std::uint32_t* first_packet, long* end_of_data) {
  std::uint8_t t[SFX_TRAILER_SIZE];
  if (std::fseek(f, -4L, SEEK_END) != 0) return SFX_E_SEEK;
  long end = std::ftell(f);
  if (end < 0) return SFX_E_SEEK;
  if (std::fread(t + 4, 1, 4, f) != 4) return SFX_E_SHORT;
  if (std::memcmp(t + 4, SFX_SIGNATURE, 4) != 0) {
    // Not the signature: perhaps a signed installer, whose trailer stands
    // before the certificate table.
    const long trailer_end = signed_trailer_end(f, end + 4);
    if (trailer_end < 0) return SFX_E_SIGNATURE;
    end = trailer_end - 4;
    std::memcpy(t + 4, SFX_SIGNATURE, 4);
  }
  if (std::fseek(f, end - 4, SEEK_SET) != 0) return SFX_E_SEEK;
  if (std::fread(t, 1, 4, f) != 4) return SFX_E_SHORT;
  const int st = sfx_trailer_parse(t, static_cast<std::uint64_t>(end) + 4, first_packet);
  if (st != SFX_OK) return st;
  if (std::fseek(f, static_cast<long>(*first_packet), SEEK_SET) != 0) return SFX_E_SEEK;
  if (end_of_data) *end_of_data = end;
  return SFX_OK;
}

// ---- member header and member end ------------------------------------------------

int sfx_member_parse(const std::uint8_t* payload, std::uint32_t len, sfx_member* out) {
  if (len < SFX_MEMBER_HEADER_SIZE) return SFX_E_HEADER_SIZE;
  if (!std::memchr(payload, 0, SFX_DIR_FIELD) ||
      !std::memchr(payload + SFX_NAME_OFFSET, 0, SFX_NAME_FIELD))
    return SFX_E_UNTERMINATED;
  out->dir = reinterpret_cast<const char*>(payload);
  out->name = reinterpret_cast<const char*>(payload + SFX_NAME_OFFSET);
  out->time = static_cast<std::int32_t>(codec_load_le32(payload + SFX_TIME_OFFSET));
  return SFX_OK;
}

int sfx_member_end_parse(const std::uint8_t* payload, std::uint32_t len, std::uint32_t* total,
                         std::uint32_t* count) {
  if (len < SFX_MEMBER_END_SIZE) return SFX_E_HEADER_SIZE;
  *total = codec_load_le32(payload);
  *count = codec_load_le32(payload + 4);
  return SFX_OK;
}

const char* sfx_member_path_check(const char* dir, const char* name) {
  const bool work_dir = dir[0] == 0 || (dir[0] == '.' && dir[1] == 0);
  if (!work_dir) {
    if (dir[0] == '\\' && dir[1] == '\\' && dir[2] == '?' && dir[3] == '\\')
      return "directory starts with \\\\?\\";
    if (dir[0] == '\\' && dir[1] == '?' && dir[2] == '?' && dir[3] == '\\')
      return "directory starts with \\??\\";
    if (sfx_is_sep(dir[0]) && sfx_is_sep(dir[1])) return "directory starts with \\\\ (a network path)";
    if (sfx_is_sep(dir[0])) return "directory is absolute";
    if (((dir[0] >= 'A' && dir[0] <= 'Z') || (dir[0] >= 'a' && dir[0] <= 'z')) && dir[1] == ':')
      return "directory starts with a drive letter";
    if (const char* why = check_chars(dir)) return why;
    if (const char* why = check_components(dir)) return why;
  }
  if (name[0] == 0) return "empty file name";
  if (const char* why = check_chars(name)) return why;
  if (const char* why = check_components(name)) return why;
  const std::size_t len = std::strlen(name);
  if (sfx_is_sep(name[len - 1]) || (name[len - 1] == '.' && (len == 1 || sfx_is_sep(name[len - 2]))))
    return "empty file name";
  return nullptr;
}

int sfx_member_check(const std::uint8_t* payload, std::uint32_t len, sfx_member* out,
                     const char** reason) {
  const int st = sfx_member_parse(payload, len, out);
  if (st != SFX_OK) return st;
  const char* why = sfx_member_path_check(out->dir, out->name);
  if (reason) *reason = why;
  return why ? SFX_E_UNSAFE_PATH : SFX_OK;
}

int sfx_member_output_path(const char* work_dir, const char* dir, const char* name, char* out,
                           std::size_t out_size) {
  const std::size_t a = std::strlen(work_dir), b = std::strlen(dir), c = std::strlen(name);
  if (out_size == 0) return SFX_E_TOO_LONG;
  if (a + b + 1 + c + 1 > out_size) {
    out[0] = 0;
    return SFX_E_TOO_LONG;
  }
  std::memcpy(out, work_dir, a);
  std::memcpy(out + a, dir, b);
  out[a + b] = '/';
  std::memcpy(out + a + b + 1, name, c + 1);
  return SFX_OK;
}

// ---- packet order ----------------------------------------------------------------------

void sfx_walk_init(sfx_walk* walk) {
  walk->in_member = 0;
  walk->total = 0;
  walk->count = 0;
}

int sfx_walk_step(sfx_walk* walk, const Packet* packet) {
  const std::uint8_t type = static_cast<std::uint8_t>(packet->type & ~PACKET_STORED);
  if (type == SFX_VOLUME_END) return SFX_STEP_VOLUME;
  if (!walk->in_member) {
    if (type == SFX_MEMBER_HEADER) {
      walk->in_member = 1;
      walk->total = 0;
      walk->count = 0;
      return SFX_STEP_MEMBER;
    }
    if (type == SFX_ARCHIVE_END) return SFX_STEP_END;
    return SFX_E_UNEXPECTED;
  }
  if (type == SFX_MEMBER_DATA) {
    walk->total += packet->unpacked_len;  // 32-bit, as the member end stores it
    walk->count += 1;
    return SFX_STEP_DATA;
  }
  walk->in_member = 0;
  if (type != SFX_MEMBER_END) return SFX_E_UNEXPECTED;
  std::uint32_t total = 0, count = 0;
  if (sfx_member_end_parse(packet->data, packet->unpacked_len, &total, &count) != SFX_OK)
    return SFX_E_HEADER_SIZE;
  if (total != walk->total) return SFX_E_TOTAL;
  if (count != walk->count) return SFX_E_COUNT;
  return SFX_STEP_MEMBER_DONE;
}

void sfx_walker_init(sfx_walker* w, Packet* packet, void* ctx,
                     int (*read)(void* ctx, Packet* packet, const sfx_walk* walk),
                     int (*next_volume)(void* ctx)) {
  sfx_walk_init(&w->walk);
  w->packet = packet;
  w->ctx = ctx;
  w->read = read;
  w->next_volume = next_volume;
  w->read_status = 0;
}

int sfx_walker_next(sfx_walker* w) {
  for (;;) {
    w->read_status = w->read(w->ctx, w->packet, &w->walk);
    if (w->read_status != 0) return SFX_E_READ;
    const int step = sfx_walk_step(&w->walk, w->packet);
    if (step != SFX_STEP_VOLUME) return step;
    if (w->next_volume(w->ctx) != 0) return SFX_E_OPEN;
  }
}

// ---- volume names -----------------------------------------------------------------------

int sfx_next_volume_name(const char* current, int volume_count, char* out, std::size_t out_size) {
  const std::size_t len = std::strlen(current);
  std::size_t keep = len;  // bytes of `current` that stay
  bool dot = false;
  for (std::size_t i = len; i-- > 1;) {
    if (sfx_is_sep(current[i])) break;
    if (current[i] == '.') {
      keep = i + 1;
      dot = true;
      break;
    }
  }
  // The count in decimal with at least three digits ("%.3d").
  if (volume_count < 0) return SFX_E_TOO_LONG;
  char num[16];
  const int n = fs_decimal(num, static_cast<unsigned>(volume_count), 3);
  const std::size_t need = keep + (dot ? 0u : 1u) + static_cast<std::size_t>(n) + 1;
  if (need > out_size) return SFX_E_TOO_LONG;
  std::memmove(out, current, keep);
  if (!dot) out[keep++] = '.';
  std::memcpy(out + keep, num, static_cast<std::size_t>(n) + 1);
  return SFX_OK;
}
