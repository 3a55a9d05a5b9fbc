// The signals a Windows program gets: the console's control events (Ctrl-C,
// Ctrl-Break, the console closed, the user logging off, the system shutting
// down) and the C library's raise(). A watched one is posted to the worker
// window as WM_SIGNAL, like any other message.
#include <atomic>
#include <csignal>

#include "runtime/win/platform_win.h"

namespace keel::rt {
namespace {

std::atomic<bool> s_watched[NSIG];

// How long the system waits for a program once its console is closed or the
// session ends; it then ends the process. The handler holds the system off
// that long, so that the bound function can stop the program in order.
constexpr DWORD kEndingGraceMs = 5000;

void on_raised(int signo) {
    signal(signo, on_raised);  // the C library restores the default before each call
    queue_post(WM_SIGNAL, static_cast<uintptr_t>(signo), 0);
}

BOOL WINAPI on_console_event(DWORD event) {
    int signo = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGINT : SIGTERM;
    if (!s_watched[signo].load() || !queue_post(WM_SIGNAL, static_cast<uintptr_t>(signo), 0))
        return FALSE;  // the next handler, and at last the system's: the process ends
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(kEndingGraceMs);
    return TRUE;
}

}  // namespace

const char *signal_refusal(int signo) {
    return signo == SIGINT || signo == SIGTERM ? nullptr : "only SIGINT and SIGTERM reach a program on Windows";
}

bool signal_watch(int signo, bool on) {
    s_watched[signo].store(on);
    static std::atomic<bool> s_console_handler{false};
    if (on && !s_console_handler.exchange(true)) SetConsoleCtrlHandler(on_console_event, TRUE);
    return signal(signo, on ? on_raised : SIG_DFL) != SIG_ERR;
}

}  // namespace keel::rt
