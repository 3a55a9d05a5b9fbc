// What the parts of the Windows platform layer share: the worker window, and
// the turning of a socket's message into the runtime's WM_SOCKET_EVENT.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "runtime/platform.h"

namespace keel::rt {

// The window every message goes to; NULL until queue_open has made it.
HWND worker_window();

// True, with *out filled in, for a message that WSAAsyncSelect posted for a
// registration (platform_sockets.cc).
bool socket_message(const MSG &msg, Message *out);

}  // namespace keel::rt
