// A broken invariant ends the fuzz run: libFuzzer keeps the input that caused it.
#ifndef RXP_FUZZ_FUZZ_CHECK_H
#define RXP_FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond, what)                                                  \
    do {                                                                        \
        if (!(cond)) {                                                          \
            std::fprintf(stderr, "invariant violated: %s (%s)\n", what, #cond); \
            std::abort();                                                       \
        }                                                                       \
    } while (0)

#endif  // RXP_FUZZ_FUZZ_CHECK_H
