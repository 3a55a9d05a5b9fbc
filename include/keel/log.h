/** @file keel/log.h
 * Keel logging and error reporting.
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
 *  - Under systemd, when standard error is the journal's stream (as the
 *    variable JOURNAL_STREAM tells, looked at by log_start and by the first
 *    line), each line starts with the syslog priority of its level: "<7>"
 *    debug, "<6>" info, "<4>" warn, "<3>" error, "<2>" fatal; the journal
 *    takes it off and filters by it (journalctl -p err).
 *
 * The library reports through log_debug_ex: argument checks and most failed
 * calls at LOG_LEVEL_INFO, failed system calls at LOG_LEVEL_ERROR (the line
 * then carries the text of errno), and failures it cannot go on from at
 * LOG_LEVEL_FATAL, after which it ends the process with exit code 1. The
 * "Reports" paragraphs of this reference give those lines; the quoted text is
 * the message at the end of the line, and the level follows in parentheses.
 */
#ifndef KEEL_LOG_H
#define KEEL_LOG_H

#include <stdint.h>

#include "keel/export.h"

KEEL_BEGIN_DECLS

#define LOG_LEVEL_DEBUG 1 /**< callers only */
#define LOG_LEVEL_INFO 2  /**< argument checks, failed calls, notices */
#define LOG_LEVEL_WARN 3  /**< slow callbacks (os_set_slow_callback_ms) */
#define LOG_LEVEL_ERROR 4 /**< failed system calls; the line carries errno's text */
#define LOG_LEVEL_FATAL 5 /**< the reporter ends the process right after */

/** @cond internal */
#if defined(__GNUC__)
#define KEEL_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#define KEEL_NORETURN __attribute__((noreturn))
#else
#define KEEL_PRINTF(fmt_index, first_arg)
#define KEEL_NORETURN
#endif
/** @endcond */

/** The reporting routine: "[date time] [label]  file: F line: N [err: text ]msg".
 *
 * The label is "[debug]", "[info]", "[warn]", "[error]" or "[fatal]" for the
 * levels 1 to 5, "[???]" for any other. At LOG_LEVEL_ERROR the line carries
 * "err: " and the text of errno as it was on entry. errno is left as it was.
 * Nothing is written when the threshold is 0 or above level.
 * @param level the line's level, LOG_LEVEL_DEBUG to LOG_LEVEL_FATAL.
 * @param file the source file named in the line; NULL shows as "(null)".
 * @param line the source line named in the line.
 * @param fmt a printf format of the message; NULL adds no message.
 * @param ... the values of fmt.
 */
KEEL_API void log_debug_ex(int level, const char *file, int line, const char *fmt, ...)
    KEEL_PRINTF(4, 5);

/** Sets the file-logging switch and the threshold. Always returns 1.
 *
 * Any thread may call it at any time; the next line follows the new settings.
 * @param to_file nonzero: every written line also goes to the log file (see
 *        log_set_path); 0: to standard error only, unless an entry named "dbg"
 *        exists in the current directory.
 * @param level the threshold: lines of a lower level are dropped. 0 silences
 *        the library's own reports (log_debug_ex) while log_msg and its kin
 *        still write; 6 or more silences every line.
 * @return 1.
 */
KEEL_API int log_start(int to_file, int level);

/** Takes the lock of the shared line buffer (re-entrant).
 *
 * The shared line buffer: log_buf_lock, then any number of log_buf_date and
 * log_buf_msg, then exactly one *_buf_*_unlock call, which writes the line and
 * releases the lock. The lock is re-entrant.
 */
KEEL_API void log_buf_lock(void);
/** Appends the local time as "YYYY-MM-DD hh:mm:ss " to the shared buffer.
 * Call it between log_buf_lock and the closing *_buf_*_unlock call. */
KEEL_API void log_buf_date(void);
/** Appends formatted text to the shared buffer; it takes no lock itself.
 * Text beyond 4094 characters in all is cut.
 * @param fmt a printf format.
 * @param ... its values.
 */
