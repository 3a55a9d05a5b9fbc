// Signals as events: a bound signal is read by the main thread (the platform
// layer turns each arrival into WM_SIGNAL) and its function runs there, under
// the main lock, like any other callback.
#include <csignal>

#include "keel/os_runtime.h"
#include "log/report.h"
#include "runtime/runtime_internal.h"

namespace keel::rt {
namespace {

// Wide enough for every signal number of the systems the library runs on
// (Linux has 64, real-time ones included).
constexpr int kSignals = 65;

struct Binding {
    os_signal_func_t func = nullptr;
    void *arg = nullptr;
};
// Changed and read with the main lock held: a function and its argument are
// always seen together.
Binding s_bindings[kSignals];

}  // namespace

bool run_signal(int signo) {
    if (signo <= 0 || signo >= kSignals) return false;
    Binding b = s_bindings[signo];
    if (b.func == nullptr) return false;  // unbound since it arrived: dropped
    b.func(signo, b.arg);
    return true;
}

}  // namespace keel::rt

using namespace keel::rt;

extern "C" {

KEEL_API int os_signal_bind(int signo, os_signal_func_t func, void *arg) {
    if (func == nullptr) {
        KEEL_INFO("func == NULL");
        return 0;
    }
    if (!os_is_startup()) {
        KEEL_INFO("os_is_startup() == 0");
        return 0;
    }
    const char *why = signo <= 0 || signo >= kSignals ? "there is no such signal" : signal_refusal(signo);
    if (why != nullptr) {
        KEEL_INFO("signal %d cannot be bound: %s", signo, why);
        return 0;
    }
    os_main_lock();
    bool was_bound = s_bindings[signo].func != nullptr;
    s_bindings[signo] = Binding{func, arg};
    os_main_unlock();
    if (was_bound || signal_watch(signo, true)) return 1;
    KEEL_ERROR("signal %d cannot be watched", signo);
    os_main_lock();
    s_bindings[signo] = Binding{};
    os_main_unlock();
    return 0;
}

KEEL_API int os_signal_unbind(int signo) {
    bool bound = false;
    if (signo > 0 && signo < kSignals) {
        os_main_lock();
        bound = s_bindings[signo].func != nullptr;
        s_bindings[signo] = Binding{};
        os_main_unlock();
    }
    if (!bound) {
        KEEL_INFO("signal %d is not bound", signo);
        return 0;
    }
    signal_watch(signo, false);
    return 1;
}

}  // extern "C"
