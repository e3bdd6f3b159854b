// Reading side of the archive: trailer, member headers, path refusals,
// packet order and volume names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes header(const std::string& dir, const std::string& name, std::int32_t t) {
  Bytes b(SFX_MEMBER_HEADER_SIZE, 0);
  std::memcpy(b.data(), dir.data(), dir.size());
  std::memcpy(b.data() + SFX_NAME_OFFSET, name.data(), name.size());
  codec_store_le32(b.data() + SFX_TIME_OFFSET, static_cast<std::uint32_t>(t));
  return b;
}

const char* check(const std::string& dir, const std::string& name) {
  return sfx_member_path_check(dir.c_str(), name.c_str());
}

std::string next(const std::string& cur, int n) {
  char out[64];
  if (sfx_next_volume_name(cur.c_str(), n, out, sizeof out) != SFX_OK) return "<too long>";
  return out;
}

}  // namespace

TEST(MemberHeader, ParsesFieldsAndNegativeTime) {
  Bytes b = header("sub\\dir", "file name.txt", -5);
  b[300] = 'x';  // bytes after the terminating zero mean nothing
  sfx_member m{};
  ASSERT_EQ(sfx_member_parse(b.data(), static_cast<std::uint32_t>(b.size()), &m), SFX_OK);
  EXPECT_STREQ(m.dir, "sub\\dir");
  EXPECT_STREQ(m.name, "file name.txt");
  EXPECT_EQ(m.time, -5);
}

TEST(MemberHeader, RefusesShortPayloadAndUnterminatedFields) {
  sfx_member m{};
  Bytes b = header(".", "a", 0);
  EXPECT_EQ(sfx_member_parse(b.data(), 771, &m), SFX_E_HEADER_SIZE);
  Bytes d = b;
  std::memset(d.data(), 'a', SFX_DIR_FIELD);  // the directory runs into the name
  EXPECT_EQ(sfx_member_parse(d.data(), 772, &m), SFX_E_UNTERMINATED);
  Bytes n = b;
  std::memset(n.data() + SFX_NAME_OFFSET, 'a', SFX_NAME_FIELD);  // the name runs into the time
  EXPECT_EQ(sfx_member_parse(n.data(), 772, &m), SFX_E_UNTERMINATED);
  const char* why = nullptr;
  Bytes u = header("..", "a", 0);
  EXPECT_EQ(sfx_member_check(u.data(), 772, &m, &why), SFX_E_UNSAFE_PATH);
  EXPECT_STREQ(why, "contains a '..' component");
}

TEST(MemberPath, AcceptsOrdinaryPaths) {
  EXPECT_EQ(check(".", "qtksfx.ini"), nullptr);
  EXPECT_EQ(check("", "a"), nullptr);
  EXPECT_EQ(check("a/b c\\d", "name with spaces.txt"), nullptr);
  EXPECT_EQ(check("sub", "\xe9t\xe9.txt"), nullptr);  // code-page bytes
  EXPECT_EQ(check("CONSOLE", "nul_file"), nullptr);
  EXPECT_EQ(check("COM10", "LPT0.txt"), nullptr);
  EXPECT_EQ(check("a..b", "..x"), nullptr);
  // "." is the archive's name for the work directory, also as a component.
  EXPECT_EQ(check(".\\DATA", "a"), nullptr);
  EXPECT_EQ(check("./DATA/./deep/.", "./a"), nullptr);
}

TEST(MemberPath, PartsPassOverEmptyAndDotParts) {
  auto parts = [](const std::string& s) {
    std::vector<std::string> out;
    const char* cursor = s.data();
    const char* p = nullptr;
    std::size_t n = 0;
    while (sfx_path_next(&cursor, s.data() + s.size(), &p, &n)) out.emplace_back(p, n);
    EXPECT_EQ(cursor, s.data() + s.size());
    return out;
  };
  using Parts = std::vector<std::string>;
  EXPECT_EQ(parts("./a//b\\.\\..\\c."), (Parts{"a", "b", "..", "c."}));
  EXPECT_EQ(parts(".x/..."), (Parts{".x", "..."}));
  EXPECT_EQ(parts(".\\/./"), Parts{});
  // The end bounds the text, not a zero byte.
  EXPECT_EQ(parts(std::string("a\0b/c", 5)), (Parts{std::string("a\0b", 3), "c"}));
}

