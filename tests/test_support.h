// Helpers shared by the test programs: those of test_core.h, net_support.h and peers.h, waits on the runtime's main
// thread, and peers' output.
#pragma once

#include <atomic>
#include <memory>

#include "keel/os_runtime.h"
#include "peers.h"
#include "test_core.h"

namespace keel_test {

// Runs `command FILE` with FILE holding input, and returns its standard output. The command runs as a peer does: with
// a deadline, and never beyond the test.
inline std::string output_of(const std::string &command, const std::string &input) {
    char path[] = "/tmp/keel_input_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, input.data(), input.size()) != static_cast<ssize_t>(input.size())) abort();
    close(fd);
    std::string log = path + std::string(".out"), out;
    if (Child run({"sh", "-c", command + " " + path + " 2>/dev/null"}, log); run.exited(std::chrono::seconds(30)))
        out = run.output();
    unlink(path), unlink(log.c_str());
    return out;
}

inline bool is_open(const std::string &file) {  // by one of the process's descriptors
    std::error_code ec;
    for (const auto &fd : std::filesystem::directory_iterator("/proc/self/fd"))
        if (std::filesystem::read_symlink(fd.path(), ec) == file) return true;
    return false;
}

}  // namespace keel_test
