// The stub in front of an installer: the one qtk carries or a file, with the
// author's icon, version resource and execution level put into it.
#include <cerrno>
#include <cstdio>

#include "sys/os.h"
#include "qtk.h"
#include "text/text.h"

// The stub's bytes, assembled in by embedded_stub.cpp.
extern "C" const std::uint8_t qtk_stub_image_begin[] asm("qtk_stub_image_begin");
extern "C" const std::uint8_t qtk_stub_image_end[] asm("qtk_stub_image_end");

namespace qtk {

const std::uint8_t* embedded_stub(std::size_t& size) {
  size = static_cast<std::size_t>(qtk_stub_image_end - qtk_stub_image_begin);
  return qtk_stub_image_begin;
}

namespace {

// A whole file; fails naming `what` when it is missing, not a file or
// larger than `limit`.
std::vector<std::uint8_t> read_whole(const std::string& path, const std::string& what, std::uint64_t limit,
                                     bool* executable) {
  FileInfo st;
  const std::string shown = what + " " + printable(path);
  if (!file_info(path, true, st)) fail(shown + (errno == ENOENT ? std::string(" not found") : ": " + errno_text()));
  if (st.kind != FileInfo::kFile) fail(shown + ": not a file");
  if (st.size > limit) fail(shown + " is too large");
  if (executable) *executable = st.executable;
  std::FILE* f = open_read(path);
  if (!f) fail(shown + ": " + errno_text());
  std::vector<std::uint8_t> b(static_cast<std::size_t>(st.size));
  const std::size_t n = std::fread(b.data(), 1, b.size(), f);
  const bool more = n == b.size() && std::fgetc(f) != EOF;
  std::fclose(f);
  if (n != b.size() || more) fail(shown + " changed while it was being read");
  return b;
}

}  // namespace

std::vector<std::uint8_t> stub_image(const PackOptions& opt, bool& executable) {
  // The stub and the archive's close must stay below 2 GiB.
  constexpr std::uint64_t kLimit = 0x7FFFFFFFu - 64;
  std::vector<std::uint8_t> image;
  std::string name;
  if (opt.stub.empty()) {
    std::size_t size = 0;
    const std::uint8_t* p = embedded_stub(size);
    image.assign(p, p + size);
    name = "the built-in stub";
    executable = true;
  } else {
    image = read_whole(opt.stub, "stub", kLimit, &executable);
    name = "stub " + printable(opt.stub);
  }

  pe::Brand brand = opt.brand;
  if (!opt.icon.empty()) {
    brand.icon = read_whole(opt.icon, "icon", 16u << 20, nullptr);
    std::vector<pe::Resource> icons;
    if (std::string err = pe::icon_resources(brand.icon, icons); !err.empty()) fail(printable(opt.icon) + ": " + err);
  }
  if (brand.version_resource()) {
    pe::Resource v;
    if (std::string err = pe::version_resource(brand, v); !err.empty()) usage_error(err);
  }
  if (std::string err = pe::brand_stub(image, brand); !err.empty()) {
    const bool resources = !brand.icon.empty() || brand.version_resource();
    fail(name + ": cannot take the " +
         (!resources                         ? "execution level"
          : brand.execution_level.empty() ? "icon or version resource"
                                             : "icon, version resource or execution level") +
         ": " + err);
  }
  if (image.size() > kLimit) fail(name + " is too large");
  return image;
}

}  // namespace qtk
