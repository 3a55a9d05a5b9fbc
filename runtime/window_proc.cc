// The main thread's handling of one message: the tick, posted functions,
// socket events and delayed closes, all with s_main_mutex held.
#include "keel/os_runtime.h"
#include "runtime/runtime_internal.h"

namespace keel::rt {

void worker_wnd_proc(const Message &msg) {
    s_wsa_errno = sel_last_error();
    os_main_lock();
    switch (msg.number) {
        case WM_TIMER:
            run_tick();
            break;
        case WM_SOCKET_EVENT:
            dispatch_socket_event(socket_event_of(msg));
            break;
        case WM_SOCKET_CLOSE:
            // Whoever asked cancelled the registration already; cancelling
            // again costs nothing and keeps a stale one from outliving the socket.
            sel_close(static_cast<int>(msg.wparam));
            break;
        case WM_POSTED_FUNC:
            run_posted_funcs();
            break;
        default:
            break;  // nobody else posts to this queue; unknown numbers are dropped
    }
    os_main_unlock();
}

}  // namespace keel::rt
