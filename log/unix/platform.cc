// The log's system services on Linux.
#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/log_platform.h"

namespace keel::log {

const char *const kAppendMode = "ae";
const char *const kPathSeparator = "/";

bool stderr_is_journal() {
    const char *stream = getenv("JOURNAL_STREAM");
    unsigned long long dev, ino;
    struct stat err {};
    return stream != nullptr && sscanf(stream, "%llu:%llu", &dev, &ino) == 2 && fstat(STDERR_FILENO, &err) == 0 &&
           static_cast<unsigned long long>(err.st_dev) == dev && static_cast<unsigned long long>(err.st_ino) == ino;
}

// The stream lock of standard error is the most contended lock of a line
// when many threads report. Once the stream holds nothing, the line goes out
// in one write of its own, without the stream's longer way to the same write
// (a few hundred instructions a line). A stream with no descriptor (one the
// caller made of memory or a cookie) is written as a stream.
void write_stderr(const char *text, size_t len) {
    fflush(stdout);
    flockfile(stderr);
    int fd = fflush_unlocked(stderr) == 0 ? fileno_unlocked(stderr) : -1;
    if (fd < 0) {
        fwrite_unlocked(text, 1, len, stderr);
        fflush_unlocked(stderr);
    }
    while (fd >= 0 && len > 0) {
        ssize_t n = write(fd, text, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // nowhere to write: the line is lost to this sink only
        text += n;
        len -= static_cast<size_t>(n);
    }
    funlockfile(stderr);
}

void write_debugger(const char *) {}

void platform_local_time(time_t when, struct tm *out) { localtime_r(&when, out); }

// The GNU strerror_r returns either scratch or a static text.
const char *platform_error_text(int error, char *scratch, int size) {
    return strerror_r(error, scratch, static_cast<size_t>(size));
}

bool program_path(char *out, size_t size) {
    ssize_t len = readlink("/proc/self/exe", out, size - 1);
    if (len <= 0) return false;
    out[len] = '\0';
    return true;
}

// Found from the address of one of the library's own functions.
bool library_path(char *out, size_t size) {
    Dl_info info;
    char resolved[PATH_MAX];
    if (dladdr(reinterpret_cast<void *>(&library_path), &info) == 0 || info.dli_fname == nullptr) return false;
    const char *module = realpath(info.dli_fname, resolved) != nullptr ? resolved : info.dli_fname;
    if (strlen(module) >= size) return false;
    strcpy(out, module);
    return true;
}

void take_size_limit_signal() {
    sigset_t xfsz;
    sigemptyset(&xfsz);
    sigaddset(&xfsz, SIGXFSZ);
    timespec now{};
    while (sigtimedwait(&xfsz, nullptr, &now) == SIGXFSZ) {
    }
}

}  // namespace keel::log
