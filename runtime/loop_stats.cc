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

// Adds to a figure only the main thread writes.
template <class T>
void add(std::atomic<T> &figure, T n) {
    figure.store(figure.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

struct Figures {
    std::atomic<int64_t> started_us{0};
    std::atomic<uint64_t> idle_us{0};       // waits that ended
    std::atomic<int64_t> waiting_since{0};  // the wait under way, 0 while busy
    std::atomic<uint64_t> callbacks[4] = {};
    std::atomic<uint64_t> longest{0};  // (microseconds + 1) << 2 | kind, 0: none
    std::atomic<uint64_t> lag_max{0}, lag_count{0};
    std::atomic<uint32_t> lags[kLagBuckets] = {};
    std::atomic<uint32_t> posted_peak{0};
    std::atomic<uint32_t> slow_ms{0};
    bool slow_episode = false;  // main thread only
};
Figures s_figures;

}  // namespace

void loop_started() { s_figures.started_us.store(monotonic_us(), std::memory_order_relaxed); }

// A wait ended: counted, and no longer under way.
void loop_note_idle(int64_t idle_us) {
    add(s_figures.idle_us, static_cast<uint64_t>(std::max<int64_t>(idle_us, 0)));
    s_figures.waiting_since.store(0, std::memory_order_relaxed);
}

void loop_note_waiting(int64_t since_us) { s_figures.waiting_since.store(since_us, std::memory_order_relaxed); }

void loop_note_message(int kind, uint64_t runs, int64_t start_us, int64_t end_us) {
    Figures &f = s_figures;
    if (kind < 0 || runs == 0) return;
    add(f.callbacks[kind], runs);
    auto took = static_cast<uint64_t>(std::max<int64_t>(end_us - start_us, 0));
    uint64_t mark = (took + 1) << 2 | static_cast<uint64_t>(kind);
    if (mark > f.longest.load(std::memory_order_relaxed)) f.longest.store(mark, std::memory_order_relaxed);
    uint32_t slow_ms = f.slow_ms.load(std::memory_order_relaxed);
    bool slow = slow_ms != 0 && took > uint64_t{slow_ms} * 1000;
    if (slow && !f.slow_episode)
        KEEL_WARN("a %s callback ran for %llu ms", kKindNames[kind], static_cast<unsigned long long>(took / 1000));
    f.slow_episode = slow;
}

void loop_note_lag(int64_t late_us) {
    auto late = static_cast<uint64_t>(std::max<int64_t>(late_us, 0));
    add(s_figures.lags[lag_bucket(late)], 1u);
    add(s_figures.lag_count, uint64_t{1});
    if (late > s_figures.lag_max.load(std::memory_order_relaxed))
        s_figures.lag_max.store(late, std::memory_order_relaxed);
}

void loop_note_posted_batch(uint32_t size) {
    if (size > s_figures.posted_peak.load(std::memory_order_relaxed))
        s_figures.posted_peak.store(size, std::memory_order_relaxed);
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
    Figures &f = s_figures;
    *out = os_loop_stats_t{};
    int64_t now = monotonic_us(), waiting_since = f.waiting_since.load(std::memory_order_relaxed);
    auto up = static_cast<uint64_t>(now - f.started_us.load(std::memory_order_relaxed));
    uint64_t idle = f.idle_us.load(std::memory_order_relaxed);
    if (waiting_since != 0) idle += static_cast<uint64_t>(std::max<int64_t>(now - waiting_since, 0));
    out->idle_us = std::min(idle, up);
    out->busy_us = up - out->idle_us;
    for (int kind = 0; kind < 4; ++kind) out->callbacks[kind] = f.callbacks[kind].load(std::memory_order_relaxed);
    out->posted_waiting = posted_waiting();
    out->posted_peak = std::max(f.posted_peak.load(std::memory_order_relaxed), out->posted_waiting);
    uint64_t longest = f.longest.exchange(0, std::memory_order_relaxed);
    out->longest_us = longest != 0 ? (longest >> 2) - 1 : 0;
    out->longest_kind = longest != 0 ? static_cast<int>(longest & 3) : -1;
    out->lag_max_us = f.lag_max.exchange(0, std::memory_order_relaxed);
    out->lag_count = f.lag_count.exchange(0, std::memory_order_relaxed);
    uint32_t counts[kLagBuckets];
    uint64_t total = 0;
    for (int b = 0; b < kLagBuckets; ++b) total += counts[b] = f.lags[b].exchange(0, std::memory_order_relaxed);
    for (uint64_t seen = 0, b = 0; total > 0 && b < kLagBuckets; ++b)
        if ((seen += counts[b]) * 100 >= total * 99) {
            out->lag_p99_us = std::min(bucket_top(static_cast<int>(b)), out->lag_max_us);
            break;
        }
    return 1;
}

KEEL_API int os_set_slow_callback_ms(uint32_t ms) {
    s_figures.slow_ms.store(ms, std::memory_order_relaxed);
    return 1;
}

}  // extern "C"
