// The member record: the checksum, the record as written and read back,
// and records that lie.
#include <gtest/gtest.h>

#include "archive_write.h"
#include "record_forge.h"

namespace {

using forge::Bytes;
using forge::operator+;

int read(const Bytes& h, sfx_record* rec, const char** why) {
  sfx_member m{};
  EXPECT_EQ(sfx_member_parse(h.data(), static_cast<std::uint32_t>(h.size()), &m), SFX_OK);
  return sfx_record_read(h.data(), &m, rec, why);
}

TEST(Checksum, IsCrc32c) {
  EXPECT_EQ(sfx_crc32c(0, "123456789", 9), 0xE3069283u);
  EXPECT_EQ(sfx_crc32c(0, "", 0), SFX_CRC_EMPTY);
  // In pieces of any size, as the packets come.
  std::string s(1000, 0);
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>(i * 31 + (i >> 3));
  const std::uint32_t whole = sfx_crc32c(0, s.data(), s.size());
  EXPECT_EQ(sfx_crc32c(sfx_crc32c(0, s.data(), 7), s.data() + 7, 993), whole);
  // Two bytes swapped, which the packets' sum and xor let pass.
  std::swap(s[10], s[500]);
  EXPECT_NE(sfx_crc32c(0, s.data(), s.size()), whole);
}

TEST(Record, WrittenAndReadBack) {
  // Names in UTF-8 beside the fields that the code page spells, long
  // enough that the record runs on into the name field's spare bytes.
  const std::string udir = "dokumenty/" + std::string(120, 'x') + "/p\xc5\x99\xc3\xad" "ru\xc4\x8dky";
  const std::string fdir = "dokumenty/" + std::string(120, 'x') + "/p\xf8\xed" "ru\xe8ky";
  const std::string uname = std::string(200, 'n') + "-p\xc5\x99\xc3\xad" "ru\xc4\x8dka.txt";
  const std::string fname = std::string(200, 'n') + "-p\xf8\xed" "ru\xe8ka.txt";
  SfxRecordOut out;
  out.dir = udir.c_str();
  out.name = uname.c_str();
  out.codepage = 1250;
  out.crc = 0xDEADBEEF;
  std::uint8_t h[SFX_MEMBER_HEADER_SIZE];
  ASSERT_EQ(sfx_member_header_build(h, fdir.c_str(), fname.c_str(), 7, &out), SFX_OK);
  ASSERT_GT(sfx_record_size(out), SFX_DIR_FIELD - fdir.size() - 1);
  sfx_record rec;
  const char* why = nullptr;
  ASSERT_EQ(read(Bytes(h, h + sizeof h), &rec, &why), SFX_OK) << why;
  ASSERT_TRUE(rec.present);
  EXPECT_EQ(std::string(rec.dir, rec.dir_len), udir);
  EXPECT_EQ(std::string(rec.name, rec.name_len), uname);
  EXPECT_EQ(rec.codepage, 1250u);
  EXPECT_TRUE(rec.has_crc);
  EXPECT_EQ(rec.crc, 0xDEADBEEFu);
  // One byte more than the spare bytes hold is refused by the writer.
  const std::string longer = uname + std::string(SFX_SPARE_MAX, 'z');
  out.name = longer.c_str();
  EXPECT_EQ(sfx_member_header_build(h, fdir.c_str(), fname.c_str(), 7, &out), SFX_E_TOO_LONG);

  // Spare bytes without the marker hold no record: zeros, or what another
  // writer left there.
  for (const Bytes& stray : {Bytes{}, Bytes{'Q', 'm', 'R', 0xB6, 1, 0, 0}, Bytes(30, 0xB7)}) {
    EXPECT_EQ(read(forge::header(".", "a.txt", 0, stray), &rec, &why), SFX_OK);
    EXPECT_FALSE(rec.present);
  }
  // A field of a later kind is passed over.
  EXPECT_EQ(read(forge::header(".", "a.txt", 0, forge::record(forge::field(99, "later") + forge::crc(5))), &rec, &why),
            SFX_OK);
  EXPECT_TRUE(rec.present && rec.has_crc && rec.crc == 5);
}

TEST(Record, HostileRecordsAreRefused) {
  const Bytes cp = forge::codepage(1252);
  const Bytes names = forge::field(SFX_TAG_DIR, "d\xc3\xa9") + forge::field(SFX_TAG_NAME, "f\xc3\xa9.txt") + cp;
  const Bytes sound = forge::record(names + forge::crc(1));
  Bytes cut = sound;
  cut.resize(cut.size() - 2);
  Bytes flipped = sound;
  flipped[9] ^= 1;
  const Bytes lying_field = Bytes{SFX_TAG_NAME, 200, 0, 'a'} + cp;
  const struct {
    const char* what;
    std::string dir, name;
    Bytes rec;
  } cases[] = {
      {"names that disagree with the fields", "d\xe9", "setup.exe", sound},
      {"names that disagree with the fields", "x", "f\xe9.txt", sound},
      {"'..'", "d\xe9", "f\xe9.txt", forge::record(forge::field(SFX_TAG_DIR, "..") + cp)},
      {"a drive", "d\xe9", "f\xe9.txt", forge::record(forge::field(SFX_TAG_DIR, "c:/d\xc3\xa9") + cp)},
      {"a separator in the name", "d\xe9", "f\xe9.txt", forge::record(forge::field(SFX_TAG_NAME, "../f\xc3\xa9.txt") + cp)},
      {"a backslash", "d\xe9", "f\xe9.txt", forge::record(forge::field(SFX_TAG_DIR, "d\xc3\xa9\\..\\..") + cp)},
      {"a device", "d\xe9", "COM\xb9.txt", forge::record(forge::field(SFX_TAG_NAME, "COM\xc2\xb9.txt") + cp)},
      {"invalid UTF-8", "d\xe9", "f\xe9.txt", forge::record(forge::field(SFX_TAG_NAME, "f\xe9.txt") + cp)},
      {"overlong UTF-8", "d\xe9", "f.txt", forge::record(forge::field(SFX_TAG_NAME, "f\xc0\xae.txt") + cp)},
      {"a surrogate", "d\xe9", "f.txt", forge::record(forge::field(SFX_TAG_NAME, "f\xed\xa0\x80.txt") + cp)},
      {"a zero", "d\xe9", "f.txt", forge::record(forge::field(SFX_TAG_NAME, std::string("f\0.txt", 6)) + cp)},
      {"names without a code page", "d\xe9", "f\xe9.txt", forge::record(forge::field(SFX_TAG_NAME, "f\xc3\xa9.txt"))},
      {"a length past the record", "d\xe9", "f\xe9.txt", forge::record(names, 400)},
      {"a field's length past the record", "d\xe9", "f\xe9.txt", forge::record(lying_field)},
      {"a field given twice", "d\xe9", "f\xe9.txt", forge::record(names + cp)},
      {"a checksum of 3 bytes", "d", "f", forge::record(forge::field(SFX_TAG_CRC, "abc"))},
      {"a version not known", "d", "f", forge::record(forge::crc(1), -1, 2)},
      {"a record cut off by the end of the fields", std::string(505, 'd'), std::string(250, 'n'), sound},
      {"a check that disagrees", "d\xe9", "f\xe9.txt", flipped},
      {"a check cut off", "d\xe9", "f\xe9.txt", cut},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sfx_record rec;
    const char* why = nullptr;
    Bytes h = forge::header(c.dir, c.name, 0, c.rec);
    if (c.rec.size() == cut.size() && c.rec == cut) h[c.dir.size() + 1 + cut.size()] = 0x55;  // not the check's last bytes
    EXPECT_EQ(read(h, &rec, &why), SFX_E_RECORD);
    ASSERT_NE(why, nullptr);
    EXPECT_FALSE(rec.present);
  }
}

TEST(Record, DoubleBytePairsAreNotAscii) {
  // 表 in code page 932 is 0x95 0x5C: its trail byte is no separator and
  // no character of the name.
  const std::string field = "\x95\x5c.txt";
  char out[16];
  EXPECT_EQ(sfx_ascii_skeleton(field.data(), field.size(), 932, out, sizeof out), 4u);
  EXPECT_EQ(std::string(out, 4), ".txt");
  EXPECT_EQ(sfx_ascii_skeleton(field.data(), field.size(), 1252, out, sizeof out), 5u);
  sfx_record rec;
  const char* why = nullptr;
  const Bytes ok = forge::record(forge::field(SFX_TAG_NAME, "\xe8\xa1\xa8.txt") + forge::codepage(932));
  EXPECT_EQ(read(forge::header(".", field, 0, ok), &rec, &why), SFX_OK) << why;
  EXPECT_TRUE(rec.present);
}

}  // namespace
