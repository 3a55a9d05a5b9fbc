// What the stress program's forms share: the check that reports a failure,
// the checks every run ends with, the streams of bytes their peers send and
// verify, and the faults injected under libfiu's POSIX preload
// (scripts/fault_inject.sh). What they share with the tests is in
// tests/net_support.h, echo_server.h and serial_support.h.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "keel/log.h"
#include "tests/echo_server.h"
#include "tests/serial_support.h"

// The program is the tests' neighbour: their helpers are its own.
using namespace keel_test;
using Clock = std::chrono::steady_clock;

// The forms (the table in stress_main.cc); each is true when every check held.
bool tcp_stress(double seconds, double connections);
bool udp_stress(double seconds, double);
bool log_stress(double threads, double lines);
bool serial_stress(double runs, double);

// Prints the check unless it held ("stress: FAILED: " is what
// scripts/fault_inject.sh looks for); returns whether it held.
inline bool check(bool held, const char *what) {
    if (!held) fprintf(stderr, "stress: FAILED: %s\n", what);
    return held;
}

// How every run ends: the library, idle with its objects still open, costs
// no CPU (a spinning thread shows); `destroy` ends them at once, a hung-up
// port's included; then every descriptor opened since `fds` is closed.
bool settle(const char *form, int fds, const std::function<void()> &destroy);

inline double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Bytes from `at` on of the stream `seed` names, from the position alone, so
// that neither the sender nor the checker keeps a generator; cheap enough that
// the checkers' instrumentation does not make it the bottleneck.
inline void fill(uint64_t seed, uint64_t at, char *out, size_t n) {
    for (size_t i = 0; i < n; ++i, ++at) {
        uint64_t x = (seed ^ (at >> 3)) * 0x9E3779B97F4A7C15ull;
        out[i] = static_cast<char>((x ^ (x >> 31)) >> (8 * (at & 7)));
    }
}

// The faults are meant for the library alone: the program's own peers and
// checkers are spared, so that whatever a check then finds is the library's
// doing and not a failed read of the checker's own.
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
