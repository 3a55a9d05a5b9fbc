// Read-write locks with one unlock call for both kinds of hold. `mode` shows
// an exclusive hold; it needs no lock of its own because it is
// 2 only while a writer holds the lock, and every unlock clears it first.
#include <pthread.h>

#include "keel/os_sync.h"

namespace {

static_assert(sizeof(os_rwlock_storage_t) == sizeof(pthread_rwlock_t) &&
                  alignof(os_rwlock_storage_t) >= alignof(pthread_rwlock_t),
              "the public storage must hold the platform lock");

pthread_rwlock_t *platform_lock(os_rwlock_t *lock) { return reinterpret_cast<pthread_rwlock_t *>(&lock->lock); }

}  // namespace

extern "C" {

KEEL_API int os_rwlock_init(os_rwlock_t *lock) {
    if (lock == nullptr) return 0;
    pthread_rwlock_init(platform_lock(lock), nullptr);
    return 1;
}

KEEL_API int os_rwlock_destroy(os_rwlock_t *lock) {
    if (lock == nullptr) return 0;
    __atomic_store_n(&lock->mode, 0, __ATOMIC_RELAXED);
    return 1;
}

KEEL_API int os_rwlock_rdlock(os_rwlock_t *lock) {
    if (lock == nullptr) return 0;
    // A writer asking again for its own lock is refused rather than deadlocked.
    return pthread_rwlock_rdlock(platform_lock(lock)) == 0 ? 1 : 0;
}

KEEL_API int os_rwlock_wrlock(os_rwlock_t *lock) {
    if (lock == nullptr) return 0;
    if (pthread_rwlock_wrlock(platform_lock(lock)) != 0) return 0;
    __atomic_store_n(&lock->mode, 2, __ATOMIC_RELAXED);
    return 1;
}

KEEL_API int os_rwlock_unlock(os_rwlock_t *lock) {
    if (lock == nullptr) return 0;
    // Readers may store 0 at the same moment; the stores are atomic so that is harmless.
    __atomic_store_n(&lock->mode, 0, __ATOMIC_RELAXED);
    // One call releases either kind of hold on this platform's lock.
    pthread_rwlock_unlock(platform_lock(lock));
    return 1;
}

}  // extern "C"
