#pragma once

#include <cstdio>
#include <cstdlib>

/// A broken invariant: libFuzzer records the input that led here as a crash.
#define FUZZ_REQUIRE(condition)                                                          \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                \
        }                                                                                \
    } while (0)
