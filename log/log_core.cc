// The reporting frame: formats one line per report, filters it against the
// threshold and delivers it. Lines are built in fixed areas on the stack; the
// shared buffer lets a caller assemble one line over several calls.
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "keel/log.h"
#include "keel/os_sync.h"
#include "log/log_internal.h"
#include "log/log_platform.h"

namespace keel::log {
namespace {

// Read by every line: each on a cache line of its own, away from the data
// that reporting threads write.
alignas(64) std::atomic<int> s_log_level{1};
alignas(64) std::atomic<int> s_log_to_file{0};

char s_log_buf[kLineSize];
int s_log_buf_len = 0;

// The buffer lock lives in static storage and is initialised exactly once, by
// whichever thread reports first. It cannot fail for lack of memory, so the
// first report never has to report about itself.
os_mutex_t s_log_buf_mutex;
pthread_once_t s_log_buf_once = PTHREAD_ONCE_INIT;

void init_buf_mutex() { os_mutex_init(&s_log_buf_mutex, 0); }

const char *label_of(int level) {
    switch (level) {
        case LOG_LEVEL_DEBUG: return "[debug]";
        case LOG_LEVEL_INFO: return "[info]";
        case LOG_LEVEL_WARN: return "[warn]";
        case LOG_LEVEL_ERROR: return "[error]";
        case LOG_LEVEL_FATAL: return "[fatal]";
        default: return "[???]";
    }
}

void local_now(struct tm *out) { local_time(time(nullptr), out); }

// Finishes a line built in `area` (len chars) and delivers it.
void finish(char *area, int len, int with_errno, int error, const char *fmt, va_list args,
            int level) {
    append(area, &len, fmt, args);
    if (with_errno) {
        char scratch[256];
        append_f(area, &len, ": %s", error_text(error, scratch, sizeof scratch));
    }
    area[len] = '\n';
    area[len + 1] = '\0';
    log_deliver(area, static_cast<size_t>(len) + 1, level);
}

// Appends n chars by the rule of append(): cut at kLineLimit.
void append_text(char *area, int *len, const char *text, size_t n) {
    int room = kLineLimit - *len;
    if (room <= 0) return;
    int take = n < static_cast<size_t>(room) ? static_cast<int>(n) : room;
    memcpy(area + *len, text, static_cast<size_t>(take));
    *len += take;
    area[*len] = '\0';
}

void append_str(char *area, int *len, const char *text) { append_text(area, len, text, strlen(text)); }

void append_number(char *area, int *len, unsigned long long magnitude, bool negative, unsigned base = 10,
                   bool upper = false) {
    const char *digit = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24], *end = digits + sizeof digits, *p = end;
    do {
        *--p = digit[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);
    if (negative) *--p = '-';
    append_text(area, len, p, static_cast<size_t>(end - p));
}

// The conversions that reports use, formatted here rather than by vsnprintf,
// which costs a report more than all the rest of its line: %s, %d, %i, %u,
// %x and %X with no flag, width or precision, the sizes l, ll and z, and %%.
bool is_plain_conversion(char conversion, bool sized) {
    switch (conversion) {
        case 'd': case 'i': case 'u': case 'x': case 'X': return true;
        case 's': case '%': return !sized;
        default: return false;
    }
}

// Formats fmt as far as it can. False, before taking its argument, at the
// first conversion of any other kind: the caller then gives the whole format
// to vsnprintf.
bool append_plain(char *area, int *len, const char *fmt, va_list args) {
    for (const char *p = fmt;;) {
        const char *mark = strchr(p, '%');
        append_text(area, len, p, mark != nullptr ? static_cast<size_t>(mark - p) : strlen(p));
        if (mark == nullptr) return true;
        p = mark + 1;
        int size = 0;  // int, long, long long, size_t
        if (*p == 'l') size = p[1] == 'l' ? 2 : 1;
        if (*p == 'z') size = 3;
        p += size == 2 ? 2 : size != 0;
        char conversion = *p++;
        if (!is_plain_conversion(conversion, size != 0)) return false;
        if (conversion == '%') {
            append_text(area, len, "%", 1);
        } else if (conversion == 's') {
            const char *text = va_arg(args, const char *);
            append_str(area, len, text != nullptr ? text : "(null)");
        } else if (conversion == 'd' || conversion == 'i') {
            long long v = size == 0   ? va_arg(args, int)
                          : size == 1 ? va_arg(args, long)
                          : size == 2 ? va_arg(args, long long)
                                      : va_arg(args, ssize_t);
            append_number(area, len, v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v),
                          v < 0);
        } else {
            unsigned long long v = size == 0   ? va_arg(args, unsigned)
                                   : size == 1 ? va_arg(args, unsigned long)
                                   : size == 2 ? va_arg(args, unsigned long long)
                                               : va_arg(args, size_t);
            append_number(area, len, v, false, conversion == 'u' ? 10 : 16, conversion == 'X');
        }
    }
}

// "YYYY-MM-DD hh:mm:ss", the local time now. Formatted, the six numbers cost
// more than all the rest of a report's head, so each thread keeps the text of
// the last second it reported in (a change of zone reaches it through
// local_time, which gives the fields).
const char *now_text(int *n) {
    __attribute__((tls_model("initial-exec"))) thread_local struct tm shown;
    __attribute__((tls_model("initial-exec"))) thread_local char text[80];
    __attribute__((tls_model("initial-exec"))) thread_local int text_len = 0;
    struct tm tm;
    local_now(&tm);
    if (text_len == 0 || tm.tm_sec != shown.tm_sec || tm.tm_min != shown.tm_min || tm.tm_hour != shown.tm_hour ||
        tm.tm_mday != shown.tm_mday || tm.tm_mon != shown.tm_mon || tm.tm_year != shown.tm_year) {
        text_len = snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                            tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        shown = tm;
    }
    *n = text_len;
    return text;
}

// "[date time] [label]  file: F line: N " and, for errors, "err: <text> ",
// put together without the formatter: the head is most of a report's cost,
// and every connection that its peer ends has a report. An error with no
// errno of its own (errno 0: a certificate refused, a name that does not
// exist, the peer's close) says "none": "Success" would read as if nothing
// had failed.
void append_report_head(char *area, int *len, int level, const char *file, int line, int saved_errno) {
    int n;
    const char *now = now_text(&n);
    append_text(area, len, "[", 1);
    append_text(area, len, now, static_cast<size_t>(n));
    append_text(area, len, "] ", 2);
    append_str(area, len, label_of(level));
    append_text(area, len, "  file: ", 8);
    append_str(area, len, file ? file : "(null)");
    append_text(area, len, " line: ", 7);
    append_number(area, len, line < 0 ? 0u - static_cast<unsigned>(line) : static_cast<unsigned>(line), line < 0);
    append_text(area, len, " ", 1);
    if (level == LOG_LEVEL_ERROR) {
        char scratch[256];
        append_text(area, len, "err: ", 5);
        append_str(area, len, saved_errno != 0 ? error_text(saved_errno, scratch, sizeof scratch) : "none");
        append_text(area, len, " ", 1);
    }
}

void emit_plain(bool dated, int with_errno, int error, const char *fmt, va_list args, int level) {
    if (level < s_log_level.load(std::memory_order_relaxed)) return;
    char area[kLineSize];  // every piece ends in a NUL, so no zeroing is needed
    area[0] = '\0';
    int len = 0;
    if (dated) {
        int n;
        const char *now = now_text(&n);
        append_text(area, &len, now, static_cast<size_t>(n));
        append_text(area, &len, " ", 1);
    }
    finish(area, len, with_errno, error, fmt, args, level);
}

}  // namespace

