// The fast codec against the plain transcription: identical streams from
// the compressor, identical bytes and read-ahead from the decompressor.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "codec.h"
#include "codec_test_util.h"
#include "reference_codec.h"

namespace {


void check_same(const Bytes& in) {
  const Bytes expect = ref::compress(in);
  const Bytes got = compress(in);
  ASSERT_EQ(got, expect) << "input of " << in.size() << " bytes";
  std::uint32_t ref_over = 0;
  ASSERT_EQ(ref::decompress(expect, &ref_over), in);
  Bytes out(in.size());
  CodecDecodeStats st{};
  codec_decompress_ex(got.data(), out.data(), static_cast<std::uint32_t>(got.size()),
                      static_cast<std::uint32_t>(out.size()), &st);
  EXPECT_EQ(out, in);
  if (!in.empty()) {
    EXPECT_EQ(st.overread, ref_over);
  }
}

}  // namespace

TEST(CodecReference, RandomShapes) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 300; ++round) {
    const std::size_t n = round < 100 ? rng() % 200 : rng() % 20000;
    Bytes b(n);
    const unsigned alphabet = 1 + static_cast<unsigned>(rng() % (round % 3 == 0 ? 256 : 4));
    const unsigned runs = static_cast<unsigned>(rng() % 3);
    for (std::size_t i = 0; i < n; ++i) {
      if (runs && i > 70 && rng() % 8 < runs) {
        b[i] = b[i - 1 - rng() % 70];  // copies: matches of every length and distance
      } else {
        b[i] = static_cast<std::uint8_t>(rng() % alphabet + (round % 5 == 0 ? ' ' : 'a'));
      }
    }
    check_same(b);
    if (HasFatalFailure()) return;
  }
}

TEST(CodecReference, CorpusBlocks) {
  namespace fs = std::filesystem;
  const fs::path dir = QTK_CORPUS_DIR;
  if (!fs::exists(dir)) GTEST_SKIP() << "no corpus at " << dir;
  for (const auto& ent : fs::directory_iterator(dir)) {
    if (!ent.is_regular_file() || ent.path().extension() == ".md") continue;
    std::ifstream f(ent.path(), std::ios::binary);
    Bytes all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    // The first block of each file, and a short tail, where the ring bytes
    // beyond the input take part in the choice of the last match.
    Bytes head(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(all.size(), 100000)));
    SCOPED_TRACE(ent.path().filename().string());
    check_same(head);
    check_same(Bytes(all.end() - 97, all.end()));
  }
}
