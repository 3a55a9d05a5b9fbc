// The main thread's figures: idle and busy time, callbacks by kind, the
// longest one, how late timers and posted functions started, and the report
// of a slow callback. The main thread is the only writer; a reader on any
// thread takes the figures without a lock (each is one atomic word), so that
// a monitor never waits for a callback that hangs. A reader's restart of the
// "since the last call" figures may lose what the main thread adds at that
// very moment; they are figures, not accounts.
#include <algorithm>
#include <atomic>
#include <cstdint>

#include "keel/os_runtime.h"
#include "log/report.h"
#include "runtime/loop_stats.h"
#include "runtime/runtime_internal.h"

namespace keel::rt {
namespace {

const char *const kKindNames[] = {"socket", "timer", "posted", "signal"};

// Lags in buckets of eight per power of two: a percentile read from them is
// within an eighth of the value. Below 8 us each value has its own bucket.
constexpr int kLagBuckets = 62 * 8;

int lag_bucket(uint64_t us) {
    if (us < 8) return static_cast<int>(us);
    int msb = 63 - __builtin_clzll(us);
    return (msb - 2) * 8 + static_cast<int>((us >> (msb - 3)) & 7);
}
uint64_t bucket_top(int bucket) {  // the largest value a bucket holds
    if (bucket < 8) return static_cast<uint64_t>(bucket);
    int msb = bucket / 8 + 2;
    return (((uint64_t{8} | static_cast<uint64_t>(bucket % 8)) + 1) << (msb - 3)) - 1;
}

// The lags, in microseconds (each is measured against the monotonic clock,
// which timers run on anyway), and the posted queue's peak.
struct LagFigures {
    std::atomic<uint64_t> lag_max{0}, lag_count{0};
    std::atomic<uint64_t> lags[kLagBuckets] = {};
    std::atomic<uint64_t> posted_peak{0};
};
LagFigures s_lags;

// Where the ticks were counted from, for their rate.
std::atomic<uint64_t> s_ticks0{0};
std::atomic<int64_t> s_us0{0};

uint64_t ticks_to_us(uint64_t ticks, double per_us) { return static_cast<uint64_t>(static_cast<double>(ticks) / per_us); }

}  // namespace

LoopFigures g_loop;

void loop_started() {
    s_us0.store(monotonic_us(), std::memory_order_relaxed);
    s_ticks0.store(loop_ticks(), std::memory_order_relaxed);
}

double loop_ticks_per_us() {
    if (!KEEL_LOOP_TICKS_COUNTER) return 1.0;
    int64_t us0 = s_us0.load(std::memory_order_relaxed), now_us = monotonic_us();
    uint64_t ticks0 = s_ticks0.load(std::memory_order_relaxed), now = loop_ticks();
    if (us0 == 0 || now_us - us0 < 50000) {  // too short a base for a rate: two milliseconds measured now
        us0 = now_us, ticks0 = now;
        while ((now_us = monotonic_us()) - us0 < 2000) now = loop_ticks();
    }
    return static_cast<double>(now - ticks0) / static_cast<double>(now_us - us0);
}

// Main thread only: the longest callback since the last call, the limit for
// a slow one, and the callbacks counted when the last slow one ended.
uint64_t s_longest = 0, s_slow_limit = UINT64_MAX, s_calls_at_slow = UINT64_MAX;
std::atomic<uint64_t> s_longest_seen{0};  // s_longest as (ticks + 1) << 2 | kind, for the reader; 0: none
std::atomic<bool> s_restart{false};       // the reader started the figures again
std::atomic<uint64_t> s_slow_ticks{UINT64_MAX};

uint64_t calls_so_far() {
    uint64_t n = 0;
    for (const auto &kind : g_loop.callbacks) n += kind.load(std::memory_order_relaxed);
    return n;
}

void loop_note_long(uint64_t took, int kind, uint32_t runs) {
    if (kind < 0 || runs == 0 || took > UINT64_MAX / 2) return;  // no callback ran, or a step back
    if (s_restart.exchange(false, std::memory_order_relaxed)) s_longest = 0;
    s_slow_limit = s_slow_ticks.load(std::memory_order_relaxed);
    if (took > s_longest) {
        s_longest = took;
        s_longest_seen.store((took + 1) << 2 | static_cast<uint64_t>(kind), std::memory_order_relaxed);
    }
    if (took > s_slow_limit) {
        // One report for a run of slow callbacks: the episode goes on while
        // no callback ran between the last slow one and this one.
        uint64_t calls = calls_so_far();
        if (calls - runs != s_calls_at_slow)
            KEEL_WARN("a %s callback ran for %llu ms", kKindNames[kind],
                      static_cast<unsigned long long>(ticks_to_us(took, loop_ticks_per_us()) / 1000));
        s_calls_at_slow = calls;
    }
    g_loop.watch_ticks.store(std::min(s_longest, s_slow_limit), std::memory_order_relaxed);
}

void loop_note_lag(int64_t late_us) {
    auto late = static_cast<uint64_t>(std::max<int64_t>(late_us, 0));
    loop_add(s_lags.lags[lag_bucket(late)], 1);
    loop_add(s_lags.lag_count, 1);
    if (late > s_lags.lag_max.load(std::memory_order_relaxed)) s_lags.lag_max.store(late, std::memory_order_relaxed);
}

void loop_note_posted_batch(uint32_t size) {
    if (size > s_lags.posted_peak.load(std::memory_order_relaxed))
        s_lags.posted_peak.store(size, std::memory_order_relaxed);
}

}  // namespace keel::rt

