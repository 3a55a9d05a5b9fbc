// Threads: the checks and reports; starting, joining and naming a thread are
// the platform's (sync_internal.h).
#include "log/report.h"
#include "sync/sync_internal.h"

using namespace keel::sync;

extern "C" {

KEEL_API int os_thread_create(os_thread_t *thr, uint32_t stack_size, os_thread_func_t start, void *arg) {
    if (thr == nullptr) {
        KEEL_INFO("thr == NULL");
        return 0;
    }
    thr->hthread = {};
    if (start == nullptr) {
        KEEL_INFO("start == NULL");
        return 0;
    }
    if (!thread_start(thr, stack_size, start, arg)) {
        thr->hthread = {};
        KEEL_INFO("thr->hthread == NULL");
        return 0;
    }
    return 1;
}

// A record is released by exactly one join or detach. Both clear hthread, so
// a second call is refused with a report instead of touching a dead thread.
// Joining itself (or a thread that is not joinable) is refused, and the
// record keeps its thread for a proper join or detach.
KEEL_API int os_thread_join(os_thread_t *thr) {
    if (thr == nullptr) {
        KEEL_INFO("thr == NULL");
        return 0;
    }
    if (thread_empty(thr)) {
        KEEL_INFO("thr->hthread == NULL");
        return 0;
    }
    if (!thread_join(thr)) {
        KEEL_INFO("pthread_join(thr->hthread) fail");
        return 0;
    }
    thr->hthread = {};
    return 1;
}

KEEL_API int os_thread_detach(os_thread_t *thr) {
    if (thr == nullptr) {
        KEEL_INFO("thr == NULL");
        return 0;
    }
    if (thread_empty(thr)) {
        KEEL_INFO("thr->hthread == NULL");
        return 0;
    }
    thread_detach(thr);
    thr->hthread = {};
    return 1;
}

KEEL_API uint32_t os_thread_self(void) { return thread_self(); }

}  // extern "C"
