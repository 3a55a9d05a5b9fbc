// The native condition: a set/clear flag with wake-all, like a manual-reset
// event, on the platform's lock and condition variable (sync_internal.h).
#include "sync/sync_internal.h"

using namespace keel::sync;

extern "C" {

KEEL_API int os_native_condition_init(os_native_condition_t *cond) {
    if (cond == nullptr || !condition_init(cond)) return -1;
    cond->signalled = 0;
    return 0;
}

KEEL_API int os_native_condition_uninit(os_native_condition_t *cond) {
    if (cond == nullptr) return -1;
    condition_uninit(cond);
    return 0;
}

// Setting a flag already set wakes nobody; clearing it never does.
KEEL_API int os_native_condition_set(os_native_condition_t *cond, int value) {
    if (cond == nullptr) return -1;
    int flag = value != 0 ? 1 : 0;
    condition_lock(cond);
    if (cond->signalled != flag) {
        cond->signalled = flag;
        if (flag == 1) condition_wake_all(cond);
    }
    condition_unlock(cond);
    return 0;
}

// A wake, real or spurious, goes back to the flag test and then sleeps the full
// time-out again; only a sleep that runs out ends the wait with -2.
KEEL_API int os_native_condition_wait(os_native_condition_t *cond, uint32_t timeout) {
    if (cond == nullptr) return -1;
    condition_lock(cond);
    for (;;) {
        if (cond->signalled != 0) {
            condition_unlock(cond);
            return 0;
        }
        if (int rc = condition_sleep(cond, timeout); rc != 0) {
            condition_unlock(cond);
            return rc;
        }
    }
}

}  // extern "C"
