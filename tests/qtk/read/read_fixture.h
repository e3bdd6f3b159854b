// qtk list, test and extract, shared set-up: installers built packet by packet.
#pragma once

#include <cstring>
#include <map>

#include "archive_write.h"
#include "qtk_test_util.h"

namespace {

struct Entry {
  std::string dir, name;
  Bytes data;
  Bytes header = {};  // a member header made by hand, in place of dir and name
};

// The control file that starts a.txt.
inline Entry control(const std::string& text = "[system]\r\nrun=a.txt\r\n") {
  return {".", "qtksfx.ini", Bytes(text.begin(), text.end())};
}

// Writes an installer with the archive writer itself, so that names pack
// would refuse can be stored. Each chunk goes whole in one packet (no
// packet is split to fill a volume), so that the packets stand where the
// tests count them.
inline void build(const fs::path& out, const Bytes& stub, const std::vector<Entry>& entries, std::uint64_t volume = 0) {
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
    if (e.header.empty()) {
      ASSERT_EQ(w.put_member_header(e.dir.c_str(), e.name.c_str(), 1000000000), 0);
    } else {
      std::memcpy(pe.packet->data, e.header.data(), e.header.size());
      pe.packet->type = SFX_MEMBER_HEADER;
      pe.packet->unpacked_len = static_cast<std::uint32_t>(e.header.size());
      ASSERT_EQ(packet_encoder_run(&pe), 0);
      ASSERT_EQ(w.put(*pe.packet, pe.payload), 0);
    }
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

// Packet offsets of an installer, read from its bytes.
inline std::vector<std::size_t> packet_offsets(const Bytes& b, std::size_t from, std::size_t end) {
  std::vector<std::size_t> offs;
  for (std::size_t at = from; at + 11 <= end;) {
    offs.push_back(at);
    const std::uint32_t unpacked = codec_load_le32(b.data() + at + 1);
    const std::uint32_t stored = codec_load_le32(b.data() + at + 5);
    if ((b[at] & 0x7F) == 1) break;
    at += 11 + (unpacked ? stored : 0);
  }
  return offs;
}

}  // namespace
