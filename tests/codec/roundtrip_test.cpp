// Round trips of many sizes and shapes, determinism, and the decoder's
// read-ahead limit.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "codec.h"
#include "codec_testing.h"
#include "codec_test_util.h"

namespace {


void expect_round_trip(const Bytes& in, const char* what) {
  SCOPED_TRACE(what);
  SCOPED_TRACE(in.size());
  Bytes s = compress(in);
  Bytes out(in.size() + 1, 0xA5);
  CodecDecodeStats st{};
  ASSERT_EQ(codec_decompress_ex(s.data(), out.data(), static_cast<std::uint32_t>(s.size()),
                                static_cast<std::uint32_t>(in.size()), &st),
            0);
  EXPECT_EQ(st.produced, in.size());
  if (!in.empty()) {
    EXPECT_GE(st.overread, 1u);
    EXPECT_LE(st.overread, 2u);
    EXPECT_EQ(st.length, s.size());  // where the stream ends, to the byte
  }
  EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
  EXPECT_EQ(out[in.size()], 0xA5) << "wrote past the capacity";
  // Piece by piece, in pieces barely longer than a match and in odd ones:
  // the same bytes and the same figures, nothing lost between pieces.
  for (const std::uint32_t piece : {CODEC_STREAM_PIECE_MIN, 1000u}) {
    SCOPED_TRACE(piece);
    CodecStreamDecoder* dec = codec_stream_decoder_new(s.data(), static_cast<std::uint32_t>(s.size()));
    ASSERT_NE(dec, nullptr);
    Bytes got, buf(piece);
    while (const std::uint32_t n = codec_stream_decode(dec, buf.data(), piece))
      got.insert(got.end(), buf.begin(), buf.begin() + n);
    const CodecDecodeStats ps = codec_stream_decoder_stats(dec);
    codec_stream_decoder_free(dec);
    EXPECT_EQ(got, in);
    EXPECT_EQ(ps.produced, st.produced);
    EXPECT_EQ(ps.overread, st.overread);
    EXPECT_EQ(ps.length, st.length);
  }
}

Bytes shaped(std::size_t n, int shape, std::mt19937& rng) {
  Bytes b(n);
  static const char* words[] = {"the ", "installer ", "packet ", "ring ", "of ", "and ", "QTK ", "\r\n"};
  std::size_t i = 0;
  switch (shape) {
    case 0:  // random
      for (auto& c : b) c = static_cast<std::uint8_t>(rng());
      break;
    case 1:  // long runs of a few values
      while (i < n) {
        std::uint8_t v = static_cast<std::uint8_t>(rng() % 4);
        std::size_t run = 1 + rng() % 500;
        for (std::size_t k = 0; k < run && i < n; ++k) b[i++] = v;
      }
      break;
    case 2:  // text
      while (i < n) {
        const char* w = words[rng() % 8];
        for (const char* p = w; *p && i < n; ++p) b[i++] = static_cast<std::uint8_t>(*p);
      }
      break;
    case 3:  // leading spaces, then text with spaces
      for (; i < n && i < 100; ++i) b[i] = ' ';
      for (; i < n; ++i) b[i] = static_cast<std::uint8_t>(rng() % 3 ? ' ' : 'a' + rng() % 26);
      break;
    default:  // a short cycle: long matches at every distance near the window edge
      for (; i < n; ++i) b[i] = static_cast<std::uint8_t>((i % 4093) * 31 % 251);
      break;
  }
  return b;
}

}  // namespace

TEST(CodecRoundTrip, SizesAndShapes) {
  std::mt19937 rng(12345);
  const std::size_t sizes[] = {0, 1, 2, 3, 4, 5, 59, 60, 61, 62, 119, 120, 121, 4035, 4036, 4096,
                               4097, 8191, 20000, 65536, 100000, 100010, 300000};
  for (std::size_t n : sizes)
    for (int shape = 0; shape < 5; ++shape) expect_round_trip(shaped(n, shape, rng), "shape");
}

TEST(CodecRoundTrip, SmallInputsExhaustively) {
  // Every input of up to two bytes over a small alphabet, and all three-byte
  // mixes of space and 'a' (the pre-fill byte next to an ordinary one).
  for (int a = 0; a < 256; ++a) expect_round_trip(Bytes{static_cast<std::uint8_t>(a)}, "one");
  for (int a : {0, 32, 97, 255})
    for (int b = 0; b < 256; ++b)
      expect_round_trip(Bytes{static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)}, "two");
  for (int m = 0; m < 64; ++m) {
    Bytes b(6);
    for (int k = 0; k < 6; ++k) b[k] = (m >> k & 1) ? ' ' : 'a';
    expect_round_trip(b, "mix");
  }
}

