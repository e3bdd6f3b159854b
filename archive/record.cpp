// The member record in a member header's spare bytes: reading and judging it.
#include "record.h"

#include <cstring>

#include "checksum.h"

namespace {

std::uint32_t load16(const std::uint8_t* p) { return p[0] | (static_cast<std::uint32_t>(p[1]) << 8); }

// Well-formed UTF-8 of the shortest form, without surrogates, zero or
// anything past U+10FFFF; each character through `seen` (its value, its bytes).
template <class F>
bool utf8_each(const char* s, std::size_t n, F seen) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(s);
  for (std::size_t i = 0; i < n;) {
    const std::uint8_t b0 = b[i];
    std::size_t len;
    std::uint32_t v, min;
    if (b0 == 0) return false;
    if (b0 < 0x80) len = 1, v = b0, min = 0;
    else if (b0 >= 0xC2 && b0 <= 0xDF) len = 2, v = b0 & 0x1Fu, min = 0x80;
    else if (b0 >= 0xE0 && b0 <= 0xEF) len = 3, v = b0 & 0x0Fu, min = 0x800;
    else if (b0 >= 0xF0 && b0 <= 0xF4) len = 4, v = b0 & 0x07u, min = 0x10000;
    else return false;
    if (len > n - i) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((b[i + k] & 0xC0) != 0x80) return false;
      v = (v << 6) | (b[i + k] & 0x3Fu);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
    seen(v, i);
    i += len;
  }
  return true;
}

// A record name as a zero-terminated text (the path check reads those).
bool copy_text(const char* s, std::size_t n, char* out, std::size_t cap) {
  if (n >= cap) return false;
  std::memcpy(out, s, n);
  out[n] = 0;
  return true;
}

// COM and LPT followed by a superscript 1, 2 or 3 (U+00B9, U+00B2, U+00B3)
// name devices, as COM1 does; the byte-wise check knows only single bytes.
bool superscript_device(const char* s, std::size_t n) {
  const char* cursor = s;
  const char* part = nullptr;
  std::size_t len = 0;
  while (sfx_path_next(&cursor, s + n, &part, &len)) {
    std::size_t base = 0;
    while (base < len && part[base] != '.') ++base;
    while (base > 0 && part[base - 1] == ' ') --base;
    if (base != 5) continue;
    char head[4] = {part[0], part[1], part[2], 0};
    for (char& c : head)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    const auto d0 = static_cast<std::uint8_t>(part[3]), d1 = static_cast<std::uint8_t>(part[4]);
    if ((std::strcmp(head, "COM") == 0 || std::strcmp(head, "LPT") == 0) && d0 == 0xC2 &&
        (d1 == 0xB9 || d1 == 0xB2 || d1 == 0xB3))
      return true;
  }
  return false;
}

const char* check_text(const char* s, std::size_t n, bool is_name) {
  bool c1 = false;
  if (!utf8_each(s, n, [&](std::uint32_t c, std::size_t) { c1 = c1 || (c >= 0x7F && c <= 0x9F); }))
    return "record: a name is not well-formed UTF-8";
  if (c1) return "record: a name holds a control character";
  for (std::size_t i = 0; i < n; ++i) {
    if (s[i] == '\\') return "record: a name holds '\\'";
    if (s[i] == '/' && is_name) return "record: the file name holds a separator";
  }
  if (superscript_device(s, n)) return "record: a part is a reserved device name";
  return nullptr;
}

}  // namespace

bool sfx_utf8_valid(const char* s, std::size_t n) {
  return utf8_each(s, n, [](std::uint32_t, std::size_t) {});
}

bool sfx_dbcs_lead(unsigned codepage, std::uint8_t b) {
  switch (codepage) {
    case 932: return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    case 936:
    case 949:
    case 950: return b >= 0x81 && b <= 0xFE;
    default: return false;
  }
}

std::size_t sfx_ascii_skeleton(const char* field, std::size_t len, unsigned codepage, char* out,
                               std::size_t cap) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < len; ++i) {
    const auto b = static_cast<std::uint8_t>(field[i]);
    if (sfx_dbcs_lead(codepage, b)) {
      ++i;  // the trail byte, whatever it looks like
      continue;
    }
    if (b >= 0x80 || b == '_') continue;
    if (n >= cap) return cap;
    out[n++] = b == '\\' ? '/' : static_cast<char>(b);
  }
  return n;
}

