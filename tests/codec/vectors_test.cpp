// Known byte vectors and token sequences of the stream format.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec.h"
#include "codec_test_util.h"


static Bytes decompress(const Bytes& in, std::uint32_t cap, CodecDecodeStats* st = nullptr) {
  Bytes out(cap);
  EXPECT_EQ(codec_decompress_ex(in.data(), out.data(), static_cast<std::uint32_t>(in.size()), cap, st), 0);
  return out;
}

static Bytes str(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(CodecVectors, EmptyInputIsFourZeroBytes) {
  EXPECT_EQ(compress({}), (Bytes{0, 0, 0, 0}));
  CodecDecodeStats st{};
  Bytes out = decompress({0, 0, 0, 0}, 0, &st);
  EXPECT_EQ(st.produced, 0u);
  EXPECT_EQ(st.overread, 0u);
}

TEST(CodecVectors, KnownStreamsBothWays) {
  struct Case {
    Bytes plain;
    Bytes stream;
  } cases[] = {
      {str("abc"), {0x03, 0, 0, 0, 0xB0, 0xA8, 0xC2, 0x00}},
      {{0x41}, {0x01, 0, 0, 0, 0xCA, 0x80}},
      {Bytes(10, 0x61), {0x0A, 0, 0, 0, 0xB0, 0x3C, 0x6A, 0xC0}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(compress(c.plain), c.stream);
    CodecDecodeStats st{};
    EXPECT_EQ(decompress(c.stream, static_cast<std::uint32_t>(c.plain.size()), &st), c.plain);
    EXPECT_GE(st.overread, 1u);
    EXPECT_LE(st.overread, 2u);
  }
}

TEST(CodecVectors, TokenSequences) {
  using T = std::vector<Token>;
  EXPECT_EQ(trace_tokens(Bytes(200, 0x61)),
            (T{{'a', 0}, {-60, 0}, {-60, 0}, {-60, 0}, {-19, 0}}));
  EXPECT_EQ(trace_tokens(str("xyzQxyzRxyzA")),
            (T{{'x', 0}, {'y', 0}, {'z', 0}, {'Q', 0}, {-3, 3}, {'R', 0}, {-3, 7}, {'A', 0}}));
  EXPECT_EQ(trace_tokens(str("xyzQxyzRxyzS")),
            (T{{'x', 0}, {'y', 0}, {'z', 0}, {'Q', 0}, {-3, 3}, {'R', 0}, {-3, 3}, {'S', 0}}));
  // Leading spaces match into the pre-filled ring at once.
  T spaces = trace_tokens(str("     hello"));
  ASSERT_FALSE(spaces.empty());
  EXPECT_EQ(spaces[0].code, -5);
}

TEST(CodecVectors, LongMatchAfterOneLiteral) {
  // One literal, then position 0 length 60: 61 copies of the literal.
  Bytes s = compress(Bytes(61, 'q'));
  EXPECT_EQ(trace_tokens(Bytes(61, 'q')), (std::vector<Token>{{'q', 0}, {-60, 0}}));
  EXPECT_EQ(decompress(s, 61), Bytes(61, 'q'));
}

TEST(CodecVectors, SizeHeaderBeyondCapacityIsCutAtCapacity) {
  Bytes plain(1000);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>(i * 7 + i / 13);
  Bytes s = compress(plain);
  Bytes out(1100, 0xEE);
  ASSERT_EQ(codec_decompress(s.data(), out.data(), static_cast<std::uint32_t>(s.size()), 300), 0);
  EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + 300, out.begin()));
  EXPECT_EQ(out[300], 0xEE);
}

// Leaves a stretch of the stack below the caller full of 0xA5.
[[gnu::noinline]] void dirty_stack() {
  volatile std::uint8_t junk[64 * 1024];
  for (auto& b : junk) b = 0xA5;
}

TEST(CodecVectors, RingPositionsNeverWrittenReadAsZero) {
  // Size 60, then one match that copies from ring position 4036 on, which
  // no byte of this stream has written.
  const Bytes s{0x3C, 0, 0, 0, 0x00, 0x00, 0x01};
  for (int k = 0; k < 2; ++k) {
    dirty_stack();
    Bytes out(60, 0xEE);
    ASSERT_EQ(codec_decompress(s.data(), out.data(), static_cast<std::uint32_t>(s.size()), 60), 0);
    EXPECT_EQ(out, Bytes(60, 0)) << k;
  }
}

TEST(CodecVectors, ShortHeaderIsStatusOneWithReport) {
  const int before = codec_error_count();
  std::uint8_t in[3] = {1, 0, 0};
  std::uint8_t out[4];
  EXPECT_EQ(codec_decompress(in, out, 3, 4), 1);
  EXPECT_EQ(codec_error_count(), before + 1);
  EXPECT_EQ(codec_last_error(), 1);
}

TEST(CodecVectors, FirstRescaleAtCharacterCode32454) {
  // Every character code raises the total by one from 314; the ceiling of
  // 32767 is reached after 32453 updates, so the 32454th update rescales.
  EXPECT_EQ(first_rescale_update(), 32454u);
}

TEST(CodecModel, DivisionByTheTotalIsExact) {
  // The quotients the coder takes are floor(range * cum / total) with range
  // up to 2^17 and cum below total; check every total at the products where
  // a quotient is closest to being off by one: just below each multiple.
  const std::uint64_t* table = codec::division_table();
  for (std::uint32_t d = 1; d <= codec::kMaxCum; ++d) {
    const codec::Divider div(table, d);
    const std::uint32_t top = 0x20000u * (d - 1 ? d - 1 : 1);
    for (std::uint32_t n : {0u, 1u, d - 1, d, d + 1, top, top - 1, (top / d) * d, (top / d) * d - 1,
                            0xFFFFFFFFu / d * d - 1}) {
      ASSERT_EQ(div(n), n / d) << n << " / " << d;
    }
  }
}
