// A mutex for the library's own short critical sections on the event path
// (the socket registry, the descriptor index, the message queue), which a
// connection takes some twenty times in its life. Taken and released inline
// with one atomic instruction each, where a pthread mutex costs a call and
// some thirty instructions of bookkeeping per operation; a thread that finds
// it held sleeps in the kernel, so a long wait costs no CPU. Not re-entrant.
// Taken with LockGuard, its std::lock_guard.
#pragma once

#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#else
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#endif

namespace keel::sync {

#if defined(_WIN32)

// Windows' slim lock is this already.
class SmallLock {
public:
    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

#else

class SmallLock {
public:
    void lock() {
        int seen = kFree;
        if (!state_.compare_exchange_strong(seen, kHeld, std::memory_order_acquire, std::memory_order_relaxed))
            lock_contended(seen);
    }
    void unlock() {
        if (state_.exchange(kFree, std::memory_order_release) == kWaited) wake_one();
    }

private:
    // kWaited: held, and a thread may be asleep on it.
    enum : int { kFree = 0, kHeld = 1, kWaited = 2 };

    static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
                  "the kernel sleeps on the lock's word as a plain int");

    // The lock is marked as waited for, and the thread sleeps while it stays
    // so (the kernel compares the word first, so an unlock between the look
    // and the sleep is not missed). A thread that takes it this way leaves it
    // marked, so that its unlock wakes the next.
    void lock_contended(int seen) {
        if (seen != kWaited) seen = state_.exchange(kWaited, std::memory_order_acquire);
        while (seen != kFree) {
            syscall(SYS_futex, word(), FUTEX_WAIT_PRIVATE, kWaited, nullptr, nullptr, 0);
            seen = state_.exchange(kWaited, std::memory_order_acquire);
        }
    }
    void wake_one() { syscall(SYS_futex, word(), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0); }
    int *word() { return reinterpret_cast<int *>(&state_); }

    std::atomic<int> state_{kFree};
};

#endif

using LockGuard = std::lock_guard<SmallLock>;

}  // namespace keel::sync
