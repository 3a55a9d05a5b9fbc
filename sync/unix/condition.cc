// The native condition: a set/clear flag with wake-all, like a manual-reset
// event. Time-outs are measured on the monotonic clock so that a change of the
// wall clock neither shortens nor stretches a wait.
#include <pthread.h>

#include <cerrno>
#include <ctime>

#include "keel/os_sync.h"

namespace {

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

extern "C" {

KEEL_API int os_native_condition_init(os_native_condition_t *cond) {
    if (cond == nullptr) return -1;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    int rc = pthread_cond_init(&cond->cond, &attr);
    pthread_condattr_destroy(&attr);
    if (rc != 0) return -1;
    if (pthread_mutex_init(&cond->lock, nullptr) != 0) {
        pthread_cond_destroy(&cond->cond);
        return -1;
    }
    cond->signalled = 0;
    return 0;
}

KEEL_API int os_native_condition_uninit(os_native_condition_t *cond) {
    if (cond == nullptr) return -1;
    pthread_mutex_destroy(&cond->lock);
    pthread_cond_destroy(&cond->cond);
    return 0;
}

KEEL_API int os_native_condition_set(os_native_condition_t *cond, int value) {
    if (cond == nullptr) return -1;
    int flag = value != 0 ? 1 : 0;
    pthread_mutex_lock(&cond->lock);
    if (cond->signalled != flag) {
        cond->signalled = flag;
        if (flag == 1) pthread_cond_broadcast(&cond->cond);
    }
    pthread_mutex_unlock(&cond->lock);
    return 0;
}

// A wake, real or spurious, goes back to the flag test and then sleeps the full
// time-out again; only a sleep that runs out ends the wait with -2.
KEEL_API int os_native_condition_wait(os_native_condition_t *cond, uint32_t timeout) {
    if (cond == nullptr) return -1;
    pthread_mutex_lock(&cond->lock);
    for (;;) {
        if (cond->signalled != 0) {
            pthread_mutex_unlock(&cond->lock);
            return 0;
        }
        int rc;
        if (timeout == OS_WAIT_INFINITE) {
            rc = pthread_cond_wait(&cond->cond, &cond->lock);
        } else {
            timespec until = deadline_after(timeout);
            rc = pthread_cond_timedwait(&cond->cond, &cond->lock, &until);
        }
        if (rc != 0) {
            pthread_mutex_unlock(&cond->lock);
            return rc == ETIMEDOUT ? -2 : -1;
        }
    }
}

}  // extern "C"
