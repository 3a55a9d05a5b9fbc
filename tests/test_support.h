// Helpers shared by the test programs: capture what the library writes to
// standard error, waits on the runtime's main thread, and those of net_support.h.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "net_support.h"

namespace keel_test {

// Sends file descriptor 2 to a temporary file (or, for floods, to /dev/null)
// until text() or the destructor.
class StderrCapture {
public:
    explicit StderrCapture(bool keep = true);
    ~StderrCapture();
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    // Stops capturing and returns everything written meanwhile.
    std::string text();
    // What was written so far; capturing goes on.
    std::string so_far();

private:
    int saved_fd_ = -1;
    int file_fd_ = -1;
    std::string text_;
};

// Runs `command FILE` with FILE holding input, and returns its standard output.
std::string output_of(const std::string &command, const std::string &input);

// Splits text into lines without their newlines.
std::vector<std::string> lines_of(const std::string &text);

// What each of the process's descriptors names.
std::vector<std::string> open_files();
bool is_open(const std::string &file);
// Waits until the process holds `count` descriptors again (closes of sockets
// happen on the main thread, a little after the call that asked for them).
bool fd_count_returns_to(int count);

// wait_until with pred run under the main lock, for predicates that read what
// callbacks write on the main thread.
bool wait_until_locked(const std::function<bool()> &pred,
                       std::chrono::milliseconds deadline = std::chrono::seconds(5));

// Runs fn on the runtime's main thread and waits for it: every message queued
// before has been handled when this returns.
bool on_main_thread(const std::function<void()> &fn);

// Lines of `text` that contain `needle`.
int count_of(const std::string &text, const std::string &needle);

}  // namespace keel_test
