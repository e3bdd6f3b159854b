// qtk list, test and extract: refusals, damaged archives, and never
// writing outside the target folder.
#include <cstring>
#include <map>

#include "archive_write.h"
#include "qtk_test_util.h"

namespace {

struct Entry {
  std::string dir, name;
  Bytes data;
};

// The control file that starts a.txt.
Entry control(const std::string& text = "[system]\r\nrun=a.txt\r\n") {
  return {".", "qtksfx.ini", Bytes(text.begin(), text.end())};
}

// Writes an installer with the archive writer itself, so that names pack
// would refuse can be stored. Each chunk goes whole in one packet (no
// packet is split to fill a volume), so that the packets stand where the
// tests count them.
void build(const fs::path& out, const Bytes& stub, const std::vector<Entry>& entries, std::uint64_t volume = 0) {
  ASSERT_EQ(codec_init(SFX_PACKET_SIZE), 0);
  std::FILE* f = std::fopen(out.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(stub.data(), 1, stub.size(), f);
  std::string last = out.string();
  SfxArchiveWriter w(
      f, static_cast<std::uint32_t>(stub.size()), volume,
      [&](int v) {
        char next[4096];
        sfx_next_volume_name(last.c_str(), v - 1, next, sizeof next);
        last = next;
        return std::fopen(next, "wb");
      },
      [](int, std::FILE* g) { return std::fclose(g); });
  ASSERT_EQ(w.begin(), 0);
  PacketEncoder pe{};
  ASSERT_EQ(packet_encoder_init(&pe, SFX_PACKET_SIZE), 0);
  for (const Entry& e : entries) {
    ASSERT_EQ(w.put_member_header(e.dir.c_str(), e.name.c_str(), 1000000000), 0);
    std::uint32_t count = 0;
    const std::uint32_t chunk = sfx_data_chunk_size(volume);
    for (std::size_t off = 0; off < e.data.size(); off += chunk, ++count) {
      const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(chunk, e.data.size() - off));
      std::memcpy(pe.packet->data, e.data.data() + off, n);
      pe.packet->type = SFX_MEMBER_DATA;
      pe.packet->unpacked_len = n;
      ASSERT_EQ(packet_encoder_run(&pe), 0);
      ASSERT_EQ(w.put(*pe.packet, pe.payload), 0);
    }
    ASSERT_EQ(w.put_member_end(static_cast<std::uint32_t>(e.data.size()), count), 0);
  }
  packet_encoder_release(&pe);
  ASSERT_EQ(w.finish(), 0);
  std::fclose(f);
}

struct Read : QtkTest {
  fs::path setup, dst;
  Bytes stub_bytes;
  void SetUp() override {
    QtkTest::SetUp();
    setup = root / "setup.exe";
    dst = root / "dst";
    stub_bytes = read_bytes(stub);
  }
  Result extract() { return run({"extract", setup.string(), "-C", dst.string(), "-q"}); }
};

TEST_F(Read, ExtractRefusesUnsafeMembersAndWritesNothingOutside) {
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

TEST_F(Read, UnterminatedHeaderFieldsAreRefused) {
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

TEST_F(Read, ExtractDoesNotFollowSymbolicLinks) {
  build(setup, stub_bytes, {{"link", "x.txt", {'x'}}});
  fs::create_directories(dst);
  fs::create_directories(root / "outside");
  fs::create_directory_symlink(root / "outside", dst / "link");
  const Result r = extract();
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("symbolic link"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::is_empty(root / "outside"));
}

// Packet offsets of an installer, read from its bytes.
std::vector<std::size_t> packet_offsets(const Bytes& b, std::size_t from, std::size_t end) {
  std::vector<std::size_t> offs;
  for (std::size_t at = from; at + 11 <= end;) {
    offs.push_back(at);
    std::uint32_t stored = 0, unpacked = 0;
    std::memcpy(&unpacked, b.data() + at + 1, 4);
    std::memcpy(&stored, b.data() + at + 5, 4);
    if ((b[at] & 0x7F) == 1) break;
    at += 11 + (unpacked ? stored : 0);
  }
  return offs;
}

TEST_F(Read, AFlippedByteInAnyPacketIsFound) {
  build(setup, stub_bytes, {{".", "a.txt", sample(150000, 3)}, {"d", "empty", {}}, control()});
  ASSERT_EQ(run({"test", setup.string()}).code, 0);
  const Bytes good = read_bytes(setup);
  const auto offs = packet_offsets(good, stub_bytes.size(), good.size());
  ASSERT_EQ(offs.size(), 10u);  // 3 headers, 3 data, 3 ends, archive end
  for (std::size_t k = 0; k + 1 < offs.size(); ++k) {
    SCOPED_TRACE(k);
    const std::size_t next = offs[k + 1];
    for (std::size_t at : {offs[k] + 9, offs[k] + (next - offs[k]) / 2 + 5, next - 1}) {
      if (at >= next || at < offs[k] + 9) continue;
      Bytes bad = good;
      bad[at] ^= 0x20;
      write_bytes(setup, bad);
      const Result r = run({"test", setup.string()});
      EXPECT_EQ(r.code, 1);
      EXPECT_NE(r.err.find("offset " + std::to_string(offs[k])), std::string::npos) << r.err;
      EXPECT_NE(r.err.find("check bytes disagree"), std::string::npos) << r.err;
      EXPECT_EQ(extract().code, 1);
    }
  }
}

TEST_F(Read, DamagedArchivesAreReportedClearly) {
  build(setup, stub_bytes, {{".", "a.txt", sample(1000, 4)}});
  const Bytes good = read_bytes(setup);
  const auto offs = packet_offsets(good, stub_bytes.size(), good.size());
  auto expect = [&](const Bytes& b, const char* what) {
    write_bytes(setup, b);
    const Result r = run({"test", setup.string()});
    EXPECT_EQ(r.code, 1) << what;
    EXPECT_NE(r.err.find(what), std::string::npos) << r.err;
    EXPECT_EQ(extract().code, 1) << what;
    EXPECT_EQ(run({"list", setup.string()}).code, 1) << what;
  };
  // Truncated inside a data packet, trailer kept.
  Bytes t(good.begin(), good.begin() + static_cast<long>(offs[1] + 20));
  t.insert(t.end(), good.end() - 8, good.end());
  expect(t, "cut short");
  // No archive end: the last member's end, then the trailer.
  Bytes m(good.begin(), good.begin() + static_cast<long>(offs.back()));
  m.insert(m.end(), good.end() - 8, good.end());
  expect(m, "without an archive-end packet");
  // Trailer pointing past the end.
  Bytes p = good;
  p[p.size() - 8] = 0xFF;
  p[p.size() - 7] = 0xFF;
  expect(p, "points past the end");
  // Not an installer at all.
  expect(stub_bytes, "not an installer");
  // A member end that disagrees with the data.
  build(setup, stub_bytes, {{".", "a.txt", {'a', 'b'}}});
  Bytes e = read_bytes(setup);
  const auto eo = packet_offsets(e, stub_bytes.size(), e.size());
  // Rewrite the member end (stored or compressed) as stored with total 3.
  Bytes tail(e.begin() + static_cast<long>(eo[3]), e.end());
  Bytes end_pk{0x83, 8, 0, 0, 0, 8, 0, 0, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0};
  packet_check_bytes(0x83, 8, 8, end_pk.data() + 11, 8, &end_pk[9], &end_pk[10]);
  Bytes nb(e.begin(), e.begin() + static_cast<long>(eo[2]));
  nb.insert(nb.end(), end_pk.begin(), end_pk.end());
  nb.insert(nb.end(), tail.begin(), tail.end());
  std::uint32_t pp = static_cast<std::uint32_t>(stub_bytes.size());
  std::memcpy(nb.data() + nb.size() - 8, &pp, 4);
  write_bytes(setup, nb);
  const Result r = run({"test", setup.string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("member a.txt: member end: total disagrees"), std::string::npos) << r.err;
}

TEST_F(Read, MissingVolumeIsNamed) {
  build(setup, stub_bytes, {{".", "a.txt", sample(20000, 6)}, control()}, 2000);
  ASSERT_TRUE(fs::exists(root / "setup.002"));
  EXPECT_EQ(run({"test", setup.string()}).code, 0);
  fs::remove(root / "setup.002");
  const Result r = run({"test", setup.string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("volume 3 is missing: looked for " + (root / "setup.002").string()), std::string::npos)
      << r.err;
  EXPECT_EQ(extract().code, 1);
}

// The files below a folder and their bytes.
std::map<std::string, Bytes> tree_bytes(const fs::path& dir) {
  std::map<std::string, Bytes> t;
  if (fs::exists(dir))
    for (const auto& e : fs::recursive_directory_iterator(dir))
      if (e.is_regular_file()) t[fs::relative(e.path(), dir).string()] = read_bytes(e.path());
  return t;
}

TEST_F(Read, ThreadsChangeNothingButTheSpeed) {
  // Test and extract with 1 thread and with several: the same output, the
  // same faults in the same order, the same exit code, the same files.
  auto same_with_threads = [&](const char* what) {
    SCOPED_TRACE(what);
    Result t1, x1;
    const fs::path into = root / "x";
    for (const char* jobs : {"1", "2", "5"}) {
      const Result t = run({"test", setup.string(), "-j", jobs});
      const Result x = run({"extract", setup.string(), "-C", into.string(), "--jobs", jobs});
      if (jobs[0] == '1') {
        t1 = t;
        x1 = x;
        fs::rename(into, root / "x1");
        continue;
      }
      SCOPED_TRACE(jobs);
      EXPECT_EQ(t.code, t1.code);
      EXPECT_EQ(t.out, t1.out);
      EXPECT_EQ(t.err, t1.err);
      EXPECT_EQ(x.code, x1.code);
      EXPECT_EQ(x.out, x1.out);
      EXPECT_EQ(x.err, x1.err);
      EXPECT_EQ(tree_bytes(into), tree_bytes(root / "x1"));
      if (x.code == 0) expect_same_tree(into, root / "x1");
      fs::remove_all(into);
    }
    fs::remove_all(root / "x1");
    return std::pair{t1, x1};
  };
  const std::vector<Entry> entries{{".", "a.txt", sample(250000, 11)}, {"d", "b.bin", sample(220000, 12)},
                                   {"d\\e", "c.txt", sample(5000, 13)}, control()};
  build(setup, stub_bytes, entries);
  auto [good_test, good_extract] = same_with_threads("good");
  EXPECT_EQ(good_test.code, 0) << good_test.err;
  EXPECT_NE(good_test.out.find("ok, 4 members in 1 volume"), std::string::npos) << good_test.out;
  EXPECT_EQ(good_extract.code, 0) << good_extract.err;

  // Damage of every kind the test goes on after: a flipped byte in a.txt's
  // second data packet, b.bin's first data packet cut to half its payload
  // with check bytes to match (it fails to decode), a flipped byte in
  // c.txt's header (its data and end then stand at the top level).
  Bytes b = read_bytes(setup);
  const auto offs = packet_offsets(b, stub_bytes.size(), b.size());
  ASSERT_EQ(offs.size(), 17u);  // 4 headers, 3 + 3 + 1 + 1 data, 4 ends, archive end
  ASSERT_EQ(b[offs[6]], 0x04);
  b[offs[10] + 20] ^= 0x01;
  {
    const std::size_t at = offs[6];
    std::uint32_t stored = 0, unpacked = 0;
    std::memcpy(&unpacked, b.data() + at + 1, 4);
    std::memcpy(&stored, b.data() + at + 5, 4);
    const std::uint32_t half = stored / 2;
    std::memcpy(b.data() + at + 5, &half, 4);
    packet_check_bytes(0x04, half, unpacked, b.data() + at + 11, half, &b[at + 9], &b[at + 10]);
    b.erase(b.begin() + static_cast<long>(at + 11 + half), b.begin() + static_cast<long>(at + 11 + stored));
  }
  b[offs[2] + 500] ^= 0x40;
  write_bytes(setup, b);
  auto [bad_test, bad_extract] = same_with_threads("damaged");
  EXPECT_EQ(bad_test.code, 1);
  EXPECT_NE(bad_test.err.find("offset " + std::to_string(offs[2]) + ", member a.txt: check bytes disagree"),
            std::string::npos)
      << bad_test.err;
  EXPECT_NE(bad_test.err.find("offset " + std::to_string(offs[6]) + ", member d/b.bin: "), std::string::npos)
      << bad_test.err;
  EXPECT_NE(bad_test.err.find("packet type 4 may not stand at the top level"), std::string::npos) << bad_test.err;
  EXPECT_NE(bad_test.err.find(": 5 faults"), std::string::npos) << bad_test.err;
  EXPECT_EQ(bad_extract.code, 1);
  EXPECT_NE(bad_extract.err.find("member a.txt: check bytes disagree"), std::string::npos) << bad_extract.err;
  EXPECT_EQ(bad_extract.err.find("b.bin"), std::string::npos) << bad_extract.err;

  // Many volumes, read ahead across their ends; then one missing among them.
  build(setup, stub_bytes, entries, 30000);
  ASSERT_TRUE(fs::exists(root / "setup.012"));
  auto [vol_test, vol_extract] = same_with_threads("volumes");
  EXPECT_EQ(vol_test.code, 0) << vol_test.err;
  EXPECT_EQ(vol_extract.code, 0) << vol_extract.err;
  fs::remove(root / "setup.007");
  auto [gap_test, gap_extract] = same_with_threads("a volume missing");
  EXPECT_EQ(gap_test.code, 1);
  EXPECT_NE(gap_test.err.find("volume 8 is missing"), std::string::npos) << gap_test.err;
  EXPECT_EQ(gap_extract.code, 1);
}

TEST_F(Read, ExtractOverwritesAndKeepsTimes) {
  build(setup, stub_bytes, {{"d\\e", "a.txt", {'n', 'e', 'w'}}, {".", "zero", {}}});
  write_text(dst / "d" / "e" / "a.txt", "old contents");
  // A hard link to a file outside is replaced, the file outside kept.
  write_text(root / "outside.txt", "keep");
  fs::create_hard_link(root / "outside.txt", dst / "zero");
  ASSERT_EQ(extract().code, 0);
  EXPECT_EQ(read_bytes(root / "outside.txt"), (Bytes{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(read_bytes(dst / "d" / "e" / "a.txt"), (Bytes{'n', 'e', 'w'}));
  EXPECT_TRUE(fs::exists(dst / "zero"));
  struct stat st{};
  stat((dst / "zero").c_str(), &st);
  EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
}

TEST_F(Read, CodePagesMustKeepAsciiAndDecodedPathsAreJudgedAgain) {
  // Under EBCDIC (500) these bytes read "../../../..": pages whose ASCII
  // range is not ASCII are refused, for reading and for packing alike.
  build(setup, stub_bytes, {{"KKaKKaKKaKK", "evil.txt", {'x'}}, {".", "a.txt", {'a'}}, control()});
  for (const char* cp : {"500", "1026", "1140", "273", "930", "1364", "864", "932", "65001", "20127"}) {
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
  // "." parts name no folder of their own, decoded or not.
  build(setup, stub_bytes, {{".", "a.txt", {'a'}}, control(), {".\\d/.", "b.txt", {'b'}}});
  const Result ok = run({"test", setup.string()});
  EXPECT_EQ(ok.code, 0) << ok.err;
}

TEST_F(Read, TestRefusesWhatTheStubCannotInstall) {
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

TEST_F(Read, NamesAreShownWithControlCharactersEscaped) {
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
