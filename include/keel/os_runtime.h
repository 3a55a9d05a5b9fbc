/** @file keel/os_runtime.h
 * Keel runtime: start-up, the main thread, posted functions and timers.
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

/** A function run on the main thread with the argument bound to it. */
typedef void (*os_func_t)(void *arg);

/** A timer made by os_timer_create; its fields are the library's own. */
typedef struct os_timer {
    os_func_t func;         /**< may be NULL: the timer then only counts */
    uint32_t interval_ms;   /**< the period */
    void *arg;              /**< passed to func */
    uint32_t elapsed_ms;    /**< counted since the last firing */
    adt_dlist_node_t *node; /**< the timer's place in the runtime's timer list */
    uint32_t precise;       /**< the library's own: 1 for a timer of os_timer_create_ms or _once */
} os_timer_t;

/** Starts the runtime; both arguments are ignored. Returns 1 when the runtime
 * runs (also when it already ran), 0 when its main thread did not come up
 * within 10 seconds. Takes at least 100 ms.
 *
 * It starts the main thread, the one-second tick and the queue of posted
 * functions, initialises libxml2 for the caller, and chooses the TCP accept
 * mode: immediate when a file "select_config.json" exists in the current
 * directory, on the tick otherwise (see os_net.h), unless os_set_accept_mode
 * chose it. The runtime is never taken down; os_cleanup only closes servers
 * and UDP clients.
 * @param reserved1 ignored.
 * @param reserved2 ignored.
 * @return 1 running, 0 when the main thread did not come up (call again to
 *         wait once more).
 * @reports "(s_wnd = MakeWorkerWindow()) == NULL", "GetMessage(&msg, NULL, 0,
 *          0) == -1" or "timeSetEvent(on_timer_proc) == 0" (fatal) when the
 *          main thread's queue or the tick cannot be made; the process ends.
 */
KEEL_API int os_startup(int reserved1, int reserved2);
#define OS_ACCEPT_ON_TICK 0 /**< every waiting connection is accepted on the next one-second tick */
#define OS_ACCEPT_AT_ONCE 1 /**< each connection is accepted the moment it arrives */

/** Chooses how TCP servers accept, before or after os_startup, for the
 * servers listening then and later: OS_ACCEPT_AT_ONCE takes each connection
 * as it arrives, OS_ACCEPT_ON_TICK all that wait once a second. The choice
 * wins over the marker file "select_config.json", which os_startup looks at
 * only when no choice was made; a program that serves requests should make
 * it, so as not to depend on the directory it was started from.
 * @param mode OS_ACCEPT_AT_ONCE or OS_ACCEPT_ON_TICK.
 * @return 1 set, 0 refused.
 * @reports "mode != OS_ACCEPT_AT_ONCE && mode != OS_ACCEPT_ON_TICK" (info).
 */
KEEL_API int os_set_accept_mode(int mode);
/** Tells whether os_startup has brought the runtime up.
 * @return 1 once the main thread runs, 0 before.
 */
KEEL_API int os_is_startup(void);
/** Closes every listening server and open UDP client; frees no record.
 *
 * TCP connections are left as they are; the records stay the caller's, to be
 * opened again or destroyed.
 * @return 1.
 */
KEEL_API int os_cleanup(void);
/** Holds off every callback until the matching unlock; re-entrant.
 *
 * A thread that holds it sees the socket records, timers and posted functions
 * standing still. Do not wait with it held for a thread that runs callbacks.
 */
KEEL_API void os_main_lock(void);
/** Releases one os_main_lock of the calling thread. */
KEEL_API void os_main_unlock(void);

/** Queues func(arg) to run on the main thread, in posting order. 1 when queued;
 * 0 for a NULL func or before os_startup (nothing is queued then).
 *
 * Any thread may post, the main thread included (a function posted from a
 * posted function runs in a later batch). Posting never waits for the main
 * thread.
 * @param func the function; it runs with the main lock held.
 * @param arg passed to func.
 * @return 1 queued, 0 not.
 * @reports "os_post_func func == NULL" (info) for a NULL func;
 *          "adt_dlist_add dlist == NULL" (info) before os_startup.
 */
