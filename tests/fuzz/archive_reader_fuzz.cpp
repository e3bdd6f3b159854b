// Fuzz target: arbitrary bytes as volume 1 of an installer, walked the way
// the stub walks it (trailer, packets, member headers, their records and
// path checks, the content's checksum, member ends), and the same bytes as
// a volume path and a member path.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "archive.h"
#include "checksum.h"
#include "record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = codec_init(SFX_PACKET_SIZE) == 0;
  static Packet* packet = packet_alloc(SFX_PACKET_SIZE);
  if (!ready || !packet) return 0;

  // Texts: the input as a path for the volume rule and the path check.
  std::vector<char> text(data, data + size);
  text.push_back(0);
  char next[64];
  sfx_next_volume_name(text.data(), static_cast<int>(size), next, sizeof next);
  const char* cut = static_cast<const char*>(std::memchr(text.data(), '|', text.size()));
  if (cut) {
    std::vector<char> dir(static_cast<const char*>(text.data()), cut);
    dir.push_back(0);
    sfx_member_path_check(dir.data(), cut + 1);
  } else {
    sfx_member_path_check(text.data(), text.data());
  }
  char out[32];
  sfx_member_output_path("C:/t/", text.data(), text.data(), out, sizeof out);

  // The archive walk.
  std::FILE* f = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (!f) return 0;
  std::uint32_t first = 0;
  long end = 0;
  if (sfx_trailer_read(f, &first, &end) == SFX_OK) {
    // The walk the stub and the packer use; one volume only.
    sfx_walker w;
    sfx_walker_init(
        &w, packet, f, [](void* ctx, Packet* p, const sfx_walk*) { return packet_read(p, static_cast<std::FILE*>(ctx)); },
        [](void*) { return 1; });
    static sfx_record rec;
    std::uint32_t crc = 0;
    for (int n = 0; n < 10000; ++n) {
      const int step = sfx_walker_next(&w);
      if (step < 0 || step == SFX_STEP_END) break;
      if (step == SFX_STEP_MEMBER) {
        sfx_member m{};
        const char* why = nullptr;
        if (sfx_member_check(packet->data, packet->unpacked_len, &m, &why) != SFX_OK) break;
        if (sfx_record_read(packet->data, &m, &rec, &why) != SFX_OK) break;
        char path[SFX_PATH_MAX + 1];
        sfx_member_output_path("C:/Temp/", m.dir, m.name, path, sizeof path);
        crc = SFX_CRC_EMPTY;
      } else if (step == SFX_STEP_DATA) {
        if (rec.has_crc) crc = sfx_crc32c(crc, packet->data, packet->unpacked_len);
      } else if (step == SFX_STEP_MEMBER_DONE) {
        if (rec.has_crc && crc != rec.crc) break;
      }
    }
  }
  std::fclose(f);
  return 0;
}
