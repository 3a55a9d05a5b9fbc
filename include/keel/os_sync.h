/** @file keel/os_sync.h
 * Keel locks and threads.
 *
 * Rules of this interface:
 *  - os_mutex_t is always re-entrant for the thread that holds it, whatever
 *    `recursive` says: it is free again after as many unlocks as locks.
 *  - The record types are sized for their contents, so callers may embed them
 *    in their own structures or statics.
 *  - Mutex and read-write calls return 1 on success and 0 for a null object
 *    (the free calls always return 1); condition calls return 0, -1 or -2.
 */
#ifndef KEEL_OS_SYNC_H
#define KEEL_OS_SYNC_H

#include <stdint.h>
#if defined(_WIN32)
/* winsock2.h first: windows.h alone brings the older socket header, which
 * then clashes with the network headers' winsock2.h. */
#include <winsock2.h>
#include <windows.h>
#else
#include <pthread.h>
#endif

#include "keel/export.h"

KEEL_BEGIN_DECLS

#if defined(_WIN32)

/** A re-entrant mutex: the platform critical section itself. Storage is the
 * caller's: a static, a field, or the block that os_mutex_create allocates. */
typedef CRITICAL_SECTION os_mutex_t;

/** A read-write lock: shared holds by readers, an exclusive hold by one
 * writer. Not re-entrant. All bits zero is a usable unlocked lock. */
typedef struct os_rwlock {
    SRWLOCK lock;    /**< all bits zero is the unlocked state */
    int32_t mode;    /**< 2 while held exclusively, 0 otherwise */
    uint32_t writer; /**< the thread that holds it exclusively, 0 when none */
} os_rwlock_t;

/** A boolean flag that threads set, clear and wait on (a manual-reset event).
 * A wait does not consume the flag: every waiter returns until it is cleared. */
typedef struct os_native_condition {
    CONDITION_VARIABLE cond; /**< woken all at once when the flag is set */
    CRITICAL_SECTION lock;   /**< guards signalled */
    int32_t signalled;       /**< 0 clear, 1 set */
} os_native_condition_t;

/** One thread, filled in by os_thread_create and released by exactly one
 * os_thread_join or os_thread_detach. */
typedef struct os_thread {
    HANDLE hthread; /**< 0 when creation failed, and after a join or detach */
} os_thread_t;

#else

/** A re-entrant mutex. Storage is the caller's: a static, a field, or the block
 * that os_mutex_create allocates. */
typedef pthread_mutex_t os_mutex_t;

/** Storage of the platform's read-write lock, spelled so that the header also
 * compiles in strict ISO C mode, where <pthread.h> hides pthread_rwlock_t. */
typedef union os_rwlock_storage {
    char bytes[__SIZEOF_PTHREAD_RWLOCK_T]; /**< the platform lock */
    long int align;                        /**< its alignment */
} os_rwlock_storage_t;

/** A read-write lock: shared holds by readers, an exclusive hold by one
 * writer. Not re-entrant. All bits zero is a usable unlocked lock. */
typedef struct os_rwlock {
    os_rwlock_storage_t lock; /**< all bits zero is the unlocked state */
    int32_t mode;             /**< 2 while held exclusively, 0 otherwise */
} os_rwlock_t;

/** A boolean flag that threads set, clear and wait on (a manual-reset event).
 * A wait does not consume the flag: every waiter returns until it is cleared. */
typedef struct os_native_condition {
    pthread_cond_t cond;  /**< waits measure time on the monotonic clock */
    pthread_mutex_t lock; /**< guards signalled */
    int32_t signalled;    /**< 0 clear, 1 set */
} os_native_condition_t;

/** One thread, filled in by os_thread_create and released by exactly one
 * os_thread_join or os_thread_detach. */
typedef struct os_thread {
    pthread_t hthread; /**< 0 when creation failed, and after a join or detach */
} os_thread_t;

#endif

/** The time-out of os_native_condition_wait that never runs out. */
#define OS_WAIT_INFINITE 0xFFFFFFFFu

/** A thread's routine: takes the argument given to os_thread_create and returns
 * an exit code that nothing reads. */
typedef uint32_t (*os_thread_func_t)(void *arg);

/** Makes the caller's storage an unlocked re-entrant mutex.
 * @param mutex the storage.
 * @param recursive ignored: the mutex is re-entrant whatever it says.
 * @return 1 made, 0 for NULL or when the system refused.
 * @reports "mutex is null" (info).
 */
KEEL_API int os_mutex_init(os_mutex_t *mutex, int recursive);
/** Ends a mutex made by os_mutex_init; the storage stays the caller's.
 * @param mutex an unlocked mutex.
 * @return 1, or 0 for NULL.
 * @reports "mutex is null" (info).
 */
KEEL_API int os_mutex_destroy(os_mutex_t *mutex);
/** Takes the mutex, waiting as long as another thread holds it. The holder
 * may lock again; it must then unlock as often.
 * @param mutex the mutex.
 * @return 1 held, 0 for NULL.
 * @reports "mutex is null" (info).
 */
KEEL_API int os_mutex_lock(os_mutex_t *mutex);
/** Releases one lock of the calling thread.
 * @param mutex the mutex.
 * @return 1 released, 0 for NULL or a mutex the thread does not hold (which
 *         stays as it was).
 * @reports "mutex is null" or "mutex is not held by this thread" (info).
 */
