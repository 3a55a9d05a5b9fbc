// The library's own reporting frame: every report names the base name of the
// reporting source file and its line, and goes through log_debug_ex.
#pragma once

#include <cstdlib>
#include <cstring>
#include <new>

#include "keel/log.h"

namespace keel {

// Evaluated at compile time, so a report costs no string scan at run time.
consteval const char *base_name(const char *path) {
    const char *base = path;
    for (const char *p = path; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    return base;
}

}  // namespace keel

#define KEEL_REPORT(level, ...) \
    log_debug_ex((level), ::keel::base_name(__FILE__), __LINE__, __VA_ARGS__)

// Argument checks and most failed calls.
#define KEEL_INFO(...) KEEL_REPORT(LOG_LEVEL_INFO, __VA_ARGS__)
// What works but should not be so: a slow callback.
#define KEEL_WARN(...) KEEL_REPORT(LOG_LEVEL_WARN, __VA_ARGS__)
// Failed system calls: the line carries the text of errno.
#define KEEL_ERROR(...) KEEL_REPORT(LOG_LEVEL_ERROR, __VA_ARGS__)
// Unrecoverable failures end the process right after the report.
#define KEEL_FATAL(...)                             \
    do {                                            \
        KEEL_REPORT(LOG_LEVEL_FATAL, __VA_ARGS__);  \
        std::exit(1);                               \
    } while (0)

namespace keel {

// Grows one of the library's own containers (a queue of messages, an index
// by descriptor). When memory runs out there, the process ends with a fatal
// report, as for any allocation the library cannot do without; the
// exception must never travel on, through the frames of a caller's callback
// that called back into the library.
// The report names the caller's file and line.
template <class Grow>
inline void grow_or_exit(const char *what, Grow &&grow, const char *file = __builtin_FILE(),
                         int line = __builtin_LINE()) {
    try {
        grow();
    } catch (const std::bad_alloc &) {
        const char *base = strrchr(file, '/');
        log_debug_ex(LOG_LEVEL_FATAL, base != nullptr ? base + 1 : file, line, "malloc fail, %s", what);
        std::exit(1);
    }
}

}  // namespace keel
