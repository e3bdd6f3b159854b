// qtk compress / decompress: raw streams, and refusing bad ones without
// leaving output behind.
#include <sys/resource.h>

#include <algorithm>
#include <cstring>

#include "qtk_test_util.h"

namespace {

struct Stream : QtkTest {
  // Nothing but the inputs in the scratch folder: no output, no temporary.
  void expect_only(std::initializer_list<const char*> names) {
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(root)) {
      const std::string name = e.path().filename().string();
      if (name == "stub.bin") continue;
      bool known = false;
      for (const char* k : names) known = known || name == k;
      EXPECT_TRUE(known) << "left behind: " << name;
      ++n;
    }
    EXPECT_EQ(n, names.size());
  }
};

TEST_F(Stream, RoundTripsAndWritesTheKnownBytes) {
  write_text(root / "abc", "abc");
  ASSERT_EQ(run({"compress", (root / "abc").string(), (root / "abc.qz").string()}).code, 0);
  EXPECT_EQ(read_bytes(root / "abc.qz"), (Bytes{0x03, 0, 0, 0, 0xB0, 0xA8, 0xC2, 0x00}));
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{70000}, std::size_t{250000}}) {
    const Bytes b = sample(n, static_cast<std::uint32_t>(n));
    write_bytes(root / "in", b);
    ASSERT_EQ(run({"compress", (root / "in").string(), (root / "in.qz").string()}).code, 0);
    const Result r = run({"decompress", (root / "in.qz").string(), (root / "out").string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(read_bytes(root / "out"), b);
  }
}

TEST_F(Stream, BadStreamsAreRefusedInOneLineAndLeaveNoOutput) {
  write_bytes(root / "in", sample(40000, 5));
  ASSERT_EQ(run({"compress", (root / "in").string(), (root / "good.qz").string()}).code, 0);
  const Bytes good = read_bytes(root / "good.qz");
  Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2));
  Bytes longer = good;
  longer.insert(longer.end(), {1, 2, 3});
  write_bytes(root / "cut.qz", cut);
  write_bytes(root / "long.qz", longer);
  write_bytes(root / "short.qz", {7, 0});
  write_bytes(root / "huge.qz", {0xFF, 0xFF, 0xFF, 0xFF, 0x12});
  for (const char* name : {"cut.qz", "long.qz", "short.qz", "huge.qz", "missing.qz"}) {
    const Result r = run({"decompress", (root / name).string(), (root / "out").string()});
    EXPECT_EQ(r.code, 1) << name;
    EXPECT_NE(r.err.find(name), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  expect_only({"in", "good.qz", "cut.qz", "long.qz", "short.qz", "huge.qz"});
  // Not even one byte may follow: the coder's end fixes the stream's last
  // byte (the decoder reads one or two bytes beyond it either way).
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    write_bytes(root / "in", sample(1000 + 77 * seed, seed));
    ASSERT_EQ(run({"compress", (root / "in").string(), (root / "one.qz").string()}).code, 0);
    Bytes one_more = read_bytes(root / "one.qz");
    one_more.push_back(0);
    write_bytes(root / "one.qz", one_more);
    EXPECT_EQ(run({"decompress", (root / "one.qz").string(), (root / "out").string()}).code, 1) << seed;
  }
  EXPECT_EQ(run({"decompress", "only-one"}).code, 2);
}

TEST_F(Stream, MemoryFollowsTheOutputNotTheHeadersClaim) {
  // 256 KiB of noise whose header claims 150 MB: refused as soon as the
  // decoder runs past the end, without taking what the header claims.
  Bytes b(4 + (256 << 10));
  const std::uint32_t claim = 150000000;
  std::memcpy(b.data(), &claim, 4);
  std::uint32_t x = 12345;
  for (std::size_t i = 4; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  write_bytes(root / "noise.qz", b);
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  const Result r = run({"decompress", (root / "noise.qz").string(), (root / "out").string()});
  getrusage(RUSAGE_SELF, &after);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("ends too early"), std::string::npos) << r.err;
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 << 10) << "KiB";
  expect_only({"noise.qz"});
}

}  // namespace
