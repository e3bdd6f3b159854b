// Test helper: packs a folder into an installer behind a given stub, with
// the archive layout the stub reads. Used by the Wine tests' scripts and
// the demo where the packer is not built.
//   sfx_make_archive STUB DIR OUT [--volume-every N]
// DIR's files become members (directories as they stand below DIR, "."
// for DIR itself), in name order. --volume-every N puts a volume end after
// every N members (volumes OUT's name with .001, .002, ...).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>

#include "sfx_test_archive.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: sfx_make_archive STUB DIR OUT [--volume-every N]\n");
    return 2;
  }
  int every = 0;
  if (argc >= 6 && std::string(argv[4]) == "--volume-every") every = std::atoi(argv[5]);
  std::ifstream stub(argv[1], std::ios::binary);
  if (!stub) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  TestArchive::Bytes image((std::istreambuf_iterator<char>(stub)), std::istreambuf_iterator<char>());
  TestArchive a(image);
  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(argv[2]))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  int n = 0;
  for (const auto& f : files) {
    const fs::path rel = fs::relative(f, argv[2]);
    std::string dir = rel.parent_path().generic_string();
    if (dir.empty()) dir.assign(1, '.');
    std::ifstream in(f, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    struct stat st;
    const std::int32_t t = stat(f.c_str(), &st) == 0 ? static_cast<std::int32_t>(st.st_mtime) : 0;
    a.member(dir, rel.filename().string(), content, t);
    if (every > 0 && ++n % every == 0 && &f != &files.back()) a.volume_end();
  }
  a.archive_end();
  const std::string out = argv[3];
  for (std::size_t i = 0; i < a.volumes(); ++i) {
    std::string name = out;
    if (i > 0) {
      char num[32];
      std::snprintf(num, sizeof num, "%03zu", i);
      const auto dot = out.rfind('.');
      if (dot != std::string::npos) name.resize(dot);
      name.push_back('.');
      name.append(num);
    }
    std::ofstream o(name, std::ios::binary);
    o.write(reinterpret_cast<const char*>(a.volume(i).data()),
            static_cast<std::streamsize>(a.volume(i).size()));
    if (!o) {
      std::fprintf(stderr, "cannot write %s\n", name.c_str());
      return 1;
    }
  }
  return 0;
}