KEEL_API int os_post_func(os_func_t func, void *arg);
/** A timer that calls func(arg) every interval_ms, rounded up to whole ticks
 * of one second. Never NULL.
 *
 * Ticks are counted from the creation: the first call comes on tick
 * ceil(interval_ms / 1000) after it, which may be up to a second early, and
 * an interval of 1000 or less fires on every tick. Call it after os_startup:
 * a timer made before is never listed and never fires (os_timer_destroy
 * still frees it).
 * @param func called on the main thread; NULL makes a timer that only counts.
 * @param interval_ms the period in milliseconds.
 * @param arg passed to func.
 * @return the timer, to be freed with os_timer_destroy.
 * @reports "malloc fail, timer == NULL" (fatal) when no memory is left; the
 *          process ends. Before os_startup: "adt_dlist_lock dlist == NULL" and
 *          its kin (info).
 */
KEEL_API os_timer_t *os_timer_create(os_func_t func, uint32_t interval_ms, void *arg);
/** A timer that calls func(arg) every interval_ms milliseconds, measured on
 * the monotonic clock (os_clock_us), the first time one interval after this
 * call. It does not drift: its n-th call is due at the creation time plus n
 * intervals, however long each call takes. A call that comes more than one
 * interval late (the main thread was held up) skips the intervals it missed
 * rather than catching up in a burst. The main thread sleeps until the next
 * deadline, whatever the number of timers (thousands cost a logarithm each to
 * start and to cancel). Same rules as os_timer_create's timers: func runs on
 * the main thread with the main lock held, never at the same time as another
 * callback; any thread, and any callback, may create one after os_startup.
 * @param func called on the main thread; NULL makes a timer that only counts.
 * @param interval_ms the period in milliseconds, at least 1.
 * @param arg passed to func.
 * @return the timer, to be freed with os_timer_destroy; NULL refused.
 * @reports "interval_ms == 0" or "os_is_startup() == 0" (info); "malloc fail,
 *          timer == NULL" (fatal) when no memory is left.
 */
KEEL_API os_timer_t *os_timer_create_ms(os_func_t func, uint32_t interval_ms, void *arg);
/** A timer that calls func(arg) once, delay_ms milliseconds after this call
 * (0: as soon as the main thread gets to it), then is freed by the library:
 * do not use or destroy it after its call has begun. Destroying it before,
 * or from its own func, is safe and cancels it. Otherwise as
 * os_timer_create_ms.
 * @param func called on the main thread.
 * @param delay_ms the delay in milliseconds.
 * @param arg passed to func.
 * @return the timer; NULL refused.
 * @reports "func == NULL" or "os_is_startup() == 0" (info); "malloc fail,
 *          timer == NULL" (fatal) when no memory is left.
 */
KEEL_API os_timer_t *os_timer_create_once(os_func_t func, uint32_t delay_ms, void *arg);
/** The monotonic clock the precise timers run on, in milliseconds from an
 * arbitrary start (the system's boot); it never goes back and ignores changes
 * of the wall clock.
 * @return milliseconds.
 */
KEEL_API uint64_t os_clock_ms(void);
/** The same clock in microseconds.
 * @return microseconds.
 */
KEEL_API uint64_t os_clock_us(void);
/** 1 when removed and freed; once it has returned, the timer never fires again.
 *
 * Timer functions may destroy any timer, their own included. It cancels the
 * timers of os_timer_create_ms and os_timer_create_once as well (a one-shot
 * timer not after its call has begun, except from that call itself).
 * @param timer a timer of os_timer_create.
 * @return 1 freed, 0 for NULL or a timer the runtime does not hold.
 * @reports "timer == NULL" (info); "adt_dlist_delete node not in dlist"
 *          (info) for a timer that is not listed.
 */
KEEL_API int os_timer_destroy(os_timer_t *timer);

/** Sleeps the calling thread for ms milliseconds; 0 yields the processor.
 * Signals do not cut the sleep short.
 * @param ms the time to sleep, in milliseconds.
 */
KEEL_API void os_sleep(uint32_t ms);

KEEL_END_DECLS

#endif /* KEEL_OS_RUNTIME_H */
