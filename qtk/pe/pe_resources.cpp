// Resource sections of Windows executables, read and rebuilt in memory.
#include "pe/pe_resources.h"
#include "pe/pe_bytes.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace qtk::pe {
namespace {

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

}  // namespace qtk::pe