using namespace keel::rt;

extern "C" {

KEEL_API int os_loop_stats(os_loop_stats_t *out) {
    if (out == nullptr) {
        KEEL_INFO("out == NULL");
        return 0;
    }
    if (!os_is_startup()) {
        KEEL_INFO("os_is_startup() == 0");
        return 0;
    }
    *out = os_loop_stats_t{};
    const double per_us = loop_ticks_per_us();
    uint64_t since = g_loop.busy_since.load(std::memory_order_relaxed), now = loop_ticks();
    uint64_t busy = g_loop.busy_ticks.load(std::memory_order_relaxed);
    if (since != 0 && now > since) busy += now - since;  // the message under way
    auto up = static_cast<uint64_t>(monotonic_us() - s_us0.load(std::memory_order_relaxed));
    out->busy_us = std::min(ticks_to_us(busy, per_us), up);
    out->idle_us = up - out->busy_us;
    for (int kind = 0; kind < 4; ++kind) out->callbacks[kind] = g_loop.callbacks[kind].load(std::memory_order_relaxed);
    out->posted_waiting = posted_waiting();
    out->posted_peak = std::max(static_cast<uint32_t>(s_lags.posted_peak.load(std::memory_order_relaxed)),
                                out->posted_waiting);
    uint64_t longest = s_longest_seen.exchange(0, std::memory_order_relaxed);
    s_restart.store(true, std::memory_order_relaxed);
    g_loop.watch_ticks.store(0, std::memory_order_relaxed);  // the next message restarts the longest
    out->longest_us = longest != 0 ? ticks_to_us((longest >> 2) - 1, per_us) : 0;
    out->longest_kind = longest != 0 ? static_cast<int>(longest & 3) : -1;
    out->lag_max_us = s_lags.lag_max.exchange(0, std::memory_order_relaxed);
    out->lag_count = s_lags.lag_count.exchange(0, std::memory_order_relaxed);
    uint64_t counts[kLagBuckets], total = 0;
    for (int b = 0; b < kLagBuckets; ++b) total += counts[b] = s_lags.lags[b].exchange(0, std::memory_order_relaxed);
    for (uint64_t seen = 0, b = 0; total > 0 && b < kLagBuckets; ++b)
        if ((seen += counts[b]) * 100 >= total * 99) {
            out->lag_p99_us = std::min(bucket_top(static_cast<int>(b)), out->lag_max_us);
            break;
        }
    return 1;
}

KEEL_API int os_set_slow_callback_ms(uint32_t ms) {
    double ticks = ms == 0 ? 0 : static_cast<double>(ms) * 1000 * loop_ticks_per_us();
    s_slow_ticks.store(ms == 0 ? UINT64_MAX : static_cast<uint64_t>(ticks), std::memory_order_relaxed);
    g_loop.watch_ticks.store(0, std::memory_order_relaxed);  // the next message takes the new limit
    return 1;
}

}  // extern "C"
