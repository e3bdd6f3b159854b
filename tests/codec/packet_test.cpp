// Packet framing: statuses, layouts and check bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "codec.h"
#include "codec_testing.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

struct Mem {
  std::FILE* f = std::tmpfile();
  ~Mem() { std::fclose(f); }
  Bytes bytes() {
    std::fflush(f);
    long end = std::ftell(f);
    Bytes b(static_cast<std::size_t>(end));
    std::rewind(f);
    if (!b.empty()) {
      EXPECT_EQ(std::fread(b.data(), 1, b.size(), f), b.size());
    }
    return b;
  }
  void set(const Bytes& b) {
    std::rewind(f);
    if (!b.empty()) std::fwrite(b.data(), 1, b.size(), f);
    std::fflush(f);
    std::rewind(f);
  }
};

struct PacketTest : ::testing::Test {
  Packet* p = nullptr;
  void SetUp() override {
    ASSERT_EQ(codec_init(100000), 0);
    p = packet_alloc(100000);
    ASSERT_NE(p, nullptr);
  }
  void TearDown() override { packet_free(p); }
  Bytes write(std::uint8_t type, const Bytes& data) {
    p->type = type;
    p->unpacked_len = static_cast<std::uint32_t>(data.size());
    p->stored_len = (type & PACKET_STORED) ? p->unpacked_len : 0;
    std::copy(data.begin(), data.end(), p->data);
    Mem m;
    EXPECT_EQ(packet_write(p, m.f), 0);
    return m.bytes();
  }
  int read(const Bytes& stream) {
    Mem m;
    m.set(stream);
    return packet_read(p, m.f);
  }
};

}  // namespace

TEST_F(PacketTest, StoredWhenCompressionDoesNotPay) {
  Bytes s = write(2, {'a', 'b', 'c'});
  EXPECT_EQ(s, (Bytes{0x82, 3, 0, 0, 0, 3, 0, 0, 0, 0xAE, 0xE2, 'a', 'b', 'c'}));
  ASSERT_EQ(read(s), 0);
  EXPECT_EQ(p->type, 2);
  EXPECT_EQ(Bytes(p->data, p->data + 3), (Bytes{'a', 'b', 'c'}));
}

TEST_F(PacketTest, CompressedWhenShorter) {
  Bytes s = write(2, Bytes(10, 0x61));
  EXPECT_EQ(s, (Bytes{0x02, 0x0A, 0, 0, 0, 0x08, 0, 0, 0, 0x34, 0x2C, 0x0A, 0, 0, 0, 0xB0, 0x3C, 0x6A, 0xC0}));
  ASSERT_EQ(read(s), 0);
  EXPECT_EQ(p->type, 2);
  EXPECT_EQ(p->unpacked_len, 10u);
  EXPECT_EQ(Bytes(p->data, p->data + 10), Bytes(10, 0x61));
}

TEST_F(PacketTest, EqualLengthIsStored) {
  // These 23 bytes compress to a stream of exactly 23 bytes, which does not
  // pay: the packet is stored.
  const std::string text = "ddcdacabbabcadaaabaabab";
  const Bytes d(text.begin(), text.end());
  Bytes out(200);
  std::uint32_t len = 0;
  ASSERT_EQ(codec_compress(d.data(), out.data(), 23, 200, &len), 0);
  ASSERT_EQ(len, 23u);
  Bytes s = write(4, d);
  EXPECT_EQ(s[0], 0x84);
  EXPECT_EQ(s.size(), 11u + 23u);
}

TEST_F(PacketTest, EmptyPacket) {
  Bytes s = write(2, {});
  EXPECT_EQ(s, (Bytes{0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0x02, 0x02}));
  ASSERT_EQ(read(s), 0);
  EXPECT_EQ(p->unpacked_len, 0u);
}

TEST_F(PacketTest, EndOfFileStatuses) {
  Bytes s = write(4, Bytes(5000, 'x'));
  EXPECT_EQ(read({}), 999);
  EXPECT_EQ(read({s[0]}), 2);
  EXPECT_EQ(read(Bytes(s.begin(), s.begin() + 10)), 2);
  EXPECT_EQ(read(Bytes(s.begin(), s.end() - 1)), 2);
  // Two packets back to back, then end of file at the boundary.
  Mem m;
  Bytes two = s;
  two.insert(two.end(), s.begin(), s.end());
  m.set(two);
  EXPECT_EQ(packet_read(p, m.f), 0);
  EXPECT_EQ(packet_read(p, m.f), 0);
  EXPECT_EQ(packet_read(p, m.f), 999);
}

