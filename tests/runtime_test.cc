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

// Timers are counted by a one-second tick, so their tests allow a few seconds.
constexpr auto kTickDeadline = std::chrono::seconds(8);

void start_runtime() {
    log_start(0, 1);
    ASSERT_EQ(os_startup(0, 0), 1);
}

struct Recorder {
    std::mutex lock;
    std::vector<int> order;
    std::vector<uint32_t> threads;
    void add(int v) {
        std::lock_guard<std::mutex> g(lock);
        order.push_back(v);
        threads.push_back(os_thread_self());
    }
    size_t size() {
        std::lock_guard<std::mutex> g(lock);
        return order.size();
    }
};

Recorder *g_rec;

void record(void *arg) { g_rec->add(static_cast<int>(reinterpret_cast<intptr_t>(arg))); }

}  // namespace

TEST(Startup, StartsOnceAndTakesAtLeastTheFirstWait) {
    EXPECT_EQ(os_is_startup(), 0);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(os_startup(0, 0), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 100ms);
    EXPECT_EQ(os_is_startup(), 1);
    EXPECT_EQ(os_startup(5, 6), 1);
    EXPECT_EQ(os_cleanup(), 1);
    os_main_lock();
    os_main_lock();
    os_main_unlock();
    os_main_unlock();
    std::atomic<bool> other{false};
    std::thread([&] {
        os_main_lock();
        other = true;
        os_main_unlock();
    }).join();
    EXPECT_TRUE(other) << "two locks and two unlocks leave the main lock free";
}

TEST(PostedFunctions, RunOnTheMainThreadInPostingOrder) {
    start_runtime();
    Recorder rec;
    g_rec = &rec;
    constexpr int kThreads = 4, kEach = 500;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([t] {
            for (int i = 0; i < kEach; ++i)
                ASSERT_EQ(os_post_func(record, reinterpret_cast<void *>(intptr_t{t * 100000 + i})), 1);
        });
    for (auto &p : posters) p.join();
    ASSERT_TRUE(wait_until([&] { return rec.size() == kThreads * kEach; }));
    std::vector<int> last(kThreads, -1);
    for (size_t k = 0; k < rec.order.size(); ++k) {
        int t = rec.order[k] / 100000, i = rec.order[k] % 100000;
        EXPECT_EQ(i, last[t] + 1);
        last[t] = i;
        EXPECT_EQ(rec.threads[k], rec.threads[0]) << "all on one thread";
    }
    EXPECT_NE(rec.threads[0], os_thread_self());
}

namespace {
std::atomic<int> g_depth{0}, g_max_depth{0}, g_runs{0};
void nested(void *arg) {
    int depth = ++g_depth;
    g_max_depth = std::max(g_max_depth.load(), depth);
    ++g_runs;
    if (arg != nullptr) os_post_func(nested, nullptr);
    --g_depth;
}
}  // namespace

TEST(PostedFunctions, APostFromAPostedFunctionRunsAfterItReturns) {
    start_runtime();
    ASSERT_EQ(os_post_func(nested, reinterpret_cast<void *>(1)), 1);
    ASSERT_TRUE(wait_until([] { return g_runs == 2; }));
    EXPECT_EQ(g_max_depth, 1);
}

TEST(PostedFunctions, NullFunctionAndPostsBeforeStartupAreRefused) {
    StderrCapture cap;
    EXPECT_EQ(os_post_func(record, nullptr), 0) << "no runtime yet";
    EXPECT_EQ(os_post_func(nullptr, nullptr), 0);
    std::string text = cap.text();
    EXPECT_NE(text.find("adt_dlist_add dlist == NULL"), std::string::npos) << text;
    EXPECT_NE(text.find("os_post_func func == NULL"), std::string::npos) << text;
}

TEST(PostedFunctions, MainLockHoldsThemOffWithoutBlockingPosters) {
    start_runtime();
    Recorder rec;
    g_rec = &rec;
    os_main_lock();
    int posted = 0;
    std::thread([&] { posted = os_post_func(record, reinterpret_cast<void *>(7)); }).join();
    EXPECT_EQ(posted, 1);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rec.size(), 0u) << "nothing runs while a caller holds the main lock";
    os_main_unlock();
    EXPECT_TRUE(wait_until([&] { return rec.size() == 1; }));
}

namespace {
std::atomic<int> g_fired[5];
void count_fire(void *arg) { ++g_fired[reinterpret_cast<intptr_t>(arg)]; }
}  // namespace

TEST(Timers, FireOnWholeTicks) {
    start_runtime();
    os_main_lock();  // all created between the same two ticks
    const uint32_t intervals[] = {0, 1000, 1001, 1, 2500};
    std::vector<os_timer_t *> timers;
    for (intptr_t i = 0; i < 5; ++i) timers.push_back(os_timer_create(count_fire, intervals[i], reinterpret_cast<void *>(i)));
    os_timer_t *silent = os_timer_create(nullptr, 2000, nullptr);
    os_main_unlock();
    ASSERT_TRUE(wait_until([] { return g_fired[1] >= 4; }, kTickDeadline));
    os_main_lock();  // freeze the counts between ticks
    int ticks = g_fired[1];
    EXPECT_EQ(g_fired[0].load(), ticks);
    EXPECT_EQ(g_fired[2].load(), ticks / 2);
    EXPECT_EQ(g_fired[3].load(), ticks);
    EXPECT_EQ(g_fired[4].load(), ticks / 3);
    EXPECT_EQ(silent->elapsed_ms, ticks % 2 == 0 ? 0u : 1000u) << "a timer without function still counts";
    os_main_unlock();
    for (os_timer_t *t : timers) EXPECT_EQ(os_timer_destroy(t), 1);
    EXPECT_EQ(os_timer_destroy(silent), 1);
}

namespace {
os_timer_t *g_self = nullptr, *g_next = nullptr;
std::atomic<int> g_self_calls{0}, g_next_calls{0}, g_other_calls{0}, g_self_result{-1}, g_next_result{-1};
void destroy_self_and_next(void *) {
    ++g_self_calls;
    g_next_result = os_timer_destroy(g_next);  // the next timer of this very walk
    g_self_result = os_timer_destroy(g_self);
}
void count_next(void *) { ++g_next_calls; }
void count_other(void *) { ++g_other_calls; }
}  // namespace

TEST(Timers, ATimerMayDestroyItselfAndTheNextOneOfTheWalk) {
    start_runtime();
    os_main_lock();  // no tick between the creates and the stores
    os_timer_t *oldest = os_timer_create(count_other, 1000, nullptr);
    g_next = os_timer_create(count_next, 1000, nullptr);
    g_self = os_timer_create(destroy_self_and_next, 1000, nullptr);  // newest: walked first
    os_main_unlock();
    ASSERT_TRUE(wait_until([] { return g_other_calls >= 3; }, kTickDeadline));
    EXPECT_EQ(g_self_calls, 1) << "destroyed in its own call, never fires again";
    EXPECT_EQ(g_self_result, 1);
    EXPECT_EQ(g_next_result, 1);
    EXPECT_EQ(g_next_calls, 0) << "destroyed before its turn in the first tick";
    EXPECT_EQ(os_timer_destroy(oldest), 1);

    StderrCapture cap;
    EXPECT_EQ(os_timer_destroy(nullptr), 0);
    EXPECT_NE(cap.text().find("timer == NULL"), std::string::npos);
}
