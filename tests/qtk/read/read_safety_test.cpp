// qtk list, test and extract against hostile installers: unsafe and undecodable
// names, links, code pages, what the stub could not install, escaped output.
#include "read_fixture.h"
#include "../../archive/record_forge.h"
#include "text/text.h"

namespace {

struct ReadSafety : Read {};

TEST_F(ReadSafety, ExtractRefusesUnsafeMembersAndWritesNothingOutside) {
  const struct { const char* dir; const char* name; const char* why; } cases[] = {
      {"..", "evil.txt", "'..'"},         {"a\\..\\..", "evil.txt", "'..'"},
      {".", "..\\evil.txt", "'..'"},      {"/tmp", "evil.txt", "absolute"},
      {"C:\\Windows", "evil.txt", "drive letter"},
      {"\\\\host\\share", "evil.txt", "network"}, {"\\\\?\\C:", "evil.txt", "\\\\?\\"},
      {"\\??\\C:", "evil.txt", "\\??\\"}, {".", "evil.txt:stream", "':'"},
      {".", "evil<.txt", "may not hold"}, {".", "evil\x07", "control"},
      {"LPT1", "evil.txt", "device"},     {".", "nul.evil.txt", "device"},
      {"trail.", "evil.txt", "ends in"},  {".", "evil.txt ", "ends in"},
      {".", "", "empty file name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.dir) + " | " + c.name);
    build(setup, stub_bytes, {{".", "fine.txt", {'o', 'k'}}, {c.dir, c.name, {'x'}}});
    fs::remove_all(dst);
    const Result r = extract();
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("member refused"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
    EXPECT_EQ(run({"test", setup.string()}).code, 1);
  }
  // Nothing beside the scratch folder's own files appeared anywhere.
  for (const auto& e : fs::recursive_directory_iterator(root))
    EXPECT_EQ(e.path().string().find("evil"), std::string::npos) << e.path();
  EXPECT_FALSE(fs::exists("/tmp/evil.txt"));
}

TEST_F(ReadSafety, HostileRecordsAreRefusedAndWriteNothing) {
  using forge::operator+;
  const forge::Bytes cp = forge::codepage(1252);
  const std::pair<std::string, forge::Bytes> cases[] = {
      {"a.txt", forge::record(forge::field(SFX_TAG_NAME, "evil.txt") + cp)},
      {"evil.txt", forge::record(forge::field(SFX_TAG_DIR, "..") + cp)},
      {"evil.txt", forge::record(forge::field(SFX_TAG_DIR, "C:/x") + cp)},
      {"evil.txt", forge::record(forge::field(SFX_TAG_NAME, "x/evil.txt") + cp)},
      {"evil\xe9", forge::record(forge::field(SFX_TAG_NAME, "evil\xe0\x83\xa9") + cp)},
      {"evil.txt", forge::record(forge::crc(0), 60000)},
  };
  for (const auto& [name, rec] : cases) {
    build(setup, stub_bytes, {{".", "", {'x'}, forge::header(".", name, 0, rec)}, control()});
    fs::remove_all(dst);
    const Result r = extract();
    EXPECT_EQ(r.code, 1) << name;
    EXPECT_NE(r.err.find("member refused: "), std::string::npos) << r.err;
    EXPECT_EQ(run({"test", setup.string()}).code, 1);
  }
  for (const auto& e : fs::recursive_directory_iterator(root))
    EXPECT_EQ(e.path().string().find("evil"), std::string::npos) << e.path();
}

TEST_F(ReadSafety, UnterminatedHeaderFieldsAreRefused) {
  build(setup, stub_bytes, {{".", "a.txt", {'a'}}});
  Bytes b = read_bytes(setup);
  // Find the member header packet and replace it with one whose name field
  // is full: a stored header with all 256 name bytes set.
  Bytes h(SFX_MEMBER_HEADER_SIZE, 0);
  h[0] = '.';
  std::memset(h.data() + SFX_NAME_OFFSET, 'n', SFX_NAME_FIELD);
  std::uint8_t s = 0, x = 0;
  packet_check_bytes(0x82, 772, 772, h.data(), 772, &s, &x);
  Bytes pk{0x82, 0x04, 0x03, 0, 0, 0x04, 0x03, 0, 0, s, x};
  pk.insert(pk.end(), h.begin(), h.end());
  std::uint32_t p = 0;
  std::memcpy(&p, b.data() + b.size() - 8, 4);
  Bytes rest(b.begin() + p, b.end());
  // Skip the original header packet.
  std::uint32_t stored = 0;
  std::memcpy(&stored, rest.data() + 5, 4);
  rest.erase(rest.begin(), rest.begin() + 11 + stored);
  Bytes nb(b.begin(), b.begin() + p);
  nb.insert(nb.end(), pk.begin(), pk.end());
  nb.insert(nb.end(), rest.begin(), rest.end());
  write_bytes(setup, nb);
  const Result r = run({"test", setup.string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("not zero-terminated"), std::string::npos) << r.err;
  EXPECT_EQ(extract().code, 1);
}

TEST_F(ReadSafety, ExtractDoesNotFollowSymbolicLinks) {
  build(setup, stub_bytes, {{"link", "x.txt", {'x'}}});
  fs::create_directories(dst);
  fs::create_directories(root / "outside");
  fs::create_directory_symlink(root / "outside", dst / "link");
  const Result r = extract();
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("symbolic link"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::is_empty(root / "outside"));
}

TEST_F(ReadSafety, CodePagesMustKeepAsciiAndDecodedPathsAreJudgedAgain) {
  // Under EBCDIC (500) these bytes read "../../../..": pages whose ASCII
  // range is not ASCII are refused, for reading and for packing alike.
  build(setup, stub_bytes, {{"KKaKKaKKaKK", "evil.txt", {'x'}}, {".", "a.txt", {'a'}}, control()});
  for (const char* cp : {"500", "1026", "1140", "273", "930", "1364", "864", "65001", "20127"}) {
    SCOPED_TRACE(cp);
    const Result r = run({"extract", setup.string(), "-C", dst.string(), "--codepage", cp, "-q"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("whose first 128 characters are ASCII"), std::string::npos) << r.err;
    EXPECT_EQ(run({"test", setup.string(), "--codepage", cp}).code, 2);
  }
  EXPECT_FALSE(fs::exists(dst));
  write_text(root / "src" / "a.txt", "a");
  EXPECT_EQ(pack(root / "src", root / "p.exe", {"--run", "a.txt", "--codepage", "500"}).code, 2);
  for (const char* cp : {"874", "1250", "1258", "437", "850", "866"})
    EXPECT_EQ(run({"test", setup.string(), "--codepage", cp}).code, 0) << cp;
  // Bytes that pass the byte-wise check but not once decoded: DEL is a
  // control character, and 0xFD is a superscript 2 in page 437 (a device
  // name "COM2" spelled so), a y with acute in 1252.
  const struct { const char* name; const char* cp; const char* why; } cases[] = {
      {"a\x7f.txt", "1252", "control character"}, {"COM\xfd.txt", "437", "device"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    build(setup, stub_bytes, {{".", "a.txt", {'a'}}, {".", c.name, {'x'}}, control()});
    const Result r = run({"extract", setup.string(), "-C", dst.string(), "--codepage", c.cp, "-q"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("member refused"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
    EXPECT_EQ(run({"test", setup.string(), "--codepage", c.cp}).code, 1);
  }
  EXPECT_EQ(run({"test", setup.string(), "--codepage", "1252"}).code, 0);
  // A double-byte page's trail byte 0x5C is part of its character, no
  // separator: 表 (95 5C) and ソ (83 5C) are one file each, in folder 表.
  build(setup, stub_bytes, {{"\x95\x5c", "\x83\x5c.txt", {'s'}}, {".", "a.txt", {'a'}}, control()});
  fs::remove_all(dst);
  const Result j = run({"extract", setup.string(), "-C", dst.string(), "--codepage", "932", "-q"});
  EXPECT_EQ(j.code, 0) << j.err;
  EXPECT_EQ(read_bytes(dst / "\xe8\xa1\xa8" / "\xe3\x82\xbd.txt"), Bytes{'s'});
  EXPECT_NE(run({"list", setup.string(), "--codepage", "932"}).out.find("  \xe8\xa1\xa8/\xe3\x82\xbd.txt\n"),
            std::string::npos);
  // "." parts name no folder of their own, decoded or not.
  build(setup, stub_bytes, {{".", "a.txt", {'a'}}, control(), {".\\d/.", "b.txt", {'b'}}});
  const Result ok = run({"test", setup.string()});
  EXPECT_EQ(ok.code, 0) << ok.err;
}

TEST_F(ReadSafety, TestRefusesWhatTheStubCannotInstall) {
  const Entry a{".", "a.txt", {'a'}};
  const struct {
    std::vector<Entry> entries;
    const char* what;
  } cases[] = {
      {{a}, "no control file qtksfx.ini"},
      {{a, control("[other]\r\nrun=a.txt\r\n")}, "qtksfx.ini has no run= entry"},
      {{a, control("[system]\r\nrun=setup.exe\r\n")}, "run=setup.exe names no member"},
      // One file on Windows: letter case folded for the code page, not for ASCII alone.
      {{a, control(), {".", "caf\xe9.txt", {'1'}}, {".", "CAF\xc9.TXT", {'2'}}}, "are one file on Windows"},
      {{a, control(), {"D", "x", {'1'}}, {"d\\X", "y", {'2'}}}, "needs a folder where member D/x is a file"},
      {{a, control(), {".", "bad\x81.txt", {'1'}}}, "cannot be shown in UTF-8 from code page 1252"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    build(setup, stub_bytes, c.entries);
    const Result r = run({"test", setup.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(c.what), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("ok"), std::string::npos) << r.out;
  }
  // Extraction itself goes on: the files are fine, the run is what fails.
  build(setup, stub_bytes, {a});
  const Result x = run({"extract", setup.string(), "-C", dst.string()});
  EXPECT_EQ(x.code, 0) << x.err;
  EXPECT_NE(x.err.find("warning: " + setup.string() + ": no control file"), std::string::npos) << x.err;

  // Lengths that lie, each with good check bytes: a stored packet holding
  // fewer bytes than it claims, and a compressed one cut in half (its
  // decoder runs past the end). Neither may pass as ok.
  build(setup, stub_bytes, {{".", "a.txt", sample(3000, 7)}, control()});
  const Bytes good = read_bytes(setup);
  const auto offs = packet_offsets(good, stub_bytes.size(), good.size());
  const std::size_t at = offs[1];  // a.txt's data packet, compressed
  ASSERT_EQ(good[at], 0x04);
  std::uint32_t stored = 0;
  std::memcpy(&stored, good.data() + at + 5, 4);
  auto with_packet = [&](std::uint8_t type, std::uint32_t unpacked, const Bytes& payload) {
    Bytes pk{type, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const auto len = static_cast<std::uint32_t>(payload.size());
    std::memcpy(pk.data() + 1, &unpacked, 4);
    std::memcpy(pk.data() + 5, &len, 4);
    packet_check_bytes(type, len, unpacked, payload.data(), len, &pk[9], &pk[10]);
    pk.insert(pk.end(), payload.begin(), payload.end());
    Bytes b(good.begin(), good.begin() + static_cast<long>(at));
    b.insert(b.end(), pk.begin(), pk.end());
    b.insert(b.end(), good.begin() + static_cast<long>(at + 11 + stored), good.end());
    return b;
  };
  const Bytes half(good.begin() + static_cast<long>(at + 11), good.begin() + static_cast<long>(at + 11 + stored / 2));
  for (const Bytes& b : {with_packet(0x84, 3000, {'s', 'h', 'o', 'r', 't'}), with_packet(0x04, 3000, half)}) {
    write_bytes(setup, b);
    const Result r = run({"test", setup.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("offset " + std::to_string(at) + ", member a.txt"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("ok"), std::string::npos) << r.out;
  }
}

TEST_F(ReadSafety, NamesAreShownWithControlCharactersEscaped) {
  // A refused name whose escape sequences would clear the fault line and
  // write a false "ok" over the line above it.
  const std::string spoof = "x\x1b[2K\x1b[1A\x1b[8mspoof.exe: ok, 3 members in 1 volume\x1b[0m";
  build(setup, stub_bytes, {{".", "a.txt", {'a'}}, control(), {".", spoof, {'x'}}});
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"test", setup.string()}, {"list", setup.string()},
        {"extract", setup.string(), "-C", dst.string(), "-q"}}) {
    SCOPED_TRACE(args[0]);
    const Result r = run(args);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ((r.out + r.err).find('\x1b'), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("x\\x1b[2K\\x1b[1A\\x1b[8mspoof.exe"), std::string::npos) << r.err;
  }
  // An accepted name is listed escaped too: 0xFE is the right-to-left mark
  // in page 1256, and 0xFF outside UTF-8 shows as its byte.
  build(setup, stub_bytes, {{".", "a.txt", {'a'}}, control(), {".", "txt.\xfe" "exe", {'x'}}});
  const Result l = run({"list", setup.string(), "--codepage", "1256"});
  EXPECT_EQ(l.code, 0) << l.err;
  EXPECT_NE(l.out.find("txt.\\xe2\\x80\\x8f" "exe"), std::string::npos) << l.out;
  EXPECT_EQ(qtk::printable("ok \xff \xc3\xa9 \xc2\x9b"), "ok \\xff \xc3\xa9 \\xc2\\x9b");
  // Pack names the file it refuses in the same way.
  write_text(root / "src" / "a.txt", "a");
  write_text(root / "src" / ("b\x1b[1A.txt"), "b");
  const Result p = pack(root / "src", root / "p.exe", {"--run", "a.txt"});
  EXPECT_EQ(p.code, 1);
  EXPECT_NE(p.err.find("b\\x1b[1A.txt: the installer would refuse"), std::string::npos) << p.err;
  EXPECT_EQ(p.err.find('\x1b'), std::string::npos);
}

}  // namespace
