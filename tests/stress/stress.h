// What the stress program's forms share: the check that reports a failure,
// the checks every run ends with, and the streams of bytes their peers send
// and verify. What they share with the tests is in tests/net_support.h,
// echo_server.h and serial_support.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "tests/net_support.h"

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
