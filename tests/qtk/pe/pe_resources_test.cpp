// The stub's resource section rebuilt: the author's icon and version go in,
// everything else of the stub stays, and layouts that cannot be rewritten
// safely are refused untouched.
#include <cstring>
#include <random>

#include "pe/pe_resources.h"
#include "qtk_test_util.h"
#include "test_icon.h"

namespace {

using namespace qtk::pe;

std::uint32_t u32(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24);
}
std::uint16_t u16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8); }
void set32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The headers that the rebuild touches, read independently of it.
struct Pe {
  std::size_t opt, dirs, table;
  unsigned nsec;
  explicit Pe(const Bytes& b) {
    const std::size_t pe = u32(b, 0x3C);
    nsec = u16(b, pe + 6);
    opt = pe + 24;
    dirs = opt + (u16(b, opt) == 0x20B ? 112 : 96);
    table = opt + u16(b, pe + 20);
  }
  std::size_t sec(unsigned i) const { return table + 40 * i; }
};

Bytes stub() {
  std::size_t n = 0;
  const std::uint8_t* p = qtk::embedded_stub(n);
  return Bytes(p, p + n);
}

bool same(const Resource& a, const Resource& b) {
  return a.type == b.type && a.name == b.name && a.lang == b.lang && a.codepage == b.codepage && a.data == b.data;
}

Brand full_brand() {
  Brand b;
  b.icon = test_icon();
  b.product = "P\xc5\x99\xc3\xadklad Suite";  // Příklad Suite
  b.company = "Example Ltd.";
  b.description = "Example Setup";
  b.has_version = true;
  b.version = {2, 1, 0, 7};
  return b;
}

