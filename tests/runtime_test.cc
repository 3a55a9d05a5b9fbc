// The runtime as callers see it. Lateness is allowed for: only what a correct runtime never does fails.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <malloc.h>
#include <signal.h>
#endif

#include <atomic>
#include <random>

#include "keel/log.h"
#include "keel/os_runtime.h"
#include "keel/os_sync.h"
#include "test_core.h"

using namespace std::chrono_literals;

static void nothing(void *) {}
static void *tag(intptr_t v) { return reinterpret_cast<void *>(v); }
static void start_runtime() {
    log_start(0, 1);
    ASSERT_EQ(os_startup(0, 0), 1);
}

TEST(Startup, RefusesBadCallsStartsOnceAfterAFirstWaitAndSleepsThroughSignals) {
    log_start(0, 1);
    keel_test::StderrCapture cap;
    EXPECT_TRUE(os_post_func(nothing, nullptr) == 0 && os_is_startup() == 0 && !os_timer_create_ms(nothing, 10, nullptr) &&
                !os_timer_create_once(nothing, 10, nullptr));
    EXPECT_EQ(os_timer_destroy(os_timer_create(nothing, 1000, nullptr)), 1);  // never listed, yet freed
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(os_startup(0, 0), 1);
    auto t1 = std::chrono::steady_clock::now();
    EXPECT_TRUE(t1 - t0 >= 100ms && os_startup(5, 6) == 1 && os_is_startup() == 1 &&
                std::chrono::steady_clock::now() - t1 < 100ms) << "one first wait, and no second start-up";
    EXPECT_TRUE(os_post_func(nullptr, nullptr) == 0 && !os_timer_create_ms(nothing, 0, nullptr) &&
                !os_timer_create_once(nullptr, 10, nullptr) && os_timer_destroy(nullptr) == 0);
    const std::string off = "os_is_startup() == 0";  // a timer made before start-up is freed through an empty list
    EXPECT_EQ(keel_test::reports(cap.text()), (std::vector<std::string>{"adt_dlist_add dlist == NULL", off, off,
        "adt_dlist_lock dlist == NULL", "adt_dlist_insert dlist == NULL", "adt_dlist_unlock dlist == NULL",
        "os_post_func func == NULL", "interval_ms == 0", "func == NULL", "timer == NULL"}));
    uint64_t ms = os_clock_ms(), us = os_clock_us();
    EXPECT_TRUE(us / 1000 >= ms && us / 1000 - ms < 1000) << "one clock";
    os_main_lock(), os_main_lock(), os_main_unlock(), os_main_unlock();
    EXPECT_TRUE(keel_test::on_main_thread([] {})) << "two locks and two unlocks leave the main lock free";
#ifndef _WIN32  // Windows has no signals to cut a sleep short
    signal(SIGUSR1, [](int) {});
    std::thread pinger([self = pthread_self()] { std::this_thread::sleep_for(50ms), pthread_kill(self, SIGUSR1); });
    t0 = std::chrono::steady_clock::now(), os_sleep(150), pinger.join();
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 150ms) << "a signal cut the sleep short";
#endif
}

