// The log file sink and its writer thread. A reporting thread only copies its
// line into a bounded queue; the writer thread appends queued lines to the
// file, which is reopened when it vanished or the day changed.
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "keel/os_proc.h"
#include "keel/os_sync.h"
#include "log/log_files.h"
#include "log/log_platform.h"
#include "log/report.h"
#include "sync/sync_internal.h"

namespace keel::log {
namespace {

constexpr long kSoftLimit = 1000;  // above: only errors and fatal lines
constexpr long kHardLimit = 1500;  // above: nothing

os_mutex_t s_log_file_mutex;
pthread_once_t s_file_lock_once = PTHREAD_ONCE_INIT;
FILE *s_log_fp = nullptr;

// The last attempt to open the file failed (no name, or fopen refused):
// queued lines are then dropped unwritten until a reporter's line opens it.
// A file closed by a change of settings is, in contrast, opened again by the
// writer for the lines still queued, which therefore reach the file that the
// new settings name rather than being lost.
bool s_open_failed = false;
int s_open_errno = 0;  // why, for the report of the lines it costs
// The open file refused a write (its size limit, a full disk, an I/O error):
// the lines that follow are dropped until a new file is opened (a new day, a
// change of settings, the file made anew), which tries again.
bool s_write_failed = false;

// What a reporting thread needs to know to skip the file lock: the file is
// open, and (daily files only) for which day. Written under the file lock,
// read by every line, so kept off the cache lines that lines write.
alignas(64) std::atomic<bool> s_file_ready{false};
std::atomic<bool> s_file_daily{true};
std::atomic<int> s_file_day{-1};

// A day as one growing number: a date change is told from a mere change of the
// day of the month, and a line stamped a moment before midnight never sends the
// file back to the day before.
int day_key(const struct tm &tm) { return (tm.tm_year + 1900) * 1000 + tm.tm_yday; }

// Queued lines, back to back with their newlines, in one growing area per
// side: a reporter copies its line in under the queue lock and the writer
// takes the whole area in one swap, so no line costs an allocation or a free
// once the areas have grown to the working size.
struct Batch {
    char *data = nullptr;
    size_t used = 0;
    size_t capacity = 0;
    long lines = 0;
};

// The queue exists once s_log_writer_started is set (under the file lock).
os_mutex_t *s_log_queue_mutex = nullptr;
Batch s_log_pending;  // guarded by the queue lock
Batch s_log_writing;  // the writer thread's own
os_native_condition_t s_log_cond;
alignas(64) std::atomic<int> s_log_writer_started{0};

std::atomic<Clock> s_clock{&time};
alignas(64) std::atomic<long> s_queued{0}, s_dropped{0};  // written with the queue

// Reports raised while a thread is inside the sink (from the default
// directory or the process name) go to standard error only: back in the sink
// they would look for the same directory and report again without end.
__attribute__((tls_model("initial-exec"))) thread_local bool t_in_sink = false;

void init_file_lock() { os_mutex_init(&s_log_file_mutex, 0); }

bool log_file_enabled() { return to_file() != 0 || access("dbg", F_OK) == 0; }

// Opens the file for the day of `tm`; under the file lock. False when no name
// could be made. A failed open leaves no file, and the next line tries again.
// The descriptor is close-on-exec, so no child the caller starts inherits it.
bool open_file_locked(const struct tm &tm) {
    close_file_locked();  // never two handles at once
    s_open_failed = true;
    if (!log_make_filename(tm)) return false;
    s_log_fp = fopen(s_log_filename, kAppendMode);
    if (s_log_fp != nullptr) setvbuf(s_log_fp, nullptr, _IONBF, 0);
    s_open_failed = s_log_fp == nullptr;
    s_open_errno = s_open_failed ? errno : 0;
    s_write_failed = false;
    s_file_daily.store(s_log_v3_attr.single_file == 0, std::memory_order_relaxed);
    s_file_day.store(day_key(tm), std::memory_order_relaxed);
    s_file_ready.store(s_log_fp != nullptr, std::memory_order_release);
    return true;
}

void open_now_locked() {
    time_t now = s_clock.load(std::memory_order_relaxed)(nullptr);
    struct tm tm;
    local_time(now, &tm);
    open_file_locked(tm);
}

// Lines lost to the file are never lost silently. The first loss of an
// episode (a file that could not be opened or written) is reported at once,
// with its count; an episode ends when a later piece reaches a file, and what
// it dropped after that first report is reported then. Writer thread only.
struct Loss {
    bool active = false;
    long since_report = 0;
};
Loss s_file_loss;

// Lines the queue bounds refused, reported once per burst: when the writer
// finds no new refusal since its last look, when it goes idle, or after a
// second of a flood that never lets up. Writer thread only.
long s_drops_reported = 0, s_drops_seen = 0;
time_t s_burst_start = 0;

long lines_in(const char *data, size_t len) {
    long n = 0;
    for (const char *p = data, *end = data + len; (p = static_cast<const char *>(memchr(p, '\n', end - p))) != nullptr; ++p)
        ++n;
    return n;
}

void note_lost(long lines, int error, const char *file) {
    if (s_file_loss.active) {
        s_file_loss.since_report += lines;
        return;
    }
    s_file_loss = Loss{true, 0};
    errno = error;  // the line carries its text; on this thread it goes to standard error only
    KEEL_ERROR("%ld log lines dropped: log file %s cannot be written; lines are dropped until a new file opens",
               lines, file);
}

void note_written(const char *file) {
    if (!s_file_loss.active) return;
    if (s_file_loss.since_report > 0)
        KEEL_ERROR("%ld more log lines dropped before log file %s opened", s_file_loss.since_report, file);
    s_file_loss = Loss{};
}

void report_queue_drops(bool going_idle) {
    long total = s_dropped.load(std::memory_order_relaxed);
    if (total == s_drops_reported) return;
    time_t now = time(nullptr);
    if (s_drops_seen == s_drops_reported) s_burst_start = now;  // a new burst
    bool burst_over = going_idle || total == s_drops_seen || now - s_burst_start >= 1;
    s_drops_seen = total;
    if (!burst_over) return;
    errno = ENOBUFS;
    KEEL_ERROR("%ld log lines dropped", total - s_drops_reported);
    s_drops_reported = total;
}

// Writes what it can; the count written. A file past the process's size
// limit raises SIGXFSZ, which this thread blocks: the write fails with EFBIG
// instead, and the pending signal is taken so that it never reaches anyone.
size_t write_all(int fd, const char *data, size_t len, int *error) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, data + done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            *error = errno;
            take_size_limit_signal();
            break;
        } else if (n == 0) {
            *error = EIO;
            break;
        }
    }
    return done;
}

