// The code page tables against this system's iconv, which qtk converted
// with before it had tables of its own: every byte, every character, every
// pair of bytes, and for the pages that join marks every letter with two
// marks, so that names convert the same on Linux and on Windows as before.
#include <gtest/gtest.h>
#include <iconv.h>

#include <random>
#include <string>

#include "qtk.h"
#include "text/text.h"

namespace {

struct Iconv {
  iconv_t to, from;
  explicit Iconv(unsigned page) {
    const std::string name = "CP" + std::to_string(page);
    to = iconv_open(name.c_str(), "UTF-8");
    from = iconv_open("UTF-8", name.c_str());
  }
  ~Iconv() {
    iconv_close(to);
    iconv_close(from);
  }
  static bool convert(iconv_t cd, const std::string& in, std::string& out) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    out.assign(in.size() * 4 + 8, '\0');
    char* src = const_cast<char*>(in.data());
    std::size_t src_left = in.size();
    char* dst = out.data();
    std::size_t dst_left = out.size();
    if (iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<std::size_t>(-1)) return false;
    if (iconv(cd, nullptr, nullptr, &dst, &dst_left) == static_cast<std::size_t>(-1)) return false;
    out.resize(out.size() - dst_left);
    return out.find('\0') == std::string::npos;
  }
};

std::string utf8(char32_t c) {
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

TEST(CodePage, TablesConvertAsIconvDid) {
  std::mt19937 rng(7);
  for (unsigned page : {874u, 1250u, 1251u, 1252u, 1253u, 1254u, 1255u, 1256u, 1257u, 1258u, 437u, 737u, 775u,
                        850u, 852u, 855u, 857u, 858u, 860u, 861u, 862u, 863u, 865u, 866u, 869u, 932u, 936u, 949u,
                        950u}) {
    SCOPED_TRACE(page);
    const qtk::CodePage cp(page);
    const Iconv ic(page);
    int differ = 0;
    auto same_decode = [&](const std::string& in) {
      std::string want, got;
      const bool ok = Iconv::convert(ic.from, in, want);
      if (cp.decode(in, got) != ok || (ok && got != want)) ++differ;
    };
    auto same_encode = [&](const std::string& in) {
      std::string want, got;
      const bool ok = Iconv::convert(ic.to, in, want);
      if (cp.encode(in, got) != ok || (ok && got != want)) ++differ;
    };
    for (unsigned b1 = 0; b1 < 0x100; ++b1) {
      same_decode(std::string(1, static_cast<char>(b1)));
      // Double-byte pages take trail bytes from 0x40.
      for (unsigned b2 = page >= 932 && page <= 950 ? 0x30 : 0x80; b2 < 0x100; ++b2)
        same_decode({static_cast<char>(b1), static_cast<char>(b2)});
    }
    for (char32_t c = 0; c < 0x10000; ++c)
      if (c < 0xD800 || c > 0xDFFF) same_encode(utf8(c));
    // A letter with two marks, where marks join.
    if (page == 1255 || page == 1258) {
      for (unsigned b1 = 0x41; b1 < 0x100; ++b1)
        for (unsigned b2 = 0xC0; b2 < 0x100; ++b2)
          for (unsigned b3 = 0xC0; b3 < 0x100; ++b3)
            same_decode({static_cast<char>(b1), static_cast<char>(b2), static_cast<char>(b3)});
    }
    // Longer names, and text that is not UTF-8.
    for (int i = 0; i < 3000; ++i) {
      std::string bytes(1 + rng() % 12, ' ');
      for (char& c : bytes) c = static_cast<char>(rng() % 2 ? 0x41 + rng() % 26 : 0x80 + rng() % 128);
      same_decode(bytes);
      std::string text;
      if (cp.decode(bytes, text)) same_encode(text);
      same_encode(bytes);
    }
    EXPECT_EQ(differ, 0);
  }
}
