// The codec's error reports: into the caller's record, and counted for the
// tests' diagnostics.
#include <atomic>

#include "codec_testing.h"
#include "model.h"

namespace {
// Packets may decode on several threads at once (see packet_decode).
std::atomic<int> g_count{0};
std::atomic<int> g_last{0};
}  // namespace

void codec::report_error(CodecReport* report, int code) {
  g_count.fetch_add(1, std::memory_order_relaxed);
  g_last.store(code, std::memory_order_relaxed);
  if (report) {
    ++report->count;
    report->code = code;
  }
}

int codec_error_count() { return g_count.load(std::memory_order_relaxed); }
int codec_last_error() { return g_last.load(std::memory_order_relaxed); }
