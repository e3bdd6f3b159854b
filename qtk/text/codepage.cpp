// Code pages: member names between UTF-8 and a single-byte Windows code
// page, and letter case folded as Windows folds it in file names. The
// conversion works from tables of its own (codepage_tables.h), so that it
// is the same on every platform.
#include <algorithm>
#include <string>

#include "text/codepage_tables.h"
#include "record.h"
#include "fs_code.h"
#include "qtk.h"
#include "text/text.h"

namespace qtk {

namespace {

void utf8_put(std::string& out, char32_t c);

// The Windows code pages whose first 128 characters are ASCII: the ANSI
// pages and the OEM pages of the same scripts (864, whose '%' is the Arabic
// percent sign, is not one of them), and the double-byte pages of East Asia.
// EBCDIC pages spell `..` with other bytes, and the other multi-byte pages
// (UTF-7, ISO-2022) are not one byte per ASCII character. These are the
// pages of the tables.
const CodePageTable* find_table(unsigned number) {
  for (const CodePageTable* list : {kCodePagesAnsi, kCodePagesOem})
    for (const CodePageTable* t = list; t->number; ++t)
      if (t->number == number) return t;
  return nullptr;
}

const DbcsTable* find_dbcs(unsigned number) {
  for (const DbcsTable* t = kCodePagesDbcs; t->number; ++t)
    if (t->number == number) return t;
  return nullptr;
}

constexpr std::size_t kRow = kDbcsTrailLast - kDbcsTrailFirst + 1;

}  // namespace

CodePage::CodePage(unsigned number) : number_(number), table_(find_table(number)), dbcs_(find_dbcs(number)) {
  if (!table_ && !dbcs_)
    usage_error("code page " + std::to_string(number) +
                " is not taken: member names need a Windows code page whose first 128 characters are ASCII "
                "(874, 1250-1258, the double-byte pages 932, 936, 949, 950, or the OEM pages 437, 737, 775, "
                "850, 852, 855, 857, 858, 860-863, 865, 866, 869)");
  if (table_) {
    for (unsigned b = 0x80; b < 0x100; ++b)
      if (const char16_t c = table_->high[b - 0x80]) bytes_.emplace_back(c, static_cast<std::uint16_t>(b));
    std::sort(bytes_.begin(), bytes_.end());
    return;
  }
  // Each character encodes as the first code that decodes to it, unless
  // the table says otherwise.
  rows_.assign(0x100, -1);
  std::int16_t row = 0;
  for (unsigned b = 0x80; b < 0x100; ++b)
    if (sfx_dbcs_lead(number_, static_cast<std::uint8_t>(b))) rows_[b] = row++;
  for (unsigned b = 0x80; b < 0x100; ++b)
    if (const char16_t c = dbcs_->high[b - 0x80]) bytes_.emplace_back(c, static_cast<std::uint16_t>(b));
  for (unsigned lead = 0x80; lead < 0x100; ++lead)
    if (rows_[lead] >= 0)
      for (std::size_t t = 0; t < kRow; ++t)
        if (const char16_t c = dbcs_->pairs[static_cast<std::size_t>(rows_[lead]) * kRow + t]; c != 0xFFFF)
          bytes_.emplace_back(c, static_cast<std::uint16_t>(lead << 8 | (kDbcsTrailFirst + t)));
  std::stable_sort(bytes_.begin(), bytes_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  bytes_.erase(std::unique(bytes_.begin(), bytes_.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
               bytes_.end());
  for (std::size_t k = 0; k < dbcs_->odd_count; ++k) {
    const CodePageOdd& o = dbcs_->odd[k];
    const auto at = std::lower_bound(bytes_.begin(), bytes_.end(), std::pair{o.c, std::uint16_t{}});
    if (at != bytes_.end() && at->first == o.c) at->second = o.code;
    else bytes_.insert(at, {o.c, o.code});
  }
  bytes_.erase(std::remove_if(bytes_.begin(), bytes_.end(), [](const auto& x) { return x.second == 0; }), bytes_.end());
}

// Each character is written as its byte, or as a letter and its marks where
// the page joins them; a character that the page cannot write, a zero byte
// and text that is not UTF-8 refuse the whole.
bool CodePage::encode(const std::string& utf8, std::string& out) const {
  out.clear();
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t c = 0;
    if (!utf8_next(utf8, i, c) || c == 0) return false;
    if (c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    if (c > 0xFFFF) return false;
    const auto b = std::lower_bound(bytes_.begin(), bytes_.end(), std::pair{static_cast<char16_t>(c), std::uint16_t{}});
    if (b != bytes_.end() && b->first == c) {
      if (b->second > 0xFF) out += static_cast<char>(b->second >> 8);
      out += static_cast<char>(b->second & 0xFF);
      continue;
    }
    if (!table_) return false;
    const CodePageSplit* end = table_->splits + table_->split_count;
    const CodePageSplit* sp =
        std::lower_bound(table_->splits, end, c, [](const CodePageSplit& x, char32_t v) { return x.c < v; });
    if (sp == end || sp->c != c) return false;
    for (std::uint8_t byte : sp->bytes)
      if (byte) out += static_cast<char>(byte);
  }
  return true;
}

// Each byte is its character; a mark joins the character before it where
// the page has the joined one, and on some pages that takes a further mark.
bool CodePage::decode(const std::string& bytes, std::string& out) const {
  out.clear();
  if (dbcs_) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const auto b = static_cast<unsigned char>(bytes[i]);
      char16_t c = b < 0x80 ? b : dbcs_->high[b - 0x80];
      if (b >= 0x80 && rows_[b] >= 0) {
        if (i + 1 == bytes.size()) return false;
        const auto t = static_cast<unsigned char>(bytes[++i]);
        if (t < kDbcsTrailFirst || t > kDbcsTrailLast) return false;
        c = dbcs_->pairs[static_cast<std::size_t>(rows_[b]) * kRow + (t - kDbcsTrailFirst)];
        if (c == 0xFFFF) return false;
      }
      if (c == 0) return false;
      utf8_put(out, c);
    }
    return true;
  }
  char32_t pending = 0;  // the last character, which a mark may still join
  const CodePageJoin* end = table_->joins + table_->join_count;
  for (char ch : bytes) {
    const auto b = static_cast<unsigned char>(ch);
    const char32_t c = b < 0x80 ? b : table_->high[b - 0x80];
    if (c == 0) return false;
    if (pending) {
      const auto before = [](const CodePageJoin& x, const std::pair<char32_t, char32_t>& v) {
        return x.first != v.first ? x.first < v.first : x.mark < v.second;
      };
      const CodePageJoin* j = std::lower_bound(table_->joins, end, std::pair{pending, c}, before);
      if (j != end && j->first == pending && j->mark == c) {
        pending = j->joined;
        if (!table_->join_again) {
          utf8_put(out, pending);
          pending = 0;
        }
        continue;
      }
    }
    if (pending) utf8_put(out, pending);
    pending = c;
  }
  if (pending) utf8_put(out, pending);
  return true;
}

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

namespace {

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

std::string CodePage::field(const std::string& utf8, bool pairs_only_high) const {
  std::string out, one, skel(8, '\0');
  for (std::size_t i = 0; i < utf8.size();) {
    const std::size_t start = i;
    char32_t c = 0;
    if (!utf8_next(utf8, i, c)) {
      out += '_';
      ++i;
      continue;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    bool ok = encode(utf8.substr(start, i - start), one);
    if (ok && sfx_ascii_skeleton(one.data(), one.size(), number_, skel.data(), skel.size()) != 0) ok = false;
    if (ok && pairs_only_high)
      for (char b : one)
        if (static_cast<unsigned char>(b) < 0x80) ok = false;
    out += ok ? one : std::string("_");
  }
  return out;
}

std::string fold_text(const std::string& utf8) {
  std::string r;
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t c = 0;
    if (utf8_next(utf8, i, c)) utf8_put(r, upper(c));
    else r += utf8[i++];
  }
  return r;
}

bool is_ascii(const std::string& s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

std::size_t utf16_length(const std::string& utf8) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t c = 0;
    if (!utf8_next(utf8, i, c)) ++i;
    n += c >= 0x10000 ? 2 : 1;
  }
  return n;
}

std::string fold_case(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    c = static_cast<char>(fs_upper(static_cast<unsigned char>(c)));
  return r;
}

}  // namespace qtk
