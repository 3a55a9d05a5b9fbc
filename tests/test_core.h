// The helpers every test program may use, on every platform: waits with a deadline (also on the runtime's main
// thread), what the library writes to standard error, its lines and reports, and the CPU time spent.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "keel/os_runtime.h"

namespace keel_test {

#ifdef _WIN32
constexpr const char *kNullDevice = "NUL";
#else
constexpr const char *kNullDevice = "/dev/null";
#endif

// Polls pred every `step` until it holds or the deadline passes.
inline bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds deadline = std::chrono::seconds(5),
                       std::chrono::microseconds step = std::chrono::milliseconds(1)) {
    for (auto end = std::chrono::steady_clock::now() + deadline; !pred(); std::this_thread::sleep_for(step))
        if (std::chrono::steady_clock::now() >= end) return false;
    return true;
}

inline std::string pattern(size_t n, unsigned seed) {  // n bytes of noise, the same for the same seed
    std::string s(n, '\0');
    std::mt19937 gen(seed);
    for (char &c : s) c = static_cast<char>(gen());
    return s;
}
// Sends file descriptor 2 to a temporary file (or, for floods, to /dev/null) until text() or the destructor.
class StderrCapture {
public:
    explicit StderrCapture(bool keep = true) {
        fflush(stderr);
#ifdef _WIN32  // an open file cannot be unlinked there: it goes when its last handle closes
        char path[] = "keel_stderr_XXXXXX";
        if (keep && _mktemp_s(path, sizeof path) != 0) abort();
        // Opened to append only, each write lands at the end, wherever a read left the offset descriptor 2 shares.
        HANDLE file = keep ? CreateFileA(path, GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr)
                           : INVALID_HANDLE_VALUE;
        file_fd_ = keep ? (file == INVALID_HANDLE_VALUE ? -1 : _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND))
                        : open(kNullDevice, O_WRONLY);
        if (file_fd_ < 0) abort();
#else
        char path[] = "/tmp/keel_stderr_XXXXXX";
        if ((file_fd_ = keep ? mkstemp(path) : open(kNullDevice, O_WRONLY)) < 0) abort();
        if (keep) unlink(path);
#endif
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
    // Descriptor 2 shares the file's offset: a read that moved it would have a line written meanwhile land over the
    // first ones. pread leaves it; on Windows the file is opened to append only.
    std::string so_far() {
        if (saved_fd_ < 0) return text_;
        fflush(stderr);
#ifdef _WIN32  // standard error is a text stream there: each line ends in CR LF
        HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(file_fd_));
        LARGE_INTEGER size{};
        GetFileSizeEx(file, &size);
        std::string got(static_cast<size_t>(size.QuadPart), '\0');
        OVERLAPPED at{};  // from the start
        DWORD n = 0;
        if (!got.empty() && !ReadFile(file, got.data(), static_cast<DWORD>(got.size()), &n, &at)) n = 0;
        got.resize(n);
        got.erase(std::remove(got.begin(), got.end(), '\r'), got.end());
#else
        struct stat file {};
        fstat(file_fd_, &file);
        std::string got(static_cast<size_t>(file.st_size), '\0');
        got.resize(static_cast<size_t>(std::max<ssize_t>(pread(file_fd_, got.data(), got.size(), 0), 0)));
#endif
        return got;
    }

private:
    int saved_fd_ = -1, file_fd_ = -1;
    std::string text_;
};

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

// The message of each of the library's report lines in text.
inline std::vector<std::string> reports(const std::string &text) {
    static const std::regex line(R"(\[\w+\]  file: \S+ line: \d+ (.*))");
    std::vector<std::string> out;
    for (std::sregex_iterator m(text.begin(), text.end(), line), end; m != end; ++m) out.push_back((*m)[1].str());
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

// True when the program runs under wine, whose sockets differ from Windows' in a few ways that the cases name.
inline bool under_wine() {
#ifdef _WIN32
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// CPU time of the whole process so far (all its threads): a spinning thread shows in it.
inline double cpu_ms() {
#ifdef _WIN32  // clock() counts the wall clock there
    FILETIME created, ended, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    auto ms = [](FILETIME t) { return (uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 1e4; };
    return ms(kernel) + ms(user);
#else
    return std::clock() * 1e3 / CLOCKS_PER_SEC;
#endif
}

}  // namespace keel_test
