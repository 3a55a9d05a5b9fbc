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

// Creates the posted-function queue; posts before it are refused.
void posted_funcs_open();

// The phases behind the messages.
void run_posted_funcs();
void run_timers();
void run_due_timers();  // precise_timer.cc

// os_timer_destroy of a timer of os_timer_create_ms or _once.
int precise_timer_destroy(os_timer_t *timer);

}  // namespace keel::rt
