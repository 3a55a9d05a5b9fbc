/* Keel locks and threads.
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

#include <pthread.h>
#include <stdint.h>

#include "keel/export.h"

KEEL_BEGIN_DECLS

/* A re-entrant mutex. Storage is the caller's: a static, a field, or the block
 * that os_mutex_create allocates. */
typedef pthread_mutex_t os_mutex_t;

/* Storage of the platform's read-write lock, spelled so that the header also
 * compiles in strict ISO C mode, where <pthread.h> hides pthread_rwlock_t. */
typedef union os_rwlock_storage {
    char bytes[__SIZEOF_PTHREAD_RWLOCK_T];
    long int align;
} os_rwlock_storage_t;

typedef struct os_rwlock {
    os_rwlock_storage_t lock; /* all bits zero is the unlocked state */
    int32_t mode;             /* 2 while held exclusively, 0 otherwise */
} os_rwlock_t;

/* A boolean flag that threads set, clear and wait on (a manual-reset event).
 * A wait does not consume the flag: every waiter returns until it is cleared. */
typedef struct os_native_condition {
    pthread_cond_t cond;  /* waits measure time on the monotonic clock */
    pthread_mutex_t lock; /* guards signalled */
    int32_t signalled;    /* 0 clear, 1 set */
} os_native_condition_t;

#define OS_WAIT_INFINITE 0xFFFFFFFFu

typedef struct os_thread {
    pthread_t hthread; /* 0 when creation failed, and after a join or detach */
} os_thread_t;

/* A thread's routine: takes the argument given to os_thread_create and returns
 * an exit code that nothing reads. */
typedef uint32_t (*os_thread_func_t)(void *arg);

KEEL_API int os_mutex_init(os_mutex_t *mutex, int recursive);
KEEL_API int os_mutex_destroy(os_mutex_t *mutex);
KEEL_API int os_mutex_lock(os_mutex_t *mutex);
KEEL_API int os_mutex_unlock(os_mutex_t *mutex);
KEEL_API os_mutex_t *os_mutex_create(int recursive);
KEEL_API int os_mutex_free(os_mutex_t *mutex);

KEEL_API os_rwlock_t *os_rwlock_create(void);
KEEL_API int os_rwlock_init(os_rwlock_t *lock);
KEEL_API int os_rwlock_destroy(os_rwlock_t *lock);
KEEL_API int os_rwlock_free(os_rwlock_t *lock);
KEEL_API int os_rwlock_rdlock(os_rwlock_t *lock);
KEEL_API int os_rwlock_wrlock(os_rwlock_t *lock);
KEEL_API int os_rwlock_unlock(os_rwlock_t *lock);

KEEL_API int os_native_condition_init(os_native_condition_t *cond);
KEEL_API int os_native_condition_uninit(os_native_condition_t *cond);
KEEL_API int os_native_condition_set(os_native_condition_t *cond, int value);
/* timeout in milliseconds; OS_WAIT_INFINITE (or -1) waits without limit.
 * Returns 0 once the flag is set, -2 on time-out, -1 for null or failure. */
KEEL_API int os_native_condition_wait(os_native_condition_t *cond, uint32_t timeout);

/* stack_size 0 means 1 MiB; sizes below the system minimum are raised to it. */
KEEL_API int os_thread_create(os_thread_t *thr, uint32_t stack_size, os_thread_func_t start,
                              void *arg);
KEEL_API int os_thread_join(os_thread_t *thr);
KEEL_API int os_thread_detach(os_thread_t *thr);
/* The calling thread's kernel id: distinct per live thread, stable within one. */
KEEL_API uint32_t os_thread_self(void);

KEEL_END_DECLS

#endif /* KEEL_OS_SYNC_H */
