// Member paths and names: their parts, their keys as Windows compares
// them, the checks of decoded paths, and escaping for the terminal.
#include "archive.h"
#include "qtk.h"
#include "text/text.h"

namespace qtk {

std::vector<std::string> path_parts(const std::string& path) {
  std::vector<std::string> parts;
  const char* cursor = path.data();
  const char* part = nullptr;
  std::size_t n = 0;
  while (sfx_path_next(&cursor, path.data() + path.size(), &part, &n)) parts.emplace_back(part, n);
  return parts;
}

std::string path_key(const CodePage& cp, const std::string& path) {
  // Split after decoding: a double-byte page's trail byte 0x5C is no `\`.
  std::string k, text;
  if (cp.decode(path, text)) {
    for (const std::string& p : path_parts(text)) k += fold_text(p) + '\0';
    return k;
  }
  for (const std::string& p : path_parts(path)) k += cp.fold(p) + '\0';
  return k;
}

namespace {
const char* decoded_part_problem(const std::string& part) {
  if (part == "..") return "contains a '..' component";
  for (std::size_t i = 0; i < part.size();) {
    char32_t c = 0;
    if (!utf8_next(part, i, c)) return "contains bytes that are not UTF-8";
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) return "contains a control character (C0, DEL or C1)";
  }
  // COM and LPT with a superscript 1, 2 or 3 are devices, with or without
  // an extension (the byte-wise check knows only the Windows-1252 bytes).
  std::size_t base = part.find('.');
  if (base == std::string::npos) base = part.size();
  while (base > 0 && part[base - 1] == ' ') --base;
  const std::string head = fold_case(part.substr(0, std::min<std::size_t>(base, 3)));
  if ((head == "COM" || head == "LPT") && base == 5) {
    const std::string digit = part.substr(3, 2);
    if (digit == "\xc2\xb9" || digit == "\xc2\xb2" || digit == "\xc2\xb3")
      return "has a component that is a reserved device name";
  }
  return nullptr;
}
}  // namespace

const char* decoded_path_problem(const std::string& dir, const std::string& name) {
  if (name.empty() || sfx_is_sep(name.back()) || name == "." ||
      (name.size() >= 2 && name.back() == '.' && sfx_is_sep(name[name.size() - 2])))
    return "empty file name";
  if (dir != "." && !dir.empty() && sfx_is_sep(dir[0])) return "directory is absolute";
  for (const std::string* text : {&dir, &name}) {
    if (text == &dir && dir == ".") continue;
    // Doubled separators and "." parts name nothing, as in the byte-wise check.
    for (const std::string& part : path_parts(*text))
      if (const char* why = decoded_part_problem(part)) return why;
  }
  return nullptr;
}

std::string printable(const std::string& s) {
  static const char hex[] = "0123456789abcdef";
  std::string r;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t j = i;
    char32_t c = 0;
    const bool ok = utf8_next(s, j, c);
    const bool hidden = !ok || c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == 0x200E || c == 0x200F ||
                        (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
    if (!ok) j = i + 1;
    if (!hidden) {
      r.append(s, i, j - i);
    } else {
      for (std::size_t k = i; k < j; ++k) {
        const auto b = static_cast<unsigned char>(s[k]);
        r += "\\x";
        r += hex[b >> 4];
        r += hex[b & 15];
      }
    }
    i = j;
  }
  return r;
}

}  // namespace qtk
