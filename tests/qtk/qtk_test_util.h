// Helpers of the qtk tests: a scratch folder, files, and running commands.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "qtk.h"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

inline Bytes read_bytes(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline void write_bytes(const fs::path& p, const Bytes& b) {
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

inline void write_text(const fs::path& p, const std::string& s) {
  write_bytes(p, Bytes(s.begin(), s.end()));
}

// Deterministic bytes: half text-like (compressible), half noise.
inline Bytes sample(std::size_t n, std::uint32_t seed) {
  Bytes b(n);
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    b[i] = (i / 4096) % 2 ? static_cast<std::uint8_t>(x >> 24) : static_cast<std::uint8_t>("abcab "[(x >> 20) % 6]);
  }
  return b;
}

struct Result {
  int code;
  std::string out, err;
};

struct QtkTest : ::testing::Test {
  fs::path root;
  fs::path stub;

  void SetUp() override {
    char tmpl[] = "/tmp/qtk_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root = tmpl;
    stub = root / "stub.bin";
    write_bytes(stub, sample(300, 99));
    qtk::g_interrupted = false;
    unsetenv("SOURCE_DATE_EPOCH");  // the tests expect the files' own times (a package build may set it)
  }
  void TearDown() override { fs::remove_all(root); }

  Result run(std::vector<std::string> args) {
    std::ostringstream out, err;
    const int rc = qtk::run_command(args, out, err, false);
    return {rc, out.str(), err.str()};
  }
  // Packs `dir` into `out` with the test stub; extra options appended.
  Result pack(const fs::path& dir, const fs::path& out, std::vector<std::string> extra = {}) {
    std::vector<std::string> a{"pack", dir.string(), "-o", out.string(), "--stub", stub.string(), "-q"};
    a.insert(a.end(), extra.begin(), extra.end());
    return run(a);
  }
};

// Equal trees: same files, same bytes, same modification times.
inline void expect_same_tree(const fs::path& a, const fs::path& b) {
  std::vector<std::string> fa, fb;
  for (const auto& e : fs::recursive_directory_iterator(a))
    if (e.is_regular_file()) fa.push_back(fs::relative(e.path(), a).string());
  for (const auto& e : fs::recursive_directory_iterator(b))
    if (e.is_regular_file()) fb.push_back(fs::relative(e.path(), b).string());
  std::sort(fa.begin(), fa.end());
  std::sort(fb.begin(), fb.end());
  ASSERT_EQ(fa, fb);
  for (const std::string& f : fa) {
    EXPECT_EQ(read_bytes(a / f), read_bytes(b / f)) << f;
    struct stat sa{}, sb{};
    stat((a / f).c_str(), &sa);
    stat((b / f).c_str(), &sb);
    EXPECT_EQ(sa.st_mtim.tv_sec, sb.st_mtim.tv_sec) << f;
  }
}
