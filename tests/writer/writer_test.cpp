// Writing side of the archive, read back with the reading side only, the
// way the stub walks it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive_write.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes file_bytes(std::FILE* f) {
  std::fflush(f);
  std::fseek(f, 0, SEEK_END);
  Bytes b(static_cast<std::size_t>(std::ftell(f)));
  std::rewind(f);
  if (!b.empty()) {
    EXPECT_EQ(std::fread(b.data(), 1, b.size(), f), b.size());
  }
  return b;
}

// Volumes in memory-backed temporary files.
struct Volumes {
  std::vector<std::FILE*> files;
  Bytes stub;
  explicit Volumes(std::size_t stub_size = 200) : stub(stub_size, 0x4D) {
    files.push_back(std::tmpfile());
    std::fwrite(stub.data(), 1, stub.size(), files[0]);
  }
  ~Volumes() {
    for (std::FILE* f : files) std::fclose(f);
  }
  SfxArchiveWriter writer(std::uint64_t size) {
    return SfxArchiveWriter(
        files[0], static_cast<std::uint32_t>(stub.size()), size,
        [this](int v) {
          EXPECT_EQ(static_cast<std::size_t>(v), files.size() + 1);
          files.push_back(std::tmpfile());
          return files.back();
        },
        [](int, std::FILE* f) { return std::fflush(f); });
  }
};

struct Member {
  std::string dir, name;
  std::int32_t time;
  Bytes data;
};

// Reads every volume as the stub does: trailer, then packets, changing
// volume at each volume end. Returns the members, or fails the test.
std::vector<Member> walk(Volumes& v) {
  std::vector<Member> out;
  Packet* p = packet_alloc(SFX_PACKET_SIZE);
  std::uint32_t first = 0;
  long end = 0;
  std::FILE* f = v.files[0];
  EXPECT_EQ(sfx_trailer_read(f, &first, &end), SFX_OK);
  EXPECT_EQ(first, v.stub.size());
  std::size_t vol = 0;
  sfx_walk w;
  sfx_walk_init(&w);
  for (;;) {
    const int st = packet_read(p, f);
    if (st != 0) {
      ADD_FAILURE() << "packet_read " << st << " in volume " << vol + 1;
      break;
    }
    const int step = sfx_walk_step(&w, p);
    if (step == SFX_STEP_MEMBER) {
      sfx_member m{};
      EXPECT_EQ(sfx_member_check(p->data, p->unpacked_len, &m, nullptr), SFX_OK);
      out.push_back({m.dir, m.name, m.time, {}});
    } else if (step == SFX_STEP_DATA) {
      out.back().data.insert(out.back().data.end(), p->data, p->data + p->unpacked_len);
    } else if (step == SFX_STEP_VOLUME) {
      if (++vol >= v.files.size()) {
        ADD_FAILURE() << "volume end in the last volume";
        break;
      }
      f = v.files[vol];
      std::rewind(f);
    } else if (step == SFX_STEP_END) {
      EXPECT_EQ(vol + 1, v.files.size()) << "archive end before the last volume";
      break;
    } else if (step < 0 || step != SFX_STEP_MEMBER_DONE) {
      ADD_FAILURE() << "walk step " << step;
      break;
    }
  }
  packet_free(p);
  return out;
}

Bytes pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  std::uint32_t x = seed;
  for (auto& c : b) {
    x = x * 1103515245u + 12345u;
    c = static_cast<std::uint8_t>(x >> 24);
  }
  return b;
}

// A member in chunks of at most `chunk` bytes, each given raw to the writer,
// or encoded beforehand when `encoded` (as the packer's pipeline does).
void put_member(SfxArchiveWriter& w, const Member& m, std::uint32_t chunk, bool encoded = false) {
  ASSERT_EQ(w.put_member_header(m.dir.c_str(), m.name.c_str(), m.time), 0);
  PacketEncoder pe{};
  ASSERT_EQ(packet_encoder_init(&pe, SFX_PACKET_SIZE), 0);
  std::uint32_t count = 0;
  for (std::size_t off = 0; off < m.data.size(); off += chunk) {
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(chunk, m.data.size() - off));
    if (!encoded) {
      ASSERT_EQ(w.put_data(m.data.data() + off, n, &count), 0);
      continue;
    }
    std::memcpy(pe.packet->data, m.data.data() + off, n);
    pe.packet->type = SFX_MEMBER_DATA;
    pe.packet->unpacked_len = n;
    ASSERT_EQ(packet_encoder_run(&pe), 0);
    ASSERT_EQ(w.put_data(*pe.packet, pe.payload, &count), 0);
  }
  packet_encoder_release(&pe);
  ASSERT_EQ(w.put_member_end(static_cast<std::uint32_t>(m.data.size()), count), 0);
}

