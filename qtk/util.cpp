// Helpers of the tool: console, progress bar, code pages, sizes, the
// control file and path texts.
#include <iconv.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>

#include "qtk.h"

namespace qtk {

std::atomic<bool> g_interrupted{false};

void check_interrupted() {
  if (g_interrupted.load()) fail("interrupted");
}

void Console::warn(const std::string& m) const {
  if (!quiet) err << "qtk: warning: " << m << '\n';
}

// ---- progress ------------------------------------------------------------------

Progress::Progress(const Console& con, std::string label, std::uint64_t total)
    : con_(con), label_(std::move(label)), total_(total) {
  start_ = last_ = std::chrono::steady_clock::now();
}

Progress::~Progress() {
  if (shown_ && !finished_) con_.err << '\n' << std::flush;
}

void Progress::add(std::uint64_t n) {
  done_ += n;
  if (!con_.progress) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  draw(false);
}

void Progress::done() {
  if (con_.progress && shown_ && !finished_) {
    draw(true);
    con_.err << '\n' << std::flush;
  }
  finished_ = true;
}

void Progress::draw(bool last) {
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double rate = secs > 0 ? static_cast<double>(done_) / secs : 0;
  const double frac =
      total_ ? std::min(1.0, static_cast<double>(done_) / static_cast<double>(total_)) : 1.0;
  constexpr int kWidth = 24;
  const int fill = static_cast<int>(frac * kWidth);
  std::string bar(static_cast<std::size_t>(fill), '#');
  bar.resize(kWidth, '.');
  char eta[32] = "";
  if (!last && rate > 0 && total_ > done_) {
    const auto left = static_cast<long>((static_cast<double>(total_ - done_)) / rate);
    std::snprintf(eta, sizeof eta, "  %ld:%02ld left", left / 60, left % 60);
  }
  char line[200];
  std::snprintf(line, sizeof line, "\r%-8s [%s] %3d%%  %s / %s  %s/s%s\033[K", label_.c_str(),
                bar.c_str(), static_cast<int>(frac * 100), human_bytes(done_).c_str(),
                human_bytes(total_).c_str(), human_bytes(static_cast<std::uint64_t>(rate)).c_str(),
                eta);
  con_.err << line << std::flush;
  shown_ = true;
}

// ---- code pages -------------------------------------------------------------------

namespace {
// The Windows code pages whose first 128 characters are ASCII: the ANSI
// pages and the OEM pages of the same scripts (864, whose '%' is the Arabic
// percent sign, is not one of them). Multi-byte pages can hide a `\` inside
// a character, and EBCDIC pages spell `..` with other bytes; either would
// slip past the byte-wise path checks.
constexpr unsigned kCodePages[] = {874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258,
                                   437, 737, 775, 850, 852, 855, 857, 858, 860, 861, 862, 863,
                                   865, 866, 869};
}  // namespace

CodePage::CodePage(unsigned number) : number_(number), to_(nullptr), from_(nullptr) {
  const std::string refused =
      "code page " + std::to_string(number) +
      " is not taken: member names need a single-byte Windows code page whose first 128 characters "
      "are ASCII (874, 1250-1258, or the OEM pages 437, 737, 775, 850, 852, 855, 857, 858, 860-863, "
      "865, 866, 869)";
  bool known = false;
  for (unsigned k : kCodePages) known = known || k == number;
  if (!known) usage_error(refused);
  const std::string name = "CP" + std::to_string(number);
  iconv_t to = iconv_open(name.c_str(), "UTF-8");
  iconv_t from = iconv_open("UTF-8", name.c_str());
  if (to == reinterpret_cast<iconv_t>(-1) || from == reinterpret_cast<iconv_t>(-1)) {
    if (to != reinterpret_cast<iconv_t>(-1)) iconv_close(to);
    if (from != reinterpret_cast<iconv_t>(-1)) iconv_close(from);
    usage_error("code page " + std::to_string(number) + " is not known to this system's iconv");
  }
  to_ = to;
  from_ = from;
  // The conversion itself must agree: every byte below 0x80 is itself.
  std::string ascii, back;
  for (int c = 1; c < 0x80; ++c) ascii += static_cast<char>(c);
  if (!decode(ascii, back) || back != ascii) {
    iconv_close(to);
    iconv_close(from);
    usage_error(refused);
  }
}

CodePage::~CodePage() {
  iconv_close(static_cast<iconv_t>(to_));
  iconv_close(static_cast<iconv_t>(from_));
}

namespace {
bool convert(void* cd, const std::string& in, std::string& out) {
  iconv(static_cast<iconv_t>(cd), nullptr, nullptr, nullptr, nullptr);
  out.assign(in.size() * 4 + 8, '\0');
  char* src = const_cast<char*>(in.data());
  std::size_t src_left = in.size();
  char* dst = out.data();
  std::size_t dst_left = out.size();
  if (iconv(static_cast<iconv_t>(cd), &src, &src_left, &dst, &dst_left) == static_cast<std::size_t>(-1))
    return false;
  if (iconv(static_cast<iconv_t>(cd), nullptr, nullptr, &dst, &dst_left) == static_cast<std::size_t>(-1))
    return false;
  out.resize(out.size() - dst_left);
  return out.find('\0') == std::string::npos;
}
}  // namespace

bool CodePage::encode(const std::string& utf8, std::string& out) const {
  return convert(to_, utf8, out);
}
bool CodePage::decode(const std::string& bytes, std::string& out) const {
  return convert(from_, bytes, out);
}

namespace {

// The next character of UTF-8 text at i, advancing i; false (i unchanged)
// where no well-formed sequence starts.
bool utf8_next(const std::string& s, std::size_t& i, char32_t& c) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = b(i);
  std::size_t n;
  char32_t v, min;
  if (b0 < 0x80) n = 1, v = b0, min = 0;
  else if (b0 >= 0xC2 && b0 <= 0xDF) n = 2, v = b0 & 0x1Fu, min = 0x80;
  else if (b0 >= 0xE0 && b0 <= 0xEF) n = 3, v = b0 & 0x0Fu, min = 0x800;
  else if (b0 >= 0xF0 && b0 <= 0xF4) n = 4, v = b0 & 0x07u, min = 0x10000;
  else return false;
  if (i + n > s.size()) return false;
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return false;
    v = (v << 6) | (b(i + k) & 0x3Fu);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
  i += n;
  c = v;
  return true;
}

void utf8_put(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Upper case as Windows compares file names (the simple Unicode mapping),
// for every letter that the taken code pages hold: Latin, Greek, Cyrillic.
char32_t upper(char32_t c) {
  if (c >= 'a' && c <= 'z') return c - 32;
  if (c < 0xB5) return c;
  if (c == 0xB5) return 0x39C;  // micro sign: capital mu
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x131) return 'I';  // dotless i
    if (c == 0x17F) return 'S';  // long s
    if (c <= 0x137 || (c >= 0x14A && c <= 0x177)) return c & ~char32_t{1};  // pairs from an even capital
    if ((c >= 0x139 && c <= 0x148) || c >= 0x179) return (c & 1) ? c : c - 1;  // pairs from an odd capital
    return c;
  }
  if (c == 0x192) return 0x191;
  if (c == 0x1A1 || c == 0x1B0) return c - 1;  // o and u with horn
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return c - 37;
  if (c == 0x3C2) return 0x3A3;  // final sigma
  if ((c >= 0x3B1 && c <= 0x3C1) || (c >= 0x3C3 && c <= 0x3CB)) return c - 32;
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return c - 63;
  if (c >= 0x430 && c <= 0x44F) return c - 32;
  if (c >= 0x450 && c <= 0x45F) return c - 80;
  if (c == 0x491) return 0x490;
  return c;
}

}  // namespace

