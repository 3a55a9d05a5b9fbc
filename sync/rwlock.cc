// Read-write locks with one unlock call for both kinds of hold. `mode` shows
// an exclusive hold; it needs no lock of its own because it is 2 only while a
// writer holds the lock, and every unlock clears it first. The lock itself is
// the platform's (sync_internal.h).
#include <cstdlib>

#include "log/report.h"
#include "sync/sync_internal.h"

using namespace keel::sync;

extern "C" {

// A zero-filled lock is a valid unlocked lock, so the record is usable at once.
KEEL_API os_rwlock_t *os_rwlock_create(void) {
    auto *lock = static_cast<os_rwlock_t *>(calloc(1, sizeof(os_rwlock_t)));
    if (lock == nullptr) KEEL_FATAL("mp_lock == NUL");
    return lock;
}

KEEL_API int os_rwlock_init(os_rwlock_t *lock) {
    if (lock == nullptr) return 0;
    rwlock_init(lock);
    return 1;
}

KEEL_API int os_rwlock_destroy(os_rwlock_t *lock) {
    if (lock == nullptr) return 0;
    __atomic_store_n(&lock->mode, 0, __ATOMIC_RELAXED);
    return 1;
}

KEEL_API int os_rwlock_free(os_rwlock_t *lock) {
    free(lock);
    return 1;
}

KEEL_API int os_rwlock_rdlock(os_rwlock_t *lock) {
    if (lock == nullptr) return 0;
    return rwlock_rdlock(lock) ? 1 : 0;
}

KEEL_API int os_rwlock_wrlock(os_rwlock_t *lock) {
    if (lock == nullptr || !rwlock_wrlock(lock)) return 0;
    __atomic_store_n(&lock->mode, 2, __ATOMIC_RELAXED);
    return 1;
}

KEEL_API int os_rwlock_unlock(os_rwlock_t *lock) {
    if (lock == nullptr) return 0;
    // Readers may store 0 at the same moment; the stores are atomic so that is harmless.
    rwlock_unlock(lock, __atomic_exchange_n(&lock->mode, 0, __ATOMIC_RELAXED) == 2);
    return 1;
}

}  // extern "C"
