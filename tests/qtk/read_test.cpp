// qtk list, test and extract: refusals, damaged archives, and never
// writing outside the target folder.
#include <cstring>

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
// would refuse can be stored.
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
  Packet* p = packet_alloc(SFX_PACKET_SIZE);
  for (const Entry& e : entries) {
    ASSERT_EQ(w.put_member_header(e.dir.c_str(), e.name.c_str(), 1000000000), 0);
    std::uint32_t count = 0;
    const std::uint32_t chunk = sfx_data_chunk_size(volume);
    for (std::size_t off = 0; off < e.data.size(); off += chunk) {
      const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(chunk, e.data.size() - off));
      std::memcpy(p->data, e.data.data() + off, n);
      p->type = SFX_MEMBER_DATA;
      p->unpacked_len = n;
      p->stored_len = 0;
      std::vector<std::uint8_t> work(2 * SFX_PACKET_SIZE);
      const std::uint8_t* payload = nullptr;
      ASSERT_EQ(packet_encode(p, nullptr, work.data(), static_cast<std::uint32_t>(work.size() - 1), &payload), 0);
      ASSERT_EQ(w.put(*p, payload), 0);
      ++count;
    }
    ASSERT_EQ(w.put_member_end(static_cast<std::uint32_t>(e.data.size()), count), 0);
  }
  ASSERT_EQ(w.finish(), 0);
  packet_free(p);
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

}  // namespace