// The first wave posts while the main lock holds the functions off; the second reuses its pool.
TEST(PostedFunctions, RunOnTheMainThreadInPostingOrderANestedOneAfterItsPoster) {
    constexpr int kThreads = 4, kEach = 500, kNested = kThreads * 100000;
    static std::vector<std::pair<intptr_t, uint32_t>> s_calls;  // argument, thread; under the main lock
    static auto record = [](void *arg) { s_calls.push_back({intptr_t(arg), os_thread_self()}); };
    start_runtime();
    os_main_lock();
    ASSERT_EQ(os_post_func([](void *) { os_post_func(record, tag(kNested + 1)), record(tag(kNested)); }, nullptr), 1);
    for (int wave = 0; wave < 2; ++wave) {
        std::vector<std::thread> posters;
        for (int t = 0; t < kThreads; ++t)
            posters.emplace_back([t, wave] {
                for (int i = wave * kEach; i < (wave + 1) * kEach; ++i) EXPECT_EQ(os_post_func(record, tag(t * 100000 + i)), 1);
            });
        for (auto &p : posters) p.join();
        if (wave > 0) continue;
#ifndef _WIN32  // the C library there tells nothing of the heap's use
        // A thread that ends gives its pool back: a hundred posting in turn take a slab or two, not a hundred.
        size_t used = mallinfo2().uordblks;
        for (int i = 0; i < 100; ++i) std::thread([] { os_post_func(nothing, nullptr); }).join();
        EXPECT_LT(mallinfo2().uordblks - used, 100u * 3000) << "the pools of ended threads were lost";
#endif
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(s_calls.size(), 0u) << "nothing runs while a caller holds the main lock";
        os_main_unlock();
    }
    ASSERT_TRUE(keel_test::wait_until_locked([] { return s_calls.size() == 2 * kThreads * kEach + 2; }));
    std::vector<intptr_t> last(kThreads + 1, -1);  // each poster's order, all on the main thread
    for (auto [v, thread] : s_calls)
        EXPECT_TRUE(v % 100000 == ++last[v / 100000] && thread == s_calls[0].second && thread != os_thread_self()) << v;
}

TEST(Timers, FireOnWholeTicksAndMayDestroyThemselvesAndTheNextOne) {
    static std::atomic<int> s_fired[5], s_self_calls{0}, s_next_calls{0}, s_self_result{-1}, s_next_result{-1};
    static os_timer_t *s_self, *s_next;
    start_runtime();
    const std::pair<uint32_t, int> cases[] = {{0, 1}, {1000, 1}, {1001, 2}, {1, 1}, {2500, 3}};  // ms, ticks a firing
    std::vector<os_timer_t *> timers;
    os_main_lock();  // all created between the same two ticks
    for (intptr_t i = 0; i < 5; ++i)
        timers.push_back(os_timer_create([](void *i) { ++s_fired[intptr_t(i)]; }, cases[i].first, tag(i)));
    for (uint32_t ms : {2000u, UINT32_MAX}) timers.push_back(os_timer_create(nullptr, ms, nullptr));
    s_next = os_timer_create([](void *) { ++s_next_calls; }, 1000, nullptr);
    s_self = os_timer_create([](void *) {  // newest: walked first, just before s_next
        ++s_self_calls, s_next_result = os_timer_destroy(s_next), s_self_result = os_timer_destroy(s_self);
    }, 1000, nullptr);
    os_main_unlock();
    ASSERT_TRUE(keel_test::wait_until([] { return s_fired[1] >= 4; }, 8s));
    os_main_lock();  // freeze the counts between ticks
    int ticks = s_fired[1];
    for (int i = 0; i < 5; ++i) EXPECT_EQ(s_fired[i], ticks / cases[i].second) << "interval " << cases[i].first;
    EXPECT_TRUE(timers[5]->elapsed_ms == ticks % 2 * 1000u && timers[6]->elapsed_ms == ticks * 1000u)
        << "a timer without function fires and counts";
    os_main_unlock();
    EXPECT_TRUE(s_self_calls == 1 && s_self_result == 1 && s_next_calls == 0 && s_next_result == 1)
        << "destroyed in its own call, or before its turn in the first tick, a timer never fires again";
    for (os_timer_t *t : timers) EXPECT_EQ(os_timer_destroy(t), 1);
}

