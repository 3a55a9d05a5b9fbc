// Locks on pthreads: a recursive mutex, the read-write lock, and a condition
// variable whose waits measure time on the monotonic clock, so that a change
// of the wall clock neither shortens nor stretches a wait.
#include <pthread.h>

#include <cerrno>
#include <ctime>

#include "sync/sync_internal.h"

namespace keel::sync {
namespace {

static_assert(sizeof(os_rwlock_storage_t) == sizeof(pthread_rwlock_t) &&
                  alignof(os_rwlock_storage_t) >= alignof(pthread_rwlock_t),
              "the public storage must hold the platform lock");

pthread_rwlock_t *platform_lock(os_rwlock_t *lock) { return reinterpret_cast<pthread_rwlock_t *>(&lock->lock); }

timespec deadline_after(uint32_t ms) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

}  // namespace

bool mutex_init(os_mutex_t *mutex) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return false;
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc == 0;
}

void mutex_destroy(os_mutex_t *mutex) { pthread_mutex_destroy(mutex); }

void mutex_lock(os_mutex_t *mutex) { pthread_mutex_lock(mutex); }

// A recursive mutex refuses an unlock by a thread that does not hold it.
bool mutex_unlock(os_mutex_t *mutex) { return pthread_mutex_unlock(mutex) == 0; }

void rwlock_init(os_rwlock_t *lock) { pthread_rwlock_init(platform_lock(lock), nullptr); }

// pthreads refuses a writer that asks again for its own lock (EDEADLK).
bool rwlock_rdlock(os_rwlock_t *lock) { return pthread_rwlock_rdlock(platform_lock(lock)) == 0; }

bool rwlock_wrlock(os_rwlock_t *lock) { return pthread_rwlock_wrlock(platform_lock(lock)) == 0; }

// One call releases either kind of hold on this platform's lock.
void rwlock_unlock(os_rwlock_t *lock, bool) { pthread_rwlock_unlock(platform_lock(lock)); }

bool condition_init(os_native_condition_t *cond) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    int rc = pthread_cond_init(&cond->cond, &attr);
    pthread_condattr_destroy(&attr);
    if (rc != 0) return false;
    if (pthread_mutex_init(&cond->lock, nullptr) != 0) {
        pthread_cond_destroy(&cond->cond);
        return false;
    }
    return true;
}

void condition_uninit(os_native_condition_t *cond) {
    pthread_mutex_destroy(&cond->lock);
    pthread_cond_destroy(&cond->cond);
}

void condition_lock(os_native_condition_t *cond) { pthread_mutex_lock(&cond->lock); }

void condition_unlock(os_native_condition_t *cond) { pthread_mutex_unlock(&cond->lock); }

void condition_wake_all(os_native_condition_t *cond) { pthread_cond_broadcast(&cond->cond); }

int condition_sleep(os_native_condition_t *cond, uint32_t timeout) {
    int rc;
    if (timeout == OS_WAIT_INFINITE) {
        rc = pthread_cond_wait(&cond->cond, &cond->lock);
    } else {
        timespec until = deadline_after(timeout);
        rc = pthread_cond_timedwait(&cond->cond, &cond->lock, &until);
    }
    return rc == 0 ? 0 : rc == ETIMEDOUT ? -2 : -1;
}

}  // namespace keel::sync