TEST(MemberPath, RefusesEscapesAndWindowsTraps) {
  struct Case { const char* dir; const char* name; const char* why; };
  const Case cases[] = {
      {"..", "a", "'..'"}, {"a/../..", "a", "'..'"}, {"a\\..\\b", "a", "'..'"},
      {".", "..\\x", "'..'"}, {".", "../x", "'..'"},
      {"/etc", "a", "absolute"}, {"\\windows", "a", "absolute"},
      {"C:\\x", "a", "drive letter"}, {"c:", "a", "drive letter"},
      {"\\\\server\\share", "a", "network"}, {"//server/share", "a", "network"},
      {"\\\\?\\C:\\x", "a", "\\\\?\\"}, {"\\??\\C:\\x", "a", "\\??\\"},
      {"a", "b:stream", "':'"}, {"ab:c", "d", "':'"},
      {"a", "b\tc", "control"}, {"a\x01", "b", "control"},
      {"a", "x<y", "may not hold"}, {"a", "x>y", "may not hold"}, {"a", "x\"y", "may not hold"},
      {"a", "x|y", "may not hold"}, {"a", "x?y", "may not hold"}, {"a*", "y", "may not hold"},
      {"CON", "a", "device"}, {"a/prn.txt", "b", "device"}, {"a", "aux", "device"},
      {"a", "Nul.tar.gz", "device"}, {"a", "com1", "device"}, {"a", "LPT9.log", "device"},
      {"a", "con .txt", "device"}, {"a", "COM\xb9", "device"}, {"a", "conout$", "device"},
      {"a.", "b", "ends in"}, {"a ", "b", "ends in"}, {"a", "b.", "ends in"},
      {"a", "b ", "ends in"}, {"./a.", "b", "ends in"},
      {"a", "", "empty file name"}, {".", "sub/", "empty file name"}, {"a", ".", "empty file name"},
      {"a", "b/.", "empty file name"}, {"./..", "b", "'..'"},
  };
  for (const Case& c : cases) {
    const char* why = sfx_member_path_check(c.dir, c.name);
    ASSERT_NE(why, nullptr) << c.dir << " | " << c.name;
    EXPECT_NE(std::strstr(why, c.why), nullptr) << c.dir << " | " << c.name << ": " << why;
  }
}

TEST(VolumeName, ReplacesExtensionAndNumbersOn) {
  EXPECT_EQ(next("A:\\SETUP.EXE", 1), "A:\\SETUP.001");
  EXPECT_EQ(next("A:\\SETUP.001", 2), "A:\\SETUP.002");
  EXPECT_EQ(next("out/setup.tar.exe", 12), "out/setup.tar.012");
  EXPECT_EQ(next("x.exe", 1000), "x.1000");
  EXPECT_EQ(next("setup.", 3), "setup.003");
}

TEST(VolumeName, FileNameWithoutDotGetsNumberAppended) {
  EXPECT_EQ(next("A:\\DISK.1\\SETUP", 1), "A:\\DISK.1\\SETUP.001");
  EXPECT_EQ(next("build.d/qtksfx", 2), "build.d/qtksfx.002");
  EXPECT_EQ(next("setup", 1), "setup.001");
  EXPECT_EQ(next(".setup", 1), ".setup.001");  // the path's first character is no extension
}

TEST(VolumeName, RefusesOverflowAndWorksInPlace) {
  char small[10];
  EXPECT_EQ(sfx_next_volume_name("abcde.exe", 1, small, sizeof small), SFX_OK);
  EXPECT_STREQ(small, "abcde.001");
  EXPECT_EQ(sfx_next_volume_name("abcdef", 1, small, sizeof small), SFX_E_TOO_LONG);
  char buf[32] = "dir/SETUP.EXE";
  ASSERT_EQ(sfx_next_volume_name(buf, 1, buf, sizeof buf), SFX_OK);
  EXPECT_STREQ(buf, "dir/SETUP.001");
  char out[8];
  EXPECT_EQ(sfx_member_output_path("C:/t/", ".", "ab", out, sizeof out), SFX_E_TOO_LONG);
  EXPECT_EQ(sfx_member_output_path("C:/", ".", "ab", out, sizeof out), SFX_OK);
  EXPECT_STREQ(out, "C:/./ab");
}

