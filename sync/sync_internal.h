// Internals of the threads folder shared with the rest of the library.
#pragma once

namespace keel::sync {

// Run first by every thread the library starts for itself (the main thread,
// the tick, the log writer, the serial I/O threads, the process reaper). Such
// a thread never ends the process by a signal it raises itself: SIGPIPE (a
// write to a pipe whose reader left, standard error among them) and SIGXFSZ
// (a file past the process's size limit) are blocked there, and the write
// that raised them fails with EPIPE or EFBIG instead, to be reported. The
// callers' own threads keep their signal masks.
void block_raised_signals();

}  // namespace keel::sync