TEST(PeResources, BrandingKeepsTheStubsOwnResourcesAndFixesTheHeaders) {
  const Bytes before = stub();
  std::vector<Resource> own;
  ASSERT_EQ(read_resources(before, own), "");
  ASSERT_EQ(own.size(), 7u);  // dialog 101 and two string blocks, Czech and English; the manifest
  const Pe h(before);
  ASSERT_NE(u32(before, h.opt + 64), 0u);
  EXPECT_EQ(checksum(before), u32(before, h.opt + 64)) << "the checksum as the linker computes it";

  Bytes after = before;
  ASSERT_EQ(brand_stub(after, full_brand()), "");
  std::vector<Resource> res;
  ASSERT_EQ(read_resources(after, res), "");
  // Every resource of the stub, byte for byte (the manifest too); then the
  // two icon images, their group and the version resource.
  ASSERT_EQ(res.size(), 11u);
  for (const Resource& o : own) {
    bool found = false;
    for (const Resource& r : res) found = found || same(o, r);
    EXPECT_TRUE(found) << o.type.id << "/" << o.name.id << "/" << o.lang;
  }
  std::vector<Resource> icons;
  ASSERT_EQ(icon_resources(test_icon(), icons), "");
  for (const Resource& i : icons) {
    bool found = false;
    for (const Resource& r : res) found = found || same(i, r);
    EXPECT_TRUE(found) << "icon resource " << i.type.id << "/" << i.name.id;
  }

  // Headers: the resource section grew in place, the relocations moved
  // behind it with the same bytes, and the image's size and checksum follow.
  const Pe a(after);
  unsigned rsrc = 0;
  while (rsrc < a.nsec && u32(after, a.sec(rsrc) + 12) != u32(after, a.dirs + 16)) ++rsrc;
  ASSERT_EQ(rsrc + 2, a.nsec) << "the resources are the last section but the relocations";
  const std::size_t rs = a.sec(rsrc), rl = a.sec(rsrc + 1);
  EXPECT_EQ(u32(after, a.dirs + 20), u32(after, rs + 8));  // directory size = section size
  EXPECT_GT(u32(after, rs + 8), u32(before, rs + 8));
  EXPECT_EQ(u32(after, rl + 12) % 0x1000, 0u);
  EXPECT_GE(u32(after, rl + 12), u32(after, rs + 12) + u32(after, rs + 8));
  EXPECT_EQ(u32(after, a.dirs + 40), u32(after, rl + 12));  // base relocation directory
  EXPECT_EQ(u32(after, rl + 20), u32(after, rs + 20) + u32(after, rs + 16));
  EXPECT_EQ(u32(after, a.opt + 56), (u32(after, rl + 12) + u32(after, rl + 8) + 0xFFF) / 0x1000 * 0x1000);
  EXPECT_EQ(after.size(), u32(after, rl + 20) + u32(after, rl + 16));
  EXPECT_TRUE(std::equal(before.begin() + u32(before, rl + 20), before.end(), after.begin() + u32(after, rl + 20)));
  EXPECT_EQ(checksum(after), u32(after, a.opt + 64));
  // Everything in front of the resource section is as it was, but for
  // the header fields above (and the initialized data's total).
  const std::size_t front = u32(before, rs + 20);
  Bytes restored(after.begin(), after.begin() + static_cast<std::ptrdiff_t>(front));
  for (std::size_t f : {rs + 8, rs + 16, rl + 12, rl + 20, a.dirs + 20, a.dirs + 40, a.opt + 8, a.opt + 56, a.opt + 64})
    set32(restored, f, u32(before, f));
  EXPECT_TRUE(std::equal(restored.begin(), restored.end(), before.begin()));
  EXPECT_EQ(u32(after, a.opt + 8) - u32(before, a.opt + 8), u32(after, rs + 16) - u32(before, rs + 16));

  // Branding a branded stub again replaces, it does not add.
  Bytes twice = after;
  ASSERT_EQ(brand_stub(twice, full_brand()), "");
  EXPECT_EQ(twice, after);
  // Only a version: no icon appears.
  Brand v;
  v.has_version = true;
  Bytes only_version = before;
  ASSERT_EQ(brand_stub(only_version, v), "");
  ASSERT_EQ(read_resources(only_version, res), "");
  EXPECT_EQ(res.size(), 8u);
}

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// The stub's manifest: Common Controls 6, DPI awareness, no execution level
// of its own. An execution level goes into it (and only into it), replaces
// one it has, and needs a manifest to go into.
TEST(PeResources, ExecutionLevelGoesIntoTheStubsManifest) {
  const Bytes before = stub();
  Bytes m;
  ASSERT_TRUE(find_manifest(before, m));
  EXPECT_NE(text(m).find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
  EXPECT_NE(text(m).find(">true</dpiAware>"), std::string::npos);
  EXPECT_EQ(text(m).find("\n"), std::string::npos) << "kept compact";
  EXPECT_EQ(manifest_level(m), "");

  std::vector<Resource> own, res;
  ASSERT_EQ(read_resources(before, own), "");
  for (const char* level : {"asInvoker", "requireAdministrator", "highestAvailable"}) {
    SCOPED_TRACE(level);
    Brand b;
    b.execution_level = level;
    Bytes after = before;
    ASSERT_EQ(brand_stub(after, b), "");
    ASSERT_TRUE(find_manifest(after, m));
    EXPECT_EQ(manifest_level(m), level);
    EXPECT_EQ(text(m).rfind("</requestedPrivileges></security></trustInfo></assembly>"), m.size() - 56);
    ASSERT_EQ(read_resources(after, res), "");
    ASSERT_EQ(res.size(), own.size());
    for (std::size_t i = 0; i < own.size(); ++i) {
      if (own[i].type.id == kRtManifest) continue;
      EXPECT_TRUE(same(own[i], res[i])) << i;
    }
    // Asked again, the level is replaced, not added.
    b.execution_level = "asInvoker";
    ASSERT_EQ(brand_stub(after, b), "");
    ASSERT_TRUE(find_manifest(after, m));
    EXPECT_EQ(manifest_level(m), "asInvoker");
    EXPECT_EQ(text(m).find("requestedExecutionLevel"), text(m).rfind("requestedExecutionLevel"));
  }
  // A level written by another tool, with its attributes in another order.
  const std::string foreign = "<assembly><requestedExecutionLevel uiAccess='false'\n  level = 'asInvoker'/></assembly>";
  Bytes other(foreign.begin(), foreign.end());
  EXPECT_EQ(manifest_level(other), "asInvoker");
  ASSERT_EQ(set_manifest_level(other, "highestAvailable"), "");
  EXPECT_EQ(text(other), "<assembly><requestedExecutionLevel uiAccess='false'\n  level = 'highestAvailable'/></assembly>");

  // A stub without a manifest cannot take a level; it stays as it was.
  std::vector<Resource> without;
  for (const Resource& r : own)
    if (r.type.id != kRtManifest) without.push_back(r);
  Bytes bare = before;
  ASSERT_EQ(write_resources(bare, without), "");
  EXPECT_FALSE(find_manifest(bare, m));
  const Bytes copy = bare;
  Brand b;
  b.execution_level = "asInvoker";
  EXPECT_EQ(brand_stub(bare, b), "it has no application manifest to hold the execution level");
  EXPECT_EQ(bare, copy);
}

TEST(PeResources, LayoutsThatCannotBeRewrittenAreRefusedUntouched) {
  const Bytes good = stub();
  const Pe h(good);
  auto refused = [&](Bytes b, const std::string& why) {
    const Bytes copy = b;
    const std::string err = brand_stub(b, full_brand());
    EXPECT_NE(err.find(why), std::string::npos) << err;
    EXPECT_EQ(b, copy);
  };
  Bytes signed_stub = good;
  set32(signed_stub, h.dirs + 32, 0x10000);
  set32(signed_stub, h.dirs + 36, 0x100);
  refused(signed_stub, "signed");
  Bytes trailing = good;
  trailing.push_back(0);
  refused(trailing, "bytes after its last section");
  Bytes with_symbols = good;
  set32(with_symbols, u32(good, 0x3C) + 12, 0x400);
  refused(with_symbols, "symbol table");
  Bytes no_reloc_dir = good;  // then the section behind the resources is of unknown use
  set32(no_reloc_dir, h.dirs + 40, 0);
  refused(no_reloc_dir, "a section other than the base relocations follows");
  Bytes tls_after = good;  // data that code may reach lies after the resources
  set32(tls_after, h.dirs + 72, u32(good, h.dirs + 16) + 16);
  refused(tls_after, "directory entry 9");
  refused(Bytes{'M', 'Z'}, "not a Windows program");
  Bytes elf(4096, 0);
  std::memcpy(elf.data(), "\x7f" "ELF", 4);
  refused(elf, "not a Windows program");
  Bytes cut(good.begin(), good.begin() + 0x1000);
  refused(cut, "beyond the end of the file");
}

TEST(PeResources, DamagedResourceDirectoriesAreReadSafely) {
  // Random damage in the resource section: every read either fails with a
  // reason or stays within the image (the sanitizer build checks).
  const Bytes good = stub();
  const Pe h(good);
  unsigned rsrc = 0;
  while (u32(good, h.sec(rsrc) + 12) != u32(good, h.dirs + 16)) ++rsrc;
  const std::size_t from = u32(good, h.sec(rsrc) + 20), len = 0x200;  // the directories and data entries
  std::mt19937 rng(7);
  int refused = 0;
  for (int round = 0; round < 3000; ++round) {
    Bytes b = good;
    for (int k = 0; k < 3; ++k) b[from + rng() % len] = static_cast<std::uint8_t>(rng());
    std::vector<Resource> res;
    const std::string err = read_resources(b, res);
    refused += !err.empty();
    if (err.empty()) {
      Bytes again = b;
      write_resources(again, res);
    }
  }
  EXPECT_GT(refused, 100);
}

TEST(PeResources, IconFilesAndVersionsAreChecked) {
  std::vector<Resource> out;
  const Bytes ico = test_icon();
  ASSERT_EQ(icon_resources(ico, out), "");
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[2].type.id, kRtGroupIcon);
  EXPECT_EQ(out[2].data.size(), 6u + 2 * 14);
  struct Bad {
    const char* what;
    Bytes ico;
    const char* error;
  };
  Bytes cursor = ico;
  cursor[2] = 2;
  Bytes none = ico;
  none[4] = 0;
  Bytes past_end = ico;
  set32(past_end, 6 + 16 + 12, static_cast<std::uint32_t>(ico.size()) - 100);
  Bytes not_image = ico;
  not_image[u32(ico, 6 + 12)] = 41;
  const std::string png_file = "\x89PNG\r\n\x1a\n rest of a picture";
  const Bad bad[] = {
      {"text", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}, "not an icon file"},
      {"png", Bytes(png_file.begin(), png_file.end()), "not an icon file"},
      {"short", Bytes(ico.begin(), ico.begin() + 20), "cut short"},
      {"cursor", cursor, "a cursor file"},
      {"no images", none, "without images"},
      {"past the end", past_end, "image 2 of the icon file lies outside the file"},
      {"not an image", not_image, "image 1 of the icon file is neither a bitmap nor a PNG image"},
  };
  for (const Bad& b : bad) EXPECT_NE(icon_resources(b.ico, out).find(b.error), std::string::npos) << b.what;

  std::array<std::uint16_t, 4> v{};
  EXPECT_EQ(parse_version("65535.0.10.007", v), "");
  EXPECT_EQ(v, (std::array<std::uint16_t, 4>{65535, 0, 10, 7}));
  for (const char* t : {"1.2.3", "1.2.3.4.5", "1.2.3.65536", "a.b.c.d", "1..2.3", "-1.2.3.4", "+1.2.3.4", " 1.2.3.4",
                        "1.2.3.4 ", "1.2.3.", "", "99999999999.0.0.0"})
    EXPECT_NE(parse_version(t, v), "") << t;

  Brand b;
  b.product = "bad \xff utf-8";
  Resource r;
  EXPECT_EQ(version_resource(b, r), "the product name is not valid UTF-8");
}

}  // namespace
