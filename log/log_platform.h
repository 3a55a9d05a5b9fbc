// What the log needs of the system, one file per platform (log/unix,
// log/win): the standard error stream and the debugger channel, the local
// time, error texts, the paths of the program and of the library itself, and
// the signal a write past the size limit raises.
#pragma once

#include <cstddef>
#include <ctime>

namespace keel::log {

// Flushes standard output, then writes and flushes len chars of text on
// standard error, under the stream's lock taken once for both steps.
void write_stderr(const char *text, size_t len);
// Whether standard error is the stream of systemd's journal: JOURNAL_STREAM
// names its device and inode.
bool stderr_is_journal();
// The debugger channel. Where the system has none of its own, a debugger
// already sees standard error, and the line goes nowhere else.
void write_debugger(const char *text);
// localtime for one instant, safe from any thread.
void platform_local_time(time_t when, struct tm *out);
// The system's text for an errno value: scratch, or a static text.
const char *platform_error_text(int error, char *scratch, int size);
// The running program's file and the library's own file; false when unknown.
bool program_path(char *out, size_t size);
bool library_path(char *out, size_t size);
// After a write that failed: a pending size-limit signal is taken, so that it
// never reaches anyone (the thread blocks it, and the write failed instead).
void take_size_limit_signal();

// What ends the default directory's name.
extern const char *const kPathSeparator;
// fopen's mode for a log file: appends, and no child inherits the handle.
extern const char *const kAppendMode;

}  // namespace keel::log
