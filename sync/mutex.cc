// Re-entrant mutexes. Every mutex is re-entrant whatever the caller asks for:
// callbacks on the main thread call back into the library, which locks again.
// The checks and reports are here; the lock is the platform's (sync_internal.h).
#include <cstdlib>

#include "log/report.h"
#include "sync/sync_internal.h"

using namespace keel::sync;

extern "C" {

KEEL_API int os_mutex_init(os_mutex_t *mutex, int recursive) {
    (void)recursive;  // accepted for every value; the mutex is re-entrant anyway
    if (mutex == nullptr) {
        KEEL_INFO("mutex is null");
        return 0;
    }
    return mutex_init(mutex) ? 1 : 0;
}

KEEL_API int os_mutex_destroy(os_mutex_t *mutex) {
    if (mutex == nullptr) {
        KEEL_INFO("mutex is null");
        return 0;
    }
    mutex_destroy(mutex);
    return 1;
}

KEEL_API int os_mutex_lock(os_mutex_t *mutex) {
    if (mutex == nullptr) {
        KEEL_INFO("mutex is null");
        return 0;
    }
    mutex_lock(mutex);
    return 1;
}

// Unlocking a mutex the thread does not hold changes nothing: the caller
// learns it from the report and the 0.
KEEL_API int os_mutex_unlock(os_mutex_t *mutex) {
    if (mutex == nullptr) {
        KEEL_INFO("mutex is null");
        return 0;
    }
    if (!mutex_unlock(mutex)) {
        KEEL_INFO("mutex is not held by this thread");
        return 0;
    }
    return 1;
}

KEEL_API os_mutex_t *os_mutex_create(int recursive) {
    auto *mutex = static_cast<os_mutex_t *>(malloc(sizeof(os_mutex_t)));
    if (mutex == nullptr) {
        KEEL_INFO("mutex is null");
        return nullptr;
    }
    if (!os_mutex_init(mutex, recursive)) {
        KEEL_INFO("!os_mutex_init(mutex, recursive)");
        free(mutex);
        return nullptr;
    }
    return mutex;
}

KEEL_API int os_mutex_free(os_mutex_t *mutex) {
    os_mutex_destroy(mutex);
    free(mutex);
    return 1;
}

}  // extern "C"