std::string CodePage::fold(const std::string& bytes) const {
  std::string text;
  // A name the page cannot decode is compared by its bytes (ASCII folded),
  // marked so that it meets no decoded name.
  if (!decode(bytes, text)) return "\x01" + fold_case(bytes);
  std::string r;
  for (std::size_t i = 0; i < text.size();) {
    char32_t c = 0;
    if (utf8_next(text, i, c)) utf8_put(r, upper(c));
    else r += text[i++];
  }
  return r;
}

// ---- numbers ------------------------------------------------------------------------

std::uint64_t parse_size(const std::string& text) {
  std::string t = fold_case(text);
  // The usual diskettes, by their common names.
  static const struct { const char* name; std::uint64_t bytes; } disks[] = {
      {"360K", 368640}, {"720K", 737280}, {"1.2M", 1228800}, {"1.2MB", 1228800},
      {"1.44M", 1474560}, {"1.44MB", 1474560}, {"DMF", 1720320}, {"1.68M", 1720320},
      {"2.88M", 2949120}, {"2.88MB", 2949120}, {"FLOPPY", 1474560}, {"DISKETTE", 1474560},
  };
  for (const auto& d : disks)
    if (t == d.name) return d.bytes;
  std::size_t digits = 0;
  while (digits < t.size() && t[digits] >= '0' && t[digits] <= '9') ++digits;
  if (digits == 0 || digits > 15) usage_error("bad size '" + text + "'");
  const std::uint64_t n = std::stoull(t.substr(0, digits));
  const std::string unit = t.substr(digits);
  std::uint64_t mul = 1;
  if (unit.empty() || unit == "B") mul = 1;
  else if (unit == "K" || unit == "KB" || unit == "KIB") mul = 1024;
  else if (unit == "M" || unit == "MB" || unit == "MIB") mul = 1024 * 1024;
  else if (unit == "G" || unit == "GB" || unit == "GIB") mul = 1024ull * 1024 * 1024;
  else usage_error("bad size '" + text + "' (use bytes, or K, M, G, or 360K, 720K, 1.2M, 1.44M, DMF, 2.88M)");
  return n * mul;
}

