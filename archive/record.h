// The member record: a small tagged record in the spare bytes of a member
// header, after the terminating zeros of its directory and file-name
// fields, which older readers pass over. It carries the member's
// directory and file name in UTF-8 (when either is not plain ASCII), the
// code page of the header's own fields, and the CRC-32C of the member's
// content.
//
// The spare bytes are those after the directory's zero up to offset 512,
// then those after the file name's zero up to offset 768, read as one run.
// The record starts at the first of them:
//   4   marker 'Q' 'm' 'R' 0xB7
//   1   version, 1
//   2   u16 length L of the fields that follow
//   L   fields: u8 tag, u16 length n, n bytes (unknown tags are passed over)
//         1 directory (UTF-8, parts split by '/'; no zero)
//         2 file name (UTF-8, one part; no zero)
//         3 CRC-32C of the member's content, u32
//         4 code page of the header's directory and name fields, u16
//   4   u32 CRC-32C of every byte before it, marker included
// Spare bytes that do not start with the marker hold no record: the member
// is read from its header's fields alone, as before. A marker followed by
// anything else that the rules above and sfx_record_check do not allow
// refuses the member.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive.h"

constexpr std::uint8_t SFX_RECORD_MARKER[4] = {'Q', 'm', 'R', 0xB7};
constexpr std::uint8_t SFX_RECORD_VERSION = 1;
constexpr std::uint32_t SFX_RECORD_HEAD = 7;   // marker, version, length
constexpr std::uint32_t SFX_RECORD_CHECK = 4;  // the record's own CRC-32C
enum : std::uint8_t {
  SFX_TAG_DIR = 1,
  SFX_TAG_NAME = 2,
  SFX_TAG_CRC = 3,
  SFX_TAG_CODEPAGE = 4,
};
// Room of the spare bytes when both fields are empty: 511 + 255.
constexpr std::uint32_t SFX_SPARE_MAX = SFX_DIR_FIELD - 1 + SFX_NAME_FIELD - 1;

// A member record as read, with its own copy of the spare bytes that its
// names point into.
struct sfx_record {
  std::uint8_t spare[SFX_SPARE_MAX];
  bool present;            // the spare bytes start with the marker, and the record is sound
  const char* dir;         // UTF-8, dir_len bytes, not zero-terminated; null: not given
  std::size_t dir_len;
  const char* name;
  std::size_t name_len;
  bool has_crc;
  std::uint32_t crc;
  unsigned codepage;       // 0: not given
};

// The record of a parsed member header (sfx_member_parse's result and its
// payload). 0 with rec->present false when the spare bytes hold none, 0
// with it true for a sound record, or SFX_E_RECORD with *reason (a short
// English text) for a record that is refused: lengths that pass its end or
// the field's, a wrong check, an unknown version, a tag given twice or of
// the wrong size, names that sfx_record_check refuses.
int sfx_record_read(const std::uint8_t* payload, const sfx_member* member, sfx_record* rec,
                    const char** reason);

// Judges a record's names: well-formed UTF-8 of the shortest form, no
// surrogates and no zero; no '\' anywhere and no '/' in the file name; the
// same path check as the header's fields, on the text; devices spelt with
// the superscript digits; and they must agree with the header's fields:
// the ASCII characters of each, '_' left out, are the same, where the
// header's bytes are read in the record's code page (a double-byte page's
// pairs count as non-ASCII). Null when they may be written, or a reason.
const char* sfx_record_check(const sfx_member* member, const sfx_record* rec);

// The bytes of `field` that are ASCII characters in `codepage`, '_' left
// out and '\' read as '/', into out (room cap; the length, or cap when
// they do not fit). For a double-byte page a lead byte takes the byte
// after it along.
std::size_t sfx_ascii_skeleton(const char* field, std::size_t len, unsigned codepage, char* out,
                               std::size_t cap);
// True when the n bytes at s are well-formed UTF-8 of the shortest form,
// without surrogates, zero or anything past U+10FFFF.
bool sfx_utf8_valid(const char* s, std::size_t n);

// The control file's key, in section [system], that names the setup
// program in UTF-8 beside run=, which names it in the code page's bytes;
// where it is given and well-formed, the stub starts what it names.
inline constexpr char SFX_RUN_UTF8_KEY[] = "run.utf8";

// True when codepage is a double-byte page (932, 936, 949, 950) and byte a
// lead byte of it.
bool sfx_dbcs_lead(unsigned codepage, std::uint8_t byte);
