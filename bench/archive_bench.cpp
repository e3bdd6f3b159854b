// Throughput of qtk pack (1 and 2 jobs), test and extract on a folder.
// usage: archive_bench CORPUS_DIR [REPEATS]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: archive_bench CORPUS_DIR [REPEATS]\n");
    return 2;
  }
  const fs::path corpus = argv[1];
  const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  std::uint64_t bytes = 0;
  std::string run;
  for (const auto& e : fs::recursive_directory_iterator(corpus))
    if (e.is_regular_file()) {
      bytes += e.file_size();
      if (run.empty() || fs::relative(e.path(), corpus).string() < run) run = fs::relative(e.path(), corpus).string();
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
  auto pack = [&](int jobs) {
    return qtk_cmd({"pack", corpus.string(), "-o", setup.string(), "--stub", stub.string(), "--run", run, "-q",
                    "-j", std::to_string(jobs)});
  };
  const double mb = static_cast<double>(bytes) / 1e6;
  std::printf("corpus: %s, %.2f MB, best of %d\n", argv[1], mb, repeats);
  double c1 = 0, c2 = 0;
  const double p1 = best_of(repeats, [&] { return pack(1); }, &c1);
  const double p2 = best_of(repeats, [&] { return pack(2); }, &c2);
  const double packed = static_cast<double>(fs::file_size(setup)) / 1e6;
  const double t = best_of(repeats, [&] { return qtk_cmd({"test", setup.string(), "-q"}); });
  const double x = best_of(repeats, [&] {
    fs::remove_all(work / "x");
    return qtk_cmd({"extract", setup.string(), "-C", (work / "x").string(), "-q"});
  });
  std::printf("pack    1 job : %7.3f s  %7.2f MB/s  cpu %.3f s  (installer %.2f MB)\n", p1, mb / p1, c1,
              packed);
  std::printf("pack    2 jobs: %7.3f s  %7.2f MB/s  cpu %.3f s  speed-up %.2fx\n", p2, mb / p2, c2, p1 / p2);
  std::printf("test          : %7.3f s  %7.2f MB/s\n", t, mb / t);
  std::printf("extract       : %7.3f s  %7.2f MB/s\n", x, mb / x);
  fs::remove_all(work);
  return 0;
}