KEEL_API void log_buf_msg(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** @copydoc log_buf_msg */
KEEL_API void _log_buf_msg(const char *fmt, ...) KEEL_PRINTF(1, 2);

/** Writes "YYYY-MM-DD hh:mm:ss " to standard error, whatever the threshold.
 * No newline follows, and nothing goes to the log file. */
KEEL_API void log_date(void);

/* Dated lines. err_* append ": " and the text of errno as it was on entry.
 * The quit calls write a fatal line and "exit!!!", read one number from
 * standard input and end the process with exit code 1. */

/** A dated line at LOG_LEVEL_INFO: "YYYY-MM-DD hh:mm:ss message".
 * @param fmt a printf format of the message.
 * @param ... its values.
 */
KEEL_API void log_msg(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** @copydoc log_msg */
KEEL_API void _log_msg(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** A dated line at LOG_LEVEL_ERROR that ends in ": " and the text of errno as
 * it was on entry: "2026-12-04 14:48:44 open a.cfg: No such file or directory".
 * @param fmt a printf format of the message.
 * @param ... its values.
 */
KEEL_API void err_msg(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** @copydoc err_msg */
KEEL_API void _err_msg(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** Writes a dated fatal line, then a dated "exit!!!" line (at LOG_LEVEL_INFO),
 * reads one number from standard input and ends the process with exit code 1.
 * Lines still queued for the log file may not reach it.
 * @param fmt a printf format of the message.
 * @param ... its values.
 */
KEEL_API KEEL_NORETURN void log_quit(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** @copydoc log_quit */
KEEL_API KEEL_NORETURN void _log_quit(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** The same as log_quit: despite its name it adds no text of errno.
 * @param fmt a printf format of the message.
 * @param ... its values.
 */
KEEL_API KEEL_NORETURN void err_quit(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** @copydoc err_quit */
KEEL_API KEEL_NORETURN void _err_quit(const char *fmt, ...) KEEL_PRINTF(1, 2);

/* The same without the date and time. */

/** log_msg without the date and time.
 * @param fmt a printf format of the message.
 * @param ... its values.
 */
KEEL_API void log_msg2(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** @copydoc log_msg2 */
KEEL_API void _log_msg2(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** err_msg without the date and time: "open a.cfg: No such file or directory".
 * @param fmt a printf format of the message.
 * @param ... its values.
 */
KEEL_API void err_msg2(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** @copydoc err_msg2 */
KEEL_API void _err_msg2(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** log_quit with an undated fatal line; the "exit!!!" line is still dated.
 * @param fmt a printf format of the message.
 * @param ... its values.
 */
KEEL_API KEEL_NORETURN void log_quit2(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** @copydoc log_quit2 */
KEEL_API KEEL_NORETURN void _log_quit2(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** The same as log_quit2: no text of errno.
 * @param fmt a printf format of the message.
 * @param ... its values.
 */
KEEL_API KEEL_NORETURN void err_quit2(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** @copydoc err_quit2 */
KEEL_API KEEL_NORETURN void _err_quit2(const char *fmt, ...) KEEL_PRINTF(1, 2);

/* Closing calls of the shared buffer: the collected text heads the line. The
 * quit members end the process with exit code 1 at once. */

/** Closes the shared buffer with a line at LOG_LEVEL_INFO: the collected text,
 * then the message. The buffer is emptied and its lock released also when the
 * line is below the threshold. Call it only while holding log_buf_lock.
 * @param fmt a printf format of the message.
 * @param ... its values.
 */
KEEL_API void log_buf_msg_unlock(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** @copydoc log_buf_msg_unlock */
KEEL_API void _log_buf_msg_unlock(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** As log_buf_msg_unlock at LOG_LEVEL_ERROR; the line ends in ": " and the
 * text of errno as it was on entry.
 * @param fmt a printf format of the message.
 * @param ... its values.
 */
KEEL_API void err_buf_msg_unlock(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** @copydoc err_buf_msg_unlock */
KEEL_API void _err_buf_msg_unlock(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** As log_buf_msg_unlock at LOG_LEVEL_FATAL, then ends the process with exit
 * code 1 at once: no "exit!!!" line, no wait for input.
 * @param fmt a printf format of the message.
 * @param ... its values.
 */
KEEL_API KEEL_NORETURN void log_buf_quit_unlock(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** @copydoc log_buf_quit_unlock */
KEEL_API KEEL_NORETURN void _log_buf_quit_unlock(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** As log_buf_quit_unlock, with ": " and the text of errno at the end.
 * @param fmt a printf format of the message.
 * @param ... its values.
 */
KEEL_API KEEL_NORETURN void err_buf_quit_unlock(const char *fmt, ...) KEEL_PRINTF(1, 2);
/** @copydoc err_buf_quit_unlock */
KEEL_API KEEL_NORETURN void _err_buf_quit_unlock(const char *fmt, ...) KEEL_PRINTF(1, 2);

/* ---- log files ------------------------------------------------------------
 * With file logging on (log_start(1, level), or while an entry named "dbg"
 * exists in the current directory), every written line is also queued for a
 * writer thread that appends it to <dir>/log_YYYY-MM-DD<name>.log, a new file
 * each day. A reporting thread never waits for the disk; when more than 1000
 * lines wait, only errors and fatal lines are queued, above 1500 none. */

/** The longest log directory log_set_path takes. */
#define MAX_PATH_LEN 258

/** File naming attributes.
 *
 * Daily files (the default) are named log_YYYY-MM-DD, then the name part,
 * then ".log", in the log directory: log_2026-12-04_server.log for the
 * executable server. With single_file the date is left out (log_server.log),
 * or replaced by "_large" when large is set too (log_large_server.log);
 * with_pid adds "_" and the process id before ".log"
 * (log_large_server_4711.log). The name part is the text of
 * log_set_proc_name, or "_" and the executable's file name. */
typedef struct log_v3_attr {
    int32_t size;        /**< valid bytes: the library stores 16; set it before log_get_v3_attr */
    int32_t single_file; /**< nonzero: one undated file for the whole run */
    int32_t large;       /**< nonzero with single_file: the name carries "_large" */
    int32_t with_pid;    /**< nonzero: the name carries "_" and the process id */
} log_v3_attr_t;

/** Sets the log directory (1 to 258 chars). A missing trailing separator is
 * appended to the caller's string in place, so it needs room for one more
 * char. '\' is accepted as a separator.
 *
 * Until a directory is set, the file goes to the directory that holds
 * libkeel.so itself. A different directory closes the open log file; the next
 * line opens one there. The directory must exist: the library creates none, and
 * lines that find no file to open reach standard error only.
 * @param path the directory; NULL is ignored.
 * @reports "len > MAX_PATH_LEN" (info) for an empty path or one longer than
 *          MAX_PATH_LEN; the directory stays as it was.
 */
KEEL_API void log_set_path(char *path);
/** Copies the log directory into out (room for 260 chars); "" until set.
 *
 * The directory is also filled in by the first file opened without one set.
 * It always ends in '/'.
 * @param out room for 260 chars; NULL is ignored.
 */
KEEL_API void log_get_path(char *out);
/** The name used in file names instead of the executable's (at most 19 chars);
 * it counts from the first file opened after it.
 *
 * It is used as it stands: "_svc" gives log_2026-12-04_svc.log, "svc" gives
 * log_2026-12-04svc.log. Once a file has been opened, the name is kept for the
 * life of the process.
 * @param name the name; NULL is ignored, longer names are cut to 19 chars.
 */
KEEL_API void log_set_proc_name(const char *name);
/** Stores new file naming attributes. A record that differs from the stored
 * one closes the open log file; the next line opens a file named after it.
 * @param attr the attributes (16 bytes are read); NULL is ignored.
 */
KEEL_API void log_set_v3_attr(const log_v3_attr_t *attr);
/** Copies attr->size leading bytes (0 to 16) of the stored attributes.
 * @param attr the record to fill, its size field set first; NULL is ignored.
 *        A size of 0 or less copies nothing, more than 16 copies 16.
 */
KEEL_API void log_get_v3_attr(log_v3_attr_t *attr);
/** Kept for older callers: no effect. Use log_set_v3_attr.
 * @param with_pid ignored.
 * @return 0.
 */
KEEL_API int log_set_log_with_pid(int with_pid);
/** Kept for older callers: no effect; nothing is written through the pointer.
 * @param unused ignored.
 * @return 0.
 */
KEEL_API int log_get_filename(void *unused);

KEEL_END_DECLS

#endif /* KEEL_LOG_H */