// Writes one batch. Each piece is written with the file lock held, so a
// setting that closes the file waits for at most one piece and no line is ever
// written to a closed file; pieces end at a line's end, so a line never
// straddles two files. The file is made again first if it was deleted or
// moved away, and opened again if a change of settings closed it. What does
// not reach a file is counted as lost, a line cut by a failed write included.
void write_batch(const Batch &batch) {
    constexpr size_t kPiece = 1 << 16;
    bool first = true;
    for (size_t at = 0; at < batch.used;) {
        size_t len = std::min(kPiece, batch.used - at);
        if (at + len < batch.used) {
            size_t end = len;
            while (end > 0 && batch.data[at + end - 1] != '\n') --end;
            if (end > 0) len = end;
        }
        os_mutex_lock(file_lock());
        if (s_log_fp != nullptr ? first && access(s_log_filename, F_OK) != 0 : !s_open_failed) open_now_locked();
        size_t done = 0;
        int error = 0;
        if (s_log_fp == nullptr) {
            error = s_open_errno;
        } else if (s_write_failed) {
            error = EIO;  // reported when the file first refused
        } else if ((done = write_all(fileno(s_log_fp), batch.data + at, len, &error)) < len) {
            s_write_failed = true;
        }
        char file[kMaxPath];
        snprintf(file, sizeof file, "%s", s_log_filename);
        os_mutex_unlock(file_lock());
        if (done < len)
            note_lost(lines_in(batch.data + at + done, len - done), error, file);
        else
            note_written(file);
        first = false;
        at += len;
    }
}

uint32_t log_writer_thread(void *) {
    t_in_sink = true;  // its own reports (from naming a file) never come back to it
    sync::block_raised_signals();
    for (;;) {
        while (os_native_condition_wait(&s_log_cond, OS_WAIT_INFINITE) != 0) {
        }
        for (;;) {
            os_mutex_lock(s_log_queue_mutex);
            os_native_condition_set(&s_log_cond, 0);
            if (s_log_pending.lines == 0) {
                os_mutex_unlock(s_log_queue_mutex);
                report_queue_drops(true);
                break;
            }
            std::swap(s_log_pending, s_log_writing);
            os_mutex_unlock(s_log_queue_mutex);
            write_batch(s_log_writing);
            report_queue_drops(false);
            s_log_writing.used = 0;
            s_log_writing.lines = 0;
            if (s_log_writing.capacity > (1u << 20)) {  // a flood's area is not kept for good
                free(s_log_writing.data);
                s_log_writing = Batch{};
            }
            // A short pause lets the next batch gather while this thread is
            // not waiting on the condition, so busy reporters set the flag
            // without having to wake anybody.
            usleep(200);
        }
    }
    return 0;
}

// Called under the file lock. The first step that fails undoes the earlier
// ones, so the next line can try again from a clean start.
bool log_writer_start() {
    os_mutex_t *queue_mutex = os_mutex_create(1);
    if (queue_mutex == nullptr) return false;
    if (os_native_condition_init(&s_log_cond) != 0) {
        os_mutex_free(queue_mutex);
        return false;
    }
    s_log_queue_mutex = queue_mutex;
    os_thread_t writer;
    if (!os_thread_create(&writer, 0, log_writer_thread, nullptr)) {
        s_log_queue_mutex = nullptr;
        os_native_condition_uninit(&s_log_cond);
        os_mutex_free(queue_mutex);
        return false;
    }
    os_thread_detach(&writer);
    s_log_writer_started.store(1, std::memory_order_release);
    return true;
}