TEST(Trailer, ChecksSignatureAndOffset) {
  std::uint32_t p = 0;
  const std::uint8_t good[8] = {100, 0, 0, 0, 0xDE, 0xAD, 0xFA, 0xCE};
  EXPECT_EQ(sfx_trailer_parse(good, 123, &p), SFX_OK);
  EXPECT_EQ(p, 100u);
  EXPECT_EQ(sfx_trailer_parse(good, 118, &p), SFX_E_OFFSET);  // no room for a packet
  const std::uint8_t bad[8] = {100, 0, 0, 0, 0xCE, 0xFA, 0xAD, 0xDE};
  EXPECT_EQ(sfx_trailer_parse(bad, 1000, &p), SFX_E_SIGNATURE);

  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  long end = 0;
  EXPECT_EQ(sfx_trailer_read(f, &p, &end), SFX_E_SEEK);  // empty file
  std::fwrite("\xDE\xAD\xFA\xCE", 1, 4, f);
  EXPECT_EQ(sfx_trailer_read(f, &p, &end), SFX_E_SEEK);  // signature but no offset
  std::rewind(f);
  const std::uint8_t file[] = {'M', 'Z', 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0x05, 0x05,
                               2, 0, 0, 0, 0xDE, 0xAD, 0xFA, 0xCE};
  std::fwrite(file, 1, sizeof file, f);
  ASSERT_EQ(sfx_trailer_read(f, &p, &end), SFX_OK);
  EXPECT_EQ(p, 2u);
  EXPECT_EQ(end, static_cast<long>(sizeof file) - 4);
  EXPECT_EQ(std::ftell(f), 2);
  std::fclose(f);
}

// A signed installer as signing tools leave it: a PE image whose security
// directory entry names the certificate table at the end of the file, the
// archive and its trailer before it, then zeros up to a multiple of 8.
struct SignedFile {
  bool pe64 = false;
  std::uint32_t directories = 16;
  int extra_zeros = 0;       // padding beyond the multiple of 8
  std::int64_t size_fix = 0;  // added to the size in the security entry
  std::uint32_t first = 0;
  Bytes bytes;

  void put32(std::size_t at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
  }
  void make(std::size_t archive_bytes) {
    bytes.assign(0x201, 0);  // an odd image size, so that padding is needed
    bytes[0] = 'M';
    bytes[1] = 'Z';
    put32(0x3C, 0x80);
    std::memcpy(bytes.data() + 0x80, "PE\0\0", 4);
    const std::size_t opt = 0x80 + 24;
    bytes[0x80 + 20] = pe64 ? 240 : 224;  // size of the optional header
    bytes[opt] = 0x0B;
    bytes[opt + 1] = pe64 ? 0x02 : 0x01;
    const std::size_t count_at = opt + (pe64 ? 108 : 92);
    put32(count_at, directories);
    first = static_cast<std::uint32_t>(bytes.size());
    bytes.resize(bytes.size() + archive_bytes, 0x81);  // stands for packets
    const std::uint8_t trailer[8] = {0, 0, 0, 0, 0xDE, 0xAD, 0xFA, 0xCE};
    bytes.insert(bytes.end(), trailer, trailer + 8);
    put32(bytes.size() - 8, first);
    while (bytes.size() % 8) bytes.push_back(0);
    bytes.insert(bytes.end(), static_cast<std::size_t>(extra_zeros), 0);
    const auto table = static_cast<std::uint32_t>(bytes.size());
    const std::uint32_t size = 40;
    bytes.resize(bytes.size() + size, 0x30);  // WIN_CERTIFICATE and signature
    put32(count_at + 4 + 4 * 8, table);
    put32(count_at + 4 + 4 * 8 + 4, static_cast<std::uint32_t>(size + size_fix));
  }
  // sfx_trailer_read over the bytes; *end receives end_of_data.
  int read(long* end, std::uint32_t* p, long* pos) {
    std::FILE* f = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    const int st = sfx_trailer_read(f, p, end);
    *pos = std::ftell(f);
    std::fclose(f);
    return st;
  }
};

