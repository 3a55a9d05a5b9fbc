/** @file keel/os_proc.h
 * Keel process and text services: child processes, the per-executable mutex,
 * character-set conversion, hexadecimal text and small system queries.
 *
 * Rules of this interface:
 *  - A command line is split into arguments as on a single-line command
 *    shell without its expansions (there is no shell in between):
 *      - blanks (spaces and tabs) separate arguments;
 *      - a double quote starts or ends a quoted part, inside which blanks
 *        belong to the argument; the quotes themselves are dropped, so
 *        a"b c"d is the one argument `ab cd` and "" is an empty argument;
 *      - backslashes are ordinary characters, except right before a double
 *        quote: 2n backslashes and a quote give n backslashes and a quoting
 *        quote, 2n+1 backslashes and a quote give n backslashes and a
 *        literal quote (so \" is a quote inside an argument).
 *    The first argument names the program, searched in PATH when it holds
 *    no "/"; a "\" in it stands for "/". The child gets the caller's environment, current directory and
 *    standard input, output and error, no other descriptor, default signal
 *    handling and an empty signal mask.
 *  - On Windows the line goes to the child as it is, and the child's run-time
 *    library splits it by the same rule. The system finds the program from
 *    the first token (quoted when it holds blanks) in the program's folder,
 *    the current folder, the system folders and PATH, adding ".exe" when the
 *    name has no extension. The child gets the caller's environment, current
 *    folder and standard input, output and error, no other handle, and a
 *    main window of its own starts hidden. A line longer than 32767
 *    characters cannot start a child there.
 *  - The library never waits for a child, never reads its output and never
 *    ends it, yet it collects every child that has ended: none is left
 *    behind as a zombie.
 *  - Results are 1 for success and 0 for failure unless a function says
 *    otherwise.
 */
#ifndef KEEL_OS_PROC_H
#define KEEL_OS_PROC_H

#include <stdint.h>
#if !defined(_WIN32)
#include <sys/types.h>
#endif

#include "keel/export.h"

KEEL_BEGIN_DECLS

/* --- child processes --- */

/** A started child. Allocated by os_exec_process_ex, freed by os_exec_destroy. */
#if defined(_WIN32)
typedef struct os_proc {
    void *hprocess;    /**< the child process's handle (a HANDLE), open until os_exec_destroy */
    void *hthread;     /**< the handle of its first thread, open as long */
    int32_t ended;     /**< 1 once the child's end has been seen */
    int32_t exit_code; /**< its exit code once ended, as the system gives it */
} os_proc_t;
#else
typedef struct os_proc {
    pid_t hprocess;    /**< the child's process id */
    pid_t hthread;     /**< its first thread's id: on Linux the same number */
    int32_t ended;     /**< 1 once the child's end has been collected */
    int32_t exit_code; /**< its exit code once ended; 128 + n after signal n */
} os_proc_t;
#endif

/** Starts a child and forgets it. 0 for a null command line, otherwise 1
 * whether or not the child started (a report tells which).
 * @param cmdline the command line (see the rules above).
 * @return 1, or 0 for NULL.
 * @reports "process success: CMDLINE" or "process failed: CMDLINE" (info).
 */
KEEL_API int os_exec_process(const char *cmdline);
/** Starts a child to be polled. NULL for a null command line or when the child
 * cannot be started.
 * @param cmdline the command line (see the rules above).
 * @return the record, to be freed with os_exec_destroy, or NULL.
 * @reports "process success: CMDLINE" or "process failed: CMDLINE" (info);
 *          "pproc == NULL" (fatal) when no memory is left.
 */
KEEL_API os_proc_t *os_exec_process_ex(const char *cmdline);
/** 1 while the child runs; 0 once it has ended (reported with its exit code on
 * every call), when its state cannot be read, or for NULL.
 * After the end, ended and exit_code of the record tell how it ended.
 * @param pproc a record of os_exec_process_ex.
 * @return 1 running, 0 not.
 * @reports "process over: CODE" (info) once the child has ended;
 *          "GetExitCodeProcess failed : ERRNO" (info) when its state cannot
 *          be read.
 */
KEEL_API int os_exec_query(os_proc_t *pproc);
/** Frees the record; a running child goes on. Always 0.
 * The library still collects the child when it ends.
 * @param pproc a record of os_exec_process_ex; NULL is ignored.
 * @return 0.
 */
KEEL_API int os_exec_destroy(os_proc_t *pproc);

/* --- the per-executable mutex --- */

/** Tells whether another process started from the same executable file is
 * running. The first call in any such process takes a lock named after two
 * SHA-1 digests of the executable's full path (87 characters) and holds it
 * until the process ends; the kernel then releases it.
 * The lock is a file of that name under "$XDG_RUNTIME_DIR/keel", or under
 * "/tmp/keel-<uid>" when that variable is unset, locked with flock: so the
 * namespace is the user's, and a crashed process never leaves a stale lock.
 * The holder removes the file when it ends normally (exit or a return from
 * main); a killed holder leaves it empty and unlocked, and the next holder
 * reuses it and removes it in its turn. A child started by fork, with or
 * without exec, does not share the hold.
 * On Windows the lock is a named system mutex of that name in the session's
 * namespace, never locked: its existence is the signal, and the system
 * closes the holder's handle when the holder ends, however it ends. No child
 * inherits the handle. A name taken by an object of another kind fails the
 * check (-1); N in its report is then the system's error code.
 * Returns 0 when this call took the lock, 1 when another holder exists (a
 * second call in the same process also gives 1), -1 when the check failed.
 * @return 0 first, 1 another runs, -1 unknown.
 * @reports the finding at the error level, also when it is good news:
 *          "Mutex 'NAME' - Already exists: NO" or "... YES";
 *          "os_get_proc_mutex hMutex == NULL CreateMutexA failed, errno: N"
 *          when the lock could not be checked, "os_get_proc_mutex
 *          GetModuleFileName() failed" (info) when the executable's path
 *          cannot be read.
 */