// Makes room for `more` bytes; false when memory runs out.
bool reserve(Batch &batch, size_t more) {
    if (batch.used + more <= batch.capacity) return true;
    size_t capacity = std::max({batch.capacity * 2, batch.used + more, size_t{1} << 16});
    char *data = static_cast<char *>(realloc(batch.data, capacity));
    if (data == nullptr) return false;
    batch.data = data;
    batch.capacity = capacity;
    return true;
}

// The condition is set by the line that finds the queue empty: the writer
// clears it only under the queue lock while taking or finding an empty queue,
// so with lines pending it is already set, and setting it again would only
// cost every line a second lock.
void queue_line(const char *line, int level) {
    os_mutex_lock(s_log_queue_mutex);
    long n = s_log_pending.lines;
    if (n > kHardLimit || (n > kSoftLimit && level != LOG_LEVEL_ERROR && level != LOG_LEVEL_FATAL)) {
        s_dropped.fetch_add(1, std::memory_order_relaxed);
    } else {
        size_t len = strlen(line);
        if (!reserve(s_log_pending, len)) {
            // Counted with the lines the bounds refused, so that the writer
            // reports it with them.
            s_dropped.fetch_add(1, std::memory_order_relaxed);
            fputs("buf == NULL, os_strdup faild\n", stderr);
        } else {
            memcpy(s_log_pending.data + s_log_pending.used, line, len);
            s_log_pending.used += len;
            ++s_log_pending.lines;
            s_queued.fetch_add(1, std::memory_order_relaxed);
        }
    }
    if (n == 0) os_native_condition_set(&s_log_cond, 1);
    os_mutex_unlock(s_log_queue_mutex);
    // With more reporting threads than cores the writer may get no core for
    // a few milliseconds, long enough for a flood to reach the bounds and
    // lose lines to them. A reporter that finds the queue half full gives up
    // the rest of its time slice, so the writer can run; it never waits for
    // the writer or the disk.
    if (n > kSoftLimit / 2) sched_yield();
}

}  // namespace

os_mutex_t *file_lock() {
    pthread_once(&s_file_lock_once, init_file_lock);
    return &s_log_file_mutex;
}

void close_file_locked() {
    if (s_log_fp != nullptr) fclose(s_log_fp);  // the writer writes under this lock
    s_log_fp = nullptr;
    s_open_failed = false;
    s_file_ready.store(false, std::memory_order_release);
}

bool in_file_sink() { return t_in_sink; }

void log_file_write(const char *line, int level) {
    if (t_in_sink || line == nullptr) return;
    if (!log_file_enabled()) return;
    t_in_sink = true;

    time_t now = s_clock.load(std::memory_order_relaxed)(nullptr);
    struct tm tm;
    local_time(now, &tm);

    // While the file is open and of today, a line needs no file lock: the
    // reporting thread never waits behind the writer's disk write.
    int today = day_key(tm);
    bool ready = s_log_writer_started.load(std::memory_order_acquire) != 0 &&
                 s_file_ready.load(std::memory_order_acquire) &&
                 (!s_file_daily.load(std::memory_order_relaxed) ||
                  today <= s_file_day.load(std::memory_order_relaxed));
    if (!ready) {
        os_mutex_lock(file_lock());
        if (s_log_writer_started.load(std::memory_order_acquire) == 0 && !log_writer_start()) {
            fputs("os_condition_init fail\n", stderr);
            os_mutex_unlock(file_lock());
            t_in_sink = false;
            return;
        }
        if (!s_log_v3_attr.single_file && s_log_fp != nullptr && today > s_file_day.load()) close_file_locked();
        if (s_log_fp == nullptr && !open_file_locked(tm)) {
            os_mutex_unlock(file_lock());
            t_in_sink = false;
            return;
        }
        os_mutex_unlock(file_lock());
    }

    queue_line(line, level);
    t_in_sink = false;
}

void set_clock(Clock clock) { s_clock.store(clock != nullptr ? clock : &time); }

std::string current_filename() {
    os_mutex_lock(file_lock());
    std::string name = s_log_fp != nullptr ? s_log_filename : "";
    os_mutex_unlock(file_lock());
    return name;
}

SinkStats sink_stats() {
    long pending = 0;
    if (s_log_writer_started.load(std::memory_order_acquire)) {
        os_mutex_lock(s_log_queue_mutex);
        pending = s_log_pending.lines;
        os_mutex_unlock(s_log_queue_mutex);
    }
    return {s_queued.load(), s_dropped.load(), pending};
}

}  // namespace keel::log
