// Internals of the threads folder: what each platform (sync/unix, sync/win)
// provides under the shared calls, which check their arguments and report.
#pragma once

#include <cstdint>

#include "keel/os_sync.h"

namespace keel::sync {

// Run first by every thread the library starts for itself (the main thread,
// the tick, the log writer, the serial I/O threads, the process reaper). Such
// a thread never ends the process by a signal it raises itself: SIGPIPE (a
// write to a pipe whose reader left, standard error among them) and SIGXFSZ
// (a file past the process's size limit) are blocked there, and the write
// that raised them fails with EPIPE or EFBIG instead, to be reported. The
// callers' own threads keep their signal masks. The signals bound to
// functions (os_signal_bind) are blocked there too, so that they wait for the
// main thread.
void block_raised_signals();
// Adds signo to what block_raised_signals blocks (on), or takes it out.
void block_in_new_threads(int signo, bool on);
// What block_raised_signals blocks beyond its own two: a thread started
// before a change calls it again when this changed.
uint64_t bound_signals();

/* mutexes: re-entrant, whatever the caller asks */
bool mutex_init(os_mutex_t *mutex);
void mutex_destroy(os_mutex_t *mutex);
void mutex_lock(os_mutex_t *mutex);
// False, with the mutex untouched, when the calling thread does not hold it.
bool mutex_unlock(os_mutex_t *mutex);

/* read-write locks; a thread that holds one exclusively and asks again is
   refused (false) rather than left waiting for ever */
void rwlock_init(os_rwlock_t *lock);
bool rwlock_rdlock(os_rwlock_t *lock);
bool rwlock_wrlock(os_rwlock_t *lock);
// exclusive: the hold to release is the writer's.
void rwlock_unlock(os_rwlock_t *lock, bool exclusive);

/* the native condition's two parts: its lock and its condition variable */
bool condition_init(os_native_condition_t *cond);
void condition_uninit(os_native_condition_t *cond);
void condition_lock(os_native_condition_t *cond);
void condition_unlock(os_native_condition_t *cond);
void condition_wake_all(os_native_condition_t *cond);
// Sleeps on the condition, the lock held (OS_WAIT_INFINITE: no limit): 0 on a
// wake, real or spurious; -2 when the time ran out; -1 on any other failure.
int condition_sleep(os_native_condition_t *cond, uint32_t timeout);

/* threads */
bool thread_start(os_thread_t *thr, uint32_t stack_size, os_thread_func_t start, void *arg);
// False when the thread cannot be joined (itself, say); the record keeps it.
bool thread_join(os_thread_t *thr);
void thread_detach(os_thread_t *thr);
bool thread_empty(const os_thread_t *thr);
uint32_t thread_self();

}  // namespace keel::sync
