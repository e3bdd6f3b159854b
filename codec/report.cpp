// The codec's error reports, passed to the host's hook.
#include <atomic>

#include "codec_testing.h"
#include "model.h"

namespace {
codec_error_hook g_hook = nullptr;
// Packets may decode on several threads at once (see packet_decode).
std::atomic<int> g_count{0};
std::atomic<int> g_last{0};
}  // namespace

void codec_set_error_hook(codec_error_hook hook) { g_hook = hook; }

void codec::report_error(int code) {
  g_count.fetch_add(1, std::memory_order_relaxed);
  g_last.store(code, std::memory_order_relaxed);
  if (g_hook) g_hook(code);
}

int codec_error_count() { return g_count.load(std::memory_order_relaxed); }
int codec_last_error() { return g_last.load(std::memory_order_relaxed); }
