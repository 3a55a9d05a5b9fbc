// The runtime's shared state and the phases of one message on the main
// thread. Lock order: s_main_mutex first, then a list's lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "keel/adt_dlist.h"
#include "keel/os_runtime.h"
#include "keel/os_sync.h"
#include "runtime/platform.h"

namespace keel::rt {

extern os_mutex_t s_main_mutex;  // held for every message
extern std::atomic<int> s_wnd;   // 1 once the main thread's queue exists
extern adt_dlist_t *s_ls_timer;
extern int s_wsa_errno;  // the main thread's last socket error, per message

// Starts the main thread (main_loop.cc); false when it could not start.
bool start_main_thread();
extern thread_local bool t_main_thread;  // true on the main thread

// Runs the function bound to signo (signals.cc); main thread. False when
// none is bound.
bool run_signal(int signo);

// The main thread's figures (loop_stats.cc; what each message notes is in
// loop_stats.h). Main thread only, but for posted_waiting.
void loop_started();
void loop_note_lag(int64_t late_us);
void loop_note_posted_batch(uint32_t size);
uint32_t posted_waiting();  // posted.cc; any thread
// Starts the watchdog's pings when the service manager asks for them (service.cc).
void service_watchdog_start();
// Sends one message to the service manager; true also when there is none.
bool service_notify(const char *message);

// Creates the posted-function queue; posts before it are refused.
void posted_funcs_open();

// The phases behind the messages; each returns how many functions it ran.
uint32_t run_posted_funcs();
uint32_t run_timers();
uint32_t run_due_timers();  // precise_timer.cc

// os_timer_destroy of a timer of os_timer_create_ms or _once.
int precise_timer_destroy(os_timer_t *timer);

}  // namespace keel::rt
