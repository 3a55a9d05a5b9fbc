/* Keel runtime: start-up, the main thread, posted functions and timers.
 *
 * Rules of this interface:
 *  - Call os_startup once, from one thread, before any socket, timer or
 *    posted-function call. The runtime then runs until the process ends.
 *  - Every socket callback, timer function and posted function runs on the
 *    library's main thread, one at a time, with the main lock held; a caller
 *    thread that holds os_main_lock keeps all of them off.
 *  - Timers are counted by a one-second tick: each tick adds 1000 ms.
 */
#ifndef KEEL_OS_RUNTIME_H
#define KEEL_OS_RUNTIME_H

#include <stdint.h>

#include "keel/adt_dlist.h"
#include "keel/export.h"

KEEL_BEGIN_DECLS

/* A function run on the main thread with the argument bound to it. */
typedef void (*os_func_t)(void *arg);

typedef struct os_timer {
    os_func_t func;         /* may be NULL: the timer then only counts */
    uint32_t interval_ms;   /* the period */
    void *arg;              /* passed to func */
    uint32_t elapsed_ms;    /* counted since the last firing */
    adt_dlist_node_t *node; /* the timer's place in the runtime's timer list */
} os_timer_t;

/* Starts the runtime; both arguments are ignored. Returns 1 when the runtime
 * runs (also when it already ran), 0 when its main thread did not come up
 * within 10 seconds. Takes at least 100 ms. */
KEEL_API int os_startup(int reserved1, int reserved2);
KEEL_API int os_is_startup(void);
/* Closes every listening server and open UDP client; frees no record. */
KEEL_API int os_cleanup(void);
/* Holds off every callback until the matching unlock; re-entrant. */
KEEL_API void os_main_lock(void);
KEEL_API void os_main_unlock(void);

/* Queues func(arg) to run on the main thread, in posting order. 1 when queued;
 * 0 for a NULL func or before os_startup (nothing is queued then). */
KEEL_API int os_post_func(os_func_t func, void *arg);
/* A timer that calls func(arg) every interval_ms, rounded up to whole ticks
 * of one second. Never NULL. */
KEEL_API os_timer_t *os_timer_create(os_func_t func, uint32_t interval_ms, void *arg);
/* 1 when removed and freed; once it has returned, the timer never fires again. */
KEEL_API int os_timer_destroy(os_timer_t *timer);

/* Sleeps the calling thread for ms milliseconds; 0 yields the processor. */
KEEL_API void os_sleep(uint32_t ms);

KEEL_END_DECLS

#endif /* KEEL_OS_RUNTIME_H */