// A 20 ms timer whose function takes 10 ms, held up for five intervals: one call when let go,
// then the n-th due 20 n ms after the start, however long each call took.
TEST(PreciseTimers, PeriodicSkipsTheIntervalsItMissedAndDoesNotDrift) {
    constexpr uint64_t kPeriod = 20000;
    static std::vector<uint64_t> s_at;  // the start of each call
    start_runtime();
    for (int attempt = 1;; ++attempt) {
        os_main_lock();
        s_at.clear();
        uint64_t start = os_clock_us();
        os_timer_t *t = os_timer_create_ms([](void *) { s_at.push_back(os_clock_us()), os_sleep(10); }, 20, nullptr);
        uint64_t made = os_clock_us();  // the timer's own start lies between start and made
        std::this_thread::sleep_for(std::chrono::microseconds(int64_t(start + 5 * kPeriod + 2000 - os_clock_us())));
        uint64_t let_go = os_clock_us();
        os_main_unlock();
        ASSERT_TRUE(keel_test::wait_until_locked([] { return s_at.size() >= 25; }, 10s));
        EXPECT_EQ(os_timer_destroy(t), 1);
        size_t calls = s_at.size(), close = 0;
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(s_at.size(), calls) << "a timer destroyed on another thread fires no more";
        // Due 20 ms after the end of each call, no call would come less than 30 ms after the one before.
        for (size_t k = 2; k < calls; ++k) close += s_at[k] - s_at[k - 1] < 25000;
        EXPECT_GT(close, 0u) << "the calls drift";
        // A catch-up slot one too early makes a call too many at once; one too late skips one (tried again).
        EXPECT_LE(calls - 2, (s_at.back() - start) / kPeriod - (let_go - made) / kPeriod - 1) << "a burst";
        if (uint64_t skip = made + ((let_go - start) / kPeriod + 2) * kPeriod - 1000; s_at[1] < skip || attempt == 3) {
            EXPECT_LT(s_at[1], skip) << "an interval skipped";
            break;
        }
    }
}

// One-shots due within a second (one then falls in a second's last millisecond), cancelled from
// another thread or their own call (both kinds); timers far ahead cost nothing while they wait.
TEST(PreciseTimers, OneShotsFireOnceInDeadlineOrderUnlessCancelledAndWaitingCostsNoCpu) {
    static uint64_t s_due[2000], s_late[2000], s_fired[2000];  // each deadline lies between due and late
    static int s_calls[2000], s_self = 0, s_once = 0;
    static os_timer_t *s_self_timer, *s_once_timer;
    static std::vector<int> s_order;  // main thread only
    start_runtime();
    std::vector<os_timer_t *> timers(2000);  // not kept past the case: a timer never freed shows as a leak
    auto arm = [&timers](intptr_t from, unsigned seed) {
        std::mt19937 gen(seed);
        for (intptr_t i = from; i < from + 1000; ++i) {
            uint32_t delay = gen() % 1000;
            s_due[i] = os_clock_us() + delay * 1000;
            timers[i] = os_timer_create_once([](void *i) {
                s_fired[intptr_t(i)] = os_clock_us(), ++s_calls[intptr_t(i)], s_order.push_back(int(intptr_t(i)));
            }, delay, tag(i));
            s_late[i] = os_clock_us() + delay * 1000;
        }
    };
    os_main_lock();  // all armed before any fires, so cancelling is safe
    std::thread a(arm, 0, 1u), b(arm, 1000, 2u);
    a.join(), b.join();
    for (int i = 0; i < 2000; i += 10) EXPECT_EQ(os_timer_destroy(timers[i]), 1);
    s_self_timer = os_timer_create_ms([](void *) { if (++s_self == 3) os_timer_destroy(s_self_timer); }, 5, nullptr);
    s_once_timer = os_timer_create_once([](void *) { ++s_once, os_timer_destroy(s_once_timer); }, 5, nullptr);
    std::vector<os_timer_t *> distant;
    for (int i = 0; i < 1000; ++i) distant.push_back(os_timer_create_ms(nothing, 60000 + i, nullptr));
    os_main_unlock();
    ASSERT_TRUE(keel_test::wait_until_locked([] { return s_order.size() == 1800; }, 10s)) << s_order.size();
    double before = keel_test::cpu_ms();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(keel_test::cpu_ms() - before, 30) << "of 300 ms";
    os_main_lock();
    EXPECT_TRUE(s_order.size() == 1800u && s_self == 3 && s_once == 1);
    for (int i = 0; i < 2000; ++i) EXPECT_TRUE(s_calls[i] == (i % 10 != 0) && (!s_calls[i] || s_fired[i] >= s_due[i])) << i;
    for (size_t k = 1; k < s_order.size(); ++k) EXPECT_LE(s_due[s_order[k - 1]], s_late[s_order[k]]) << k;
    os_main_unlock();
    for (os_timer_t *t : distant) EXPECT_EQ(os_timer_destroy(t), 1);
}
