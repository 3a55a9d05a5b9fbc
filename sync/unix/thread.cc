// Threads on pthreads. A start routine returns a 32-bit exit code, so a small
// trampoline adapts it to the pointer-returning routine pthreads calls.
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

#include "keel/os_sync.h"
#include "log/report.h"
#include "sync/sync_internal.h"

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

void keel::sync::block_raised_signals() {
    sigset_t raised;
    sigemptyset(&raised);
    sigaddset(&raised, SIGPIPE);
    sigaddset(&raised, SIGXFSZ);
    pthread_sigmask(SIG_BLOCK, &raised, nullptr);
}

extern "C" {

KEEL_API int os_thread_create(os_thread_t *thr, uint32_t stack_size, os_thread_func_t start,
                              void *arg) {
    if (thr == nullptr) {
        KEEL_INFO("thr == NULL");
        return 0;
    }
    thr->hthread = 0;
    if (start == nullptr) {
        KEEL_INFO("start == NULL");
        return 0;
    }
    auto *block = static_cast<StartBlock *>(malloc(sizeof(StartBlock)));
    pthread_attr_t attr;
    if (block == nullptr || pthread_attr_init(&attr) != 0) {
        free(block);
        KEEL_INFO("thr->hthread == NULL");
        return 0;
    }
    block->start = start;
    block->arg = arg;
    pthread_attr_setstacksize(&attr, usable_stack_size(stack_size));
    pthread_t id;
    int rc = pthread_create(&id, &attr, trampoline, block);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        free(block);
        KEEL_INFO("thr->hthread == NULL");
        return 0;
    }
    thr->hthread = id;
    return 1;
}

// A record is released by exactly one join or detach. Both clear hthread, so
// a second call is refused with a report instead of touching a dead thread.
KEEL_API int os_thread_join(os_thread_t *thr) {
    if (thr == nullptr) {
        KEEL_INFO("thr == NULL");
        return 0;
    }
    if (thr->hthread == 0) {
        KEEL_INFO("thr->hthread == NULL");
        return 0;
    }
    // Joining itself (or a thread that is not joinable) is refused, and the
    // record keeps its thread for a proper join or detach.
    if (pthread_join(thr->hthread, nullptr) != 0) {
        KEEL_INFO("pthread_join(thr->hthread) fail");
        return 0;
    }
    thr->hthread = 0;
    return 1;
}

KEEL_API int os_thread_detach(os_thread_t *thr) {
    if (thr == nullptr) {
        KEEL_INFO("thr == NULL");
        return 0;
    }
    if (thr->hthread == 0) {
        KEEL_INFO("thr->hthread == NULL");
        return 0;
    }
    pthread_detach(thr->hthread);
    thr->hthread = 0;
    return 1;
}

KEEL_API uint32_t os_thread_self(void) { return static_cast<uint32_t>(syscall(SYS_gettid)); }

}  // extern "C"
