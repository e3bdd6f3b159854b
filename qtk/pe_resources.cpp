// Resource sections of Windows executables, read and rebuilt in memory.
#include "pe_resources.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace qtk::pe {
namespace {

std::uint16_t rd16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
std::uint32_t rd32(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
void wr16(Bytes& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void wr32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put16(Bytes& b, std::uint32_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(Bytes& b, std::uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}
void pad_to(Bytes& b, std::size_t align) {
  while (b.size() % align) b.push_back(0);
}
bool fits(const Bytes& b, std::uint64_t at, std::uint64_t n) { return at <= b.size() && n <= b.size() - at; }
std::uint64_t align_up(std::uint64_t v, std::uint32_t a) { return (v + a - 1) / a * a; }
std::size_t align_up(std::size_t v, std::size_t a) { return (v + a - 1) / a * a; }

// Optional header fields at the same place in PE32 and PE32+.
constexpr std::size_t kSizeOfInitializedData = 8, kSectionAlignment = 32, kFileAlignment = 36,
                      kSizeOfImage = 56, kCheckSum = 64;
constexpr std::uint32_t kScnInitializedData = 0x40;
enum : unsigned { kDirResource = 2, kDirSecurity = 4, kDirBaseReloc = 5 };

struct Section {
  std::size_t header;  // file offset of its section header
  std::uint32_t vsize, va, raw_size, raw_ptr, flags;
};

struct Layout {
  std::size_t coff = 0, opt = 0, dirs = 0;
  std::uint32_t ndirs = 0, sect_align = 0, file_align = 0;
  std::vector<Section> sections;
  std::uint32_t dir_rva(unsigned i) const { return i < ndirs ? rva_[i] : 0; }
  std::uint32_t dir_size(unsigned i) const { return i < ndirs ? size_[i] : 0; }
  std::vector<std::uint32_t> rva_, size_;
};

std::string parse_layout(const Bytes& im, Layout& l) {
  if (im.size() < 64 || im[0] != 'M' || im[1] != 'Z') return "not a Windows program (no MZ header)";
  const std::uint32_t pe = rd32(im, 0x3C);
  if (!fits(im, pe, 24) || std::memcmp(im.data() + pe, "PE\0\0", 4) != 0)
    return "not a Windows program (no PE header)";
  l.coff = pe + 4;
  const unsigned nsec = rd16(im, l.coff + 2);
  const unsigned opt_size = rd16(im, l.coff + 16);
  l.opt = l.coff + 20;
  if (!fits(im, l.opt, opt_size) || opt_size < 2) return "the PE optional header is cut short";
  const std::uint16_t magic = rd16(im, l.opt);
  std::size_t count_at;
  if (magic == 0x10B) count_at = 92;
  else if (magic == 0x20B) count_at = 108;
  else return "unknown PE optional header (magic " + std::to_string(magic) + ")";
  if (opt_size < count_at + 4) return "the PE optional header is cut short";
  l.ndirs = rd32(im, l.opt + count_at);
  l.dirs = l.opt + count_at + 4;
  if (l.ndirs > 16 || opt_size < count_at + 4 + 8 * std::uint64_t{l.ndirs})
    return "the PE data directory does not fit its header";
  for (unsigned i = 0; i < l.ndirs; ++i) {
    l.rva_.push_back(rd32(im, l.dirs + 8 * i));
    l.size_.push_back(rd32(im, l.dirs + 8 * i + 4));
  }
  l.sect_align = rd32(im, l.opt + kSectionAlignment);
  l.file_align = rd32(im, l.opt + kFileAlignment);
  auto pow2 = [](std::uint32_t a) { return a && !(a & (a - 1)); };
  if (!pow2(l.sect_align) || !pow2(l.file_align)) return "the PE section alignments are not powers of two";
  const std::size_t table = l.opt + opt_size;
  if (!fits(im, table, 40 * std::uint64_t{nsec})) return "the PE section table is cut short";
  for (unsigned i = 0; i < nsec; ++i) {
    const std::size_t h = table + 40 * i;
    Section s{h, rd32(im, h + 8), rd32(im, h + 12), rd32(im, h + 16), rd32(im, h + 20), rd32(im, h + 36)};
    if (s.raw_size && !fits(im, s.raw_ptr, s.raw_size)) return "a PE section lies beyond the end of the file";
    l.sections.push_back(s);
  }
  return "";
}

// The file bytes behind `n` bytes at `rva`, or nullptr.
const std::uint8_t* at_rva(const Bytes& im, const Layout& l, std::uint32_t rva, std::uint32_t n) {
  for (const Section& s : l.sections)
    if (rva >= s.va && std::uint64_t{rva} - s.va + n <= s.raw_size) return im.data() + s.raw_ptr + (rva - s.va);
  return nullptr;
}

// Resource directory reading: offsets are relative to the directory's start.
struct DirReader {
  const Bytes& im;
  const Layout& l;
  std::size_t base, avail;  // file offset of the directory, bytes behind it in its section
  std::vector<Resource>& out;
  std::size_t visited = 0;  // entries walked, bounded: entries may share subdirectories

  bool have(std::uint64_t off, std::uint64_t n) const { return off <= avail && n <= avail - off; }

  std::string id_of(std::uint32_t name, ResId& id) const {
    if (!(name & 0x80000000u)) {
      if (name > 0xFFFF) return "a resource number above 65535";
      id = ResId::number(static_cast<std::uint16_t>(name));
      return "";
    }
    const std::uint32_t off = name & 0x7FFFFFFFu;
    if (!have(off, 2)) return "a resource name lies outside the section";
    const unsigned len = rd16(im, base + off);
    if (!have(off + 2, 2 * std::uint64_t{len})) return "a resource name lies outside the section";
    id.named = true;
    id.text.clear();
    for (unsigned i = 0; i < len; ++i) id.text.push_back(static_cast<char16_t>(rd16(im, base + off + 2 + 2 * i)));
    return "";
  }

  // level 0: types, 1: names, 2: languages.
  std::string walk(std::uint32_t off, int level, Resource& path) {
    if (!have(off, 16)) return "a resource directory lies outside the section";
    const unsigned n = rd16(im, base + off + 12) + rd16(im, base + off + 14);
    if (!have(off + 16, 8 * std::uint64_t{n})) return "a resource directory lies outside the section";
    for (unsigned i = 0; i < n; ++i) {
      if (++visited > (1u << 20)) return "the resource directory has more entries than any program has";
      const std::size_t e = base + off + 16 + 8 * i;
      const std::uint32_t name = rd32(im, e), target = rd32(im, e + 4);
      const bool sub = (target & 0x80000000u) != 0;
      if (sub != (level < 2)) return "the resource directory is not three levels deep";
      if (level == 0 || level == 1) {
        if (std::string err = id_of(name, level == 0 ? path.type : path.name); !err.empty()) return err;
        if (std::string err = walk(target & 0x7FFFFFFFu, level + 1, path); !err.empty()) return err;
        continue;
      }
      if (name & 0x80000000u || name > 0xFFFF) return "a resource language is not a number";
      if (!have(target, 16)) return "a resource data entry lies outside the section";
      if (out.size() >= 65536) return "more resources than any program has";
      const std::uint32_t rva = rd32(im, base + target), size = rd32(im, base + target + 4);
      const std::uint8_t* d = at_rva(im, l, rva, size);
      if (!d) return "resource data lies outside the file";
      Resource r;
      r.type = path.type;
      r.name = path.name;
      r.lang = static_cast<std::uint16_t>(name);
      r.codepage = rd32(im, base + target + 8);
      r.data.assign(d, d + size);
      out.push_back(std::move(r));
    }
    return "";
  }
};

bool id_less(const ResId& a, const ResId& b) {
  if (a.named != b.named) return a.named;  // named entries come first
  return a.named ? a.text < b.text : a.id < b.id;
}

// The resource section for `res`, to lie at `va`: directories, data
// entries, names, then the data, each piece 8-byte aligned.
std::string build_section(std::vector<Resource> res, std::uint32_t va, Bytes& out) {
  std::stable_sort(res.begin(), res.end(), [](const Resource& a, const Resource& b) {
    if (!(a.type == b.type)) return id_less(a.type, b.type);
    if (!(a.name == b.name)) return id_less(a.name, b.name);
    return a.lang < b.lang;
  });
  for (std::size_t i = 1; i < res.size(); ++i)
    if (res[i].type == res[i - 1].type && res[i].name == res[i - 1].name && res[i].lang == res[i - 1].lang)
      return "a resource is given twice";

  struct Dir {
    std::size_t first, count;  // span of res, or of the next level's dirs
    ResId id;
  };
  // Names (type + name) and types, each a run of `res`.
  std::vector<Dir> names, types;
  for (std::size_t i = 0; i < res.size(); ++i) {
    if (i == 0 || !(res[i].type == res[i - 1].type) || !(res[i].name == res[i - 1].name))
      names.push_back({i, 0, res[i].name});
    ++names.back().count;
  }
  for (std::size_t k = 0; k < names.size(); ++k) {
    const ResId& t = res[names[k].first].type;
    if (k == 0 || !(t == res[names[k - 1].first].type)) types.push_back({k, 0, t});
    ++types.back().count;
  }
  for (const Resource& r : res)
    if (r.data.size() > 0x7FFFFFFF) return "a resource is too large";

  // Offsets of every piece.
  std::size_t at = 16 + 8 * types.size();
  std::vector<std::size_t> type_dir(types.size()), name_dir(names.size());
  for (std::size_t t = 0; t < types.size(); ++t) {
    type_dir[t] = at;
    at += 16 + 8 * types[t].count;
  }
  for (std::size_t k = 0; k < names.size(); ++k) {
    name_dir[k] = at;
    at += 16 + 8 * names[k].count;
  }
  const std::size_t entries = at;
  at += 16 * res.size();
  std::vector<std::pair<const ResId*, std::size_t>> strings;  // named ids and where their text goes
  auto place_text = [&](const ResId& id) {
    if (!id.named) return;
    strings.emplace_back(&id, at);
    at += 2 + 2 * id.text.size();
  };
  for (const Dir& t : types) place_text(t.id);
  for (const Dir& k : names) place_text(k.id);
  std::vector<std::size_t> data_at(res.size());
  for (std::size_t i = 0; i < res.size(); ++i) {
    at = align_up(at, std::size_t{8});
    data_at[i] = at;
    at += res[i].data.size();
  }
  if (at + va > 0x7FFFFFFFu) return "the resources are too large";

  out.assign(at, 0);
  auto text_off = [&](const ResId& id) -> std::uint32_t {
    for (const auto& [p, off] : strings)
      if (p == &id) return static_cast<std::uint32_t>(0x80000000u | off);
    return id.id;
  };
  auto dir_header = [&](std::size_t off, const std::vector<Dir>& kids, std::size_t first, std::size_t count) {
    std::size_t named = 0;
    for (std::size_t j = first; j < first + count; ++j) named += kids[j].id.named;
    wr16(out, off + 12, static_cast<std::uint32_t>(named));
    wr16(out, off + 14, static_cast<std::uint32_t>(count - named));
  };
  dir_header(0, types, 0, types.size());
  for (std::size_t t = 0; t < types.size(); ++t) {
    wr32(out, 16 + 8 * t, text_off(types[t].id));
    wr32(out, 16 + 8 * t + 4, static_cast<std::uint32_t>(0x80000000u | type_dir[t]));
    dir_header(type_dir[t], names, types[t].first, types[t].count);
    for (std::size_t j = 0; j < types[t].count; ++j) {
      const std::size_t k = types[t].first + j;
      wr32(out, type_dir[t] + 16 + 8 * j, text_off(names[k].id));
      wr32(out, type_dir[t] + 16 + 8 * j + 4, static_cast<std::uint32_t>(0x80000000u | name_dir[k]));
      wr16(out, name_dir[k] + 14, static_cast<std::uint32_t>(names[k].count));
      for (std::size_t m = 0; m < names[k].count; ++m) {
        const std::size_t i = names[k].first + m;
        wr32(out, name_dir[k] + 16 + 8 * m, res[i].lang);
        wr32(out, name_dir[k] + 16 + 8 * m + 4, static_cast<std::uint32_t>(entries + 16 * i));
      }
    }
  }
  for (std::size_t i = 0; i < res.size(); ++i) {
    wr32(out, entries + 16 * i, static_cast<std::uint32_t>(va + data_at[i]));
    wr32(out, entries + 16 * i + 4, static_cast<std::uint32_t>(res[i].data.size()));
    wr32(out, entries + 16 * i + 8, res[i].codepage);
    if (!res[i].data.empty()) std::memcpy(out.data() + data_at[i], res[i].data.data(), res[i].data.size());
  }
  for (const auto& [id, off] : strings) {
    wr16(out, off, static_cast<std::uint32_t>(id->text.size()));
    for (std::size_t c = 0; c < id->text.size(); ++c) wr16(out, off + 2 + 2 * c, id->text[c]);
  }
  return "";
}

std::string utf16(const std::string& s, std::u16string& out) {
  out.clear();
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const int n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return "is not valid UTF-8";
    std::uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (int k = 1; k < n; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return "is not valid UTF-8";
      cp = cp << 6 | (d & 0x3F);
    }
    static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return "is not valid UTF-8";
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += n;
  }
  return "";
}

// One node of a version resource: length, value length, type, key, the
// value and the children, each child 32-bit aligned.
struct VNode {
  std::u16string key;
  Bytes value;
  std::uint16_t value_len = 0, type = 1;
  std::vector<VNode> kids;
  void write(Bytes& b) const {
    pad_to(b, 4);
    const std::size_t start = b.size();
    put16(b, 0);
    put16(b, value_len);
    put16(b, type);
    for (char16_t c : key) put16(b, c);
    put16(b, 0);
    pad_to(b, 4);
    b.insert(b.end(), value.begin(), value.end());
    for (const VNode& k : kids) k.write(b);
    wr16(b, start, static_cast<std::uint32_t>(b.size() - start));
  }
};

VNode text_node(const std::u16string& key, const std::u16string& value) {
  VNode n{key, {}, static_cast<std::uint16_t>(value.size() + 1), 1, {}};
  for (char16_t c : value) put16(n.value, c);
  put16(n.value, 0);
  return n;
}

}  // namespace

std::uint32_t checksum(const Bytes& image) {
  Layout l;
  if (!parse_layout(image, l).empty()) return 0;
  const std::size_t skip = l.opt + kCheckSum;
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < image.size(); i += 2) {
    if (i == skip || i == skip + 2) continue;
    sum += image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + image.size());
}

std::string read_resources(const Bytes& image, std::vector<Resource>& out) {
  out.clear();
  Layout l;
  if (std::string err = parse_layout(image, l); !err.empty()) return err;
  const std::uint32_t rva = l.dir_rva(kDirResource);
  if (rva == 0) return "";
  for (const Section& s : l.sections)
    if (rva >= s.va && rva - s.va < s.raw_size) {
      DirReader r{image, l, s.raw_ptr + (rva - s.va), s.raw_size - (rva - s.va), out, 0};
      Resource path;
      return r.walk(0, 0, path);
    }
  return "the resource directory lies outside the file";
}

std::string write_resources(Bytes& image, const std::vector<Resource>& res) {
  Layout l;
  if (std::string err = parse_layout(image, l); !err.empty()) return err;
  if (l.dir_size(kDirSecurity))
    return "it is signed already (sign the installer after packing, not the stub)";
  if (rd32(image, l.coff + 8)) return "it carries a symbol table (strip it first)";
  const std::uint32_t rva = l.dir_rva(kDirResource);
  if (!rva) return "it has no resource section";
  auto by_va = [&](std::uint32_t va) {
    for (std::size_t i = 0; i < l.sections.size(); ++i)
      if (l.sections[i].va == va) return i;
    return l.sections.size();
  };
  const std::size_t ri = by_va(rva);
  if (ri == l.sections.size()) return "its resources do not start a section of their own";
  Section& rs = l.sections[ri];
  if (!rs.raw_size) return "its resource section has no data in the file";
  // After the resources, at most the base relocations, which nothing but
  // the data directory refers to, so they can move.
  const std::uint32_t reloc_rva = l.dir_rva(kDirBaseReloc);
  Section* reloc = nullptr;
  std::uint64_t file_end = 0;
  for (std::size_t i = 0; i < l.sections.size(); ++i) {
    const Section& s = l.sections[i];
    file_end = std::max<std::uint64_t>(file_end, std::uint64_t{s.raw_ptr} + s.raw_size);
    if (i == ri) continue;
    const bool after = s.va > rs.va;
    if (after && (i != ri + 1 || i + 1 != l.sections.size() || s.va != reloc_rva ||
                  l.dir_size(kDirBaseReloc) > std::max(s.vsize, s.raw_size) || s.raw_ptr < rs.raw_ptr + rs.raw_size))
      return "a section other than the base relocations follows its resources";
    if (after) reloc = &l.sections[i];
    if (!after && (std::uint64_t{s.va} + s.vsize > rs.va ||
                   (s.raw_size && std::uint64_t{s.raw_ptr} + s.raw_size > rs.raw_ptr)))
      return "its sections are not in ascending order";
  }
  if (file_end != image.size()) return "it has bytes after its last section (an installer rather than a stub?)";
  for (unsigned d = 0; d < l.ndirs; ++d)
    if (d != kDirResource && d != kDirSecurity && d != kDirBaseReloc && l.dir_size(d) &&
        std::uint64_t{l.dir_rva(d)} + l.dir_size(d) > rs.va)
      return "data of its directory entry " + std::to_string(d) + " lies at or after its resources";

  Bytes sec;
  if (std::string err = build_section(res, rs.va, sec); !err.empty()) return err;
  const auto raw = static_cast<std::uint32_t>(align_up(std::uint64_t{sec.size()}, l.file_align));
  Bytes out(image.begin(), image.begin() + rs.raw_ptr);
  out.insert(out.end(), sec.begin(), sec.end());
  out.resize(std::size_t{rs.raw_ptr} + raw, 0);
  std::uint64_t end_va = rs.va + sec.size();
  if (reloc) {
    const std::uint64_t va = align_up(end_va, l.sect_align);
    if (va + reloc->vsize > 0x7FFFFFFFu) return "the image would be too large";
    wr32(out, reloc->header + 12, static_cast<std::uint32_t>(va));
    wr32(out, reloc->header + 20, static_cast<std::uint32_t>(out.size()));
    wr32(out, l.dirs + 8 * kDirBaseReloc, static_cast<std::uint32_t>(va));
    out.insert(out.end(), image.begin() + reloc->raw_ptr, image.begin() + reloc->raw_ptr + reloc->raw_size);
    end_va = va + std::max(reloc->vsize, reloc->raw_size);
  }
  wr32(out, rs.header + 8, static_cast<std::uint32_t>(sec.size()));
  wr32(out, rs.header + 16, static_cast<std::uint32_t>(raw));
  wr32(out, l.dirs + 8 * kDirResource + 4, static_cast<std::uint32_t>(sec.size()));
  wr32(out, l.opt + kSizeOfImage, static_cast<std::uint32_t>(align_up(end_va, l.sect_align)));
  if (rs.flags & kScnInitializedData)
    wr32(out, l.opt + kSizeOfInitializedData,
         static_cast<std::uint32_t>(rd32(out, l.opt + kSizeOfInitializedData) - rs.raw_size + raw));
  if (rd32(out, l.opt + kCheckSum)) wr32(out, l.opt + kCheckSum, checksum(out));
  image = std::move(out);
  return "";
}

std::string parse_version(const std::string& text, std::array<std::uint16_t, 4>& out) {
  const std::string bad = "not a version A.B.C.D of four numbers from 0 to 65535";
  const char* p = text.data();
  const char* end = p + text.size();
  for (int i = 0; i < 4; ++i) {
    if (i && (p == end || *p++ != '.')) return bad;
    if (p == end || *p < '0' || *p > '9') return bad;
    unsigned v = 0;
    const auto r = std::from_chars(p, end, v);
    if (r.ec != std::errc() || v > 65535) return bad;
    out[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(v);
    p = r.ptr;
  }
  return p == end ? "" : bad;
}

std::string icon_resources(const Bytes& ico, std::vector<Resource>& out) {
  out.clear();
  if (ico.size() < 6 || rd16(ico, 0) != 0 || (rd16(ico, 2) != 1 && rd16(ico, 2) != 2))
    return "not an icon file (.ico)";
  if (rd16(ico, 2) == 2) return "a cursor file, not an icon file (.ico)";
  const unsigned n = rd16(ico, 4);
  if (n == 0) return "an icon file without images";
  if (!fits(ico, 6, 16 * std::uint64_t{n})) return "not an icon file (.ico): its directory is cut short";
  Resource group;
  group.type = ResId::number(kRtGroupIcon);
  group.name = ResId::number(1);
  group.lang = kLangEnUs;
  put16(group.data, 0);
  put16(group.data, 1);
  put16(group.data, n);
  for (unsigned i = 0; i < n; ++i) {
    const std::size_t e = 6 + 16 * i;
    const std::uint32_t size = rd32(ico, e + 8), off = rd32(ico, e + 12);
    const std::string which = "image " + std::to_string(i + 1) + " of the icon file";
    if (size == 0 || off < 6 + 16 * n || !fits(ico, off, size)) return which + " lies outside the file";
    static constexpr std::uint8_t kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    const bool png = size >= 8 && std::memcmp(ico.data() + off, kPng, 8) == 0;
    const bool bmp = size >= 40 && rd32(ico, off) == 40;
    if (!png && !bmp) return which + " is neither a bitmap nor a PNG image";
    std::uint32_t planes = rd16(ico, e + 4), bits = rd16(ico, e + 6);
    if (bmp && planes == 0) planes = rd16(ico, off + 12);  // as the resource compiler fills them in
    if (bmp && bits == 0) bits = rd16(ico, off + 14);
    group.data.insert(group.data.end(), ico.begin() + static_cast<std::ptrdiff_t>(e),
                      ico.begin() + static_cast<std::ptrdiff_t>(e + 4));
    put16(group.data, planes);
    put16(group.data, bits);
    put32(group.data, size);
    put16(group.data, i + 1);
    Resource r;
    r.type = ResId::number(kRtIcon);
    r.name = ResId::number(static_cast<std::uint16_t>(i + 1));
    r.lang = kLangEnUs;
    r.data.assign(ico.begin() + off, ico.begin() + off + size);
    out.push_back(std::move(r));
  }
  out.push_back(std::move(group));
  return "";
}

std::string version_resource(const Brand& b, Resource& out) {
  const std::array<std::uint16_t, 4>& v = b.version;
  std::u16string number;
  if (b.has_version) {
    for (int i = 0; i < 4; ++i) {
      if (i) number += u'.';
      for (char c : std::to_string(v[static_cast<std::size_t>(i)])) number += static_cast<char16_t>(c);
    }
  }
  VNode table{u"040904B0", {}, 0, 1, {}};  // English (United States), Unicode
  struct Text {
    const char16_t* key;
    const std::string& text;
    const char* what;
  };
  for (const Text& t : {Text{u"CompanyName", b.company, "the company name"},
                        Text{u"FileDescription", b.description, "the description"},
                        Text{u"ProductName", b.product, "the product name"}}) {
    if (t.text.empty()) continue;
    std::u16string w;
    if (std::string err = utf16(t.text, w); !err.empty()) return std::string(t.what) + " " + err;
    if (w.size() > 1000) return std::string(t.what) + " is longer than 1000 characters";
    table.kids.push_back(text_node(t.key, w));
  }
  if (b.has_version) {
    table.kids.push_back(text_node(u"FileVersion", number));
    table.kids.push_back(text_node(u"ProductVersion", number));
  }
  std::sort(table.kids.begin(), table.kids.end(), [](const VNode& x, const VNode& y) { return x.key < y.key; });

  Bytes fixed;
  put32(fixed, 0xFEEF04BD);                 // signature
  put32(fixed, 0x00010000);                 // structure version 1.0
  for (int twice = 0; twice < 2; ++twice) {  // file version, then product version
    put32(fixed, static_cast<std::uint32_t>(v[0]) << 16 | v[1]);
    put32(fixed, static_cast<std::uint32_t>(v[2]) << 16 | v[3]);
  }
  put32(fixed, 0x3F);     // flags mask
  put32(fixed, 0);        // flags
  put32(fixed, 0x40004);  // VOS_NT_WINDOWS32
  put32(fixed, 1);        // VFT_APP
  put32(fixed, 0);        // subtype
  put32(fixed, 0);        // date
  put32(fixed, 0);
  Bytes translation;
  put16(translation, kLangEnUs);
  put16(translation, 1200);  // Unicode
  VNode root{u"VS_VERSION_INFO", fixed, static_cast<std::uint16_t>(fixed.size()), 0,
             {VNode{u"StringFileInfo", {}, 0, 1, {table}},
              VNode{u"VarFileInfo", {}, 0, 1, {VNode{u"Translation", translation, 4, 0, {}}}}}};
  out = Resource{};
  out.type = ResId::number(kRtVersion);
  out.name = ResId::number(1);
  out.lang = kLangEnUs;
  root.write(out.data);
  if (out.data.size() > 0xFFFF) return "the version texts are too long";
  return "";
}

std::string brand_stub(Bytes& image, const Brand& b) {
  if (b.empty()) return "";
  std::vector<Resource> res;
  if (std::string err = read_resources(image, res); !err.empty()) return err;
  auto drop = [&](std::uint16_t type) {
    res.erase(std::remove_if(res.begin(), res.end(), [&](const Resource& r) { return r.type == ResId::number(type); }),
              res.end());
  };
  if (!b.icon.empty()) {
    std::vector<Resource> icons;
    if (std::string err = icon_resources(b.icon, icons); !err.empty()) return err;
    drop(kRtIcon);
    drop(kRtGroupIcon);
    res.insert(res.end(), icons.begin(), icons.end());
  }
  if (b.version_resource()) {
    Resource v;
    if (std::string err = version_resource(b, v); !err.empty()) return err;
    drop(kRtVersion);
    res.push_back(std::move(v));
  }
  return write_resources(image, res);
}

}  // namespace qtk::pe
