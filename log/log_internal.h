// Internals of the log: the line builders shared by the reporting routine and
// the message families, and the sinks a finished line is delivered to.
#pragma once

#include <cstdarg>

namespace keel::log {

constexpr int kLineSize = 4096;  // a line area; text stops at kLineLimit
constexpr int kLineLimit = 4094;

// Appends one formatted piece at *len without passing kLineLimit.
void append(char *area, int *len, const char *fmt, va_list args);
void append_f(char *area, int *len, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// The three line builders. With with_errno, the line ends in ": " and the text
// of `error`.
void emit_dated(int with_errno, int error, const char *fmt, va_list args, int level);
void emit_undated(int with_errno, int error, const char *fmt, va_list args, int level);
// The caller holds the shared buffer's lock; this releases it.
void emit_buffered(int with_errno, int error, const char *fmt, va_list args, int level);

// Sends a finished line to standard error, the file sink and the debugger channel.
void deliver(const char *line, int level);

// The file sink: queues the line for the log file when file logging is on.
void file_write(const char *line, int level);

// The current threshold and file switch, as set by log_start.
int level_threshold();
int to_file();

// errno's text, thread-safe.
const char *error_text(int error, char *scratch, int size);

}  // namespace keel::log
