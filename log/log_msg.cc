// The exported message families: dated, undated and buffered lines, each with
// a plain, an errno-carrying and a quitting member, and an underscore twin of
// every one of them.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "keel/log.h"
#include "log/log_internal.h"

namespace {

// The end of a dated or undated quit: a dated "exit!!!", one number read from
// standard input so that an operator can read the screen, then exit code 1.
[[noreturn]] void quit_sequence() {
    log_msg("exit!!!");
    int ignored = 0;
    if (scanf("%d", &ignored) < 0) ignored = 0;
    exit(1);
}

}  // namespace

// Defines `name` and `_name` with one body. `with_errno` members read errno
// before anything else can change it.
#define KEEL_MSG_PAIR(name, builder, level, with_errno, tail)   \
    static void name##_v(int error, const char *fmt, va_list args) { \
        builder(with_errno, error, fmt, args, level);            \
    }                                                            \
    extern "C" KEEL_API void name(const char *fmt, ...) {        \
        int error = errno;                                       \
        va_list args;                                            \
        va_start(args, fmt);                                     \
        name##_v(error, fmt, args);                              \
        va_end(args);                                            \
        tail;                                                    \
    }                                                            \
    extern "C" KEEL_API void _##name(const char *fmt, ...) {     \
        int error = errno;                                       \
        va_list args;                                            \
        va_start(args, fmt);                                     \
        name##_v(error, fmt, args);                              \
        va_end(args);                                            \
        tail;                                                    \
    }

using keel::log::log_emit_buffered;
using keel::log::log_emit_dated;
using keel::log::log_emit_undated;

KEEL_MSG_PAIR(log_msg, log_emit_dated, LOG_LEVEL_INFO, 0, (void)0)
KEEL_MSG_PAIR(err_msg, log_emit_dated, LOG_LEVEL_ERROR, 1, (void)0)
KEEL_MSG_PAIR(log_quit, log_emit_dated, LOG_LEVEL_FATAL, 0, quit_sequence())
KEEL_MSG_PAIR(err_quit, log_emit_dated, LOG_LEVEL_FATAL, 0, quit_sequence())

KEEL_MSG_PAIR(log_msg2, log_emit_undated, LOG_LEVEL_INFO, 0, (void)0)
KEEL_MSG_PAIR(err_msg2, log_emit_undated, LOG_LEVEL_ERROR, 1, (void)0)
KEEL_MSG_PAIR(log_quit2, log_emit_undated, LOG_LEVEL_FATAL, 0, quit_sequence())
KEEL_MSG_PAIR(err_quit2, log_emit_undated, LOG_LEVEL_FATAL, 0, quit_sequence())

KEEL_MSG_PAIR(log_buf_msg_unlock, log_emit_buffered, LOG_LEVEL_INFO, 0, (void)0)
KEEL_MSG_PAIR(err_buf_msg_unlock, log_emit_buffered, LOG_LEVEL_ERROR, 1, (void)0)
KEEL_MSG_PAIR(log_buf_quit_unlock, log_emit_buffered, LOG_LEVEL_FATAL, 0, exit(1))
KEEL_MSG_PAIR(err_buf_quit_unlock, log_emit_buffered, LOG_LEVEL_FATAL, 1, exit(1))
