// Test helpers for the codec: compress a buffer, list a stream's tokens.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <vector>

#include "codec.h"
#include "codec_testing.h"
#include "model.h"

using Bytes = std::vector<std::uint8_t>;

// The compressed stream of `in`; the compressor must succeed.
inline Bytes compress(const Bytes& in) {
  Bytes out(codec_compress_bound(static_cast<std::uint32_t>(in.size())));
  std::uint32_t len = 0;
  EXPECT_EQ(codec_compress(in.data(), out.data(), static_cast<std::uint32_t>(in.size()),
                           static_cast<std::uint32_t>(out.size()), &len),
            0);
  out.resize(len);
  return out;
}

// A literal has code >= 0; a match has code = -length and its position.
struct Token {
  int code;
  unsigned pos;
  bool operator==(const Token&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Token& t) {
  if (t.code >= 0) return os << "lit(" << t.code << ")";
  return os << "match(" << -t.code << "@" << t.pos << ")";
}

inline std::vector<Token> trace_tokens(const Bytes& plain) {
  const Bytes s = compress(plain);
  std::vector<Token> out;
  codec_trace(
      s.data(), static_cast<std::uint32_t>(s.size()),
      [](void* ctx, unsigned code, unsigned pos) {
        auto* v = static_cast<std::vector<Token>*>(ctx);
        if (code < 256) v->push_back({static_cast<int>(code), 0});
        else v->push_back({-static_cast<int>(code - 253), pos});
      },
      &out);
  return out;
}

// The number of the model update that first rescales.
inline unsigned first_rescale_update() {
  codec::Model m;
  codec::model_init(m);
  for (unsigned n = 1;; ++n) {
    const bool rescales = codec::model_total(m) >= codec::kMaxCum;
    codec::model_update(m, 1 + n % 7);
    if (rescales) return n;
  }
}
