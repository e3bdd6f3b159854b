// qtk list, test and extract: damage found and named, volumes, threads, times.
#include <cerrno>

#include "read_fixture.h"

namespace {

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

TEST_F(Read, SwappedBytesThatTheCheckBytesLetPassAreFoundByTheChecksum) {
  // Noise, which pack stores as it is: swapping two of its bytes keeps the
  // packet's sum and xor.
  fs::create_directories(root / "tree");
  Bytes noise(3000);
  std::uint32_t x = 7;
  for (auto& b : noise) b = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 23);
  write_bytes(root / "tree" / "a.bin", noise);
  ASSERT_EQ(run({"pack", (root / "tree").string(), "-o", setup.string(), "--stub", stub.string(), "--run", "a.bin",
                 "-q"})
                .code,
            0);
  Bytes b = read_bytes(setup);
  const auto offs = packet_offsets(b, stub_bytes.size(), b.size());
  ASSERT_EQ(b[offs[1]], SFX_MEMBER_DATA | PACKET_STORED);
  std::swap(b[offs[1] + 100], b[offs[1] + 200]);
  write_bytes(setup, b);
  const Result r = run({"test", setup.string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("member a.bin: content checksum: CRC-32C"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("check bytes"), std::string::npos) << r.err;
  EXPECT_EQ(extract().code, 1);
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

TEST_F(Read, VolumesTheInstallerCannotReadAreFaults) {
  // Volume 1: the same archive behind 2 GiB of holes. qtk reads it, the
  // installer's 32-bit file positions do not reach its trailer.
  build(setup, stub_bytes, {{".", "a.txt", sample(1000, 4)}, control()});
  Bytes good = read_bytes(setup);
  constexpr std::uint64_t kHoles = 1ull << 31;
  const auto p = static_cast<std::uint32_t>(stub_bytes.size() + kHoles);
  std::memcpy(good.data() + good.size() - 8, &p, 4);
  const fs::path big = root / "big.exe";
  {
    std::ofstream f(big, std::ios::binary);
    f.seekp(static_cast<std::streamoff>(kHoles));
    f.write(reinterpret_cast<const char*>(good.data()), static_cast<std::streamsize>(good.size()));
  }
  const std::string what = ": " + std::to_string(kHoles + good.size()) +
                           " bytes, more than the installer can read (its file positions end at 2147483647)";
  Result r = run({"test", big.string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "qtk: " + big.string() + what + "\nqtk: " + big.string() + ": 1 fault\n");
  // Extract warns and goes on: qtk itself reads the volume.
  r = run({"extract", big.string(), "-C", dst.string()});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.err.find("warning: " + big.string() + what), std::string::npos) << r.err;
  EXPECT_TRUE(fs::exists(dst / "a.txt"));

  // A later volume, grown past the limit after its volume end.
  build(setup, stub_bytes, {{".", "a.txt", sample(20000, 6)}, control()}, 2000);
  fs::resize_file(root / "setup.001", kHoles);
  r = run({"test", setup.string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("qtk: " + (root / "setup.001").string() + ": 2147483648 bytes, more than the installer"),
            std::string::npos)
      << r.err;
  fs::resize_file(root / "setup.001", kHoles - 1);
  EXPECT_EQ(run({"test", setup.string(), "-q"}).code, 0);

  // A folder where a volume is expected is said to be one.
  r = run({"list", dst.string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "qtk: " + dst.string() + ": " + std::strerror(EISDIR) + "\n");
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

}  // namespace