namespace {

// What tzset publishes about the zone: its offset, its daylight flag and its
// two names (glibc keeps each name text once, so the pointers tell names
// apart). They are read without tzset's lock, as plain words; a read that
// races with tzset in another thread can only cause a fresh conversion.
struct Zone {
    long offset;
    int daylight;
    const char *std_name;
    const char *dst_name;
    bool operator==(const Zone &) const = default;
};

Zone current_zone() {
    return {__atomic_load_n(&timezone, __ATOMIC_RELAXED), __atomic_load_n(&daylight, __ATOMIC_RELAXED),
            __atomic_load_n(&tzname[0], __ATOMIC_RELAXED), __atomic_load_n(&tzname[1], __ATOMIC_RELAXED)};
}

}  // namespace

// localtime_r takes a process-wide lock on every call; lines of the same
// second on the same thread reuse the last conversion. A change of time zone
// (TZ set, then tzset) must show in the very next stamp, so the cache also
// keeps the published zone and is passed by when it changed. Two zones alike
// in all of it (same names and offsets, other dates for the change of season)
// are not told apart within one second; reading TZ itself on every line is no
// way out, as getenv is not safe against a setenv in another thread.
// Initial-exec thread-locals are reached without a call into the loader.
void local_time(time_t when, struct tm *out) {
    __attribute__((tls_model("initial-exec"))) thread_local time_t cached_when = -1;
    __attribute__((tls_model("initial-exec"))) thread_local Zone cached_zone;
    __attribute__((tls_model("initial-exec"))) thread_local struct tm cached;
    if (when != cached_when || !(current_zone() == cached_zone)) {
        platform_local_time(when, &cached);
        cached_when = when;
        // Read after the conversion: with a zone file, a conversion itself
        // may set the published values.
        cached_zone = current_zone();
    }
    *out = cached;
}

void append(char *area, int *len, const char *fmt, va_list args) {
    int room = kLineLimit - *len;
    if (room <= 0 || fmt == nullptr) return;
    // One pass in the usual case; a format the plain formatter does not know
    // is done again, whole, from where it began.
    const int start = *len;
    area[start] = '\0';
    va_list again;
    va_copy(again, args);
    if (!append_plain(area, len, fmt, args)) {
        *len = start;
        area[start] = '\0';
        // room + 1 lets a cut piece fill up to the limit and still end in a NUL.
        int n = vsnprintf(area + start, static_cast<size_t>(room) + 1, fmt, again);
        if (n >= 0) *len = n < room ? start + n : kLineLimit;
    }
    va_end(again);
}

