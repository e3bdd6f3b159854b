// Writes qtk/text/codepage_ansi.cpp, qtk/text/codepage_oem.cpp and
// qtk/text/codepage_dbcs.cpp, the tables of the code pages that qtk takes
// for member names, from this system's iconv (GNU libc):
//
//   g++ -std=c++20 -O2 scripts/gen_codepage_tables.cpp -o /tmp/gen && /tmp/gen qtk
//
// For each page: the character of every byte 0x80-0xFF. For the pages
// whose conversion composes and decomposes (1255 and 1258): the pairs that
// decoding joins into one character, found by decoding every sequence of
// two and three bytes, and the characters that encoding writes as several
// bytes. For the double-byte pages: the character of every single byte and
// of every pair of a lead byte and a trail byte 0x40-0xFE, and the
// characters that encoding writes otherwise than as the first pair that
// decodes to them. qtk's tests check the tables against iconv again.
#include <iconv.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

// The lead bytes of the double-byte pages, as archive/record.cpp's
// sfx_dbcs_lead has them.
bool sfx_dbcs_lead(unsigned page, std::uint8_t b) {
  if (page == 932) return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
  return b >= 0x81 && b <= 0xFE;
}

const unsigned kAnsiPages[] = {874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258};
const unsigned kOemPages[] = {437, 737, 775, 850, 852, 855, 857, 858, 860, 861, 862, 863, 865, 866, 869};

bool convert(iconv_t cd, const std::string& in, std::string& out) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  out.assign(in.size() * 4 + 8, '\0');
  char* src = const_cast<char*>(in.data());
  std::size_t src_left = in.size();
  char* dst = out.data();
  std::size_t dst_left = out.size();
  if (iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<std::size_t>(-1)) return false;
  if (iconv(cd, nullptr, nullptr, &dst, &dst_left) == static_cast<std::size_t>(-1)) return false;
  out.resize(out.size() - dst_left);
  return true;
}

std::vector<unsigned> code_points(const std::string& s) {
  std::vector<unsigned> r;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const std::size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    unsigned c = n == 1 ? b : n == 2 ? b & 0x1F : n == 3 ? b & 0x0F : b & 0x07;
    for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    r.push_back(c);
    i += n;
  }
  return r;
}

std::string utf8(unsigned c) {
  std::string o;
  if (c < 0x80) {
    o += static_cast<char>(c);
  } else if (c < 0x800) {
    o += static_cast<char>(0xC0 | (c >> 6));
    o += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    o += static_cast<char>(0xE0 | (c >> 12));
    o += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    o += static_cast<char>(0x80 | (c & 0x3F));
  }
  return o;
}

}  // namespace