TEST_F(PacketTest, CheckBytes) {
  Bytes data;
  for (int k = 0; k < 3000; ++k) data.push_back(static_cast<std::uint8_t>(k * k % 253));
  Bytes s = write(4, data);
  // Any flipped byte outside the check bytes is caught.
  for (std::size_t at : {std::size_t{0}, std::size_t{3}, std::size_t{7}, std::size_t{11}, s.size() / 2, s.size() - 1}) {
    Bytes bad = s;
    bad[at] ^= 0x10;
    EXPECT_NE(read(bad), 0) << at;
  }
  Bytes bad = s;
  bad[9] ^= 1;
  EXPECT_EQ(read(bad), 5);
  // Swapping two payload bytes keeps both check bytes.
  Bytes swapped = s;
  std::swap(swapped[20], swapped[21]);
  ASSERT_NE(swapped[20], swapped[21]);
  EXPECT_NE(read(swapped), 5);
  std::uint8_t cs = 0, cx = 0;
  p->type = s[0];
  p->unpacked_len = 3000;
  p->stored_len = static_cast<std::uint32_t>(s.size() - 11);
  std::copy(swapped.begin() + 11, swapped.end(), p->data);
  packet_check(p, &cs, &cx);
  EXPECT_EQ(cs, s[9]);
  EXPECT_EQ(cx, s[10]);
}

TEST_F(PacketTest, ArchiveEndTypesSkipTheCheck) {
  for (std::uint8_t t : {std::uint8_t{1}, std::uint8_t{0x81}, std::uint8_t{2}, std::uint8_t{0x85}}) {
    Bytes s{t, 3, 0, 0, 0, 3, 0, 0, 0, 0x00, 0x00, 1, 2, 3};
    if (t & 0x80) {
      EXPECT_EQ(read(s), (t == 0x81) ? 0 : 5) << int(t);
    } else {
      // Bit 7 clear: the payload would be a compressed stream; a wrong check
      // still stops type 2, while type 1 goes on to decode it.
      EXPECT_EQ(read(s) == 5, t != 1) << int(t);
    }
  }
  EXPECT_EQ(read({0x81, 12, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0}), 0);
  EXPECT_EQ(p->type, 1);
}

