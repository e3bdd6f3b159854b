// Codec throughput and ratio on a corpus, in packet-sized blocks, with
// zlib's deflate on the same blocks for comparison.
//   codec_bench [CORPUS_DIR] [ROUNDS]
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec.h"
#include <zlib.h>

namespace {

// Timings are this thread's CPU time, so other work on the machine does not
// count against the codec.
struct Clock {
  using time_point = double;
  static double now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }
};
using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kBlock = 100000;

struct Figures {
  double compress_mbs = 0, decompress_mbs = 0;
  std::size_t in = 0, out = 0;
};

double seconds_since(Clock::time_point t) { return Clock::now() - t; }

// Best of `rounds` timings, so a busy moment on the machine does not count.
template <class F>
double best_time(int rounds, F&& f) {
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    auto t = Clock::now();
    f();
    best = std::min(best, seconds_since(t));
  }
  return best;
}

Figures bench_qtk(const std::vector<Bytes>& blocks, std::size_t total, int rounds) {
  Figures f;
  // Buffers are made before the clock starts.
  std::vector<Bytes> packed(blocks.size(), Bytes(2 * kBlock));
  std::vector<std::uint32_t> lens(blocks.size());
  const double tc = best_time(rounds, [&] {
    for (std::size_t i = 0; i < blocks.size(); ++i)
      codec_compress(blocks[i].data(), packed[i].data(), static_cast<std::uint32_t>(blocks[i].size()),
                     static_cast<std::uint32_t>(packed[i].size()), &lens[i]);
  });
  Bytes out(kBlock);
  bool ok = true;
  const double td = best_time(rounds, [&] {
    for (std::size_t i = 0; i < blocks.size(); ++i)
      codec_decompress(packed[i].data(), out.data(), lens[i], static_cast<std::uint32_t>(blocks[i].size()));
  });
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    codec_decompress(packed[i].data(), out.data(), lens[i], static_cast<std::uint32_t>(blocks[i].size()));
    ok = ok && std::memcmp(out.data(), blocks[i].data(), blocks[i].size()) == 0;
    f.out += lens[i];
  }
  if (!ok) std::printf("ROUND TRIP FAILED\n");
  f.in = total;
  f.compress_mbs = static_cast<double>(total) / 1e6 / tc;
  f.decompress_mbs = static_cast<double>(total) / 1e6 / td;
  return f;
}

Figures bench_zlib(const std::vector<Bytes>& blocks, std::size_t total, int level, int rounds) {
  Figures f;
  std::vector<Bytes> packed(blocks.size());
  const double tc = best_time(rounds, [&] {
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      uLongf len = compressBound(static_cast<uLong>(blocks[i].size()));
      packed[i].resize(len);
      compress2(packed[i].data(), &len, blocks[i].data(), static_cast<uLong>(blocks[i].size()), level);
      packed[i].resize(len);
    }
  });
  Bytes out(kBlock);
  const double td = best_time(rounds, [&] {
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      uLongf len = kBlock;
      uncompress(out.data(), &len, packed[i].data(), static_cast<uLong>(packed[i].size()));
    }
  });
  for (const auto& p : packed) f.out += p.size();
  f.in = total;
  f.compress_mbs = static_cast<double>(total) / 1e6 / tc;
  f.decompress_mbs = static_cast<double>(total) / 1e6 / td;
  return f;
}

void print_row(const char* name, const Figures& f) {
  std::printf("%-14s %10.1f %12.1f %12zu %8.1f %%\n", name, f.compress_mbs, f.decompress_mbs, f.out,
              100.0 * static_cast<double>(f.out) / static_cast<double>(f.in));
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  const fs::path dir = argc > 1 ? argv[1] : QTK_DEFAULT_CORPUS;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file() && e.path().extension() != ".md") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::fprintf(stderr, "codec_bench: no corpus files in %s\n", dir.c_str());
    return 2;
  }

  std::vector<Bytes> blocks;
  std::size_t total = 0;
  std::printf("codec benchmark: %s, %zu-byte blocks, best of %d rounds, thread CPU time\n\n", dir.c_str(), kBlock,
              rounds);
  std::printf("%-16s %10s %12s %12s %8s %10s %10s\n", "file", "bytes", "qtk bytes", "ratio", "zlib-6", "comp MB/s",
              "dec MB/s");
  for (const auto& p : files) {
    std::ifstream in(p, std::ios::binary);
    Bytes all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Bytes> mine;
    for (std::size_t off = 0; off < all.size(); off += kBlock)
      mine.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(off),
                        all.begin() + static_cast<std::ptrdiff_t>(std::min(all.size(), off + kBlock)));
    Figures q = bench_qtk(mine, all.size(), 1);
    double z6 = 0;
    Figures z = bench_zlib(mine, all.size(), 6, 1);
    z6 = 100.0 * static_cast<double>(z.out) / static_cast<double>(z.in);
    std::printf("%-16s %10zu %12zu %11.1f%% %7.1f%% %10.1f %10.1f\n", p.filename().c_str(), all.size(), q.out,
                100.0 * static_cast<double>(q.out) / static_cast<double>(q.in), z6, q.compress_mbs, q.decompress_mbs);
    for (auto& b : mine) blocks.push_back(std::move(b));
    total += all.size();
  }

  std::printf("\nwhole corpus, %zu bytes in %zu blocks:\n", total, blocks.size());
  std::printf("%-14s %10s %12s %12s %10s\n", "codec", "comp MB/s", "decomp MB/s", "bytes out", "size");
  Figures q = bench_qtk(blocks, total, rounds);
  print_row("qtk", q);
  Figures z6 = bench_zlib(blocks, total, 6, rounds);
  Figures z9 = bench_zlib(blocks, total, 9, rounds);
  print_row("zlib -6", z6);
  print_row("zlib -9", z9);
  std::printf("\nqtk / zlib-6: compression speed %.2f, decompression speed %.2f, size %.2f\n",
              q.compress_mbs / z6.compress_mbs, q.decompress_mbs / z6.decompress_mbs,
              static_cast<double>(q.out) / static_cast<double>(z6.out));
  std::printf("qtk / zlib-9: compression speed %.2f, decompression speed %.2f, size %.2f\n",
              q.compress_mbs / z9.compress_mbs, q.decompress_mbs / z9.decompress_mbs,
              static_cast<double>(q.out) / static_cast<double>(z9.out));
  std::printf("\ntargets: compression >= 15 MB/s, decompression >= 60 MB/s (one core)\n");
  return 0;
}