struct Writer : ::testing::Test {
  void SetUp() override { ASSERT_EQ(codec_init(SFX_PACKET_SIZE), 0); }
};

}  // namespace

TEST_F(Writer, ArchiveEndSharesItsLastWordWithTheTrailer) {
  std::uint8_t end[SFX_ARCHIVE_END_BYTES];
  sfx_archive_end_build(end, 0x12345);
  // 81, unpacked 12, stored 8, check bytes of the nine header bytes alone,
  // payload 0 and P, then the signature: the last 8 bytes are the trailer.
  const Bytes want{0x81, 12, 0, 0, 0, 8, 0, 0, 0, 0x95, 0x85, 0, 0, 0, 0,
                   0x45, 0x23, 0x01, 0, 0xDE, 0xAD, 0xFA, 0xCE};
  EXPECT_EQ(Bytes(end, end + sizeof end), want);
  std::uint8_t ve[SFX_VOLUME_END_BYTES];
  sfx_volume_end_build(ve);
  EXPECT_EQ(Bytes(ve, ve + sizeof ve), (Bytes{5, 0, 0, 0, 0, 0, 0, 0, 0, 5, 5}));
}

TEST_F(Writer, EmptyArchiveIsStubAndArchiveEnd) {
  Volumes v;
  auto w = v.writer(0);
  ASSERT_EQ(w.begin(), 0);
  ASSERT_EQ(w.finish(), 0);
  const Bytes b = file_bytes(v.files[0]);
  ASSERT_EQ(b.size(), 200u + SFX_ARCHIVE_END_BYTES);
  EXPECT_EQ(b[200], 0x81);
  EXPECT_TRUE(walk(v).empty());
  // The archive-end packet reads back as type 1 with its 8 payload bytes.
  Packet* p = packet_alloc(SFX_PACKET_SIZE);
  std::fseek(v.files[0], 200, SEEK_SET);
  ASSERT_EQ(packet_read(p, v.files[0]), 0);
  EXPECT_EQ(p->type, SFX_ARCHIVE_END);
  EXPECT_EQ(p->unpacked_len, 12u);
  EXPECT_EQ(p->stored_len, 8u);
  packet_free(p);
}

TEST_F(Writer, SingleVolumeRoundTrip) {
  Volumes v;
  auto w = v.writer(0);
  ASSERT_EQ(w.begin(), 0);
  const std::vector<Member> ms{{".", "qtksfx.ini", 7, {'[', 's', ']'}},
                               {"a\\b", "big name.bin", -1, pattern(250000, 1)},
                               {"a", "empty", 0x7FFFFFFF, {}}};
  for (const Member& m : ms) put_member(w, m, SFX_PACKET_SIZE);
  ASSERT_EQ(w.finish(), 0);
  EXPECT_EQ(w.volumes(), 1);
  const auto got = walk(v);
  ASSERT_EQ(got.size(), ms.size());
  for (std::size_t k = 0; k < ms.size(); ++k) {
    EXPECT_EQ(got[k].dir, ms[k].dir);
    EXPECT_EQ(got[k].name, ms[k].name);
    EXPECT_EQ(got[k].time, ms[k].time);
    EXPECT_EQ(got[k].data, ms[k].data);
  }
}

