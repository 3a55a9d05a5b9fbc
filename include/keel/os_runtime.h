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

/* ---- a program's life: signals, running until stopped, the service manager ---- */

/** A function bound to a signal: it runs on the main thread, like every callback. */
typedef void (*os_signal_func_t)(int signo, void *arg);

/** Has func(signo, arg) run on the main thread, with the main lock held, each
 * time signal signo arrives; binding it again replaces the function. Call it
 * after os_startup.
 *
 * The signal is taken out of the usual delivery: it waits, blocked, until the
 * main thread reads it and runs func. The library's own threads always block
 * it, and the call blocks it in the calling thread, whose mask the threads
 * started from it afterwards inherit. So bind from main() before starting
 * threads of your own; a thread of yours started earlier must block the
 * signal itself (pthread_sigmask), or the signal may land there and take its
 * usual action (for most signals, the end of the process). A signal that
 * arrives again before func ran for the last one is delivered once.
 *
 * Signals that cannot be caught or that mean a fault are refused: SIGKILL,
 * SIGSTOP, SIGSEGV, SIGBUS, SIGFPE, SIGILL, and also SIGABRT, SIGTRAP and
 * SIGSYS. On Windows only SIGINT and SIGTERM are taken: Ctrl-C and Ctrl-Break
 * arrive as SIGINT; closing the console, logging off and shutting down as
 * SIGTERM (the system then gives the program a few seconds); raise() of
 * either arrives too.
 * @param signo the signal number.
 * @param func called on the main thread with signo and arg.
 * @param arg passed to func.
 * @return 1 bound, 0 refused.
 * @reports "func == NULL", "os_is_startup() == 0" or "signal N cannot be
 *          bound: REASON" (info).
 */
KEEL_API int os_signal_bind(int signo, os_signal_func_t func, void *arg);
/** Gives signal signo its default action back: it is no longer read by the
 * main thread, the calling thread no longer blocks it, and its handler is the
 * system's default. An instance that waits is delivered at once, with that
 * action.
 * @param signo a signal bound with os_signal_bind.
 * @return 1 unbound, 0 when it was not bound.
 * @reports "signal N is not bound" (info).
 */
KEEL_API int os_signal_unbind(int signo);

/** Blocks the calling thread until os_stop is called, from any thread or
 * callback, and returns the code given to it. A program's main becomes: start
 * up, set up, bind SIGTERM and SIGINT to a function that calls os_stop, then
 * `return os_run();`. A stop that came before the call ends it at once; each
 * stop ends one run.
 * @return the code of os_stop; -1 refused (before os_startup, or on the main
 *         thread, where it would wait for itself).
 * @reports "os_is_startup() == 0" or "os_run on the main thread would wait
 *          forever" (info).
 */
KEEL_API int os_run(void);
/** Ends os_run, which returns code; tells the service manager that the
 * program is stopping (see os_service_ready). Any thread, any callback; the
 * first code given before a run ends is the one returned.
 * @param code what os_run returns.
 * @return 1.
 */
KEEL_API int os_stop(int code);

/** Tells systemd that the service is ready (READY=1), for a unit of
 * Type=notify. Each of the calls below speaks to the socket named by the
 * environment variable NOTIFY_SOCKET (a path, or "@name" for an abstract
 * one); without it they do nothing and return 1, as on Windows.
 *
 * The watchdog needs no call: when WATCHDOG_USEC is set at os_startup (and
 * WATCHDOG_PID, if set, is this process), the main thread itself sends
 * WATCHDOG=1 at half that interval. A callback that hangs therefore stops the
 * pings, and systemd restarts the service.
 * @return 1 sent (or nothing to send to), 0 when the message could not be sent.
 * @reports "the service manager at NAME cannot be told: ..." (error).
 */
KEEL_API int os_service_ready(void);
/** Tells systemd the service's status, shown by systemctl status
 * (STATUS=text); a line break in text is sent as a space.
 * @param text the status, at most 1024 bytes are sent.
 * @return 1 sent (or nothing to send to), 0 refused or not sent.
 * @reports "text == NULL" (info); as os_service_ready.
 */
KEEL_API int os_service_status(const char *text);

/* ---- the loop's health ---------------------------------------------------- */

#define OS_LOOP_SOCKET 0 /**< a socket's event (accept, connect, read, write, close) */
#define OS_LOOP_TIMER 1  /**< a timer's function, of either kind */
#define OS_LOOP_POSTED 2 /**< a posted function */
#define OS_LOOP_SIGNAL 3 /**< the function bound to a signal */

/** What the main thread did: os_loop_stats fills it in. Times are in
 * microseconds. */
typedef struct os_loop_stats {
    uint64_t idle_us;          /**< since os_startup: waiting for something to do */
    uint64_t busy_us;          /**< since os_startup: everything else */
    uint64_t callbacks[4];     /**< run since os_startup, by kind (OS_LOOP_*) */
    uint32_t posted_waiting;   /**< posted functions queued and not yet run, now */
    uint32_t posted_peak;      /**< the most that ever waited at once */
    uint64_t longest_us;       /**< the longest callback since the last call */
    int longest_kind;          /**< its kind (OS_LOOP_*); -1 when none ran */
    uint64_t lag_max_us;       /**< since the last call: how late a timer or a posted function started, at most */
    uint64_t lag_p99_us;       /**< the same, the 99th percentile (within 1/8 of the value) */
    uint64_t lag_count;        /**< how many starts the lag figures cover */
} os_loop_stats_t;

/** Fills in the main thread's figures; "since the last call" figures start
 * again. Any thread; it never waits for a callback to end.
 *
 * A socket's event, a signal, or the timers due at one moment count as one
 * callback each for the longest; posted functions count one by one, but a
 * batch of them (those queued while the main thread was busy) is timed as
 * one. The lag of a posted function is measured for the oldest of each batch.
 * @param out the figures.
 * @return 1 filled in, 0 refused.
 * @reports "out == NULL" or "os_is_startup() == 0" (info).
 */
KEEL_API int os_loop_stats(os_loop_stats_t *out);
/** Reports each callback that runs longer than ms milliseconds (as timed by
 * os_loop_stats), at the warning level with its kind and time: "a KIND
 * callback ran for N ms". Once per episode: the callbacks after it are not
 * reported until one runs within the limit. 0, the default, reports none.
 * @param ms the limit.
 * @return 1.
 */
KEEL_API int os_set_slow_callback_ms(uint32_t ms);

KEEL_END_DECLS

#endif /* KEEL_OS_RUNTIME_H */
