// Internals of the log: the line builders shared by the reporting routine and
// the message families, and the sinks a finished line is delivered to.
#pragma once

#include <cstdarg>
#include <ctime>
#include <string>

#include "keel/os_sync.h"

namespace keel::log {

constexpr int kLineSize = 4096;  // a line area; text stops at kLineLimit
constexpr int kLineLimit = 4094;

// Appends one formatted piece at *len without passing kLineLimit.
void append(char *area, int *len, const char *fmt, va_list args);
void append_f(char *area, int *len, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// The three line builders. With with_errno, the line ends in ": " and the text
// of `error`.
void log_emit_dated(int with_errno, int error, const char *fmt, va_list args, int level);
void log_emit_undated(int with_errno, int error, const char *fmt, va_list args, int level);
// The caller holds the shared buffer's lock; this releases it.
void log_emit_buffered(int with_errno, int error, const char *fmt, va_list args, int level);

// Sends a finished line to standard error, the file sink and the debugger channel.
void log_deliver(const char *line, size_t len, int level);

// The file sink: queues the line for the log file when file logging is on.
void log_file_write(const char *line, int level);
// True on a thread that is inside the sink (or is its writer): its reports must
// reach standard error without the shared buffer, whose holder may be waiting
// for the file lock this thread holds.
bool in_file_sink();

// ---- log file state, shared by the sink and the settings -------------------

constexpr int kMaxPath = 260;  // a full file name stays below this

// The file lock: guards the open file, its name and the settings that name it.
// Static storage, initialised once, so taking it can never fail.
os_mutex_t *file_lock();

// Closes the log file, if open; the next line opens one under a fresh name.
// The caller holds the file lock.
void close_file_locked();

// Builds the file name for the day of `tm` into the file state; false (with
// "log filename too long..." on standard error) when it would not fit.
bool log_make_filename(const struct tm &tm);
// Fills the directory from the library's own location when none is set.
void log_default_path();


// Test hooks, not exported: the clock the sink reads, the current file name,
// and what the queue took and refused.
using Clock = time_t (*)(time_t *);
void set_clock(Clock clock);
std::string current_filename();
struct SinkStats {
    long queued;
    long dropped;
    long pending;
};
SinkStats sink_stats();

// The current threshold and file switch, as set by log_start.
int level_threshold();
int to_file();

// The local time of `when`, cached per thread for the current second.
void local_time(time_t when, struct tm *out);

// errno's text, thread-safe.
const char *error_text(int error, char *scratch, int size);

}  // namespace keel::log
