// The author's icon, version resource and execution level in an
// installer's copy of the stub.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

#include "pe/pe_bytes.h"
#include "pe/pe_resources.h"

namespace qtk::pe {
namespace {

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

namespace {

bool is_manifest(const Resource& r) { return r.type == ResId::number(kRtManifest) && r.name == ResId::number(1); }

std::string_view text_of(const Bytes& b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

// The execution level element's `level` value: its place in `m`, or npos
// when the manifest has no such element; `attr` says where the attribute
// could go when the element has none.
struct LevelAt {
  std::size_t at = std::string_view::npos, len = 0, attr = std::string_view::npos;
};
LevelAt find_level(std::string_view m) {
  LevelAt l;
  constexpr std::string_view kElement = "<requestedExecutionLevel";
  const std::size_t e = m.find(kElement);
  if (e == std::string_view::npos) return l;
  l.attr = e + kElement.size();
  const std::size_t close = m.find('>', e);
  const std::string_view el = m.substr(0, close == std::string_view::npos ? m.size() : close);
  for (std::size_t a = el.find("level", l.attr); a != std::string_view::npos; a = el.find("level", a + 1)) {
    if (el[a - 1] != ' ' && el[a - 1] != '\t' && el[a - 1] != '\r' && el[a - 1] != '\n') continue;
    std::size_t q = a + 5;
    while (q < el.size() && (el[q] == ' ' || el[q] == '=')) ++q;
    if (q >= el.size() || (el[q] != '"' && el[q] != '\'')) continue;
    const std::size_t end = el.find(el[q], q + 1);
    if (end == std::string_view::npos) break;
    l.at = q + 1;
    l.len = end - l.at;
    return l;
  }
  return l;
}

}  // namespace

bool find_manifest(const Bytes& image, Bytes& manifest) {
  std::vector<Resource> res;
  if (!read_resources(image, res).empty()) return false;
  for (Resource& r : res)
    if (is_manifest(r)) {
      manifest = std::move(r.data);
      return true;
    }
  return false;
}

std::string manifest_level(const Bytes& manifest) {
  const std::string_view m = text_of(manifest);
  const LevelAt l = find_level(m);
  return l.at == std::string_view::npos ? std::string() : std::string(m.substr(l.at, l.len));
}

std::string set_manifest_level(Bytes& manifest, const std::string& level) {
  const std::string_view m = text_of(manifest);
  std::string out;
  if (const LevelAt l = find_level(m); l.at != std::string_view::npos) {
    out = std::string(m.substr(0, l.at)) + level + std::string(m.substr(l.at + l.len));
  } else if (l.attr != std::string_view::npos) {
    out = std::string(m.substr(0, l.attr)) + " level=\"" + level + "\"" + std::string(m.substr(l.attr));
  } else {
    const std::size_t end = m.rfind("</assembly>");
    if (end == std::string_view::npos) return "its manifest has no end of assembly to add the execution level at";
    out = std::string(m.substr(0, end)) +
          "<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>"
          "<requestedExecutionLevel level=\"" + level + "\" uiAccess=\"false\"/>"
          "</requestedPrivileges></security></trustInfo>" + std::string(m.substr(end));
  }
  manifest.assign(out.begin(), out.end());
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
  if (!b.execution_level.empty()) {
    bool found = false;
    for (Resource& r : res)
      if (is_manifest(r)) {
        found = true;
        if (std::string err = set_manifest_level(r.data, b.execution_level); !err.empty()) return err;
      }
    if (!found) return "it has no application manifest to hold the execution level";
  }
  return write_resources(image, res);
}

}  // namespace qtk::pe
