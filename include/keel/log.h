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

#include <stdint.h>

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

/* ---- log files ------------------------------------------------------------
 * With file logging on (log_start(1, level), or while an entry named "dbg"
 * exists in the current directory), every written line is also queued for a
 * writer thread that appends it to <dir>/log_YYYY-MM-DD<name>.log, a new file
 * each day. A reporting thread never waits for the disk; when more than 1000
 * lines wait, only errors and fatal lines are queued, above 1500 none. */

#define MAX_PATH_LEN 258

/* File naming attributes. */
typedef struct log_v3_attr {
    int32_t size;        /* valid bytes: the library stores 16; set it before log_get_v3_attr */
    int32_t single_file; /* nonzero: one undated file for the whole run */
    int32_t large;       /* nonzero with single_file: the name carries "_large" */
    int32_t with_pid;    /* nonzero: the name carries "_" and the process id */
} log_v3_attr_t;

/* Sets the log directory (1 to 258 chars). A missing trailing separator is
 * appended to the caller's string in place, so it needs room for one more
 * char. '\' is accepted as a separator. */
KEEL_API void log_set_path(char *path);
/* Copies the log directory into out (room for 260 chars); "" until set. */
KEEL_API void log_get_path(char *out);
/* The name used in file names instead of the executable's (at most 19 chars);
 * it counts from the first file opened after it. */
KEEL_API void log_set_proc_name(const char *name);
KEEL_API void log_set_v3_attr(const log_v3_attr_t *attr);
/* Copies attr->size leading bytes (0 to 16) of the stored attributes. */
KEEL_API void log_get_v3_attr(log_v3_attr_t *attr);
/* Kept for older callers: no effect. Use log_set_v3_attr. */
KEEL_API int log_set_log_with_pid(int with_pid);
KEEL_API int log_get_filename(void *unused);

KEEL_END_DECLS

#endif /* KEEL_LOG_H */
