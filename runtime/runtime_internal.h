// The runtime's shared state and the phases of one message on the main
// thread. Lock order: s_main_mutex first, then s_main_thread_mutex or a list.
#pragma once

#include <atomic>
#include <cstdint>

#include "keel/adt_dlist.h"
#include "keel/os_sync.h"
#include "runtime/platform.h"

namespace keel::rt {

extern os_mutex_t s_main_mutex;         // held for every message
extern os_mutex_t s_main_thread_mutex;  // unused: the posted-function queue is lock-free (posted.cc)
extern std::atomic<int> s_wnd;          // 1 once the main thread's queue exists
extern adt_dlist_t *s_ls_client;
extern adt_dlist_t *s_ls_server;
extern adt_dlist_t *s_ls_udp_client;
extern adt_dlist_t *s_ls_timer;
extern int s_accept_by_select;
extern int s_wsa_errno;  // the main thread's last socket error, per message

// One message, with s_main_mutex held throughout.
void worker_wnd_proc(const Message &msg);

// Creates the posted-function queue; posts before it are refused.
void posted_funcs_open();

// The phases behind the messages.
void run_posted_funcs();
void run_tick();
void poll_accept();
void dispatch_socket_event(const SocketEvent &ev);

}  // namespace keel::rt
