#include "test_support.h"

#include "keel/os_runtime.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace keel_test {

StderrCapture::StderrCapture(bool keep) {
    fflush(stderr);
    char path[] = "/tmp/keel_stderr_XXXXXX";
    file_fd_ = keep ? mkstemp(path) : open("/dev/null", O_WRONLY);
    if (file_fd_ < 0) abort();
    if (keep) unlink(path);
    saved_fd_ = dup(2);
    dup2(file_fd_, 2);
}

StderrCapture::~StderrCapture() { text(); }

std::string StderrCapture::text() {
    if (saved_fd_ < 0) return text_;
    text_ = so_far();
    dup2(saved_fd_, 2);
    close(saved_fd_);
    close(file_fd_);
    saved_fd_ = file_fd_ = -1;
    return text_;
}

std::string StderrCapture::so_far() {
    if (saved_fd_ < 0) return text_;
    fflush(stderr);
    std::string got;
    char chunk[65536];
    off_t at = 0;
    for (ssize_t n; (n = pread(file_fd_, chunk, sizeof chunk, at)) > 0; at += n) got.append(chunk, static_cast<size_t>(n));
    return got;
}

std::string output_of(const std::string &command, const std::string &input) {
    char path[] = "/tmp/keel_input_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, input.data(), input.size()) != static_cast<ssize_t>(input.size())) abort();
    close(fd);
    std::string out;
    if (FILE *p = popen((command + " " + path + " 2>/dev/null").c_str(), "r")) {
        char chunk[4096];
        for (size_t n; (n = fread(chunk, 1, sizeof chunk, p)) > 0;) out.append(chunk, n);
        pclose(p);
    }
    unlink(path);
    return out;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> open_files() {
    std::vector<std::string> names;
    for (const auto &fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        names.push_back(std::filesystem::read_symlink(fd.path(), ec).string());
    }
    return names;
}

bool is_open(const std::string &file) {
    std::vector<std::string> names = open_files();
    return std::find(names.begin(), names.end(), file) != names.end();
}

bool fd_count_returns_to(int count) {
    return wait_until([count] { return fd_count() == count; });
}

bool wait_until_locked(const std::function<bool()> &pred, std::chrono::milliseconds deadline) {
    return wait_until(
        [&] {
            os_main_lock();
            bool held = pred();
            os_main_unlock();
            return held;
        },
        deadline);
}

bool on_main_thread(const std::function<void()> &fn) {
    struct Call {
        std::function<void()> fn;
        std::atomic<bool> done{false};
    };
    auto call = std::make_shared<Call>();
    call->fn = fn;
    auto *keep = new std::shared_ptr<Call>(call);
    if (!os_post_func(
            [](void *arg) {
                auto *held = static_cast<std::shared_ptr<Call> *>(arg);
                (*held)->fn();
                (*held)->done = true;
                delete held;
            },
            keep)) {
        delete keep;
        return false;
    }
    return wait_until([&] { return call->done.load(); });
}

int count_of(const std::string &text, const std::string &needle) {
    int n = 0;
    for (const std::string &line : lines_of(text))
        if (line.find(needle) != std::string::npos) ++n;
    return n;
}

}  // namespace keel_test
