// Helpers shared by the test programs: capture what the library writes to standard error, waits on the runtime's main
// thread, and those of net_support.h and peers.h.
#pragma once

#include <atomic>
#include <memory>

#include "keel/os_runtime.h"
#include "peers.h"

namespace keel_test {

// Sends file descriptor 2 to a temporary file (or, for floods, to /dev/null) until text() or the destructor.
class StderrCapture {
public:
    explicit StderrCapture(bool keep = true) {
        fflush(stderr);
        char path[] = "/tmp/keel_stderr_XXXXXX";
        if ((file_fd_ = keep ? mkstemp(path) : open("/dev/null", O_WRONLY)) < 0) abort();
        if (keep) unlink(path);
        saved_fd_ = dup(2);
        dup2(file_fd_, 2);
    }
    ~StderrCapture() { text(); }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;
    // Stops capturing and returns everything written meanwhile.
    std::string text() {
        if (saved_fd_ < 0) return text_;
        text_ = so_far();
        dup2(saved_fd_, 2), close(saved_fd_), close(file_fd_);
        saved_fd_ = file_fd_ = -1;
        return text_;
    }
    // What was written so far; capturing goes on. Read by its descriptor, since a case may have run out of others.
    std::string so_far() {
        if (saved_fd_ < 0) return text_;
        fflush(stderr);
        std::string got(lseek(file_fd_, 0, SEEK_END), '\0');  // where fd 2 writes next: the size
        return got.substr(0, std::max<ssize_t>(pread(file_fd_, got.data(), got.size(), 0), 0));
    }

private:
    int saved_fd_ = -1, file_fd_ = -1;
    std::string text_;
};

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

// Runs fn on the runtime's main thread and waits for it: every message queued before has been handled when this
// returns. The call may run after a wait that gave up: it holds what it needs.
inline bool on_main_thread(const std::function<void()> &fn) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto *call = new std::function<void()>([fn, done] { fn(), *done = true; });
    auto run = [](void *arg) {
        (*std::unique_ptr<std::function<void()>>(static_cast<std::function<void()> *>(arg)))();
    };
    if (os_post_func(run, call)) return wait_until([&] { return done->load(); });
    delete call;
    return false;
}

// wait_until with pred run under the main lock, for predicates that read what callbacks write on the main thread.
inline bool wait_until_locked(const std::function<bool()> &pred,
                              std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
    auto locked = [&] {
        os_main_lock();
        bool held = pred();
        os_main_unlock();
        return held;
    };
    return wait_until(locked, deadline);
}

// Without their newlines. No stream: the sanitizer's check of one needs a descriptor, and a case may have none left.
inline std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}
inline int count_of(const std::string &text, const std::string &needle) {  // lines that hold needle
    int n = 0;
    for (const std::string &line : lines_of(text)) n += line.find(needle) != std::string::npos;
    return n;
}
inline bool is_open(const std::string &file) {  // by one of the process's descriptors
    std::error_code ec;
    for (const auto &fd : std::filesystem::directory_iterator("/proc/self/fd"))
        if (std::filesystem::read_symlink(fd.path(), ec) == file) return true;
    return false;
}

// Waits until the process holds `count` descriptors again (a socket closes on the main thread, a little after the
// call).
inline bool fd_count_returns_to(int count) {
    return wait_until([count] { return fd_count() == count; });
}

}  // namespace keel_test
