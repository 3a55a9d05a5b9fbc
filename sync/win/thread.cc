// Threads from _beginthreadex, whose routines already have the shape of ours:
// one pointer in, a 32-bit exit code out.
#include <process.h>

#include "keel/os_sync.h"
#include "log/report.h"
#include "sync/sync_internal.h"

namespace {

constexpr unsigned kDefaultStack = 0x100000;  // 1 MiB

}  // namespace

// Windows raises no signal for a write to a closed pipe or past a size limit:
// the write fails with its error. Nothing to block.
void keel::sync::block_raised_signals() {}

extern "C" {

KEEL_API int os_thread_create(os_thread_t *thr, uint32_t stack_size, os_thread_func_t start, void *arg) {
    if (thr == nullptr) {
        KEEL_INFO("thr == NULL");
        return 0;
    }
    thr->hthread = nullptr;
    if (start == nullptr) {
        KEEL_INFO("start == NULL");
        return 0;
    }
    uintptr_t handle = _beginthreadex(nullptr, stack_size == 0 ? kDefaultStack : stack_size,
                                      reinterpret_cast<unsigned(__stdcall *)(void *)>(start), arg, 0, nullptr);
    thr->hthread = reinterpret_cast<HANDLE>(handle);
    if (thr->hthread == nullptr) {
        KEEL_INFO("thr->hthread == NULL");
        return 0;
    }
    return 1;
}

// A record is released by exactly one join or detach. Both clear hthread, so
// a second call is refused with a report instead of touching a closed handle.
// A thread joining itself would wait for ever: refused too.
KEEL_API int os_thread_join(os_thread_t *thr) {
    if (thr == nullptr) {
        KEEL_INFO("thr == NULL");
        return 0;
    }
    if (thr->hthread == nullptr) {
        KEEL_INFO("thr->hthread == NULL");
        return 0;
    }
    if (GetThreadId(thr->hthread) == GetCurrentThreadId()) {
        KEEL_INFO("pthread_join(thr->hthread) fail");
        return 0;
    }
    WaitForSingleObject(thr->hthread, INFINITE);
    CloseHandle(thr->hthread);
    thr->hthread = nullptr;
    return 1;
}

KEEL_API int os_thread_detach(os_thread_t *thr) {
    if (thr == nullptr) {
        KEEL_INFO("thr == NULL");
        return 0;
    }
    if (thr->hthread == nullptr) {
        KEEL_INFO("thr->hthread == NULL");
        return 0;
    }
    CloseHandle(thr->hthread);
    thr->hthread = nullptr;
    return 1;
}

KEEL_API uint32_t os_thread_self(void) { return GetCurrentThreadId(); }

}  // extern "C"
