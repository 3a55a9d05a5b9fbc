// What the main loop notes of each message for os_loop_stats, inline: a
// message costs a few instructions more, not a call. Times here are in ticks
// of the cheapest monotonic counter the processor lets a program read,
// turned into microseconds only when the figures are read.
#pragma once

#include <atomic>
#include <cstdint>

#include "runtime/platform.h"

namespace keel::rt {

// x86-64 and arm64 have a constant-rate counter that user code reads in an
// instruction; elsewhere the monotonic clock stands in, one tick a microsecond.
#if defined(__x86_64__) || defined(__aarch64__)
#define KEEL_LOOP_TICKS_COUNTER 1
#else
#define KEEL_LOOP_TICKS_COUNTER 0
#endif
inline uint64_t loop_ticks() {
#if defined(__x86_64__)
    return __builtin_ia32_rdtsc();
#elif defined(__aarch64__)
    uint64_t ticks;
    asm volatile("mrs %0, cntvct_el0" : "=r"(ticks));
    return ticks;
#else
    return static_cast<uint64_t>(monotonic_us());
#endif
}

// The main thread is the only writer of these, but for the "since the last
// call" figures, which the reader starts again.
struct LoopFigures {
    std::atomic<uint64_t> busy_since{0};  // when the message under way began; 0 between messages
    std::atomic<uint64_t> busy_ticks{0};
    std::atomic<uint64_t> callbacks[4] = {};
    // A message that runs longer than this takes the slow path: the longest
    // since the last call so far, or the slow-callback limit if lower.
    std::atomic<uint64_t> watch_ticks{0};
};
extern LoopFigures g_loop;

// The slow path: a new longest, or a slow callback. Out of line.
void loop_note_long(uint64_t took, int kind, uint32_t runs);
// How many ticks make a microsecond.
double loop_ticks_per_us();

// Adds to a figure that only the main thread writes.
inline void loop_add(std::atomic<uint64_t> &figure, uint64_t n) {
    figure.store(figure.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

inline void loop_note_start(uint64_t now) { g_loop.busy_since.store(now, std::memory_order_relaxed); }

// A message that ran `runs` callbacks of `kind` (OS_LOOP_*; counted by the
// caller) from start to end.
inline void loop_note_end(int kind, uint32_t runs, uint64_t start, uint64_t end) {
    g_loop.busy_since.store(0, std::memory_order_relaxed);
    // A move to another core may look like a step back: the sum takes it
    // modulo 2^64, which is right, and the slow path leaves it out.
    uint64_t took = end - start;
    loop_add(g_loop.busy_ticks, took);
    if (took > g_loop.watch_ticks.load(std::memory_order_relaxed)) loop_note_long(took, kind, runs);
}

}  // namespace keel::rt
