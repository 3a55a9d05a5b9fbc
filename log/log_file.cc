// The log file sink and its writer thread. A reporting thread only copies its
// line into a bounded queue; the writer thread appends queued lines to the
// file, which is reopened when it vanished or the day changed.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "keel/adt_dlist.h"
#include "keel/os_proc.h"
#include "keel/os_sync.h"
#include "log/log_files.h"

namespace keel::log {
namespace {

constexpr long kSoftLimit = 1000;  // above: only errors and fatal lines
constexpr long kHardLimit = 1500;  // above: nothing

os_mutex_t s_log_file_mutex;
pthread_once_t s_file_lock_once = PTHREAD_ONCE_INIT;
FILE *s_log_fp = nullptr;

// Files closed while the writer may still be writing to them. Only the writer
// thread closes them, between batches, so nobody ever writes to a closed file
// and nobody waits for the writer's disk write to close one. Never destroyed.
std::vector<FILE *> &s_retired = *new std::vector<FILE *>;

// What a reporting thread needs to know to skip the file lock: the file is
// open, and (daily files only) for which day. Written under the file lock.
std::atomic<bool> s_file_ready{false};
std::atomic<bool> s_file_daily{true};
std::atomic<int> s_file_day{-1};

// A day as one growing number: a date change is told from a mere change of the
// day of the month, and a line stamped a moment before midnight never sends the
// file back to the day before.
int day_key(const struct tm &tm) { return (tm.tm_year + 1900) * 1000 + tm.tm_yday; }

// The queue exists once s_log_writer_started is set (under the file lock).
os_mutex_t *s_log_queue_mutex = nullptr;
adt_dlist_t *s_ls_log_pending = nullptr;
adt_dlist_t *s_ls_log_writing = nullptr;
os_native_condition_t s_log_cond;
std::atomic<int> s_log_writer_started{0};

std::atomic<Clock> s_clock{&time};
std::atomic<long> s_queued{0}, s_dropped{0};

// Reports raised while a thread is inside the sink (from the default
// directory or the process name) go to standard error only: back in the sink
// they would look for the same directory and report again without end.
thread_local bool t_in_sink = false;

void init_file_lock() { os_mutex_init(&s_log_file_mutex, 0); }

bool log_file_enabled() { return to_file() != 0 || access("dbg", F_OK) == 0; }

// Opens the file for the day of `tm`; under the file lock. False when no name
// could be made. A failed open leaves no file, and the next line tries again.
bool open_file_locked(const struct tm &tm) {
    if (!log_make_filename(tm)) return false;
    close_file_locked();  // never two handles at once
    s_log_fp = fopen(s_log_filename, "a");
    if (s_log_fp != nullptr) setvbuf(s_log_fp, nullptr, _IONBF, 0);
    s_file_daily.store(s_log_v3_attr.single_file == 0, std::memory_order_relaxed);
    s_file_day.store(day_key(tm), std::memory_order_relaxed);
    s_file_ready.store(s_log_fp != nullptr, std::memory_order_release);
    return true;
}

// Writes one batch of queued lines with as few writes as will hold them. The
// file lock is held only to pick the file (making it again first if it was
// deleted or moved away) and to close retired files: the disk write itself
// happens without it, so no reporting thread ever waits for it.
void write_batch(adt_dlist_t *batch) {
    static char chunk[1 << 16];  // writer thread only
    size_t used = 0;
    os_mutex_lock(file_lock());
    if (s_log_fp != nullptr && access(s_log_filename, F_OK) != 0) {
        time_t now = s_clock.load(std::memory_order_relaxed)(nullptr);
        struct tm tm;
        local_time(now, &tm);
        open_file_locked(tm);
    }
    FILE *fp = s_log_fp;
    os_mutex_unlock(file_lock());

    adt_dlist_lock(batch);
    adt_dlist_node_t *node = adt_dlist_head(batch);
    while (node != nullptr) {
        char *line = *static_cast<char **>(adt_dlist_getdata(node));
        node = adt_dlist_delete_ex(batch, node);
        if (line == nullptr) continue;
        size_t len = strlen(line);
        if (used + len > sizeof chunk && used > 0) {
            if (fp != nullptr) fwrite(chunk, 1, used, fp);
            used = 0;
        }
        if (len > sizeof chunk) {
            if (fp != nullptr) fwrite(line, 1, len, fp);
        } else {
            memcpy(chunk + used, line, len);
            used += len;
        }
        free(line);
    }
    adt_dlist_unlock(batch);
    if (used > 0 && fp != nullptr) fwrite(chunk, 1, used, fp);

    os_mutex_lock(file_lock());
    for (FILE *old : s_retired) fclose(old);
    s_retired.clear();
    os_mutex_unlock(file_lock());
}

uint32_t log_writer_thread(void *) {
    t_in_sink = true;  // its own reports (from naming a file) never come back to it
    for (;;) {
        while (os_native_condition_wait(&s_log_cond, OS_WAIT_INFINITE) != 0) {
        }
        for (;;) {
            os_mutex_lock(s_log_queue_mutex);
            os_native_condition_set(&s_log_cond, 0);
            if (adt_dlist_empty(s_ls_log_pending)) {
                os_mutex_unlock(s_log_queue_mutex);
                break;
            }
            adt_dlist_t *full = s_ls_log_pending;
            s_ls_log_pending = s_ls_log_writing;
            s_ls_log_writing = full;
            os_mutex_unlock(s_log_queue_mutex);
            write_batch(s_ls_log_writing);
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
    adt_dlist_t *pending = adt_dlist_create(8);
    adt_dlist_t *writing = adt_dlist_create(8);
    if (os_native_condition_init(&s_log_cond) != 0) {
        adt_dlist_destroy(pending);
        adt_dlist_destroy(writing);
        os_mutex_free(queue_mutex);
        return false;
    }
    s_log_queue_mutex = queue_mutex;
    s_ls_log_pending = pending;
    s_ls_log_writing = writing;
    os_thread_t writer;
    if (!os_thread_create(&writer, 0, log_writer_thread, nullptr)) {
        s_log_queue_mutex = nullptr;
        s_ls_log_pending = s_ls_log_writing = nullptr;
        os_native_condition_uninit(&s_log_cond);
        adt_dlist_destroy(pending);
        adt_dlist_destroy(writing);
        os_mutex_free(queue_mutex);
        return false;
    }
    os_thread_detach(&writer);
    s_log_writer_started.store(1, std::memory_order_release);
    return true;
}

void queue_line(const char *line, int level) {
    os_mutex_lock(s_log_queue_mutex);
    long n = adt_dlist_size(s_ls_log_pending);
    if (n > kHardLimit || (n > kSoftLimit && level != LOG_LEVEL_ERROR && level != LOG_LEVEL_FATAL)) {
        s_dropped.fetch_add(1, std::memory_order_relaxed);
    } else {
        char *copy = os_strdup(line);
        if (copy == nullptr)
            fputs("buf == NULL, os_strdup faild\n", stderr);
        else if (adt_dlist_add(s_ls_log_pending, nullptr, &copy) == nullptr)
            free(copy);
        else
            s_queued.fetch_add(1, std::memory_order_relaxed);
    }
    os_native_condition_set(&s_log_cond, 1);
    os_mutex_unlock(s_log_queue_mutex);
}

}  // namespace

os_mutex_t *file_lock() {
    pthread_once(&s_file_lock_once, init_file_lock);
    return &s_log_file_mutex;
}

void close_file_locked() {
    if (s_log_fp != nullptr) {
        // With a writer, it may be writing to this file right now.
        if (s_log_writer_started.load(std::memory_order_acquire))
            s_retired.push_back(s_log_fp);
        else
            fclose(s_log_fp);
    }
    s_log_fp = nullptr;
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
        pending = adt_dlist_size(s_ls_log_pending);
        os_mutex_unlock(s_log_queue_mutex);
    }
    return {s_queued.load(), s_dropped.load(), pending};
}

}  // namespace keel::log
