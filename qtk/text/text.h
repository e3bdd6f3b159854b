// qtk's text room: code pages and case folding, member paths and names as
// Windows sees them, sizes and times, and the control file's `run`.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qtk {

// ---- codepage.cpp: code pages, UTF-8 and case folding -------------------------

// Conversion between the names of this system (UTF-8) and the bytes of a
// Windows code page. Only pages whose bytes 0x00-0x7F are ASCII are taken:
// the single-byte ones, and the double-byte ones 932, 936, 949 and 950,
// whose trail bytes belong to their character (a trail byte 0x5C is no
// `\`). Paths are judged on the decoded text.
struct CodePageTable;
struct DbcsTable;
class CodePage {
 public:
  explicit CodePage(unsigned number);  // usage_error for any other page
  unsigned number() const { return number_; }
  bool encode(const std::string& utf8, std::string& out) const;  // false: not representable
  bool decode(const std::string& bytes, std::string& out) const;
  // A name in this page's bytes as Windows compares file names: decoded and
  // in upper case (UTF-8). Two names with the same key are one file there.
  std::string fold(const std::string& bytes) const;
  // A name (UTF-8, valid) for the member header's own fields, which older
  // readers take: each character as this page writes it, and '_' for one
  // that it cannot write, or writes with an ASCII byte that is not the
  // character itself (a letter and its mark on 1258), or, when
  // `pairs_only_high` is set, with any ASCII byte at all (a double-byte
  // page's trail byte 0x5C or 0x7C, which a byte-wise reader takes for `\`
  // or `|`).
  std::string field(const std::string& utf8, bool pairs_only_high = false) const;

 private:
  unsigned number_;
  const CodePageTable* table_;
  const DbcsTable* dbcs_ = nullptr;
  std::vector<std::pair<char16_t, std::uint16_t>> bytes_;  // the code of each character, sorted
  std::vector<std::int16_t> rows_;                          // a lead byte's row of pairs, -1 for none
};

// The next character of UTF-8 text at i, advancing i; false (i unchanged)
// where no well-formed sequence starts.
bool utf8_next(const std::string& s, std::size_t& i, char32_t& c);
// ASCII letters in upper case.
std::string fold_case(const std::string& s);
// UTF-8 text as Windows compares file names: in upper case.
std::string fold_text(const std::string& utf8);
// True when the text is ASCII alone.
bool is_ascii(const std::string& s);
// UTF-16 units of valid UTF-8 text: the characters that Windows counts.
std::size_t utf16_length(const std::string& utf8);

// ---- names.cpp: member paths and names -------------------------------------------

// Splits a member path at `/` and `\`, leaving out empty and "." parts (the
// parts that sfx_path_next gives, as strings).
std::vector<std::string> path_parts(const std::string& path);
// A path (code page bytes, `/` and `\` alike) as Windows compares paths:
// decoded, split into parts and folded; equal keys name one file.
std::string path_key(const CodePage& cp, const std::string& path);

// A member path judged again after decoding (UTF-8): no part may be `..`,
// hold a control character (C0, DEL or C1) or be a device name that the
// code page spells with a superscript digit; the directory may not start
// with a separator and the name may not be empty or end in one or in a `.`
// part. Null when the path may be written, or a short reason.
const char* decoded_path_problem(const std::string& dir, const std::string& name);

// A name or path for the terminal: control characters, bytes that are not
// UTF-8 and the characters that reorder text are written as \xNN escapes.
std::string printable(const std::string& s);

// ---- format.cpp: sizes and times ------------------------------------------------

// "1440K", "1.44M", "100000", "720k", "dmf", ... in bytes; usage_error otherwise.
std::uint64_t parse_size(const std::string& text);
unsigned parse_count(const std::string& text, const char* option, unsigned lo, unsigned hi);
std::string human_bytes(std::uint64_t n);
std::string format_time(std::int64_t t);  // UTC, "YYYY-MM-DD HH:MM:SS"

// ---- control_file.cpp: the installer's control file ----------------------------

// Its name, at the top of the installer's work directory.
inline constexpr const char* kControlFile = "qtksfx.ini";
// The value of `run` in section [system] of a control file, read the way the
// stub reads it; false when there is none.
bool control_file_run(const std::string& content, std::string& run);
// The value of `run.utf8` there, which names the setup program in UTF-8 and
// which the stub follows before run=; false when there is none, or it is
// not well-formed UTF-8 (the stub then takes run=).
bool control_file_run_utf8(const std::string& content, std::string& run);
// Any key of section [system].
bool control_file_value(const std::string& content, const char* key, std::string& value);

}  // namespace qtk