KEEL_API int os_mutex_unlock(os_mutex_t *mutex);
/** A mutex in a heap block of its own, freed with os_mutex_free.
 * @param recursive ignored: the mutex is re-entrant whatever it says.
 * @return the unlocked mutex, or NULL when no memory is left or the system
 *         refused.
 * @reports "mutex is null" or "!os_mutex_init(mutex, recursive)" (info).
 */
KEEL_API os_mutex_t *os_mutex_create(int recursive);
/** Ends and frees a mutex of os_mutex_create.
 * @param mutex the mutex; NULL is reported and changes nothing.
 * @return 1.
 * @reports "mutex is null" (info) for NULL.
 */
KEEL_API int os_mutex_free(os_mutex_t *mutex);

/** A read-write lock in a zeroed heap block, usable at once.
 * @return the unlocked lock, to be freed with os_rwlock_free.
 * @reports "mp_lock == NUL" (fatal) when no memory is left; the process ends.
 */
KEEL_API os_rwlock_t *os_rwlock_create(void);
/** Makes the caller's storage an unlocked read-write lock (a zeroed record
 * is one already).
 * @param lock the record.
 * @return 1, or 0 for NULL.
 */
KEEL_API int os_rwlock_init(os_rwlock_t *lock);
/** Ends the use of a lock; the record may be initialised again.
 * @param lock an unheld lock.
 * @return 1, or 0 for NULL.
 */
KEEL_API int os_rwlock_destroy(os_rwlock_t *lock);
/** Frees a lock of os_rwlock_create (NULL is ignored).
 * @param lock an unheld lock.
 * @return 1.
 */
KEEL_API int os_rwlock_free(os_rwlock_t *lock);
/** Takes a shared hold, waiting while a writer holds the lock.
 * @param lock the lock.
 * @return 1 held; 0 for NULL, or when the calling thread holds it exclusively
 *         (refused rather than deadlocked).
 */
KEEL_API int os_rwlock_rdlock(os_rwlock_t *lock);
/** Takes the exclusive hold, waiting while any other thread holds the lock.
 * @param lock the lock.
 * @return 1 held; 0 for NULL, or when the calling thread holds it already.
 */
KEEL_API int os_rwlock_wrlock(os_rwlock_t *lock);
/** Releases the calling thread's hold, shared or exclusive.
 * @param lock the lock.
 * @return 1, or 0 for NULL.
 */
KEEL_API int os_rwlock_unlock(os_rwlock_t *lock);

/** Makes the caller's storage a clear flag.
 * @param cond the storage.
 * @return 0 made, -1 for NULL or when the system refused.
 */
KEEL_API int os_native_condition_init(os_native_condition_t *cond);
/** Ends a flag made by os_native_condition_init; no thread may wait on it.
 * @param cond the flag.
 * @return 0, or -1 for NULL.
 */
KEEL_API int os_native_condition_uninit(os_native_condition_t *cond);
/** Sets or clears the flag. Setting it wakes every waiter; it stays set for
 * later waits until it is cleared.
 * @param cond the flag.
 * @param value nonzero sets, 0 clears.
 * @return 0, or -1 for NULL.
 */
KEEL_API int os_native_condition_set(os_native_condition_t *cond, int value);
/** Waits until the flag is set; returns at once when it is set already.
 *
 * timeout in milliseconds; OS_WAIT_INFINITE (or -1) waits without limit.
 * Returns 0 once the flag is set, -2 on time-out, -1 for null or failure.
 * The time is measured on the monotonic clock: changes of the wall clock do
 * not move it.
 * @param cond the flag.
 * @param timeout the longest wait in milliseconds, or OS_WAIT_INFINITE.
 * @return 0 set, -2 timed out, -1 for NULL or failure.
 */
KEEL_API int os_native_condition_wait(os_native_condition_t *cond, uint32_t timeout);

/** Starts a thread that runs start(arg).
 *
 * stack_size 0 means 1 MiB; sizes below the system minimum are raised to it.
 * @param thr filled in with the thread; its hthread is 0 when none started.
 * @param stack_size the stack in bytes, rounded up to whole pages.
 * @param start the routine.
 * @param arg passed to start.
 * @return 1 started, 0 not.
 * @reports "thr == NULL" or "start == NULL" (info) for missing arguments;
 *          "thr->hthread == NULL" (info) when the system refused the thread.
 */
KEEL_API int os_thread_create(os_thread_t *thr, uint32_t stack_size, os_thread_func_t start,
                              void *arg);
/** Waits until the thread has ended and releases it (hthread becomes 0).
 * @param thr a thread of os_thread_create, neither joined nor detached.
 * @return 1 joined; 0 for NULL, a released record, or the calling thread
 *         itself (the record then keeps its thread).
 * @reports "thr == NULL", "thr->hthread == NULL" or
 *          "pthread_join(thr->hthread) fail" (info).
 */
KEEL_API int os_thread_join(os_thread_t *thr);
/** Lets the thread run on by itself and releases the record (hthread
 * becomes 0); the system frees the thread when it ends.
 * @param thr a thread of os_thread_create, neither joined nor detached.
 * @return 1 detached; 0 for NULL or a released record.
 * @reports "thr == NULL" or "thr->hthread == NULL" (info).
 */
KEEL_API int os_thread_detach(os_thread_t *thr);
/** The calling thread's kernel id: distinct per live thread, stable within one.
 * @return the id (the one ps -L and /proc show).
 */
KEEL_API uint32_t os_thread_self(void);

KEEL_END_DECLS

#endif /* KEEL_OS_SYNC_H */