unsigned parse_count(const std::string& text, const char* option, unsigned lo, unsigned hi) {
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || *end || errno || text[0] == '-' || v < lo || v > hi)
    usage_error(std::string(option) + " takes a number from " + std::to_string(lo) + " to " +
                std::to_string(hi) + ", not '" + text + "'");
  return static_cast<unsigned>(v);
}

// ---- the control file -----------------------------------------------------------------

bool control_file_run(const std::string& content, std::string& run) {
  // Text mode: CR LF is one line end and Ctrl-Z ends the file.
  std::string text;
  for (std::size_t i = 0; i < content.size(); ++i) {
    const char c = content[i];
    if (c == 26) break;
    if (c == '\r' && i + 1 < content.size() && content[i + 1] == '\n') continue;
    text += c;
  }
  std::string section = "ALL";
  std::size_t pos = 0;
  while (pos < text.size()) {
    // Pieces of at most 198 characters, each ending at a line feed.
    std::size_t end = pos;
    while (end < text.size() && end - pos < 198) {
      if (text[end++] == '\n') break;
    }
    const std::string piece = text.substr(pos, end - pos);
    pos = end;
    // Clean: upper-case letters and drop blanks up to the first ; = or ].
    std::string clean;
    std::size_t k = 0;
    for (; k < piece.size(); ++k) {
      const char c = piece[k];
      if (c == ';' || c == '=' || c == ']') break;
      if (static_cast<unsigned char>(c) <= 32) continue;
      clean += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    }
    if (k < piece.size() && piece[k] == '=') {
      clean += '=';
      ++k;
      while (k < piece.size() && static_cast<unsigned char>(piece[k]) <= 32) ++k;
    }
    clean += piece.substr(std::min(k, piece.size()));
    if (!clean.empty() && clean[0] == '[') {
      std::size_t e = 1;
      while (e < clean.size() && clean[e] != ']' && e - 1 < 12) ++e;
      section = clean.substr(1, e - 1);
      continue;
    }
    const std::size_t semi = clean.find(';'), eq = clean.find('=');
    if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) continue;
    const std::string key = clean.substr(0, std::min<std::size_t>(eq, 19));
    std::size_t v_end = eq + 1;
    while (v_end < clean.size() && clean[v_end] != ';' && clean[v_end] != '\n') ++v_end;
    std::string value = clean.substr(eq + 1, std::min<std::size_t>(v_end - eq - 1, 126));
    if (fold_case(section) == "SYSTEM" && fold_case(key) == "RUN") {
      run = value;
      return true;
    }
  }
  return false;
}

// ---- texts ----------------------------------------------------------------------------

std::vector<std::string> path_parts(const std::string& path) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : path) {
    if (c == '/' || c == '\\') {
      if (!cur.empty() && cur != ".") parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty() && cur != ".") parts.push_back(cur);
  return parts;
}

std::string path_key(const CodePage& cp, const std::string& path) {
  std::string k;
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
  const auto is_sep = [](char c) { return c == '/' || c == '\\'; };
  if (name.empty() || is_sep(name.back()) || name == "." ||
      (name.size() >= 2 && name.back() == '.' && is_sep(name[name.size() - 2])))
    return "empty file name";
  if (dir != "." && !dir.empty() && is_sep(dir[0])) return "directory is absolute";
  for (const std::string* text : {&dir, &name}) {
    if (text == &dir && dir == ".") continue;
    // Doubled separators and "." parts name nothing, as in the byte-wise check.
    std::string part;
    for (std::size_t i = 0; i <= text->size(); ++i) {
      if (i < text->size() && !is_sep((*text)[i])) {
        part += (*text)[i];
        continue;
      }
      if (!part.empty() && part != ".")
        if (const char* why = decoded_part_problem(part)) return why;
      part.clear();
    }
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

std::string fold_case(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return r;
}

std::string human_bytes(std::uint64_t n) {
  char b[32];
  if (n < 1024) std::snprintf(b, sizeof b, "%" PRIu64 " B", n);
  else if (n < 1024 * 1024) std::snprintf(b, sizeof b, "%.1f KiB", static_cast<double>(n) / 1024);
  else if (n < 1024ull * 1024 * 1024)
    std::snprintf(b, sizeof b, "%.1f MiB", static_cast<double>(n) / (1024.0 * 1024));
  else std::snprintf(b, sizeof b, "%.2f GiB", static_cast<double>(n) / (1024.0 * 1024 * 1024));
  return b;
}

std::string format_time(std::int64_t t) {
  const std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  if (!gmtime_r(&tt, &tm)) return "?";
  char b[32];
  std::strftime(b, sizeof b, "%Y-%m-%d %H:%M:%S", &tm);
  return b;
}

}  // namespace qtk
