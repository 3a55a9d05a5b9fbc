// Re-entrant mutexes. Every mutex is recursive whatever the caller asks for:
// callbacks on the main thread call back into the library, which locks again.
#include <pthread.h>

#include <cerrno>

#include "keel/os_sync.h"
#include "log/report.h"

extern "C" {

KEEL_API int os_mutex_init(os_mutex_t *mutex, int recursive) {
    (void)recursive;  // accepted for every value; the mutex is re-entrant anyway
    if (mutex == nullptr) {
        KEEL_INFO("mutex is null");
        return 0;
    }
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return 0;
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc == 0 ? 1 : 0;
}

KEEL_API int os_mutex_destroy(os_mutex_t *mutex) {
    if (mutex == nullptr) {
        KEEL_INFO("mutex is null");
        return 0;
    }
    pthread_mutex_destroy(mutex);
    return 1;
}

KEEL_API int os_mutex_lock(os_mutex_t *mutex) {
    if (mutex == nullptr) {
        KEEL_INFO("mutex is null");
        return 0;
    }
    pthread_mutex_lock(mutex);
    return 1;
}

// Unlocking a mutex the thread does not hold changes nothing: a recursive
// mutex refuses it, and the caller learns it from the report and the 0.
KEEL_API int os_mutex_unlock(os_mutex_t *mutex) {
    if (mutex == nullptr) {
        KEEL_INFO("mutex is null");
        return 0;
    }
    if (pthread_mutex_unlock(mutex) != 0) {
        KEEL_INFO("mutex is not held by this thread");
        return 0;
    }
    return 1;
}

}  // extern "C"
