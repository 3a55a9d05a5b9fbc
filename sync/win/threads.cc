// Threads from _beginthreadex, whose routines already have the shape of ours:
// one pointer in, a 32-bit exit code out.
#include <process.h>

#include "sync/sync_internal.h"

namespace keel::sync {

// Windows raises no signal for a write to a closed pipe or past a size limit:
// the write fails with its error. Nothing to block.
void block_raised_signals() {}
void block_in_new_threads(int, bool) {}
uint64_t bound_signals() { return 0; }

// A stack size of 0 is 1 MiB, as on every platform.
bool thread_start(os_thread_t *thr, uint32_t stack_size, os_thread_func_t start, void *arg) {
    uintptr_t handle = _beginthreadex(nullptr, stack_size == 0 ? 0x100000 : stack_size,
                                      reinterpret_cast<unsigned(__stdcall *)(void *)>(start), arg, 0, nullptr);
    thr->hthread = reinterpret_cast<HANDLE>(handle);
    return handle != 0;
}

// A thread joining itself would wait for ever.
bool thread_join(os_thread_t *thr) {
    if (GetThreadId(thr->hthread) == GetCurrentThreadId()) return false;
    WaitForSingleObject(thr->hthread, INFINITE);
    CloseHandle(thr->hthread);
    return true;
}

void thread_detach(os_thread_t *thr) { CloseHandle(thr->hthread); }

bool thread_empty(const os_thread_t *thr) { return thr->hthread == nullptr; }

uint32_t thread_self() { return GetCurrentThreadId(); }

}  // namespace keel::sync
