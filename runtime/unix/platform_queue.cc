// The platform layer's message queue and tick: posts from any thread, taken
// one at a time by the owner, which sleeps in the epoll set of the sockets
// when nothing is queued. The contract is in platform.h.
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "log/report.h"
#include "runtime/unix/platform_internal.h"
#include "sync/sync_internal.h"

namespace keel::rt {

Queue *s_queue = nullptr;
thread_local bool t_owner = false;

namespace {

// Sockets are polled at least this often while messages keep coming, so that
// a flood of posts cannot starve socket events.
constexpr int kPollEvery = 64;

// ---- tick -----------------------------------------------------------------

// True from the post of a WM_TIMER until the owner takes it. A tick that
// finds one still waiting is dropped, as the main thread is behind anyway.
std::atomic<bool> s_tick_waiting{false};

// The periodic callback: it only posts the tick; the main thread does the rest.
void on_timer_proc() {
    if (!s_tick_waiting.exchange(true, std::memory_order_acq_rel)) queue_post(WM_TIMER, 0, 0);
}

int64_t monotonic_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Sleeps to absolute deadlines, so the period does not drift with the time
// each post takes.
void *tick_main(void *) {
    keel::sync::block_raised_signals();
    uint64_t blocked = keel::sync::bound_signals();
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (;;) {
        next.tv_sec += 1;
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
        // A signal bound since is blocked here too, within a second, so that
        // it waits for the main thread's signal descriptor.
        if (uint64_t bound = keel::sync::bound_signals(); bound != blocked) {
            keel::sync::block_raised_signals();
            blocked = bound;
        }
        on_timer_proc();
    }
    return nullptr;
}

}  // namespace

// ---- queue ------------------------------------------------------------------

bool queue_open() {
    t_owner = true;
    if (__atomic_load_n(&s_queue, __ATOMIC_ACQUIRE) != nullptr) return true;
    // The queue's containers allocate as it is made: nothrow new would not
    // catch their failure, which must not leave this thread as an exception.
    Queue *q = nullptr;
    grow_or_exit("message queue", [&] { q = new Queue; });
    q->epfd = epoll_create1(EPOLL_CLOEXEC);
    q->wakefd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    q->timerfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    q->sigfd = signals_open(q->wakefd);
    bool watched = q->epfd >= 0 && q->wakefd >= 0 && q->timerfd >= 0 && q->sigfd >= 0;
    for (int fd : {q->wakefd, q->timerfd, q->sigfd}) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        watched = watched && epoll_ctl(q->epfd, EPOLL_CTL_ADD, fd, &ev) == 0;
    }
    Queue *expected = nullptr;
    if (!watched || !__atomic_compare_exchange_n(&s_queue, &expected, q, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        for (int fd : {q->epfd, q->wakefd, q->timerfd, q->sigfd})  // failed, or another made the queue first
            if (fd >= 0) close(fd);
        delete q;
        return watched;
    }
    return true;
}

// An absolute deadline on the clock the timers use: the kernel wakes the
// owner at that very moment, with no polling and no rounding to milliseconds.
bool deadline_set(int64_t due_us) {
    Queue *q = __atomic_load_n(&s_queue, __ATOMIC_ACQUIRE);
    if (q == nullptr) return false;
    itimerspec at{};
    if (due_us > 0) at.it_value = timespec{static_cast<time_t>(due_us / 1000000), static_cast<long>(due_us % 1000000) * 1000};
    return timerfd_settime(q->timerfd, TFD_TIMER_ABSTIME, &at, nullptr) == 0;
}

bool queue_post(uint32_t number, uintptr_t wparam, LParam lparam) {
    Queue *q = __atomic_load_n(&s_queue, __ATOMIC_ACQUIRE);
    if (q == nullptr) return false;
    bool wake;
    {
        LockGuard guard(q->lock);
        grow_or_exit("queued message", [&] { q->shared.push_back(Message{number, wparam, lparam}); });
        wake = q->owner_sleeping;
        q->owner_sleeping = false;
    }
    if (wake) {
        uint64_t one = 1;
        // A full counter still wakes the owner, so a failed write loses nothing.
        if (write(q->wakefd, &one, sizeof one) < 0) return true;
    }
    return true;
}

int queue_get(Message *out) { return queue_get_for(out, -1); }

int queue_get_for(Message *out, int timeout_ms) {
    Queue *q = s_queue;
    if (q == nullptr) return -1;
    const int64_t deadline = timeout_ms >= 0 ? monotonic_ms() + timeout_ms : -1;
    for (;;) {
        if (q->served_since_poll >= kPollEvery) {
            // Socket events found now queue behind everything posted before.
            q->served_since_poll = 0;
            if (poll_sockets(*q, 0) < 0) return -1;
        }
        if (!q->batch.empty()) {
            *out = q->batch.front();
            q->batch.pop_front();
            ++q->served_since_poll;
            if (out->number == WM_TIMER) s_tick_waiting.store(false, std::memory_order_release);
            return 1;
        }
        bool idle;
        {
            LockGuard guard(q->lock);
            q->batch.swap(q->shared);
            idle = q->batch.empty();
            q->owner_sleeping = idle;
        }
        if (!idle) continue;
        q->served_since_poll = 0;
        int wait_ms = -1;
        if (deadline >= 0) wait_ms = static_cast<int>(std::max<int64_t>(0, deadline - monotonic_ms()));
        if (poll_sockets(*q, wait_ms) < 0) return -1;
        bool any;
        {
            LockGuard guard(q->lock);
            q->owner_sleeping = false;
            any = !q->shared.empty();
        }
        // The limit holds even while reports keep coming that give no message.
        if (!any && deadline >= 0 && monotonic_ms() >= deadline) return 0;
    }
}

bool tick_start() {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, tick_main, nullptr);
    pthread_attr_destroy(&attr);
    return rc == 0;
}

}  // namespace keel::rt
