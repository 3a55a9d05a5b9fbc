// The runtime as callers see it: start-up, posted functions and timers on the
// main thread, and the main lock holding them off.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "keel/log.h"
#include "keel/os_runtime.h"
#include "keel/os_sync.h"
#include "test_support.h"

using keel_test::StderrCapture;
using keel_test::wait_until;
using namespace std::chrono_literals;

namespace {

void start_runtime() {
    log_start(0, 1);
    ASSERT_EQ(os_startup(0, 0), 1);
}

void *tag(intptr_t v) { return reinterpret_cast<void *>(v); }

// Every call of record(): its argument and the thread it ran on.
std::mutex g_lock;
std::vector<std::pair<intptr_t, uint32_t>> g_calls;
std::atomic<size_t> g_count{0};  // raised after each append

void record(void *arg) {
    std::lock_guard<std::mutex> g(g_lock);
    g_calls.push_back({reinterpret_cast<intptr_t>(arg), os_thread_self()});
    ++g_count;
}

// Posts record(kNested + 1), then records kNested itself: in posting order
// only when the post runs after this function returns.
constexpr int kThreads = 4, kEach = 500, kNested = kThreads * 100000;
void post_then_record(void *) {
    os_post_func(record, tag(kNested + 1));
    record(tag(kNested));
}

}  // namespace

TEST(Startup, RefusesPostsUntilThenStartsOnceAndTakesAtLeastTheFirstWait) {
    StderrCapture cap;
    EXPECT_EQ(os_post_func(record, nullptr), 0) << "no runtime yet";
    EXPECT_EQ(os_is_startup(), 0);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(os_startup(0, 0), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 100ms);
    EXPECT_EQ(os_is_startup(), 1);
    EXPECT_EQ(os_startup(5, 6), 1);
    EXPECT_EQ(os_post_func(nullptr, nullptr), 0);
    EXPECT_NE(cap.text().find("os_post_func func == NULL"), std::string::npos);
    for (int i = 0; i < 2; ++i) os_main_lock();
    for (int i = 0; i < 2; ++i) os_main_unlock();
    static std::atomic<bool> other{false};
    std::thread([] { os_main_lock(); other = true; os_main_unlock(); }).detach();
    EXPECT_TRUE(wait_until([] { return other.load(); })) << "two locks and two unlocks leave the main lock free";
}

TEST(PostedFunctions, RunOnTheMainThreadInPostingOrderANestedOneAfterItsPoster) {
    start_runtime();
    ASSERT_EQ(os_post_func(post_then_record, nullptr), 1);
    // Two waves of posting threads: the second reuses what the first handed
    // back to the pool when its threads ended.
    for (int wave = 0; wave < 2; ++wave) {
        std::vector<std::thread> posters;
        for (int t = 0; t < kThreads; ++t)
            posters.emplace_back([t, wave] {
                for (int i = wave * kEach; i < (wave + 1) * kEach; ++i)
                    EXPECT_EQ(os_post_func(record, tag(t * 100000 + i)), 1);
            });
        for (auto &p : posters) p.join();
    }
    ASSERT_TRUE(wait_until([] { return g_count == 2 * kThreads * kEach + 2; }));
    std::vector<intptr_t> last(kThreads + 1, -1);
    for (auto [v, thread] : g_calls) {
        EXPECT_EQ(v % 100000, last[v / 100000] + 1);
        last[v / 100000] = v % 100000;
        EXPECT_EQ(thread, g_calls[0].second) << "all on one thread";
    }
    EXPECT_NE(g_calls[0].second, os_thread_self());
}

TEST(PostedFunctions, MainLockHoldsThemOffWithoutBlockingPosters) {
    start_runtime();
    os_main_lock();
    static std::atomic<int> posted{-1};
    std::thread([] { posted = os_post_func(record, nullptr); }).detach();
    EXPECT_TRUE(wait_until([] { return posted == 1; })) << "a post does not wait for the main lock";
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(g_count, 0u) << "nothing runs while a caller holds the main lock";
    os_main_unlock();
    EXPECT_TRUE(wait_until([] { return g_count == 1; }));
}

namespace {
std::atomic<int> g_fired[5], g_self_calls{0}, g_next_calls{0}, g_self_result{-1}, g_next_result{-1};
os_timer_t *g_self = nullptr, *g_next = nullptr;
void count_fire(void *arg) { ++g_fired[reinterpret_cast<intptr_t>(arg)]; }
void count_next(void *) { ++g_next_calls; }
void destroy_self_and_next(void *) {
    ++g_self_calls;
    g_next_result = os_timer_destroy(g_next);  // the next timer of this very walk
    g_self_result = os_timer_destroy(g_self);
}
}  // namespace

TEST(Timers, FireOnWholeTicksAndMayDestroyThemselvesAndTheNextOne) {
    start_runtime();
    const std::pair<uint32_t, int> cases[] = {{0, 1}, {1000, 1}, {1001, 2}, {1, 1}, {2500, 3}};  // ms, ticks a firing
    std::vector<os_timer_t *> timers;
    os_main_lock();  // all created between the same two ticks
    for (intptr_t i = 0; i < 5; ++i) timers.push_back(os_timer_create(count_fire, cases[i].first, tag(i)));
    os_timer_t *silent[] = {os_timer_create(nullptr, 2000, nullptr), os_timer_create(nullptr, UINT32_MAX, nullptr)};
    g_next = os_timer_create(count_next, 1000, nullptr);
    g_self = os_timer_create(destroy_self_and_next, 1000, nullptr);  // newest: walked first
    os_main_unlock();
    ASSERT_TRUE(wait_until([] { return g_fired[1] >= 4; }, 8s));
    os_main_lock();  // freeze the counts between ticks
    int ticks = g_fired[1];
    for (int i = 0; i < 5; ++i) EXPECT_EQ(g_fired[i], ticks / cases[i].second) << "interval " << cases[i].first;
    EXPECT_EQ(silent[0]->elapsed_ms, ticks % 2 * 1000u) << "a timer without function fires";
    EXPECT_EQ(silent[1]->elapsed_ms, ticks * 1000u) << "and counts";
    os_main_unlock();
    EXPECT_EQ(g_self_calls, 1) << "destroyed in its own call, never fires again";
    EXPECT_TRUE(g_self_result == 1 && g_next_result == 1);
    EXPECT_EQ(g_next_calls, 0) << "destroyed before its turn in the first tick";
    for (os_timer_t *t : timers) EXPECT_EQ(os_timer_destroy(t), 1);
    for (os_timer_t *t : silent) EXPECT_EQ(os_timer_destroy(t), 1);
    EXPECT_EQ(os_timer_destroy(nullptr), 0);
}
