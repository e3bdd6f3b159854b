// Windows executables (PE32 and PE32+) as byte vectors: their resource
// section read into a list and written back, and the author's icon, version
// resource and execution level put into a copy of the installer stub. Pure functions:
// no files, no platform calls. Failures come back as a text; empty means ok.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qtk::pe {

using Bytes = std::vector<std::uint8_t>;

// Resource types used here.
enum : std::uint16_t {
  kRtIcon = 3, kRtDialog = 5, kRtString = 6, kRtGroupIcon = 14, kRtVersion = 16, kRtManifest = 24
};
// The language of the resources added here: English (United States).
constexpr std::uint16_t kLangEnUs = 0x0409;

// A resource type or name: a number, or a text (UTF-16) when `text` is set.
struct ResId {
  std::uint16_t id = 0;
  std::u16string text;
  bool named = false;
  static ResId number(std::uint16_t n) { return {n, {}, false}; }
  bool operator==(const ResId& o) const { return named == o.named && (named ? text == o.text : id == o.id); }
};

struct Resource {
  ResId type, name;
  std::uint16_t lang = 0;
  std::uint32_t codepage = 0;
  Bytes data;
};

// The resources of an executable, in the order of its resource directory.
std::string read_resources(const Bytes& image, std::vector<Resource>& out);

// Replaces the executable's resource section with one built from `res`.
// The section keeps its place; a base relocation section after it moves
// along; section sizes, the size of the image, the resource directory entry
// and a non-zero checksum are brought up to date. An executable whose layout
// cannot be rewritten so (other sections after the resources, a certificate,
// a symbol table, bytes after the last section) is refused, unchanged.
std::string write_resources(Bytes& image, const std::vector<Resource>& res);

// The checksum of the optional header, computed over `image`.
std::uint32_t checksum(const Bytes& image);

// What goes into an installer's copy of the stub. Empty texts are left out.
struct Brand {
  Bytes icon;  // the bytes of an .ico file; empty: no icon
  std::string product, company, description;  // UTF-8
  bool has_version = false;
  std::array<std::uint16_t, 4> version{};
  std::string execution_level;  // for the manifest ("asInvoker", ...); empty: as the stub has it
  bool version_resource() const {
    return has_version || !product.empty() || !company.empty() || !description.empty();
  }
  bool empty() const { return icon.empty() && !version_resource() && execution_level.empty(); }
};

// The execution levels that an application manifest may ask Windows for,
// by the names qtk gives them; "auto" asks for none, so Windows decides.
struct Elevation {
  const char* name;
  const char* level;
};
inline constexpr Elevation kElevations[] = {
    {"auto", ""}, {"user", "asInvoker"}, {"admin", "requireAdministrator"}, {"highest", "highestAvailable"}};

// The application manifest of an executable (type 24, id 1), if it has
// one: false otherwise, also when `image` is no Windows program.
bool find_manifest(const Bytes& image, Bytes& manifest);
// The execution level that a manifest asks for; empty when it asks for none.
std::string manifest_level(const Bytes& manifest);
// Makes the manifest ask for `level`: an execution level it asks for
// already is replaced, otherwise one is added at the end of the assembly.
std::string set_manifest_level(Bytes& manifest, const std::string& level);

// "A.B.C.D", four decimal numbers of 0 to 65535.
std::string parse_version(const std::string& text, std::array<std::uint16_t, 4>& out);

// The RT_ICON resources (numbered 1, 2, ...) and the RT_GROUP_ICON 1 of an
// .ico file, after checking that it is one.
std::string icon_resources(const Bytes& ico, std::vector<Resource>& out);

// The VS_VERSIONINFO resource (RT_VERSION 1) of `b`: fixed file and product
// version, and the texts ProductName, CompanyName, FileDescription,
// FileVersion and ProductVersion under English (United States), Unicode.
std::string version_resource(const Brand& b, Resource& out);

// Puts `b` into the stub `image`: the author's icon replaces every icon and
// icon group the stub has, the version resource replaces the stub's, the
// execution level goes into the stub's manifest (which it must have); every
// other resource stays byte for byte as it is.
std::string brand_stub(Bytes& image, const Brand& b);

}  // namespace qtk::pe