TEST(CodecRoundTrip, CorpusFilesInPacketBlocks) {
  namespace fs = std::filesystem;
  const fs::path dir = QTK_CORPUS_DIR;
  if (!fs::exists(dir)) GTEST_SKIP() << "no corpus at " << dir;
  int files = 0;
  for (const auto& ent : fs::directory_iterator(dir)) {
    if (!ent.is_regular_file() || ent.path().extension() == ".md") continue;
    std::ifstream f(ent.path(), std::ios::binary);
    Bytes all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    for (std::size_t off = 0; off < all.size(); off += 100000) {
      Bytes block(all.begin() + static_cast<std::ptrdiff_t>(off),
                  all.begin() + static_cast<std::ptrdiff_t>(std::min(all.size(), off + 100000)));
      expect_round_trip(block, ent.path().filename().string().c_str());
    }
    ++files;
  }
  EXPECT_GT(files, 0);
}

TEST(CodecRoundTrip, OutputDoesNotDependOnEarlierCalls) {
  std::mt19937 rng(7);
  // Short inputs are where leftover ring bytes could leak into the choice of
  // matches, so they are compressed after long, different ones.
  std::vector<Bytes> inputs;
  for (std::size_t n : {3u, 10u, 59u, 61u, 130u, 5000u}) inputs.push_back(shaped(n, 3, rng));
  std::vector<Bytes> first;
  for (const auto& in : inputs) first.push_back(compress(in));
  for (int round = 0; round < 3; ++round) {
    compress(shaped(70000, round, rng));
    for (std::size_t k = 0; k < inputs.size(); ++k) {
      compress(shaped(50 + k * 7, 0, rng));
      EXPECT_EQ(compress(inputs[k]), first[k]);
    }
  }
  // A private encoder gives the same bytes as the shared one.
  CodecEncoder* e = codec_encoder_new();
  ASSERT_NE(e, nullptr);
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    Bytes out(inputs[k].size() * 2 + 64);
    std::uint32_t len = 0;
    ASSERT_EQ(codec_compress_with(e, inputs[k].data(), out.data(),
                                  static_cast<std::uint32_t>(inputs[k].size()),
                                  static_cast<std::uint32_t>(out.size()), &len),
              0);
    out.resize(len);
    EXPECT_EQ(out, first[k]);
  }
  codec_encoder_free(e);
}

TEST(CodecRoundTrip, DecodingTwiceGivesTheSameBytes) {
  std::mt19937 rng(99);
  Bytes in = shaped(50000, 2, rng);
  Bytes s = compress(in);
  Bytes a(in.size()), b(in.size());
  codec_decompress(s.data(), a.data(), static_cast<std::uint32_t>(s.size()), static_cast<std::uint32_t>(a.size()));
  codec_decompress(s.data(), b.data(), static_cast<std::uint32_t>(s.size()), static_cast<std::uint32_t>(b.size()));
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, in);
}

TEST(CodecRoundTrip, OutputFullIsStatusTwo) {
  std::mt19937 rng(5);
  Bytes in = shaped(1000, 0, rng);
  Bytes out(100);
  std::uint32_t len = 0;
  const int before = codec_error_count();
  EXPECT_EQ(codec_compress(in.data(), out.data(), 1000, 100, &len), 2);
  EXPECT_GT(len, 1000u) << "the length counts the dropped bytes";
  EXPECT_EQ(codec_error_count(), before + 1);
  EXPECT_EQ(codec_last_error(), 2);
}

TEST(CodecRoundTrip, TruncatedStreamIsReportedOnce) {
  std::mt19937 rng(3);
  Bytes in = shaped(20000, 2, rng);
  Bytes s = compress(in);
  s.resize(40);
  Bytes out(in.size());
  const int before = codec_error_count();
  EXPECT_EQ(codec_decompress(s.data(), out.data(), 40, static_cast<std::uint32_t>(out.size())), 0);
  EXPECT_EQ(codec_error_count(), before + 1);
  EXPECT_EQ(codec_last_error(), 2);
}
