// Threads on pthreads. A start routine returns a 32-bit exit code, so a small
// trampoline adapts it to the pointer-returning routine pthreads calls.
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "sync/sync_internal.h"

namespace keel::sync {
namespace {

constexpr size_t kDefaultStack = 0x100000;  // 1 MiB

struct StartBlock {
    os_thread_func_t start;
    void *arg;
};

void *trampoline(void *raw) {
    StartBlock block = *static_cast<StartBlock *>(raw);
    free(raw);
    uint32_t code = block.start(block.arg);
    return reinterpret_cast<void *>(static_cast<uintptr_t>(code));
}

// pthreads refuses stacks below PTHREAD_STACK_MIN and wants whole pages.
size_t usable_stack_size(uint32_t requested) {
    size_t size = requested == 0 ? kDefaultStack : requested;
    if (size < static_cast<size_t>(PTHREAD_STACK_MIN)) size = static_cast<size_t>(PTHREAD_STACK_MIN);
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (size + page - 1) / page * page;
}

}  // namespace

namespace {
std::atomic<uint64_t> s_bound{0};  // bit signo - 1: a bound signal
}  // namespace

void block_raised_signals() {
    sigset_t raised;
    sigemptyset(&raised);
    sigaddset(&raised, SIGPIPE);
    sigaddset(&raised, SIGXFSZ);
    uint64_t bound = s_bound.load(std::memory_order_acquire);
    for (int signo = 1; signo <= 64; ++signo)
        if (bound & (uint64_t{1} << (signo - 1))) sigaddset(&raised, signo);
    pthread_sigmask(SIG_BLOCK, &raised, nullptr);
}

uint64_t bound_signals() { return s_bound.load(std::memory_order_acquire); }

void block_in_new_threads(int signo, bool on) {
    if (signo < 1 || signo > 64) return;
    uint64_t bit = uint64_t{1} << (signo - 1);
    if (on)
        s_bound.fetch_or(bit, std::memory_order_acq_rel);
    else
        s_bound.fetch_and(~bit, std::memory_order_acq_rel);
}

bool thread_start(os_thread_t *thr, uint32_t stack_size, os_thread_func_t start, void *arg) {
    auto *block = static_cast<StartBlock *>(malloc(sizeof(StartBlock)));
    pthread_attr_t attr;
    if (block == nullptr || pthread_attr_init(&attr) != 0) {
        free(block);
        return false;
    }
    block->start = start;
    block->arg = arg;
    pthread_attr_setstacksize(&attr, usable_stack_size(stack_size));
    int rc = pthread_create(&thr->hthread, &attr, trampoline, block);
    pthread_attr_destroy(&attr);
    if (rc != 0) free(block);
    return rc == 0;
}

bool thread_join(os_thread_t *thr) { return pthread_join(thr->hthread, nullptr) == 0; }

void thread_detach(os_thread_t *thr) { pthread_detach(thr->hthread); }

bool thread_empty(const os_thread_t *thr) { return thr->hthread == 0; }

uint32_t thread_self() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

}  // namespace keel::sync