TEST_F(PacketTest, OversizedLengthsAreRefused) {
  // Anything over the packet size given to codec_init, although the record's
  // buffer has 10 bytes more.
  for (std::uint32_t big : {100001u, 100011u}) {
    Bytes s{0x84, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    codec_store_le32(&s[1], big);
    codec_store_le32(&s[5], big);
    s.resize(11 + big, 0);
    EXPECT_EQ(read(s), 8) << big;
  }
  Bytes u{0x04, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  codec_store_le32(&u[1], 0xFFFFFFFFu);
  EXPECT_EQ(read(u), 8);
}

// A packet whose check bytes agree but whose lengths do not match its payload.
Bytes framed(std::uint8_t type, std::uint32_t unpacked, const Bytes& payload) {
  const auto stored = static_cast<std::uint32_t>(payload.size());
  Bytes s(PACKET_HEADER_SIZE);
  Packet p{};
  p.type = type;
  p.unpacked_len = unpacked;
  p.stored_len = stored;
  packet_check_bytes(type, stored, unpacked, payload.data(), stored, &p.check_sum, &p.check_xor);
  packet_header_encode(&p, s.data());
  s.insert(s.end(), payload.begin(), payload.end());
  return s;
}

TEST_F(PacketTest, LengthsThatLieAreRefused) {
  // The buffer holds an earlier packet's data, which a lying length would
  // hand on.
  ASSERT_EQ(read(write(4, Bytes(5000, 'e'))), 0);
  const Bytes ten{0x0A, 0, 0, 0, 0xB0, 0x3C, 0x6A, 0xC0};  // ten 0x61
  EXPECT_EQ(read(framed(0x04, 10, ten)), 0);
  // A stream that yields fewer or more bytes than the packet claims.
  EXPECT_EQ(read(framed(0x04, 11, ten)), 9);
  EXPECT_EQ(read(framed(0x04, 9, ten)), 9);
  // A stored packet whose lengths differ; a compressed one without payload.
  EXPECT_EQ(read(framed(0x84, 5000, {})), 9);
  EXPECT_EQ(read(framed(0x84, 4, {'a', 'b', 'c'})), 9);
  EXPECT_EQ(read(framed(0x04, 5000, {})), 9);
  // A stream that claims 100000 bytes from 4 bytes of code decodes them
  // from 1-bits read far past its end.
  const int reports = codec_error_count();
  EXPECT_EQ(read(framed(0x04, 100000, {0xA0, 0x86, 0x01, 0x00, 0x12, 0x34, 0x56, 0x78})), 9);
  EXPECT_EQ(codec_error_count(), reports + 1);
  EXPECT_EQ(codec_last_error(), 2);
  // The archive end keeps its 12 and 8; any other archive end is held to
  // the rule.
  EXPECT_EQ(read(framed(0x81, 12, Bytes(8, 0))), 0);
  EXPECT_EQ(read(framed(0x81, 12, Bytes(4, 0))), 9);
  EXPECT_EQ(read(framed(0x81, 100000, Bytes(8, 0))), 9);
}

TEST_F(PacketTest, WrittenPacketsReadBack) {
  for (std::size_t n : {std::size_t{1}, std::size_t{11}, std::size_t{999}, std::size_t{100000}}) {
    Bytes d(n);
    for (std::size_t k = 0; k < n; ++k) d[k] = static_cast<std::uint8_t>((k / 3) % 17);
    Bytes s = write(4, d);
    ASSERT_EQ(read(s), 0);
    EXPECT_EQ(p->type, 4);
    EXPECT_EQ(Bytes(p->data, p->data + n), d);
  }
  // In two halves, with scratch space of the caller's: the raw read leaves
  // the payload as stored, the decode gives what packet_read gives; scratch
  // space shorter than the payload is refused, not overrun.
  Bytes d(50000);
  for (std::size_t k = 0; k < d.size(); ++k) d[k] = static_cast<std::uint8_t>((k / 5) % 23);
  for (const Bytes& s : {write(4, d), write(0x84, d)}) {
    Mem m;
    m.set(s);
    ASSERT_EQ(packet_read_raw(p, m.f), 0);
    EXPECT_EQ(p->type, s[0]);
    EXPECT_EQ(p->wire_type, s[0]);
    Bytes work(p->stored_len - 1);
    if (p->type == 4) {
      EXPECT_LT(p->stored_len, d.size());
      EXPECT_EQ(packet_decode(p, work.data(), static_cast<std::uint32_t>(work.size())), PACKET_TOO_LONG);
    }
    work.resize(p->stored_len);
    ASSERT_EQ(packet_decode(p, work.data(), static_cast<std::uint32_t>(work.size())), 0);
    EXPECT_EQ(p->type, 4);
    EXPECT_EQ(Bytes(p->data, p->data + p->unpacked_len), d);
  }
}

TEST(PacketNoCodec, ReadAndWriteNeedTheWorkBuffer) {
  // A failed codec_init leaves the layer without a work buffer.
  ASSERT_EQ(codec_init(0x7FFFFFF0u), 3);
  Packet* p = packet_alloc(16);
  ASSERT_NE(p, nullptr);
  std::FILE* f = std::tmpfile();
  std::fputc(0x42, f);
  std::rewind(f);
  EXPECT_EQ(packet_read(p, f), 4);
  EXPECT_EQ(std::ftell(f), 0);
  p->type = 2;
  p->unpacked_len = 0;
  p->stored_len = 0;
  EXPECT_EQ(packet_write(p, f), 4);
  EXPECT_EQ(std::ftell(f), 0);
  // Packet sizes that cannot hold a stream's 4-byte size header leave the
  // layer without a work buffer too: the writer would compress into 2n - 1
  // bytes.
  for (std::uint32_t n : {0u, 1u, 3u}) {
    EXPECT_EQ(codec_init(n), 3) << n;
    p->type = 2;
    p->unpacked_len = 1;
    p->data[0] = 'x';
    EXPECT_EQ(packet_write(p, f), 4) << n;
  }
  EXPECT_EQ(codec_init(4), 0);
  EXPECT_EQ(packet_write(p, f), 0);
  std::fclose(f);
  packet_free(p);
  packet_free(nullptr);
  ASSERT_EQ(codec_init(100000), 0);
}