TEST(Trailer, FoundBeforeTheCertificateTableOfASignedInstaller) {
  for (bool pe64 : {false, true}) {
    for (std::size_t archive : {16u, 23u, 29u}) {  // padding of 7, 0 and 2 bytes
      SCOPED_TRACE(std::to_string(pe64) + " " + std::to_string(archive));
      SignedFile s;
      s.pe64 = pe64;
      s.make(archive);
      long end = 0, pos = 0;
      std::uint32_t p = 0;
      ASSERT_EQ(s.read(&end, &p, &pos), SFX_OK);
      EXPECT_EQ(p, s.first);
      EXPECT_EQ(pos, static_cast<long>(s.first));
      EXPECT_EQ(end, static_cast<long>(s.first + archive + 4));  // where the signature starts
    }
  }
  // Everything else is no signature: more zeros than padding, a table that
  // does not end at the end of the file, no security entry, a damaged
  // signature before the table.
  auto status = [](auto change) {
    SignedFile s;
    change(s);
    s.make(17);
    long end = 0, pos = 0;
    std::uint32_t p = 0;
    return s.read(&end, &p, &pos);
  };
  EXPECT_EQ(status([](SignedFile& s) { s.extra_zeros = 8; }), SFX_E_SIGNATURE);
  EXPECT_EQ(status([](SignedFile& s) { s.size_fix = -1; }), SFX_E_SIGNATURE);
  EXPECT_EQ(status([](SignedFile& s) { s.size_fix = 1; }), SFX_E_SIGNATURE);
  EXPECT_EQ(status([](SignedFile& s) { s.directories = 4; }), SFX_E_SIGNATURE);
  SignedFile s;
  s.make(24);
  s.bytes[s.first + 24 + 7] = 0xCF;
  long end = 0, pos = 0;
  std::uint32_t p = 0;
  EXPECT_EQ(s.read(&end, &p, &pos), SFX_E_SIGNATURE);
  s.make(24);
  s.bytes[0] = 'Z';
  EXPECT_EQ(s.read(&end, &p, &pos), SFX_E_SIGNATURE);
}

TEST(Walk, FollowsMemberOrderAndChecksMemberEnd) {
  Packet* p = packet_alloc(SFX_PACKET_SIZE);
  ASSERT_NE(p, nullptr);
  sfx_walk w;
  sfx_walk_init(&w);
  auto step = [&](std::uint8_t type, std::uint32_t len, std::uint32_t a = 0, std::uint32_t b = 0) {
    p->type = type;
    p->unpacked_len = len;
    std::memcpy(p->data, &a, 4);
    std::memcpy(p->data + 4, &b, 4);
    return sfx_walk_step(&w, p);
  };
  EXPECT_EQ(step(SFX_VOLUME_END, 0), SFX_STEP_VOLUME);
  EXPECT_EQ(step(SFX_MEMBER_HEADER, 772), SFX_STEP_MEMBER);
  EXPECT_EQ(step(SFX_MEMBER_END, 8, 0, 0), SFX_STEP_MEMBER_DONE);  // empty member
  EXPECT_EQ(step(SFX_MEMBER_HEADER, 772), SFX_STEP_MEMBER);
  EXPECT_EQ(step(SFX_MEMBER_DATA, 100000), SFX_STEP_DATA);
  EXPECT_EQ(step(SFX_VOLUME_END, 0), SFX_STEP_VOLUME);
  EXPECT_EQ(step(SFX_MEMBER_DATA, 5), SFX_STEP_DATA);
  EXPECT_EQ(step(SFX_MEMBER_END, 8, 100005, 2), SFX_STEP_MEMBER_DONE);
  EXPECT_EQ(step(SFX_MEMBER_DATA, 5), SFX_E_UNEXPECTED);   // data at the top level
  EXPECT_EQ(step(SFX_MEMBER_END, 8), SFX_E_UNEXPECTED);
  EXPECT_EQ(step(SFX_MEMBER_HEADER, 772), SFX_STEP_MEMBER);
  EXPECT_EQ(step(SFX_MEMBER_HEADER, 772), SFX_E_UNEXPECTED);  // header inside a member
  EXPECT_EQ(step(SFX_MEMBER_HEADER, 772), SFX_STEP_MEMBER);
  EXPECT_EQ(step(SFX_MEMBER_DATA, 3), SFX_STEP_DATA);
  EXPECT_EQ(step(SFX_MEMBER_END, 8, 4, 1), SFX_E_TOTAL);
  EXPECT_EQ(step(SFX_MEMBER_HEADER, 772), SFX_STEP_MEMBER);
  EXPECT_EQ(step(SFX_MEMBER_DATA, 3), SFX_STEP_DATA);
  EXPECT_EQ(step(SFX_MEMBER_END, 8, 3, 2), SFX_E_COUNT);
  EXPECT_EQ(step(SFX_MEMBER_HEADER, 772), SFX_STEP_MEMBER);
  EXPECT_EQ(step(SFX_MEMBER_END, 4), SFX_E_HEADER_SIZE);
  EXPECT_EQ(step(SFX_ARCHIVE_END, 12), SFX_STEP_END);
  packet_free(p);
}
