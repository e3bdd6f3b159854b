// FUZZ_CHECK(cond): a fuzz target's assertion. On failure it names the
// check and stops the process with abort(), which libFuzzer and the replay
// runner both report as a crash (the input is then kept as crash-<hash>).
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                             \
  do {                                                                               \
    if (!(cond)) {                                                                   \
      std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)
