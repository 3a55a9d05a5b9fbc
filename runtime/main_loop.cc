// The main thread and the phases of one message. The thread waits for the
// next message and handles it with the main lock held, so no two callbacks
// ever run at once:
//
//   WM_TIMER         the tick: take the connections that wait, then run the timers
//   WM_SOCKET_EVENT  the socket's record gets its event (net/)
//   WM_SOCKET_CLOSE  a socket shut down earlier is closed
//   WM_POSTED_FUNC   the functions posted so far run, in posting order
//   WM_DEADLINE      the precise timers that are due run, earliest first
//   WM_SIGNAL        the function bound to a signal that arrived runs
#include "keel/os_runtime.h"
#include "log/report.h"
#include "runtime/loop_stats.h"
#include "runtime/net_hooks.h"
#include "runtime/runtime_internal.h"
#include "sync/sync_internal.h"

namespace keel::rt {
namespace {

// Every callback runs on this thread, with whatever stack the callers' code
// needs: callers were promised 10 MiB, ten times a thread's default, and the
// drain buffers live here too.
constexpr size_t kMainThreadStack = 0xA00000;

uint32_t run_tick() {
#if KEEL_WITH_NETWORK
    poll_accept();
#endif
    return run_timers();
}

// Handles one message with the main lock held, and notes what it ran;
// start: when it came, in the figures' ticks.
void worker_wnd_proc(const Message &msg, uint64_t start) {
#if KEEL_WITH_NETWORK
    s_wsa_errno = sel_last_error();
#endif
    os_main_lock();
    // What ran, counted by its kind and timed; each arm names its kind as a
    // constant, which costs the socket events (the many) nothing to pass.
    auto ran = [start](int kind, uint32_t runs) {
        loop_add(g_loop.callbacks[kind], runs);
        loop_note_end(kind, runs, start, loop_ticks());
    };
    switch (msg.number) {
        case WM_TIMER:
            ran(OS_LOOP_TIMER, run_tick());
            break;
#if KEEL_WITH_NETWORK
        case WM_SOCKET_EVENT:
            dispatch_socket_event(socket_event_of(msg));
            ran(OS_LOOP_SOCKET, 1);
            break;
        case WM_SOCKET_CLOSE:
            // Whoever asked cancelled the registration already; cancelling
            // again costs nothing and keeps a stale one from outliving the socket.
            sel_close(static_cast<int>(msg.wparam));
            loop_note_end(-1, 0, start, loop_ticks());
            break;
#endif
        case WM_POSTED_FUNC:
            ran(OS_LOOP_POSTED, run_posted_funcs());
            break;
        case WM_DEADLINE:
            ran(OS_LOOP_TIMER, run_due_timers());
            break;
        case WM_SIGNAL:
            ran(OS_LOOP_SIGNAL, run_signal(static_cast<int>(msg.wparam)));
            break;
        default:
            loop_note_end(-1, 0, start, loop_ticks());
            break;  // nobody else posts to this queue; unknown numbers are dropped
    }
    os_main_unlock();
}

// Creates the queue that stands for the worker window, then handles messages
// until the process ends.
uint32_t main_thread_proc(void *) {
    keel::sync::block_raised_signals();
    t_main_thread = true;
    if (!queue_open()) KEEL_FATAL("(s_wnd = MakeWorkerWindow()) == NULL");
    loop_started();
    s_wnd.store(1, std::memory_order_release);
    Message msg;
    for (;;) {
        if (queue_get(&msg) == -1) KEEL_FATAL("GetMessage(&msg, NULL, 0, 0) == -1");
        uint64_t start = loop_ticks();
        loop_note_start(start);
        worker_wnd_proc(msg, start);
    }
    return 0;
}

}  // namespace

thread_local bool t_main_thread = false;

bool start_main_thread() {
    os_thread_t thread{};
    if (!keel::sync::thread_start(&thread, kMainThreadStack, main_thread_proc, nullptr)) return false;
    keel::sync::thread_detach(&thread);
    return true;
}

}  // namespace keel::rt
