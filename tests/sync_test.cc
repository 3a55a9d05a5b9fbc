// Locks and threads: re-entrancy, shared and exclusive holds, the native
// condition's flag semantics, and thread start, join and detach.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "keel/log.h"
#include "keel/os_sync.h"
#include "test_support.h"

using keel_test::lines_of;
using keel_test::StderrCapture;
using keel_test::wait_until;
using namespace std::chrono_literals;

TEST(Mutex, ReentrantForItsHolderEvenWhenNotAskedForAndNullIsReported) {
    os_mutex_t *m = os_mutex_create(0);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(os_mutex_lock(m), 1);
    ASSERT_EQ(os_mutex_lock(m), 1);  // would deadlock if not re-entrant
    std::atomic<bool> got{false};
    int foreign = -1;
    std::thread other([&] {
        foreign = os_mutex_unlock(m);  // not the holder: refused
        os_mutex_lock(m);
        got = true;
        os_mutex_unlock(m);
    });
    EXPECT_EQ(os_mutex_unlock(m), 1);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(got) << "one unlock of two must keep the mutex held";
    EXPECT_EQ(os_mutex_unlock(m), 1);
    EXPECT_TRUE(wait_until([&] { return got.load(); }));
    other.join();
    EXPECT_EQ(foreign, 0);
    EXPECT_EQ(os_mutex_free(m), 1);

    log_start(0, 1);
    StderrCapture cap;
    EXPECT_EQ(os_mutex_init(nullptr, 0) + os_mutex_destroy(nullptr) + os_mutex_lock(nullptr) + os_mutex_unlock(nullptr), 0);
    EXPECT_EQ(os_mutex_free(nullptr), 1);  // reports once, through destroy
    EXPECT_EQ(keel_test::count_of(cap.text(), "file: mutex.cc line: "), 5);
}

TEST(RwLock, WriterWaitsForEveryReaderAndModeFollows) {
    os_rwlock_t *lock = os_rwlock_create();  // usable without init
    ASSERT_NE(lock, nullptr);
    std::atomic<int> holding{0};
    std::atomic<bool> release{false}, writer_in{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i)
        readers.emplace_back([&] {
            os_rwlock_rdlock(lock);
            ++holding;
            while (!release) std::this_thread::sleep_for(1ms);
            os_rwlock_unlock(lock);
        });
    ASSERT_TRUE(wait_until([&] { return holding == 3; }));
    EXPECT_EQ(lock->mode, 0);
    std::thread writer([&] {
        os_rwlock_wrlock(lock);
        writer_in = true;
        EXPECT_EQ(lock->mode, 2);
        os_rwlock_unlock(lock);
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(writer_in) << "a writer must not enter while readers hold the lock";
    release = true;
    for (auto &r : readers) r.join();
    EXPECT_TRUE(wait_until([&] { return writer_in.load(); }));
    writer.join();
    EXPECT_EQ(lock->mode, 0);
    EXPECT_EQ(os_rwlock_free(lock), 1);

    StderrCapture cap;  // null locks are refused silently
    EXPECT_EQ(os_rwlock_init(nullptr) + os_rwlock_rdlock(nullptr) + os_rwlock_wrlock(nullptr) + os_rwlock_unlock(nullptr), 0);
    EXPECT_EQ(cap.text(), "");
}

TEST(NativeCondition, FlagIsNotConsumedAndSetWakesEveryWaiter) {
    os_native_condition_t cond;
    ASSERT_EQ(os_native_condition_init(&cond), 0);
    EXPECT_EQ(os_native_condition_wait(&cond, 0), -2) << "a clear flag times out at once";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(os_native_condition_wait(&cond, 30), -2);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 29ms);

    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {  // -1 is how C callers say "no limit"
            if (os_native_condition_wait(&cond, static_cast<uint32_t>(-1)) == 0) ++woken;
        });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(woken, 0);
    EXPECT_EQ(os_native_condition_set(&cond, 5), 0);
    EXPECT_TRUE(wait_until([&] { return woken == 4; }));
    for (auto &w : waiters) w.join();
    EXPECT_EQ(os_native_condition_wait(&cond, 0), 0) << "the flag is not consumed";
    EXPECT_EQ(os_native_condition_set(&cond, 0), 0);
    EXPECT_EQ(os_native_condition_wait(&cond, 0), -2);
    EXPECT_EQ(os_native_condition_uninit(&cond), 0);

    EXPECT_EQ(os_native_condition_init(nullptr) + os_native_condition_uninit(nullptr) + os_native_condition_set(nullptr, 1) +
                  os_native_condition_wait(nullptr, 0), -4);
}

namespace {

std::atomic<size_t> g_stack_size{0};

uint32_t record_stack_size(void *) {
    pthread_attr_t attr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &size);
        pthread_attr_destroy(&attr);
    }
    g_stack_size = size;
    return 0;
}

uint32_t store_self(void *out) {
    *static_cast<std::atomic<uint32_t> *>(out) = os_thread_self();
    return 7;
}

}  // namespace

TEST(Thread, StackSizesSelfJoinDetachAndBadRecords) {
    // 0 means 1 MiB; 16 MiB is larger than any stack the thread library may
    // have cached for reuse; 1 is raised, not refused.
    for (auto [asked, want] : {std::pair<uint32_t, size_t>{0, 0x100000}, {0x1000000, 0x1000000}, {1, static_cast<size_t>(PTHREAD_STACK_MIN)}}) {
        os_thread_t thr;
        ASSERT_EQ(os_thread_create(&thr, asked, record_stack_size, nullptr), 1);
        EXPECT_EQ(os_thread_join(&thr), 1);
        EXPECT_GE(g_stack_size.load(), want) << asked;
        if (asked != 1) {
            EXPECT_EQ(g_stack_size.load(), want) << asked;
        }
    }

    std::atomic<uint32_t> a{0}, b{0};
    os_thread_t ta, tb;
    ASSERT_EQ(os_thread_create(&ta, 0, store_self, &a), 1);
    ASSERT_EQ(os_thread_create(&tb, 0, store_self, &b), 1);
    ASSERT_TRUE(wait_until([&] { return a != 0; }));
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(os_thread_join(&ta), 1) << "joining an ended thread returns at once";
    EXPECT_EQ(os_thread_detach(&tb), 1);
    ASSERT_TRUE(wait_until([&] { return b != 0; })) << "a detached thread runs on";
    EXPECT_NE(a, b);
    EXPECT_NE(a, os_thread_self());

    log_start(0, 1);
    StderrCapture cap;
    os_thread_t bad;
    EXPECT_EQ(os_thread_create(nullptr, 0, store_self, nullptr) + os_thread_join(nullptr) + os_thread_detach(nullptr) +
                  os_thread_create(&bad, 0, nullptr, nullptr), 0);
    EXPECT_EQ(os_thread_join(&ta) + os_thread_detach(&ta), 0) << "a second join must not touch the dead thread";
    EXPECT_EQ(keel_test::count_of(cap.text(), "thr"), 6);
}
