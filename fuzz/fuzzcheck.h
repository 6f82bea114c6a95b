/// @brief The one assertion the harnesses use: a message, then a trap that libFuzzer records as a finding.
#pragma once

#include <cstdio>

// assert() would vanish under the preset's NDEBUG, and a plain abort() loses which invariant
// broke; the message lands in the fuzzer's log next to the saved input.
#define FUZZ_CHECK(cond, ...)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "FUZZ_CHECK failed at %s:%d: %s\n  ", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, __VA_ARGS__);                                                     \
            std::fputc('\n', stderr);                                                              \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (0)