TEST_F(Writer, VolumesHoldWholePacketsWithinTheSize) {
  const std::vector<Member> ms{{".", "a", 1, pattern(30000, 2)}, {".", "b", 2, {}}, {"d", "c", 3, pattern(7000, 3)}};
  // A stub of 1000 in 1024: volume 1 holds the stub and its close only, so
  // a volume end is the first packet. 1024 is the smallest size; the others
  // split members across volumes.
  const std::pair<std::size_t, std::uint64_t> cases[] = {{1000, 1024}, {200, 1024}, {200, 4000}, {200, 20000}};
  for (const auto& [stub, size] : cases) {
    SCOPED_TRACE(size);
    Volumes v(stub);
    auto w = v.writer(size);
    ASSERT_EQ(w.begin(), 0);
    for (const Member& m : ms) put_member(w, m, sfx_data_chunk_size(size));
    ASSERT_EQ(w.finish(), 0);
    ASSERT_GT(w.volumes(), 1);
    for (std::FILE* f : v.files) EXPECT_LE(file_bytes(f).size(), size);
    const Bytes first = file_bytes(v.files[0]);
    if (stub == 1000) {
      EXPECT_EQ(first.size(), 1019u);
    }
    // Volume 1 ends with a volume end and the trailer; the last volume with
    // the archive end and the signature.
    EXPECT_EQ(first[first.size() - 19], SFX_VOLUME_END);
    const Bytes last = file_bytes(v.files.back());
    EXPECT_EQ(last[last.size() - SFX_ARCHIVE_END_BYTES], 0x81);
    const auto got = walk(v);
    ASSERT_EQ(got.size(), ms.size());
    for (std::size_t k = 0; k < ms.size(); ++k) EXPECT_EQ(got[k].data, ms[k].data);
  }
}

TEST_F(Writer, DataFillsEachVolumeWhetherGivenRawOrEncoded) {
  // Incompressible data is stored: a split part of room - 11 bytes takes
  // the rest exactly, so every volume but the last is full. Sixteen letters
  // compress to about half: a compressed part leaves room behind, which the
  // next part fills until less than a split's minimum is left.
  const std::uint64_t size = 30000;
  Bytes letters = pattern(200000, 5);
  for (auto& c : letters) c = static_cast<std::uint8_t>('a' + (c & 15));
  for (const Bytes& data : {pattern(200000, 4), letters}) {
    const bool stored = data != letters;
    SCOPED_TRACE(stored ? "stored" : "compressed");
    std::vector<Bytes> volumes[2];
    for (bool encoded : {false, true}) {
      Volumes v;
      auto w = v.writer(size);
      ASSERT_EQ(w.begin(), 0);
      put_member(w, {".", "a", 1, data}, sfx_data_chunk_size(size), encoded);
      ASSERT_EQ(w.finish(), 0);
      for (std::FILE* f : v.files) volumes[encoded].push_back(file_bytes(f));
      ASSERT_EQ(walk(v).at(0).data, data);
    }
    EXPECT_EQ(volumes[0], volumes[1]);
    const std::vector<Bytes>& got = volumes[0];
    ASSERT_GT(got.size(), 1u);
    for (std::size_t k = 0; k + 1 < got.size(); ++k) {
      if (stored) {
        EXPECT_EQ(got[k].size(), size) << "volume " << k + 1;
      } else {
        EXPECT_GT(got[k].size(), size - PACKET_HEADER_SIZE - SFX_MIN_SPLIT) << "volume " << k + 1;
      }
    }
  }
}

TEST_F(Writer, RefusesSizesThatCannotWork) {
  {
    Volumes v;
    auto w = v.writer(218);  // the stub and 18 bytes: no room for volume end and trailer
    EXPECT_EQ(w.begin(), SFX_E_VOLUME_SMALL);
  }
  EXPECT_EQ(sfx_data_chunk_size(1023), 0u);
  EXPECT_EQ(sfx_data_chunk_size(1024), 1002u);
  EXPECT_EQ(sfx_data_chunk_size(0), SFX_PACKET_SIZE);
  EXPECT_EQ(sfx_data_chunk_size(1474560), SFX_PACKET_SIZE);
  std::uint8_t h[SFX_MEMBER_HEADER_SIZE];
  EXPECT_EQ(sfx_member_header_build(h, std::string(511, 'd').c_str(), std::string(255, 'n').c_str(), 0), 0);
  EXPECT_EQ(sfx_member_header_build(h, std::string(512, 'd').c_str(), "n", 0), SFX_E_TOO_LONG);
  EXPECT_EQ(sfx_member_header_build(h, ".", std::string(256, 'n').c_str(), 0), SFX_E_TOO_LONG);
}
