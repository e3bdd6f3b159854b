// Runs a fuzz target over every file of its seed corpus (and any files or
// folders named on the command line), so CTest keeps the corpus passing.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

static int run_file(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::vector<std::uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(b.data(), b.size());
  return 1;
}

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  int n = 0;
  for (int i = 1; i < argc; ++i) {
    const fs::path p = argv[i];
    if (fs::is_directory(p)) {
      for (const auto& e : fs::recursive_directory_iterator(p))
        if (e.is_regular_file()) n += run_file(e.path());
    } else if (fs::exists(p)) {
      n += run_file(p);
    } else {
      std::fprintf(stderr, "replay: %s: no such file or folder\n", argv[i]);
      return 2;
    }
  }
  std::printf("replayed %d inputs\n", n);
  return n > 0 ? 0 : 1;
}
