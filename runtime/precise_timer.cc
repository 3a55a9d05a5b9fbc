// Timers on the monotonic clock, to the microsecond: a binary heap of their
// deadlines, earliest first, and one kernel deadline for the earliest
// (deadline_set), so the main thread sleeps exactly until a timer is due and
// not a moment longer, and starting or cancelling one of thousands costs a
// logarithm. The tick's timers of whole seconds are timer.cc's.
#include <cstdlib>
#include <mutex>
#include <vector>

#include "keel/os_runtime.h"
#include "log/report.h"
#include "runtime/runtime_internal.h"

namespace keel::rt {
namespace {

constexpr size_t kNowhere = SIZE_MAX;

struct Precise {
    os_timer_t pub;     // what the caller holds; first, so both have one address
    int64_t start_us;   // the creation
    int64_t period_us;  // 0 for a timer that fires once
    uint64_t slot;      // the firing due next is the slot-th interval after the start
    int64_t due_us;
    size_t at;          // its index in the heap, kNowhere when not in it
    bool running;       // inside its function
    bool cancelled;     // destroyed from inside its function
};

// The heap keeps each deadline beside its timer, so that ordering it reads
// only the array, not a million timers scattered over the heap of memory.
struct Slot {
    int64_t due_us;
    Precise *timer;
};

// Made once and never destroyed, as the main thread may still run while the
// process runs its exit-time destructors.
std::mutex &s_heap_lock = *new std::mutex;
std::vector<Slot> &s_heap = *new std::vector<Slot>;
int64_t s_armed_us = 0;  // the deadline the platform holds; under the lock

void place(size_t i, Slot slot) {
    s_heap[i] = slot;
    slot.timer->at = i;
}

void sift_up(size_t i) {
    Slot moving = s_heap[i];
    for (size_t parent; i > 0 && s_heap[parent = (i - 1) / 2].due_us > moving.due_us; i = parent)
        place(i, s_heap[parent]);
    place(i, moving);
}

void sift_down(size_t i) {
    Slot moving = s_heap[i];
    for (;;) {
        size_t child = 2 * i + 1;
        if (child >= s_heap.size()) break;
        if (child + 1 < s_heap.size() && s_heap[child + 1].due_us < s_heap[child].due_us) ++child;
        if (s_heap[child].due_us >= moving.due_us) break;
        place(i, s_heap[child]);
        i = child;
    }
    place(i, moving);
}

void heap_remove(Precise *t) {
    size_t i = t->at;
    Slot last = s_heap.back();
    s_heap.pop_back();
    t->at = kNowhere;
    if (last.timer == t) return;
    place(i, last);
    sift_up(i);
    sift_down(last.timer->at);
}

// A new deadline for the timer at the top.
void reschedule_top(int64_t due_us) {
    s_heap[0].due_us = due_us;
    sift_down(0);
}

// The platform wakes the main thread at the earliest deadline; it is told
// only when that changes.
void rearm_locked() {
    int64_t due = s_heap.empty() ? 0 : s_heap[0].due_us;
    if (due == s_armed_us) return;
    s_armed_us = due;
    deadline_set(due);
}

os_timer_t *start(os_func_t func, uint32_t ms, void *arg, bool periodic) {
    auto *t = static_cast<Precise *>(calloc(1, sizeof(Precise)));
    if (t == nullptr) KEEL_FATAL("malloc fail, timer == NULL");
    t->pub.func = func;
    t->pub.interval_ms = ms;
    t->pub.arg = arg;
    t->pub.precise = 1;
    t->start_us = monotonic_us();
    t->period_us = periodic ? static_cast<int64_t>(ms) * 1000 : 0;
    t->slot = 1;
    t->due_us = t->start_us + static_cast<int64_t>(ms) * 1000;
    std::lock_guard<std::mutex> guard(s_heap_lock);
    grow_or_exit("timer", [&] { s_heap.push_back(Slot{t->due_us, t}); });
    sift_up(s_heap.size() - 1);
    rearm_locked();
    return &t->pub;
}

// The next firing of a periodic timer: the next interval after the start, or,
// when it is late by more than one, the first interval still ahead.
void advance(Precise *t, int64_t now) {
    ++t->slot;
    if (t->start_us + static_cast<int64_t>(t->slot) * t->period_us <= now)
        t->slot = static_cast<uint64_t>((now - t->start_us) / t->period_us) + 1;
    t->due_us = t->start_us + static_cast<int64_t>(t->slot) * t->period_us;
}

}  // namespace

// The timers due when the deadline passed, earliest first; one made or
// rescheduled meanwhile to a moment already past waits for the next round
// (the platform's deadline is then in the past and comes at once), so a
// timer function that keeps starting timers cannot hold the thread here.
uint32_t run_due_timers() {
    const int64_t now = monotonic_us();
    for (uint32_t ran = 0;; ++ran) {
        std::unique_lock<std::mutex> held(s_heap_lock);
        if (s_heap.empty() || s_heap[0].due_us > now) {
            rearm_locked();
            return ran;
        }
        Precise *t = s_heap[0].timer;
        loop_note_lag(now - t->due_us);
        if (t->period_us > 0) {
            advance(t, monotonic_us());
            reschedule_top(t->due_us);
        } else {
            heap_remove(t);
        }
        t->running = true;
        held.unlock();
        if (t->pub.func != nullptr) t->pub.func(t->pub.arg);
        held.lock();
        t->running = false;
        bool gone = t->cancelled || t->period_us == 0;
        held.unlock();
        if (gone) free(t);
    }
}

// Destroy waits for the main lock, so a timer is never freed under its own
// function on the main thread; from inside that function it is only marked,
// and freed when the function returns.
int precise_timer_destroy(os_timer_t *timer) {
    auto *t = reinterpret_cast<Precise *>(timer);
    os_main_lock();
    std::unique_lock<std::mutex> held(s_heap_lock);
    if (t->at != kNowhere) heap_remove(t);
    rearm_locked();
    bool running = t->running;
    if (running) t->cancelled = true;
    held.unlock();
    if (!running) free(t);
    os_main_unlock();
    return 1;
}

}  // namespace keel::rt

using namespace keel::rt;

extern "C" {

KEEL_API os_timer_t *os_timer_create_ms(os_func_t func, uint32_t interval_ms, void *arg) {
    if (interval_ms == 0) {
        KEEL_INFO("interval_ms == 0");
        return nullptr;
    }
    if (!os_is_startup()) {
        KEEL_INFO("os_is_startup() == 0");
        return nullptr;
    }
    return start(func, interval_ms, arg, true);
}

KEEL_API os_timer_t *os_timer_create_once(os_func_t func, uint32_t delay_ms, void *arg) {
    if (func == nullptr) {
        KEEL_INFO("func == NULL");
        return nullptr;
    }
    if (!os_is_startup()) {
        KEEL_INFO("os_is_startup() == 0");
        return nullptr;
    }
    return start(func, delay_ms, arg, false);
}

KEEL_API uint64_t os_clock_ms(void) { return static_cast<uint64_t>(monotonic_us() / 1000); }

KEEL_API uint64_t os_clock_us(void) { return static_cast<uint64_t>(monotonic_us()); }

}  // extern "C"