const char* sfx_record_check(const sfx_member* member, const sfx_record* rec) {
  char dir[SFX_DIR_FIELD + SFX_NAME_FIELD];
  char name[SFX_DIR_FIELD + SFX_NAME_FIELD];
  const char* d = member->dir;
  const char* n = member->name;
  if (rec->dir) {
    if (const char* why = check_text(rec->dir, rec->dir_len, false)) return why;
    if (!copy_text(rec->dir, rec->dir_len, dir, sizeof dir)) return "record: the directory is too long";
    d = dir;
  }
  if (rec->name) {
    if (const char* why = check_text(rec->name, rec->name_len, true)) return why;
    if (!copy_text(rec->name, rec->name_len, name, sizeof name)) return "record: the file name is too long";
    n = name;
  }
  if (const char* why = sfx_member_path_check(d, n)) return why;
  // Each name given must agree with its field: the same ASCII characters.
  const char* texts[2][2] = {{rec->dir, member->dir}, {rec->name, member->name}};
  const std::size_t lens[2] = {rec->dir_len, rec->name_len};
  for (int k = 0; k < 2; ++k) {
    if (!texts[k][0]) continue;
    char a[SFX_DIR_FIELD + SFX_NAME_FIELD], b[SFX_DIR_FIELD + SFX_NAME_FIELD];
    const std::size_t na = sfx_ascii_skeleton(texts[k][0], lens[k], 0, a, sizeof a);
    const std::size_t nb = sfx_ascii_skeleton(texts[k][1], std::strlen(texts[k][1]), rec->codepage, b, sizeof b);
    if (na != nb || std::memcmp(a, b, na) != 0) return "record: its names disagree with the header's";
  }
  return nullptr;
}

int sfx_record_read(const std::uint8_t* payload, const sfx_member* member, sfx_record* rec,
                    const char** reason) {
  std::memset(rec, 0, sizeof *rec);
  *reason = nullptr;
  // The spare bytes as one run.
  std::uint8_t* spare = rec->spare;
  const std::size_t d = std::strlen(member->dir) + 1, n = std::strlen(member->name) + 1;
  const std::size_t from_dir = SFX_DIR_FIELD - d, from_name = SFX_NAME_FIELD - n;
  std::memcpy(spare, payload + d, from_dir);
  std::memcpy(spare + from_dir, payload + SFX_NAME_OFFSET + n, from_name);
  const std::size_t room = from_dir + from_name;
  if (room < sizeof SFX_RECORD_MARKER || std::memcmp(spare, SFX_RECORD_MARKER, sizeof SFX_RECORD_MARKER) != 0)
    return SFX_OK;

  const auto refuse = [&](const char* why) {
    *reason = why;
    return SFX_E_RECORD;
  };
  if (room < SFX_RECORD_HEAD + SFX_RECORD_CHECK) return refuse("record: cut off by the end of the fields");
  if (spare[4] != SFX_RECORD_VERSION) return refuse("record: a version this program does not know");
  const std::size_t len = load16(spare + 5);
  if (SFX_RECORD_HEAD + len + SFX_RECORD_CHECK > room) return refuse("record: cut off by the end of the fields");
  const std::size_t end = SFX_RECORD_HEAD + len;
  if (sfx_crc32c(0, spare, end) != codec_load_le32(spare + end)) return refuse("record: its check disagrees");

  // The fields were written as they stand: their lengths must add up.
  bool seen[256] = {};
  for (std::size_t i = SFX_RECORD_HEAD; i < end;) {
    if (end - i < 3) return refuse("record: a field's length passes the record's end");
    const std::uint8_t tag = spare[i];
    const std::size_t flen = load16(spare + i + 1);
    const std::uint8_t* v = spare + i + 3;
    if (flen > end - i - 3) return refuse("record: a field's length passes the record's end");
    if (seen[tag]) return refuse("record: a field given twice");
    seen[tag] = true;
    if (tag == SFX_TAG_DIR) {
      rec->dir = reinterpret_cast<const char*>(v);
      rec->dir_len = flen;
    } else if (tag == SFX_TAG_NAME) {
      rec->name = reinterpret_cast<const char*>(v);
      rec->name_len = flen;
    } else if (tag == SFX_TAG_CRC) {
      if (flen != 4) return refuse("record: a checksum that is not 4 bytes");
      rec->has_crc = true;
      rec->crc = codec_load_le32(v);
    } else if (tag == SFX_TAG_CODEPAGE) {
      if (flen != 2) return refuse("record: a code page that is not 2 bytes");
      rec->codepage = load16(v);
    }
    i += 3 + flen;
  }
  if ((rec->dir || rec->name) && !rec->codepage) return refuse("record: names without their code page");
  if (const char* why = sfx_record_check(member, rec)) return refuse(why);
  rec->present = true;
  return SFX_OK;
}
