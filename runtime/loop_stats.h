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
    std::atomic<uint64_t> mark{0};  // ticks << 1, | 1 while the thread waits for a message
    std::atomic<uint64_t> idle_ticks{0};
    std::atomic<uint64_t> callbacks[4] = {};
    std::atomic<uint64_t> longest{0};                  // (ticks + 1) << 2 | kind, 0: none
    std::atomic<uint64_t> slow_ticks{UINT64_MAX};      // a callback longer is reported
    bool slow_episode = false;                         // main thread only
};
extern LoopFigures g_loop;

// Out of line: what happens seldom.
void loop_note_slow(uint64_t took, int kind);
// How many ticks make a microsecond.
double loop_ticks_per_us();

// Adds to a figure that only the main thread writes.
inline void loop_add(std::atomic<uint64_t> &figure, uint64_t n) {
    figure.store(figure.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

inline void loop_note_waiting(uint64_t since) { g_loop.mark.store(since << 1 | 1, std::memory_order_relaxed); }

inline void loop_note_idle(uint64_t since, uint64_t now) {
    g_loop.mark.store(now << 1, std::memory_order_relaxed);
    loop_add(g_loop.idle_ticks, now > since ? now - since : 0);  // a move to another core may look like a step back
}

// A message that ran `runs` callbacks of `kind` (OS_LOOP_*) from start to end.
inline void loop_note_callbacks(int kind, uint32_t runs, uint64_t start, uint64_t end) {
    loop_add(g_loop.callbacks[kind], runs);
    uint64_t took = end > start ? end - start : 0;
    uint64_t mark = (took + 1) << 2 | static_cast<uint64_t>(kind);
    if (mark > g_loop.longest.load(std::memory_order_relaxed)) g_loop.longest.store(mark, std::memory_order_relaxed);
    if (took > g_loop.slow_ticks.load(std::memory_order_relaxed) || g_loop.slow_episode) loop_note_slow(took, kind);
}

}  // namespace keel::rt
