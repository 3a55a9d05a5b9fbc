// The library's own reporting frame: every report names the base name of the
// reporting source file and its line, and goes through log_debug_ex.
#pragma once

#include <cstdlib>

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
// Failed system calls: the line carries the text of errno.
#define KEEL_ERROR(...) KEEL_REPORT(LOG_LEVEL_ERROR, __VA_ARGS__)
// Unrecoverable failures end the process right after the report.
#define KEEL_FATAL(...)                             \
    do {                                            \
        KEEL_REPORT(LOG_LEVEL_FATAL, __VA_ARGS__);  \
        std::exit(1);                               \
    } while (0)
