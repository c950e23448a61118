#pragma once
// A broken invariant in a fuzz target is a finding like a crash: it is
// reported with what was expected and where, and the run stops so that
// libFuzzer keeps the input (crash-<sha1>).
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, what)                                                   \
  do {                                                                                \
    if (!(condition)) {                                                               \
      std::fprintf(stderr, "broken invariant: %s\n  (%s) at %s:%d\n", what, #condition, \
                   __FILE__, __LINE__);                                               \
      std::abort();                                                                   \
    }                                                                                 \
  } while (false)
