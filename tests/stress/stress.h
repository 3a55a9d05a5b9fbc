// What the stress program's forms share: the check that reports a failure,
// the checks every run ends with, the streams their peers send and verify,
// and the faults injected under libfiu's POSIX preload (fault_inject.sh).
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "keel/log.h"
#include "tests/echo_server.h"
#include "tests/serial_support.h"

using namespace keel_test;  // the tests' helpers are the program's own
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The forms (stress_main.cc has their table); true when every check held.
bool tcp_stress(double seconds, double connections);
bool udp_stress(double seconds, double);
bool log_stress(double threads, double lines);
bool serial_stress(double runs, double);

// Prints a check that failed (scripts/fault_inject.sh looks for the text).
inline bool check(bool held, const char *what) {
    if (!held) fprintf(stderr, "stress: FAILED: %s\n", what);
    return held;
}

// How every run ends: the library, idle with its objects open, costs no CPU;
// `destroy` ends them at once; every descriptor opened since `fds` is closed.
bool settle(const char *form, int fds, const std::function<void()> &destroy);

inline double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Bytes from `at` on of the stream `seed` names, from the position alone: no
// generator to keep, and cheap enough under the sanitizers.
inline void fill(uint64_t seed, uint64_t at, char *out, size_t n) {
    for (size_t i = 0; i < n; ++i, ++at) {
        uint64_t x = (seed ^ (at >> 3)) * 0x9E3779B97F4A7C15ull;
        out[i] = static_cast<char>((x ^ (x >> 31)) >> (8 * (at & 7)));
    }
}

// Faults for the library alone: the program's own peers and checkers are
// spared, so that what a check finds is the library's doing.
namespace fault {

// Arms the points KEEL_STRESS_FAULTS names ("posix/io/*=0.01 libc/mm/*=0.002")
// and spares the calling, main thread for good; false when it names points
// but libfiu's preload is not there. What was injected is printed at exit.
bool arm(const char *form);
bool armed();  // then a check may allow what a failed call brings about

enum Kind { kNone = 0, kMemory = 1, kIo = 2, kAll = 3 };
inline thread_local int t_spared = 0;  // Kind bits; the library's threads start with none

// While one lives, the thread's allocations (kMemory) or all its calls (kAll)
// never fail, as a callback's own bookkeeping; kNone exposes the main
// thread's calls that are the load itself (a serial send).
struct Spare {
    int saved = t_spared;
    explicit Spare(Kind kind) { t_spared = kind == kNone ? 0 : t_spared | kind; }
    ~Spare() { t_spared = saved; }
};

}  // namespace fault
