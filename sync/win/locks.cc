// Locks on Windows' own: a critical section (re-entrant by nature), the slim
// reader/writer lock, and a condition variable with a critical section.
#include "sync/sync_internal.h"

namespace keel::sync {
namespace {

// The slim lock would wait for ever on a writer that asks again for its own
// lock: refused instead, as the other platforms' lock refuses it.
bool written_by_caller(os_rwlock_t *lock) {
    return __atomic_load_n(&lock->writer, __ATOMIC_RELAXED) == GetCurrentThreadId();
}

}  // namespace

bool mutex_init(os_mutex_t *mutex) {
    InitializeCriticalSection(mutex);
    return true;
}

void mutex_destroy(os_mutex_t *mutex) { DeleteCriticalSection(mutex); }

void mutex_lock(os_mutex_t *mutex) { EnterCriticalSection(mutex); }

// Leaving a section the thread does not hold would corrupt it.
bool mutex_unlock(os_mutex_t *mutex) {
    if (mutex->OwningThread != reinterpret_cast<HANDLE>(static_cast<uintptr_t>(GetCurrentThreadId()))) return false;
    LeaveCriticalSection(mutex);
    return true;
}

void rwlock_init(os_rwlock_t *lock) {
    InitializeSRWLock(&lock->lock);
    lock->writer = 0;
}

bool rwlock_rdlock(os_rwlock_t *lock) {
    if (written_by_caller(lock)) return false;
    AcquireSRWLockShared(&lock->lock);
    return true;
}

bool rwlock_wrlock(os_rwlock_t *lock) {
    if (written_by_caller(lock)) return false;
    AcquireSRWLockExclusive(&lock->lock);
    __atomic_store_n(&lock->writer, GetCurrentThreadId(), __ATOMIC_RELAXED);
    return true;
}

void rwlock_unlock(os_rwlock_t *lock, bool exclusive) {
    if (exclusive) {
        __atomic_store_n(&lock->writer, 0, __ATOMIC_RELAXED);
        ReleaseSRWLockExclusive(&lock->lock);
    } else {
        ReleaseSRWLockShared(&lock->lock);
    }
}

bool condition_init(os_native_condition_t *cond) {
    InitializeConditionVariable(&cond->cond);
    InitializeCriticalSection(&cond->lock);
    return true;
}

// The condition variable needs no clean-up.
void condition_uninit(os_native_condition_t *cond) { DeleteCriticalSection(&cond->lock); }

void condition_lock(os_native_condition_t *cond) { EnterCriticalSection(&cond->lock); }

void condition_unlock(os_native_condition_t *cond) { LeaveCriticalSection(&cond->lock); }

void condition_wake_all(os_native_condition_t *cond) { WakeAllConditionVariable(&cond->cond); }

// An endless sleep that reports a time-out all the same counts as a wake.
int condition_sleep(os_native_condition_t *cond, uint32_t timeout) {
    if (SleepConditionVariableCS(&cond->cond, &cond->lock, timeout == OS_WAIT_INFINITE ? INFINITE : timeout))
        return 0;
    DWORD error = GetLastError();
    if (error != ERROR_TIMEOUT) return -1;
    return timeout == OS_WAIT_INFINITE ? 0 : -2;
}

}  // namespace keel::sync
