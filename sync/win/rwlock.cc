// Read-write locks on the slim reader/writer lock, with one unlock call for
// both kinds of hold: `mode` tells which release to make. It needs no lock of
// its own because it is 2 only while a writer holds the lock, and every unlock
// clears it first.
#include "keel/os_sync.h"

namespace {

// The slim lock would wait for ever on a writer that asks again for its own
// lock: refused instead, as the other platforms' lock refuses it.
bool held_by_caller(os_rwlock_t *lock) {
    return __atomic_load_n(&lock->writer, __ATOMIC_RELAXED) == GetCurrentThreadId();
}

}  // namespace

extern "C" {

KEEL_API int os_rwlock_init(os_rwlock_t *lock) {
    if (lock == nullptr) return 0;
    InitializeSRWLock(&lock->lock);
    return 1;
}

KEEL_API int os_rwlock_destroy(os_rwlock_t *lock) {
    if (lock == nullptr) return 0;
    __atomic_store_n(&lock->mode, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&lock->writer, 0, __ATOMIC_RELAXED);
    return 1;
}

KEEL_API int os_rwlock_rdlock(os_rwlock_t *lock) {
    if (lock == nullptr || held_by_caller(lock)) return 0;
    AcquireSRWLockShared(&lock->lock);
    return 1;
}

KEEL_API int os_rwlock_wrlock(os_rwlock_t *lock) {
    if (lock == nullptr || held_by_caller(lock)) return 0;
    AcquireSRWLockExclusive(&lock->lock);
    __atomic_store_n(&lock->mode, 2, __ATOMIC_RELAXED);
    __atomic_store_n(&lock->writer, GetCurrentThreadId(), __ATOMIC_RELAXED);
    return 1;
}

KEEL_API int os_rwlock_unlock(os_rwlock_t *lock) {
    if (lock == nullptr) return 0;
    // Readers may store 0 at the same moment; the stores are atomic so that is harmless.
    __atomic_store_n(&lock->writer, 0, __ATOMIC_RELAXED);
    int32_t mode = __atomic_exchange_n(&lock->mode, 0, __ATOMIC_RELAXED);
    if (mode == 2)
        ReleaseSRWLockExclusive(&lock->lock);
    else
        ReleaseSRWLockShared(&lock->lock);
    return 1;
}

}  // extern "C"
