// Timers of milliseconds on the monotonic clock: they fire on their
// deadlines and never before, do not drift, run one at a time on the main
// thread in deadline order, and may be cancelled from anywhere, themselves
// included. Lateness is allowed for (a loaded machine runs a callback late);
// only what a correct timer never does fails a case.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "keel/log.h"
#include "keel/os_runtime.h"
#include "test_support.h"

using keel_test::wait_until;
using namespace std::chrono_literals;

namespace {

class PreciseTimers : public ::testing::Test {
protected:
    void SetUp() override {
        log_start(0, 1);
        ASSERT_EQ(os_startup(0, 0), 1);
    }
};

// Spins the calling thread for us microseconds of the timers' own clock.
void busy_for(uint64_t us) {
    for (uint64_t end = os_clock_us() + us; os_clock_us() < end;) {
    }
}

}  // namespace

TEST(PreciseTimersBefore, StartupAndBadArgumentsAreRefused) {
    log_start(0, 1);
    keel_test::StderrCapture cap;
    EXPECT_EQ(os_timer_create_ms([](void *) {}, 10, nullptr), nullptr);
    EXPECT_EQ(os_timer_create_once([](void *) {}, 10, nullptr), nullptr);
    ASSERT_EQ(os_startup(0, 0), 1);
    EXPECT_EQ(os_timer_create_ms([](void *) {}, 0, nullptr), nullptr);
    EXPECT_EQ(os_timer_create_once(nullptr, 10, nullptr), nullptr);
    std::string text = cap.text();
    for (const char *report : {"os_is_startup() == 0", "interval_ms == 0", "func == NULL"})
        EXPECT_GE(keel_test::count_of(text, report), 1) << report;
    uint64_t ms = os_clock_ms(), us = os_clock_us();
    EXPECT_TRUE(us / 1000 >= ms && us / 1000 - ms < 1000) << "one clock";
}

// A 20 ms timer whose function takes 8 ms: its n-th call is due 20 n ms after
// the start whatever each call took, so calls keep their place in each
// interval; a timer that counted from the end of its last call would slide
// through the interval by 8 ms a call.
TEST_F(PreciseTimers, PeriodicFiresOnItsDeadlinesWithoutDrift) {
    static std::vector<uint64_t> s_at;
    static std::atomic<int> s_calls{0};
    uint64_t start = os_clock_us();
    os_timer_t *t = os_timer_create_ms([](void *) {
        s_at.push_back(os_clock_us());
        ++s_calls;
        busy_for(8000);
    }, 20, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(wait_until([] { return s_calls >= 25; }, 10s));
    EXPECT_EQ(os_timer_destroy(t), 1);
    int on_time = 0;
    for (uint64_t at : s_at) {
        uint64_t since = at - start, slot = since / 20000;
        EXPECT_GE(slot, 1u) << "never before the first interval";
        if (since % 20000 < 10000) ++on_time;
    }
    EXPECT_GE(on_time * 10, static_cast<int>(s_at.size()) * 8) << on_time << " of " << s_at.size() << " calls in the first half of their interval";
    int calls = s_calls;
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(s_calls, calls) << "a destroyed timer fires no more";
}

// Two thousand one-shot timers from two threads at once, at random delays:
// each fires once, never before its deadline, and they fire in deadline
// order; those cancelled first never fire.
TEST_F(PreciseTimers, OneShotsFireOnceInDeadlineOrderUnlessCancelled) {
    struct Shot {
        uint64_t due = 0, fired = 0;
        int calls = 0;
        os_timer_t *timer = nullptr;
    };
    static std::vector<Shot> s_shots(2000);
    static std::vector<int> s_order;  // main thread only
    auto arm = [](int from, int to, unsigned seed) {
        std::mt19937 gen(seed);
        for (int i = from; i < to; ++i) {
            uint32_t delay = gen() % 200;
            s_shots[i].due = os_clock_us() + delay * 1000;
            s_shots[i].timer = os_timer_create_once([](void *arg) {
                Shot &s = s_shots[reinterpret_cast<intptr_t>(arg)];
                s.fired = os_clock_us();
                ++s.calls;
                s_order.push_back(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
            }, delay, reinterpret_cast<void *>(static_cast<intptr_t>(i)));
        }
    };
    os_main_lock();  // all armed before any fires, so cancelling is safe
    std::thread a(arm, 0, 1000, 1u), b(arm, 1000, 2000, 2u);
    a.join(), b.join();
    for (int i = 0; i < 2000; i += 10) EXPECT_EQ(os_timer_destroy(s_shots[i].timer), 1);
    os_main_unlock();
    ASSERT_TRUE(keel_test::wait_until_locked([] { return s_order.size() == 1800; }, 10s)) << s_order.size();
    std::this_thread::sleep_for(50ms);
    os_main_lock();
    EXPECT_EQ(s_order.size(), 1800u);
    for (int i = 0; i < 2000; ++i) {
        const Shot &s = s_shots[i];
        EXPECT_EQ(s.calls, i % 10 == 0 ? 0 : 1) << i;
        EXPECT_TRUE(s.calls == 0 || s.fired >= s.due) << "fired early: " << i;
    }
    // Deadlines are read before each create, so two timers made a moment
    // apart on two threads may swap within that moment; past it, order holds.
    for (size_t k = 1; k < s_order.size(); ++k)
        EXPECT_LE(s_shots[s_order[k - 1]].due, s_shots[s_order[k]].due + 2000) << k;
    os_main_unlock();
}

// A timer may cancel itself from its own function (both kinds), and a
// cancel from another thread returns only when no call of it runs or will.
TEST_F(PreciseTimers, CancelledFromTheirOwnCallOrFromAnotherThread) {
    static std::atomic<int> s_self{0}, s_once{0}, s_busy{0};
    static os_timer_t *s_timer = nullptr;
    os_main_lock();
    s_timer = os_timer_create_ms([](void *) {
        if (++s_self == 3) os_timer_destroy(s_timer);
    }, 5, nullptr);
    os_main_unlock();
    os_timer_t *once = nullptr;
    os_main_lock();
    once = os_timer_create_once([](void *self) {
        ++s_once;
        os_timer_destroy(*static_cast<os_timer_t **>(self));  // cancels nothing more; frees nothing twice
    }, 5, &once);
    os_main_unlock();
    os_timer_t *busy = os_timer_create_ms([](void *) {
        ++s_busy;
        busy_for(500);
    }, 1, nullptr);
    ASSERT_TRUE(wait_until([] { return s_self == 3 && s_once == 1 && s_busy >= 20; }, 5s));
    EXPECT_EQ(os_timer_destroy(busy), 1);
    int after = s_busy;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(s_busy, after) << "no call after the cancel returned";
    EXPECT_EQ(s_self, 3);
    EXPECT_EQ(s_once, 1);
}

// Timers far ahead cost nothing while they wait: the main thread sleeps.
TEST_F(PreciseTimers, WaitingTimersCostNoCpu) {
    std::vector<os_timer_t *> timers;
    for (int i = 0; i < 1000; ++i) timers.push_back(os_timer_create_ms([](void *) {}, 60000 + i, nullptr));
    double before = keel_test::cpu_ms();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(keel_test::cpu_ms() - before, 30) << "of 300 ms";
    for (os_timer_t *t : timers) EXPECT_EQ(os_timer_destroy(t), 1);
}
