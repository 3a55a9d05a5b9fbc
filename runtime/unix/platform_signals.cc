// Watched signals read from a signalfd in the owner's epoll set. A watched
// signal is blocked in the watching thread, in the threads it starts after,
// in the library's threads started after, and in the owner and the tick at
// once or within a second; it then waits for the owner to read it, and
// becomes a WM_SIGNAL like any other message. A thread that does not block it
// (one of the caller's that ran before, or a library thread meanwhile) may be
// the one the signal lands in: a handler there passes it on to the owner the
// same way, so no thread ever takes its usual action.
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <mutex>

#include "log/report.h"
#include "runtime/unix/platform_internal.h"
#include "sync/sync_internal.h"

namespace keel::rt {
namespace {

std::mutex s_watch_lock;
sigset_t s_watched;  // guarded by s_watch_lock

// Signals that landed in a thread: bit signo - 1. The handler may only use
// what is safe in a signal handler, so it sets a bit and wakes the owner.
static_assert(std::atomic<uint64_t>::is_always_lock_free);
std::atomic<uint64_t> s_landed{0};
int s_wakefd = -1;
// False from a binding until the owner has blocked the bound signals too.
std::atomic<bool> s_owner_blocks{true};

void on_landed(int signo) {
    int saved_errno = errno;
    s_landed.fetch_or(uint64_t{1} << (signo - 1), std::memory_order_relaxed);
    uint64_t one = 1;
    if (write(s_wakefd, &one, sizeof one) < 0) {
        // a full counter still wakes the owner
    }
    errno = saved_errno;
}

// A handler that passes the signal on (on), or the default action; the
// system calls it interrupts go on.
void set_action(int signo, bool on) {
    struct sigaction action {};
    action.sa_handler = on ? on_landed : SIG_DFL;
    action.sa_flags = on ? SA_RESTART : 0;
    sigemptyset(&action.sa_mask);
    sigaction(signo, &action, nullptr);
}

}  // namespace

const char *signal_refusal(int signo) {
    switch (signo) {
        case SIGKILL:
        case SIGSTOP:
            return "it cannot be caught";
        case SIGSEGV:
        case SIGBUS:
        case SIGFPE:
        case SIGILL:
        case SIGTRAP:
        case SIGSYS:
            return "it means a fault, which the thread at fault must meet at once";
        case SIGABRT:
            return "it ends a process that called abort(), blocked or not";
        default:
            break;
    }
    // The C library keeps the numbers between the classic signals and
    // SIGRTMIN for itself (thread cancellation, set*id): they cannot be blocked.
    if (signo >= 32 && signo < SIGRTMIN) return "the C library keeps it for itself";
    if (signo > SIGRTMAX) return "there is no such signal";
    return nullptr;
}

int signals_open(int wakefd) {
    std::lock_guard<std::mutex> guard(s_watch_lock);
    sigemptyset(&s_watched);
    s_wakefd = wakefd;
    return signalfd(-1, &s_watched, SFD_NONBLOCK | SFD_CLOEXEC);
}

bool signal_watch(int signo, bool on) {
    Queue *q = __atomic_load_n(&s_queue, __ATOMIC_ACQUIRE);
    if (q == nullptr) return false;
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signo);
    std::lock_guard<std::mutex> guard(s_watch_lock);
    if (on) {
        // Its own handler also means that it is not ignored: an ignored
        // signal (SIGHUP under nohup) is dropped as it is sent.
        set_action(signo, true);
        keel::sync::block_in_new_threads(signo, true);
        pthread_sigmask(SIG_BLOCK, &one, nullptr);
        sigaddset(&s_watched, signo);
    } else {
        sigdelset(&s_watched, signo);
    }
    bool ok = signalfd(q->sigfd, &s_watched, 0) >= 0;
    if (on) {
        // The owner blocks it as well when it wakes (take_signals).
        s_owner_blocks.store(false, std::memory_order_release);
        uint64_t one_more = 1;
        if (write(q->wakefd, &one_more, sizeof one_more) < 0) {
            // a full counter still wakes the owner
        }
    }
    if (!on) {
        set_action(signo, false);
        keel::sync::block_in_new_threads(signo, false);
        s_landed.fetch_and(~(uint64_t{1} << (signo - 1)), std::memory_order_relaxed);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    }
    return ok;
}

void take_signals(Queue &q) {
    if (!s_owner_blocks.exchange(true, std::memory_order_acq_rel)) keel::sync::block_raised_signals();
    // Read under the lock its changes are made under: the kernel needs none,
    // but the thread checker sees a descriptor's change and its read as
    // touching one object, and wants them ordered.
    std::lock_guard<std::mutex> guard(s_watch_lock);
    signalfd_siginfo info[8];
    for (ssize_t n; (n = read(q.sigfd, info, sizeof info)) > 0;)
        for (size_t i = 0; i < static_cast<size_t>(n) / sizeof info[0]; ++i)
            grow_or_exit("signal", [&] { q.gathered.push_back(Message{WM_SIGNAL, info[i].ssi_signo, 0}); });
    uint64_t landed = s_landed.exchange(0, std::memory_order_relaxed);
    for (int signo = 1; landed != 0; ++signo, landed >>= 1)
        if (landed & 1) grow_or_exit("signal", [&] { q.gathered.push_back(Message{WM_SIGNAL, uintptr_t(signo), 0}); });
}

}  // namespace keel::rt