KEEL_API int os_get_proc_mutex(void);

/* --- text and system utilities --- */

/** A local calendar time, filled in by os_get_localtime. */
typedef struct os_localtime {
    uint16_t year;   /**< e.g. 2024 */
    uint16_t month;  /**< 1 to 12 */
    uint16_t day;    /**< 1 to 31 */
    uint16_t hour;   /**< 0 to 23 */
    uint16_t minute; /**< 0 to 59 */
    uint16_t second; /**< 0 to 60 */
} os_localtime_t;

/** Converts srclen bytes of src from one character set to another into save.
 * After the first invalid sequence of the input (reported once), that and
 * every later invalid or unconvertible sequence is dropped. An input that
 * ends inside a sequence yields the text converted before it.
 * The output is taken as text: the last byte of save is kept for the
 * terminator that ends it, and target sets whose text holds zero bytes cannot
 * be used. Returns the text's length, or -1 for a bad argument, an unknown
 * character set or an empty input, -5 when save is too small (the part
 * converted so far stays in it), -6 for any other failure.
 * On Windows the sets are the system's code pages, known by these names
 * (either case): UTF-8 (UTF8), UTF-16LE, UTF-16BE, UTF-32LE, UTF-32BE,
 * ASCII (US-ASCII), GBK (GB2312, EUC-CN, CP936), GB18030, BIG5 (CP950),
 * SHIFT_JIS (SJIS, CP932), EUC-KR (CP949), EUC-JP, KOI8-R, KOI8-U,
 * ISO-8859-N (LATIN1), WINDOWS-N and CPN for any installed code page N; a
 * code page the system lacks is unknown.
 * @param from the input's character set, as iconv names it ("GBK", "UTF-8").
 * @param to the output's character set.
 * @param save where the text goes.
 * @param savelen the size of save.
 * @param src the input; it need not be terminated.
 * @param srclen its size in bytes.
 * @return the length of the text in save, or -1, -5 or -6.
 * @reports "from == NULL || to == NULL || save == NULL || src == NULL",
 *          "savelen < 0" or "not supoort to[TO] from[FROM]" (info);
 *          "from F to T, src , savelen N" (error) for an empty input;
 *          "errno == EILSEQ status = -3" (error) at the first invalid
 *          sequence; "errno == E2BIG status = -5" and "other error status =
 *          -6" (error).
 */
KEEL_API int os_code_convert(const char *from, const char *to, char *save, int savelen,
                             const char *src, uint32_t srclen);
/** Writes len bytes as 2*len lower-case hexadecimal digits and a terminator
 * into dst (2*len + 1 bytes). Returns 1; 0 for a null buffer.
 * @param src the bytes.
 * @param len their count; 0 or less writes nothing and gives 1.
 * @param dst room for 2*len + 1 chars.
 * @return 1, or 0 for a NULL src or dst.
 * @reports "src == NULL || dst == NULL" (info).
 */
KEEL_API int os_encode(const void *src, int len, char *dst);
/** Reads len hexadecimal digits (either case) as len/2 bytes into dst; an odd
 * last digit is ignored, a pair not starting with a digit gives 0, and no
 * terminator is written. Returns 1; 0 for a null buffer.
 * @param src the digits.
 * @param len their count; below 2 writes nothing and gives 1.
 * @param dst room for len/2 bytes.
 * @return 1, or 0 for a NULL src or dst.
 * @reports "src == NULL || dst == NULL" (info).
 */
KEEL_API int os_decode(const char *src, int len, void *dst);

/** A heap copy of s (NULL for NULL), released with free or os_free. Running
 * out of memory ends the process.
 * @param s a terminated text.
 * @return the copy.
 * @reports "os_strdup dst == NULL" (fatal) when no memory is left.
 */
KEEL_API char *os_strdup(const char *s);
/** pp is the address of a pointer of any type: frees the pointer and sets it
 * to NULL. A null pp is reported.
 * @param pp the address of the pointer: os_free(&text).
 * @reports "buf == NULL" (info) for a NULL pp.
 */
KEEL_API void os_free(void *pp);

/** Fills t with the local calendar time; NULL is ignored. Returns 1.
 * @param t the record to fill.
 * @return 1.
 */
KEEL_API int os_get_localtime(os_localtime_t *t);
/** The running executable's directory without a trailing "/" (so "" for an
 * executable in "/"; on Windows cut at the last "\", so "C:" for one in
 * "C:\"), cut to size - 1 characters. Returns 1, or 0 for a null buf or
 * size <= 0.
 * It is the executable's directory, not the current one.
 * @param buf where the text goes.
 * @param size the size of buf.
 * @return 1, or 0.
 */
KEEL_API int os_get_work_path(char *buf, int size);

KEEL_END_DECLS

#endif /* KEEL_OS_PROC_H */
