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

    // In sync/unix/locks.cc: the sleep until the lock is free, and the wake-up.
    void lock_contended(int seen);
    void wake_one();

    std::atomic<int> state_{kFree};
};

#endif

using LockGuard = std::lock_guard<SmallLock>;

}  // namespace keel::sync
