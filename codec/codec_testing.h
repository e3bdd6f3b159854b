// Calls for the codec's tests and diagnostics; no program links on them.
#pragma once

#include <cstdint>

#include "codec.h"

// The number of error reports the codec has made in this process, and the
// code of the last one.
int codec_error_count();
int codec_last_error();

// Decodes a stream only to list its tokens: fn(ctx, code, position) for every
// character code (0-255 literal, 256-313 match of length code - 253).
using codec_token_fn = void (*)(void* ctx, unsigned code, unsigned position);
int codec_trace(const std::uint8_t* input, std::uint32_t input_len, codec_token_fn fn, void* ctx);
