// The few lines of test scaffolding the C++ unit tests share: CHECK records a
// failed condition and goes on, so one run reports every failure.
#pragma once

#include <cstdio>

namespace qvn::test {

inline int g_failures = 0;

// The exit code of a test program: 0 when every check held.
inline int finish(const char* suite) {
    if (g_failures != 0) {
        std::fprintf(stderr, "%d check(s) failed\n", g_failures);
        return 1;
    }
    std::printf("%s tests passed\n", suite);
    return 0;
}

}  // namespace qvn::test

#define CHECK(cond)                                                                        \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond);  \
            ++qvn::test::g_failures;                                                       \
        }                                                                                  \
    } while (0)
