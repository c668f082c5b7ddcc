// The few lines of test scaffolding the C++ unit tests share: CHECK records a
// failed condition and goes on, so one run reports every failure.
#pragma once

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

namespace qvn::test {

// A new folder in the system's temporary folder, removed with its contents
// when the owner goes.
class TempFolder {
public:
    TempFolder() {
        std::random_device random;
        path_ = std::filesystem::temp_directory_path() / ("qvn-test-" + std::to_string(random()));
        std::filesystem::create_directory(path_);
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string file(const char* name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

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
