// Re-entrant mutexes: a critical section is re-entrant by nature, whatever
// the caller asks for; callbacks on the main thread call back into the
// library, which locks again.
#include "keel/os_sync.h"
#include "log/report.h"

extern "C" {

KEEL_API int os_mutex_init(os_mutex_t *mutex, int recursive) {
    (void)recursive;  // accepted for every value; the mutex is re-entrant anyway
    if (mutex == nullptr) {
        KEEL_INFO("mutex is null");
        return 0;
    }
    InitializeCriticalSection(mutex);
    return 1;
}

KEEL_API int os_mutex_destroy(os_mutex_t *mutex) {
    if (mutex == nullptr) {
        KEEL_INFO("mutex is null");
        return 0;
    }
    DeleteCriticalSection(mutex);
    return 1;
}

KEEL_API int os_mutex_lock(os_mutex_t *mutex) {
    if (mutex == nullptr) {
        KEEL_INFO("mutex is null");
        return 0;
    }
    EnterCriticalSection(mutex);
    return 1;
}

// Unlocking a section the thread does not hold would corrupt it: refused, as
// on the other platforms, with the report and the 0.
KEEL_API int os_mutex_unlock(os_mutex_t *mutex) {
    if (mutex == nullptr) {
        KEEL_INFO("mutex is null");
        return 0;
    }
    if (mutex->OwningThread != reinterpret_cast<HANDLE>(static_cast<uintptr_t>(GetCurrentThreadId()))) {
        KEEL_INFO("mutex is not held by this thread");
        return 0;
    }
    LeaveCriticalSection(mutex);
    return 1;
}

}  // extern "C"