// One file of tables: `kind` names the pages and the array of them.
template <std::size_t N>
bool write_tables(const std::string& dir, const char* kind, const unsigned (&pages)[N]) {
  const std::string path = dir + "/codepage_" + kind + ".cpp";
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) {
    std::perror(path.c_str());
    return false;
  }
  std::fprintf(f,
      "// The %s code pages that qtk takes for member names: the character of\n"
      "// every byte 0x80-0xFF (0 where the page has none), and for the pages that\n"
      "// join a letter and its marks, the pairs joined when decoding and the\n"
      "// characters written as several bytes when encoding. Written by\n"
      "// scripts/gen_codepage_tables.cpp from GNU libc's iconv; do not edit.\n"
      "#include \"text/codepage_tables.h\"\n\nnamespace qtk {\nnamespace {\n\n", kind == std::string("ansi") ? "ANSI" : "OEM");
  std::vector<std::string> entries;
  for (unsigned page : pages) {
    const std::string name = "CP" + std::to_string(page);
    iconv_t from = iconv_open("UTF-8", name.c_str());
    iconv_t to = iconv_open(name.c_str(), "UTF-8");
    if (from == reinterpret_cast<iconv_t>(-1) || to == reinterpret_cast<iconv_t>(-1)) {
      std::fprintf(stderr, "%s: not known to iconv\n", name.c_str());
      return false;
    }
    unsigned high[128];
    std::map<unsigned, unsigned> single;  // byte by character (and ASCII)
    for (unsigned b = 0; b < 0x100; ++b) {
      std::string out;
      const bool ok = b != 0 && convert(from, std::string(1, static_cast<char>(b)), out);
      const std::vector<unsigned> cps = ok ? code_points(out) : std::vector<unsigned>{};
      if (ok && cps.size() != 1) {
        std::fprintf(stderr, "%s: byte %02X gives %zu characters\n", name.c_str(), b, cps.size());
        return false;
      }
      if (b < 0x80 && (!ok || cps[0] != b) && b != 0) {
        std::fprintf(stderr, "%s: byte %02X is not ASCII\n", name.c_str(), b);
        return false;
      }
      if (b >= 0x80) high[b - 0x80] = ok ? cps[0] : 0;
      if (ok) single.emplace(cps[0], b);
    }
    // Pairs joined when decoding: from two bytes, then from three (a joined
    // character joined again).
    std::map<std::pair<unsigned, unsigned>, unsigned> compose;
    bool join_again = false;  // a joined character takes a further mark
    for (unsigned b1 = 1; b1 < 0x100; ++b1)
      for (unsigned b2 = 0x80; b2 < 0x100; ++b2) {
        std::string out;
        const std::string in{static_cast<char>(b1), static_cast<char>(b2)};
        if (!convert(from, in, out)) continue;
        const std::vector<unsigned> cps = code_points(out);
        if (cps.size() == 1) compose[{b1 < 0x80 ? b1 : high[b1 - 0x80], high[b2 - 0x80]}] = cps[0];
      }
    if (!compose.empty()) {
      std::set<unsigned> firsts;
      for (const auto& [pair, joined] : compose) firsts.insert(pair.first);
      for (unsigned b1 = 1; b1 < 0x100; ++b1)
        for (unsigned b2 = 0x80; b2 < 0x100; ++b2) {
          const unsigned c1 = b1 < 0x80 ? b1 : high[b1 - 0x80];
          const auto j = compose.find({c1, high[b2 - 0x80]});
          if (j == compose.end()) continue;
          for (unsigned b3 = 0x80; b3 < 0x100; ++b3) {
            std::string out;
            const std::string in{static_cast<char>(b1), static_cast<char>(b2), static_cast<char>(b3)};
            if (!convert(from, in, out)) continue;
            const std::vector<unsigned> cps = code_points(out);
            if (cps.size() != 1) continue;
            compose[{j->second, high[b3 - 0x80]}] = cps[0];
            join_again = true;
          }
        }
    }
    // Characters that encoding writes as several bytes.
    std::map<unsigned, std::string> decompose;
    for (unsigned c = 0x80; c < 0x10000; ++c) {
      if ((c >= 0xD800 && c <= 0xDFFF) || single.count(c)) continue;
      std::string out;
      if (convert(to, utf8(c), out)) decompose[c] = out;
    }
    iconv_close(from);
    iconv_close(to);

    std::fprintf(f, "const char16_t kHigh%u[128] = {\n", page);
    for (int i = 0; i < 128; ++i) std::fprintf(f, "%s0x%04X,%s", i % 12 ? " " : "    ", high[i], i % 12 == 11 || i == 127 ? "\n" : "");
    std::fprintf(f, "};\n");
    std::string comp = "nullptr, 0, false", decomp = "nullptr, 0";
    if (!compose.empty()) {
      std::fprintf(f, "const CodePageJoin kJoin%u[] = {\n", page);
      std::size_t k = 0;
      for (const auto& [pair, joined] : compose) {
        const bool first = k % 4 == 0, last = ++k % 4 == 0 || k == compose.size();
        std::fprintf(f, "%s{0x%04X, 0x%04X, 0x%04X},%s", first ? "    " : " ", pair.first, pair.second, joined,
                    last ? "\n" : "");
      }
      std::fprintf(f, "};\n");
      comp = "kJoin" + std::to_string(page) + ", " + std::to_string(compose.size()) + (join_again ? ", true" : ", false");
    }
    if (!decompose.empty()) {
      std::fprintf(f, "const CodePageSplit kSplit%u[] = {\n", page);
      std::size_t n = 0;
      for (const auto& [c, bytes] : decompose) {
        const bool first = n % 3 == 0, last = ++n % 3 == 0 || n == decompose.size();
        std::fprintf(f, "%s{0x%04X, {", first ? "    " : " ", c);
        for (std::size_t k = 0; k < 3; ++k)
          std::fprintf(f, "%s0x%02X", k ? ", " : "", k < bytes.size() ? static_cast<unsigned char>(bytes[k]) : 0u);
        std::fprintf(f, "}},%s", last ? "\n" : "");
        if (bytes.size() > 3) {
          std::fprintf(stderr, "%s: U+%04X takes %zu bytes\n", name.c_str(), c, bytes.size());
          return false;
        }
      }
      std::fprintf(f, "};\n");
      decomp = "kSplit" + std::to_string(page) + ", " + std::to_string(decompose.size());
    }
    std::fprintf(f, "\n");
    entries.push_back("    {" + std::to_string(page) + ", kHigh" + std::to_string(page) + ", " + comp + ", " + decomp +
                      "},\n");
  }
  std::fprintf(f, "}  // namespace\n\nextern const CodePageTable kCodePages%s[] = {\n", kind == std::string("ansi") ? "Ansi" : "Oem");
  for (const std::string& e : entries) std::fprintf(f, "%s", e.c_str());
  std::fprintf(f, "    {0, nullptr, nullptr, 0, false, nullptr, 0},\n};\n\n}  // namespace qtk\n");
  return std::fclose(f) == 0;
}

