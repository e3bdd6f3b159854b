// Throughput of qtk pack, test and extract on a folder, with 1 job and
// with N, beside zlib's (level 6, on blocks of the packet size, on 1 and N
// threads) on the same bytes as a yardstick.
// usage: archive_bench CORPUS_DIR [REPEATS [JOBS]]
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qtk.h"

namespace fs = std::filesystem;

namespace {

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Best wall time of the repeats; *cpu gets the CPU time of that run. On a
// busy machine the ratio of the two shows how much of the cores the run had.
double best_of(int repeats, const std::function<int()>& fn, double* cpu = nullptr) {
  double best = 1e30;
  for (int r = 0; r < repeats; ++r) {
    const double c0 = cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    if (fn() != 0) {
      std::fprintf(stderr, "archive_bench: a command failed\n");
      std::exit(1);
    }
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (t < best) {
      best = t;
      if (cpu) *cpu = cpu_seconds() - c0;
    }
  }
  return best;
}

int qtk_cmd(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int rc = qtk::run_command(args, out, err, false);
  if (rc != 0) std::fprintf(stderr, "%s", err.str().c_str());
  return rc;
}

using Bytes = std::vector<std::uint8_t>;

// Runs fn(i) for i in [0, n) on `jobs` threads.
void on_threads(unsigned jobs, std::size_t n, const std::function<void(std::size_t)>& fn) {
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next++) < n;) fn(i);
  };
  std::vector<std::thread> threads;
  for (unsigned j = 1; j < jobs; ++j) threads.emplace_back(work);
  work();
  for (auto& t : threads) t.join();
}

// zlib -6 over the same bytes in blocks of the packet size: the seconds to
// compress and to decompress them all on `jobs` threads, and the packed size.
struct ZlibFigures {
  double compress = 0, compress_cpu = 0, decompress = 0, decompress_cpu = 0;
  std::uint64_t packed = 0;
};
ZlibFigures zlib_figures(const std::vector<Bytes>& blocks, unsigned jobs, int repeats) {
  ZlibFigures z;
  std::vector<Bytes> packed(blocks.size());
  auto compress = [&] {
    on_threads(jobs, blocks.size(), [&](std::size_t i) {
      uLongf len = compressBound(static_cast<uLong>(blocks[i].size()));
      packed[i].resize(len);
      compress2(packed[i].data(), &len, blocks[i].data(), static_cast<uLong>(blocks[i].size()), 6);
      packed[i].resize(len);
    });
    return 0;
  };
  z.compress = best_of(repeats, compress, &z.compress_cpu);
  for (const Bytes& p : packed) z.packed += p.size();
  std::atomic<bool> ok{true};
  auto decompress = [&] {
    on_threads(jobs, blocks.size(), [&](std::size_t i) {
      Bytes out(blocks[i].size());
      uLongf len = static_cast<uLongf>(out.size());
      if (uncompress(out.data(), &len, packed[i].data(), static_cast<uLong>(packed[i].size())) != Z_OK ||
          out != blocks[i])
        ok = false;
    });
    return ok ? 0 : 1;
  };
  z.decompress = best_of(repeats, decompress, &z.decompress_cpu);
  return z;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: archive_bench CORPUS_DIR [REPEATS [JOBS]]\n");
    return 2;
  }
  const fs::path corpus = argv[1];
  const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const unsigned jobs = argc > 3 ? static_cast<unsigned>(std::max(1, std::atoi(argv[3])))
                                 : std::max(2u, std::thread::hardware_concurrency());
  std::uint64_t bytes = 0;
  std::string run;
  std::vector<Bytes> blocks;  // the corpus in blocks of the packet size, for zlib
  for (const auto& e : fs::recursive_directory_iterator(corpus))
    if (e.is_regular_file()) {
      bytes += e.file_size();
      if (run.empty() || fs::relative(e.path(), corpus).string() < run) run = fs::relative(e.path(), corpus).string();
      std::ifstream f(e.path(), std::ios::binary);
      const Bytes all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
      for (std::size_t at = 0; at < all.size(); at += 100000)
        blocks.emplace_back(all.begin() + static_cast<long>(at),
                            all.begin() + static_cast<long>(std::min<std::size_t>(all.size(), at + 100000)));
    }
  if (run.empty()) {
    std::fprintf(stderr, "archive_bench: %s holds no files\n", argv[1]);
    return 1;
  }
  char tmpl[] = "/tmp/archive_bench_XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const fs::path work = tmpl;
  const fs::path stub = work / "stub.bin";
  std::ofstream(stub, std::ios::binary) << std::string(4096, 'S');
  const fs::path setup = work / "setup.exe";
  const double mb = static_cast<double>(bytes) / 1e6;
  std::printf("corpus: %s, %.2f MB, best of %d, wall time (cpu time of that run)\n", argv[1], mb, repeats);
  // One line per command and number of jobs; the speed-up against 1 job.
  auto line = [&](const char* what, unsigned j, double t, double cpu, double one) {
    std::printf("%-18s %2u job%s %7.3f s  %7.2f MB/s  cpu %6.3f s", what, j, j == 1 ? " " : "s", t, mb / t, cpu);
    if (j > 1) std::printf("  speed-up %.2fx", one / t);
    std::printf("\n");
  };
  for (const char* cmd : {"pack", "test", "extract"}) {
    double one = 0;
    for (unsigned j : {1u, jobs}) {
      const std::string js = std::to_string(j);
      auto fn = [&]() -> int {
        if (cmd[0] == 'p')
          return qtk_cmd({"pack", corpus.string(), "-o", setup.string(), "--stub", stub.string(), "--run", run, "-q",
                          "-j", js});
        if (cmd[0] == 't') return qtk_cmd({"test", setup.string(), "-q", "-j", js});
        fs::remove_all(work / "x");
        return qtk_cmd({"extract", setup.string(), "-C", (work / "x").string(), "-q", "-j", js});
      };
      double cpu = 0;
      const double t = best_of(repeats, fn, &cpu);
      if (j == 1) one = t;
      line(cmd, j, t, cpu, one);
    }
    if (cmd[0] == 'p')
      std::printf("  installer %.2f MB (%.1f %%)\n", static_cast<double>(fs::file_size(setup)) / 1e6,
                  100.0 * static_cast<double>(fs::file_size(setup)) / static_cast<double>(bytes));
  }
  ZlibFigures z1{}, zn{};
  for (unsigned j : {1u, jobs}) (j == 1 ? z1 : zn) = zlib_figures(blocks, j, repeats);
  line("zlib -6 compress", 1, z1.compress, z1.compress_cpu, 0);
  line("zlib -6 compress", jobs, zn.compress, zn.compress_cpu, z1.compress);
  std::printf("  packed %.2f MB (%.1f %%)\n", static_cast<double>(z1.packed) / 1e6,
              100.0 * static_cast<double>(z1.packed) / static_cast<double>(bytes));
  line("zlib -6 decompress", 1, z1.decompress, z1.decompress_cpu, 0);
  line("zlib -6 decompress", jobs, zn.decompress, zn.decompress_cpu, z1.decompress);
  fs::remove_all(work);
  return 0;
}
