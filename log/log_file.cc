// The log file sink and its writer thread. A reporting thread only copies its
// line into a bounded queue; the writer thread appends queued lines to the
// file, which is reopened when it vanished or the day changed.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
int s_log_mday = -1;

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

uint32_t log_writer_thread(void *) {
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

            adt_dlist_lock(s_ls_log_writing);
            adt_dlist_node_t *node = adt_dlist_head(s_ls_log_writing);
            while (node != nullptr) {
                char *line = *static_cast<char **>(adt_dlist_getdata(node));
                node = adt_dlist_delete_ex(s_ls_log_writing, node);
                if (line == nullptr) continue;
                adt_dlist_unlock(s_ls_log_writing);
                os_mutex_lock(file_lock());
                if (s_log_fp != nullptr) fputs(line, s_log_fp);
                free(line);
                os_mutex_unlock(file_lock());
                adt_dlist_lock(s_ls_log_writing);
            }
            adt_dlist_unlock(s_ls_log_writing);
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
    if (s_log_fp != nullptr) fclose(s_log_fp);
    s_log_fp = nullptr;
}

void log_file_write(const char *line, int level) {
    if (t_in_sink || line == nullptr) return;
    if (!log_file_enabled()) return;
    t_in_sink = true;

    time_t now = s_clock.load(std::memory_order_relaxed)(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);

    os_mutex_lock(file_lock());
    if (s_log_path[0] == '\0') log_default_path();
    if (s_log_writer_started.load(std::memory_order_acquire) == 0 && !log_writer_start()) {
        fputs("os_condition_init fail\n", stderr);
        os_mutex_unlock(file_lock());
        t_in_sink = false;
        return;
    }
    if (!s_log_v3_attr.single_file && s_log_fp != nullptr && tm.tm_mday != s_log_mday) close_file_locked();
    // A file deleted or moved away while open is closed and made again.
    if (s_log_fp != nullptr && access(s_log_filename, F_OK) != 0) close_file_locked();
    if (s_log_fp == nullptr) {
        if (!log_make_filename(tm)) {
            os_mutex_unlock(file_lock());
            t_in_sink = false;
            return;
        }
        s_log_fp = fopen(s_log_filename, "a");
        if (s_log_fp != nullptr) setvbuf(s_log_fp, nullptr, _IONBF, 0);
        s_log_mday = tm.tm_mday;
    }
    os_mutex_unlock(file_lock());

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
