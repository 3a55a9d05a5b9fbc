// Faults injected into the library's system calls and allocations while the
// stress program runs under libfiu's POSIX preload (scripts/fault_inject.sh).
// The faults are meant for the library alone: the program's own peers and
// checkers are spared, so that whatever a check then finds is the library's
// doing and not a failed read of the checker's own.
#pragma once

namespace fault {

// Arms the points that KEEL_STRESS_FAULTS names, as "pattern=probability"
// items separated by spaces ("posix/io/*=0.01 libc/mm/*=0.002"), and spares
// the calling thread, the program's main one, for good. Without the variable
// nothing is armed and true is returned; false when it names points but the
// preload (or libfiu itself) is not there to fail them. What was injected is
// printed at exit, also when the library ends the process on purpose.
bool arm(const char *form);

// True once arm() armed some points: a check may then allow what a failed
// call legitimately brings about, such as a port the library gave up.
bool armed();

enum Kind { kNone = 0, kMemory = 1, kIo = 2, kAll = 3 };
inline thread_local int t_spared = 0;  // Kind bits; the library's threads start with none

// While one lives, the calling thread's allocations (kMemory) or all its
// calls (kAll) never fail: the program's code on the library's threads, such
// as the bookkeeping of a read callback, is kept out of the injection. kNone
// does the opposite, for the library calls that the spared main thread makes
// as the load itself (a serial send).
struct Spare {
    int saved = t_spared;
    explicit Spare(Kind kind) { t_spared = kind == kNone ? 0 : t_spared | kind; }
    ~Spare() { t_spared = saved; }
};

}  // namespace fault
