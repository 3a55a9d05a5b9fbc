/* Keel logging and error reporting.
 *
 * Rules of this interface:
 *  - Every report is one line delivered, in order, to standard error (after a
 *    flush of standard output) and, when file logging is on, to the log file.
 *  - A line is written only when its level is at least the threshold set with
 *    log_start. For log_debug_ex a threshold of 0 silences everything.
 *  - No line holds more than 4094 characters before its newline; longer
 *    messages are cut, never overflowed.
 *  - Each message function exists twice, as name and _name, with the same
 *    behaviour.
 */
#ifndef KEEL_LOG_H
#define KEEL_LOG_H

#include "keel/export.h"

KEEL_BEGIN_DECLS

#define LOG_LEVEL_DEBUG 1 /* callers only */
#define LOG_LEVEL_INFO 2  /* argument checks, failed calls, notices */
#define LOG_LEVEL_WARN 3  /* callers only */
#define LOG_LEVEL_ERROR 4 /* failed system calls; the line carries errno's text */
#define LOG_LEVEL_FATAL 5 /* the reporter ends the process right after */

#if defined(__GNUC__)
#define KEEL_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#define KEEL_NORETURN __attribute__((noreturn))
#else
#define KEEL_PRINTF(fmt_index, first_arg)
#define KEEL_NORETURN
#endif

/* The reporting routine: "[date time] [label]  file: F line: N [err: text ]msg". */
KEEL_API void log_debug_ex(int level, const char *file, int line, const char *fmt, ...)
    KEEL_PRINTF(4, 5);

/* Sets the file-logging switch and the threshold. Always returns 1. */
KEEL_API int log_start(int to_file, int level);

/* The shared line buffer: log_buf_lock, then any number of log_buf_date and
 * log_buf_msg, then exactly one *_buf_*_unlock call, which writes the line and
 * releases the lock. The lock is re-entrant. */
KEEL_API void log_buf_lock(void);
KEEL_API void log_buf_date(void);
KEEL_API void log_buf_msg(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API void _log_buf_msg(const char *fmt, ...) KEEL_PRINTF(1, 2);

/* Writes "YYYY-MM-DD hh:mm:ss " to standard error, whatever the threshold. */
KEEL_API void log_date(void);

/* Dated lines. err_* append ": " and the text of errno as it was on entry.
 * The quit calls write a fatal line and "exit!!!", read one number from
 * standard input and end the process with exit code 1. */
KEEL_API void log_msg(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API void _log_msg(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API void err_msg(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API void _err_msg(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API KEEL_NORETURN void log_quit(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API KEEL_NORETURN void _log_quit(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API KEEL_NORETURN void err_quit(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API KEEL_NORETURN void _err_quit(const char *fmt, ...) KEEL_PRINTF(1, 2);

/* The same without the date and time. */
KEEL_API void log_msg2(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API void _log_msg2(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API void err_msg2(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API void _err_msg2(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API KEEL_NORETURN void log_quit2(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API KEEL_NORETURN void _log_quit2(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API KEEL_NORETURN void err_quit2(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API KEEL_NORETURN void _err_quit2(const char *fmt, ...) KEEL_PRINTF(1, 2);

/* Closing calls of the shared buffer: the collected text heads the line. The
 * quit members end the process with exit code 1 at once. */
KEEL_API void log_buf_msg_unlock(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API void _log_buf_msg_unlock(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API void err_buf_msg_unlock(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API void _err_buf_msg_unlock(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API KEEL_NORETURN void log_buf_quit_unlock(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API KEEL_NORETURN void _log_buf_quit_unlock(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API KEEL_NORETURN void err_buf_quit_unlock(const char *fmt, ...) KEEL_PRINTF(1, 2);
KEEL_API KEEL_NORETURN void _err_buf_quit_unlock(const char *fmt, ...) KEEL_PRINTF(1, 2);

KEEL_END_DECLS

#endif /* KEEL_LOG_H */