// The double-byte pages: their single bytes, their pairs row by row (one
// row of 191 trail bytes 0x40-0xFE for each lead byte), and the characters
// that encode otherwise than as the first pair (or byte) that gives them.
bool write_dbcs(const std::string& dir) {
  const unsigned pages[] = {932, 936, 949, 950};
  const std::string path = dir + "/codepage_dbcs.cpp";
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) {
    std::perror(path.c_str());
    return false;
  }
  std::fprintf(f,
      "// The double-byte code pages that qtk takes for member names: the character\n"
      "// of every single byte 0x80-0xFF that is no lead byte, of every lead byte\n"
      "// with a trail byte 0x40-0xFE (a row per lead byte, 0xFFFF where the page\n"
      "// has none), and the characters that encoding writes otherwise than as the\n"
      "// first code that decodes to them (0: not at all). Written by\n"
      "// scripts/gen_codepage_tables.cpp from GNU libc's iconv; do not edit.\n"
      "#include \"text/codepage_tables.h\"\n\nnamespace qtk {\nnamespace {\n\n");
  std::vector<std::string> entries;
  for (unsigned page : pages) {
    const std::string name = "CP" + std::to_string(page);
    iconv_t from = iconv_open("UTF-8", name.c_str());
    iconv_t to = iconv_open(name.c_str(), "UTF-8");
    if (from == reinterpret_cast<iconv_t>(-1) || to == reinterpret_cast<iconv_t>(-1)) {
      std::fprintf(stderr, "%s: not known to iconv\n", name.c_str());
      return false;
    }
    unsigned high[128] = {};
    std::map<unsigned, unsigned> first;  // character -> the first code that gives it
    for (unsigned b = 1; b < 0x100; ++b) {
      std::string out;
      const bool ok = convert(from, std::string(1, static_cast<char>(b)), out);
      const std::vector<unsigned> cps = ok ? code_points(out) : std::vector<unsigned>{};
      if (ok && cps.size() != 1) return false;
      if (b < 0x80 && (!ok || cps[0] != b)) {
        std::fprintf(stderr, "%s: byte %02X is not ASCII\n", name.c_str(), b);
        return false;
      }
      if (ok && sfx_dbcs_lead(page, static_cast<std::uint8_t>(b))) {
        std::fprintf(stderr, "%s: lead byte %02X stands alone\n", name.c_str(), b);
        return false;
      }
      if (b >= 0x80 && ok) high[b - 0x80] = cps[0];
      if (ok) first.emplace(cps[0], b);
    }
    std::fprintf(f, "const char16_t kDbcsHigh%u[128] = {\n", page);
    for (int i = 0; i < 128; ++i) std::fprintf(f, "%s0x%04X,%s", i % 12 ? " " : "    ", high[i], i % 12 == 11 || i == 127 ? "\n" : "");
    std::fprintf(f, "};\n");
    std::fprintf(f, "const char16_t kDbcsPairs%u[] = {\n", page);
    std::size_t rows = 0;
    for (unsigned lead = 0x80; lead < 0x100; ++lead) {
      if (!sfx_dbcs_lead(page, static_cast<std::uint8_t>(lead))) continue;
      ++rows;
      for (unsigned t = 0x40; t < 0xFF; ++t) {
        std::string out;
        unsigned c = 0xFFFF;
        if (convert(from, std::string{static_cast<char>(lead), static_cast<char>(t)}, out)) {
          const std::vector<unsigned> cps = code_points(out);
          if (cps.size() == 1 && cps[0] >= 0x80 && cps[0] < 0xFFFF) c = cps[0];
        }
        if (c != 0xFFFF) first.emplace(c, lead << 8 | t);
        const unsigned k = t - 0x40;
        std::fprintf(f, "%s0x%04X,%s", k % 12 ? " " : "    ", c, k % 12 == 11 || t == 0xFE ? "\n" : "");
      }
    }
    std::fprintf(f, "};\n");
    // Characters whose encoding is not the first code that decodes to them.
    std::vector<std::pair<unsigned, unsigned>> odd;
    for (unsigned c = 0x80; c < 0x10000; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      std::string out;
      unsigned code = 0;
      if (convert(to, utf8(c), out)) {
        if (out.size() == 1) code = static_cast<unsigned char>(out[0]);
        else if (out.size() == 2) code = static_cast<unsigned char>(out[0]) << 8 | static_cast<unsigned char>(out[1]);
        else return false;
      }
      const auto it = first.find(c);
      const unsigned want = it == first.end() ? 0 : it->second;
      if (code != want) odd.emplace_back(c, code);
    }
    std::fprintf(f, "const CodePageOdd kDbcsOdd%u[] = {\n", page);
    for (std::size_t k = 0; k < odd.size(); ++k)
      std::fprintf(f, "%s{0x%04X, 0x%04X},%s", k % 6 ? " " : "    ", odd[k].first, odd[k].second,
                   k % 6 == 5 || k + 1 == odd.size() ? "\n" : "");
    if (odd.empty()) std::fprintf(f, "    {0, 0},\n");
    std::fprintf(f, "};\n\n");
    iconv_close(from);
    iconv_close(to);
    entries.push_back("    {" + std::to_string(page) + ", kDbcsHigh" + std::to_string(page) + ", kDbcsPairs" +
                      std::to_string(page) + ", " + std::to_string(rows) + ", kDbcsOdd" + std::to_string(page) + ", " +
                      std::to_string(odd.size()) + "},\n");
  }
  std::fprintf(f, "}  // namespace\n\nextern const DbcsTable kCodePagesDbcs[] = {\n");
  for (const std::string& e : entries) std::fprintf(f, "%s", e.c_str());
  std::fprintf(f, "    {0, nullptr, nullptr, 0, nullptr, 0},\n};\n\n}  // namespace qtk\n");
  return std::fclose(f) == 0;
}

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : ".";
  return write_tables(dir, "ansi", kAnsiPages) && write_tables(dir, "oem", kOemPages) && write_dbcs(dir) ? 0 : 1;
}
