// What the runtime asks of the network side, provided by net/. The runtime
// knows no socket record: start-up lets the network side make its lists,
// the main loop hands it every socket event, and each tick asks it to take
// the connections that wait on the listening sockets.
#pragma once

#include "runtime/platform.h"

namespace keel::rt {

// At start-up, once the main thread runs: accept_at_once is the accept mode
// (each connection as it arrives, or all that wait on the tick).
void net_start(bool accept_at_once);
// A WM_SOCKET_EVENT, on the main thread with the main lock held.
void dispatch_socket_event(const SocketEvent &ev);
// The start of every tick: every waiting connection of every listening server.
void poll_accept();

}  // namespace keel::rt
