// The codec's error reports, passed to the host's hook.
#include "codec_testing.h"
#include "model.h"

namespace {
codec_error_hook g_hook = nullptr;
int g_count = 0;
int g_last = 0;
}  // namespace

void codec_set_error_hook(codec_error_hook hook) { g_hook = hook; }

void codec::report_error(int code) {
  ++g_count;
  g_last = code;
  if (g_hook) g_hook(code);
}

int codec_error_count() { return g_count; }
int codec_last_error() { return g_last; }
