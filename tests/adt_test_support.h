// Helpers for the container tests: read back the library's info reports, and
// make one large allocation fail while small ones still succeed.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

namespace keel_test {

// The messages of the info reports of `file` in text; any other line comes
// back whole, marked, so that it spoils a comparison.
inline std::vector<std::string> info_messages(const std::string &text, const std::string &file) {
    const std::regex info(R"(\[[-0-9: ]+\] \[info\]  file: )" + file + R"( line: \d+ (.*))");
    std::vector<std::string> out;
    std::smatch m;
    for (const auto &line : lines_of(text))
        out.push_back(std::regex_match(line, m, info) ? m[1].str() : "unexpected: " + line);
    return out;
}

// Caps the address space 64 MiB above its present size while it lives.
class AddressSpaceCap {
public:
    static constexpr size_t kTooLarge = size_t{256} << 20;

    AddressSpaceCap() {
        getrlimit(RLIMIT_AS, &saved_);
        long pages = 0;
        if (FILE *f = fopen("/proc/self/statm", "r")) {
            if (fscanf(f, "%ld", &pages) != 1) pages = 0;
            fclose(f);
        }
        rlimit tight = saved_;
        tight.rlim_cur = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE)) + (rlim_t{64} << 20);
        setrlimit(RLIMIT_AS, &tight);
    }
    ~AddressSpaceCap() { setrlimit(RLIMIT_AS, &saved_); }
    AddressSpaceCap(const AddressSpaceCap &) = delete;
    AddressSpaceCap &operator=(const AddressSpaceCap &) = delete;

private:
    rlimit saved_{};
};

}  // namespace keel_test

// Under AddressSanitizer a failed allocation must come back as NULL, as it does
// from the C library, instead of ending the test program.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }
