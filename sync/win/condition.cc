// The native condition: a set/clear flag with wake-all, like a manual-reset
// event, on a condition variable and a critical section.
#include "keel/os_sync.h"

extern "C" {

KEEL_API int os_native_condition_init(os_native_condition_t *cond) {
    if (cond == nullptr) return -1;
    InitializeConditionVariable(&cond->cond);
    InitializeCriticalSection(&cond->lock);
    cond->signalled = 0;
    return 0;
}

// The condition variable needs no clean-up.
KEEL_API int os_native_condition_uninit(os_native_condition_t *cond) {
    if (cond == nullptr) return -1;
    DeleteCriticalSection(&cond->lock);
    return 0;
}

KEEL_API int os_native_condition_set(os_native_condition_t *cond, int value) {
    if (cond == nullptr) return -1;
    int flag = value != 0 ? 1 : 0;
    EnterCriticalSection(&cond->lock);
    if (cond->signalled != flag) {
        cond->signalled = flag;
        if (flag == 1) WakeAllConditionVariable(&cond->cond);
    }
    LeaveCriticalSection(&cond->lock);
    return 0;
}

// A wake, real or spurious, goes back to the flag test and then sleeps the full
// time-out again; only a sleep that runs out ends the wait with -2. An endless
// sleep that reports a time-out all the same sleeps again.
KEEL_API int os_native_condition_wait(os_native_condition_t *cond, uint32_t timeout) {
    if (cond == nullptr) return -1;
    EnterCriticalSection(&cond->lock);
    for (;;) {
        if (cond->signalled != 0) {
            LeaveCriticalSection(&cond->lock);
            return 0;
        }
        if (SleepConditionVariableCS(&cond->cond, &cond->lock, timeout == OS_WAIT_INFINITE ? INFINITE : timeout))
            continue;
        DWORD error = GetLastError();
        if (timeout == OS_WAIT_INFINITE && error == ERROR_TIMEOUT) continue;
        LeaveCriticalSection(&cond->lock);
        return error == ERROR_TIMEOUT ? -2 : -1;
    }
}

}  // extern "C"
