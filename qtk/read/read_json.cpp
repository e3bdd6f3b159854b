// The JSON document of qtk list --json and qtk test --json (docs/json.md
// describes it; its "format_version" changes only when a field changes
// meaning or goes away, never for a field or a fault code added).
#include <cinttypes>
#include <ostream>

#include "read/reader.h"
#include "text/text.h"

#ifndef QTK_VERSION
#define QTK_VERSION "?"
#endif

namespace qtk {
namespace {

constexpr int kFormatVersion = 1;

// A JSON string of UTF-8 text: quotes, backslashes, control characters
// (C0, DEL, C1), U+2028/U+2029 and the characters that reorder text as \u
// escapes, every other character as itself. Bytes that are not UTF-8 are
// never written raw: each becomes the six characters \\xNN (a visible
// backslash, x and two hex digits), and the field's "_bytes" twin holds
// the exact bytes (see text_field).
std::string json_string(const std::string& s) {
  static const char hex[] = "0123456789abcdef";
  std::string r = "\"";
  for (std::size_t i = 0; i < s.size();) {
    std::size_t j = i;
    char32_t c = 0;
    if (!utf8_next(s, j, c)) {
      const auto b = static_cast<unsigned char>(s[i]);
      r += "\\\\x";
      r += hex[b >> 4];
      r += hex[b & 15];
      ++i;
      continue;
    }
    if (c == '"') r += "\\\"";
    else if (c == '\\') r += "\\\\";
    else if (c == '\n') r += "\\n";
    else if (c == '\t') r += "\\t";
    else if (c == '\r') r += "\\r";
    else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0x200E ||
             c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069)) {
      char u[8];
      std::snprintf(u, sizeof u, "\\u%04x", static_cast<unsigned>(c));
      r += u;
    } else {
      r.append(s, i, j - i);
    }
    i = j;
  }
  return r + "\"";
}

bool is_utf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    char32_t c = 0;
    if (!utf8_next(s, i, c)) return false;
  }
  return true;
}

std::string hex_bytes(const std::string& s) {
  static const char hex[] = "0123456789abcdef";
  std::string r;
  for (unsigned char b : s) {
    r += hex[b >> 4];
    r += hex[b & 15];
  }
  return r;
}

// "key": text, and when the bytes are not text, also "key_bytes": their hex.
std::string text_field(const char* key, const std::string& text, bool exact, const std::string& bytes) {
  std::string r = std::string("\"") + key + "\": " + json_string(text);
  if (!exact) r += std::string(", \"") + key + "_bytes\": \"" + hex_bytes(bytes) + "\"";
  return r;
}

// A file name of this system: UTF-8 where it is, else escaped with its bytes.
std::string name_field(const char* key, const std::string& name) {
  return text_field(key, name, is_utf8(name), name);
}

std::string iso_time(std::int64_t t) {
  std::string s = format_time(t);  // "YYYY-MM-DD HH:MM:SS"
  const std::size_t space = s.find(' ');
  if (space != std::string::npos) s[space] = 'T';
  return s + "Z";
}

std::string member_fields(const ReportMember& m) {
  std::string r;
  if (!m.named) r = "\"path\": null";
  else if (m.exact) r = text_field("path", m.path, true, m.bytes);
  else r = text_field("path", printable(m.bytes), false, m.bytes);
  return r;
}

}  // namespace

void write_json(std::ostream& out, ReadMode mode, const ReadOptions& opt, unsigned codepage, const Report& r) {
  std::string j = "{\n";
  j += "  \"format\": \"qtk-archive\",\n";
  j += "  \"format_version\": " + std::to_string(kFormatVersion) + ",\n";
  j += "  \"qtk_version\": \"" QTK_VERSION "\",\n";
  j += std::string("  \"command\": \"") + (mode == ReadMode::kList ? "list" : "test") + "\",\n";
  j += "  " + name_field("archive", opt.archive) + ",\n";
  j += "  \"codepage\": " + std::to_string(codepage) + ",\n";

  // The stub and the execution level that its manifest asks for.
  const StubInfo& s = r.stub;
  const char* elevation = nullptr;
  if (s.windows) {
    elevation = "auto";
    for (const pe::Elevation& e : pe::kElevations)
      if (s.manifest && s.level == e.level) elevation = e.name;
    if (s.manifest && !s.level.empty() && elevation == std::string("auto")) elevation = nullptr;
  }
  j += "  \"stub\": {\"windows\": " + std::string(s.windows ? "true" : "false") +
       ", \"manifest\": " + (s.manifest ? "true" : "false") +
       ", \"execution_level\": " + (s.manifest && !s.level.empty() ? json_string(s.level) : "null") +
       ", \"elevation\": " + (elevation ? json_string(elevation) : "null") + "},\n";
  j += "  \"signature_bytes\": " + std::to_string(r.signed_bytes) + ",\n";

  j += "  \"volumes\": [";
  for (std::size_t k = 0; k < r.volumes.size(); ++k)
    j += std::string(k ? ",\n" : "\n") + "    {" + name_field("name", r.volumes[k].first) +
         ", \"size\": " + std::to_string(r.volumes[k].second) + "}";
  j += r.volumes.empty() ? "],\n" : "\n  ],\n";

  j += "  \"members\": [";
  for (std::size_t k = 0; k < r.members.size(); ++k) {
    const ReportMember& m = r.members[k];
    j += std::string(k ? ",\n" : "\n") + "    {" + member_fields(m) + ", \"size\": " + std::to_string(m.size) +
         ", \"time\": " + (m.named ? "\"" + iso_time(m.time) + "\"" : "null") +
         ", \"mtime\": " + (m.named ? std::to_string(m.time) : "null") +
         ", \"packets\": " + std::to_string(m.packets) + ", \"stored\": " + std::to_string(m.stored) +
         ", \"ok\": " + (m.ok ? "true" : "false") + "}";
  }
  j += r.members.empty() ? "],\n" : "\n  ],\n";

  j += "  \"faults\": [";
  for (std::size_t k = 0; k < r.faults.size(); ++k) {
    const ReportFault& f = r.faults[k];
    const std::string member = f.member_path.named ? "{" + member_fields(f.member_path) + "}" : "null";
    j += std::string(k ? ",\n" : "\n") + "    {\"code\": \"" + fault_code_text(f.code) + "\", " +
         (f.located ? name_field("volume", f.volume) + ", \"offset\": " + std::to_string(f.offset)
                    : std::string("\"volume\": null, \"offset\": null")) +
         ", \"member_index\": " + (f.member >= 0 ? std::to_string(f.member) : "null") + ", \"member\": " + member +
         ", \"message\": " + json_string(printable(f.message)) + "}";
  }
  j += r.faults.empty() ? "],\n" : "\n  ],\n";

  j += "  \"warnings\": [";
  for (std::size_t k = 0; k < r.warnings.size(); ++k)
    j += std::string(k ? ", " : "") + json_string(printable(r.warnings[k]));
  j += "],\n";
  j += std::string("  \"complete\": ") + (r.complete && !r.stopped ? "true" : "false") + ",\n";
  j += std::string("  \"ok\": ") + (r.faults.empty() && r.complete && !r.stopped ? "true" : "false") + "\n";
  j += "}\n";
  out << j << std::flush;
}

}  // namespace qtk