void append_f(char *area, int *len, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    append(area, len, fmt, args);
    va_end(args);
}

const char *error_text(int error, char *scratch, int size) { return platform_error_text(error, scratch, size); }

int level_threshold() { return s_log_level.load(std::memory_order_relaxed); }
int to_file() { return s_log_to_file.load(std::memory_order_relaxed); }

void log_emit_dated(int with_errno, int error, const char *fmt, va_list args, int level) {
    emit_plain(true, with_errno, error, fmt, args, level);
}

void log_emit_undated(int with_errno, int error, const char *fmt, va_list args, int level) {
    emit_plain(false, with_errno, error, fmt, args, level);
}

void log_emit_buffered(int with_errno, int error, const char *fmt, va_list args, int level) {
    char area[kLineSize];
    int len = s_log_buf_len;
    memcpy(area, s_log_buf, static_cast<size_t>(len));
    area[len] = '\0';
    // Empty and release before the level test: a refused line still frees the lock.
    s_log_buf_len = 0;
    os_mutex_unlock(&s_log_buf_mutex);
    if (level < s_log_level.load(std::memory_order_relaxed)) return;
    finish(area, len, with_errno, error, fmt, args, level);
}

namespace {

// -1 until known: whether standard error is the journal's stream (looked at
// by log_start, else by the first line).
std::atomic<int> s_to_journal{-1};

// The syslog priority of each level: debug, info, warning, error, critical.
int journal_priority(int level) {
    static const int priorities[] = {6, 7, 6, 4, 3, 2};
    return level >= 0 && level <= 5 ? priorities[level] : 6;
}

}  // namespace

void log_deliver(const char *line, size_t len, int level) {
    int saved_errno = errno;  // delivering a line never changes what the caller sees
    int journal = s_to_journal.load(std::memory_order_relaxed);
    if (journal < 0) s_to_journal.store(journal = stderr_is_journal(), std::memory_order_relaxed);
    if (journal != 0) {
        // The journal reads "<N>" before a line as its priority, so that it
        // can be filtered by level (journalctl -p err).
        char marked[kLineSize + 8];
        int n = snprintf(marked, sizeof marked, "<%d>%s", journal_priority(level), line);
        write_stderr(marked, n > 0 ? static_cast<size_t>(n) : 0);
    } else {
        write_stderr(line, len);
    }
    log_file_write(line, level);
    write_debugger(line);
    errno = saved_errno;
}

}  // namespace keel::log

using namespace keel::log;

extern "C" {

KEEL_API int log_start(int to_file, int level) {
    s_to_journal.store(stderr_is_journal(), std::memory_order_relaxed);
    s_log_to_file.store(to_file, std::memory_order_relaxed);
    s_log_level.store(level, std::memory_order_relaxed);
    return 1;
}

KEEL_API void log_buf_lock(void) {
    pthread_once(&s_log_buf_once, init_buf_mutex);
    os_mutex_lock(&s_log_buf_mutex);
}

KEEL_API void log_buf_date(void) {
    struct tm tm;
    local_now(&tm);
    append_f(s_log_buf, &s_log_buf_len, "%04d-%02d-%02d %02d:%02d:%02d ", tm.tm_year + 1900,
             tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

KEEL_API void log_buf_msg(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    append(s_log_buf, &s_log_buf_len, fmt, args);
    va_end(args);
}

KEEL_API void _log_buf_msg(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    append(s_log_buf, &s_log_buf_len, fmt, args);
    va_end(args);
}

KEEL_API void log_date(void) {
    struct tm tm;
    local_now(&tm);
    char text[100];
    int n = snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d ", tm.tm_year + 1900,
                     tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    write_stderr(text, n > 0 ? static_cast<size_t>(n) : 0);
}

KEEL_API void log_debug_ex(int level, const char *file, int line, const char *fmt, ...) {
    int saved_errno = errno;
    int threshold = s_log_level.load(std::memory_order_relaxed);
    if (threshold == 0 || level < threshold) return;
    va_list args;
    va_start(args, fmt);
    if (in_file_sink()) {
        // Raised under the file lock: built on the stack and sent to standard
        // error only, never through the shared buffer (see in_file_sink).
        char area[kLineSize];
        int len = 0;
        area[0] = '\0';
        append_report_head(area, &len, level, file, line, saved_errno);
        append(area, &len, fmt, args);
        area[len] = '\n';
        area[len + 1] = '\0';
        write_stderr(area, static_cast<size_t>(len) + 1);
    } else {
        log_buf_lock();
        append_report_head(s_log_buf, &s_log_buf_len, level, file, line, saved_errno);
        log_emit_buffered(0, 0, fmt, args, level);
    }
    va_end(args);
    // A report never changes what the caller sees in errno.
    errno = saved_errno;
}

}  // extern "C"
