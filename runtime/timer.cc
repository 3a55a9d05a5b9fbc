// Timers, driven by the one-second tick: every tick adds 1000 ms to each timer
// and fires those that reached their interval, newest first.
#include <cstdlib>
#include <cstring>

#include "keel/os_runtime.h"
#include "log/report.h"
#include "runtime/runtime_internal.h"

namespace keel::rt {
namespace {

// The node the tick's walk visits next. A timer function may destroy any
// timer, the next one included: os_timer_destroy moves this cursor past the
// node it removes, so the walk never steps on freed memory. Touched only with
// the lock of s_ls_timer held.
adt_dlist_node_t *s_walk_next = nullptr;

}  // namespace

uint32_t run_timers() {
    if (s_ls_timer == nullptr) return 0;
    uint32_t ran = 0;
    adt_dlist_lock(s_ls_timer);
    adt_dlist_node_t *node = adt_dlist_head(s_ls_timer);
    while (node != nullptr) {
        s_walk_next = adt_dlist_next(node);
        auto *timer = *static_cast<os_timer_t **>(adt_dlist_getdata(node));
        timer->elapsed_ms += 1000;
        if (timer->elapsed_ms >= timer->interval_ms) {
            timer->elapsed_ms = 0;
            if (timer->func != nullptr) timer->func(timer->arg), ++ran;
        }
        node = s_walk_next;
    }
    s_walk_next = nullptr;
    adt_dlist_unlock(s_ls_timer);
    return ran;
}

}  // namespace keel::rt

using namespace keel::rt;

extern "C" {

KEEL_API os_timer_t *os_timer_create(os_func_t func, uint32_t interval_ms, void *arg) {
    auto *timer = static_cast<os_timer_t *>(malloc(sizeof(os_timer_t)));
    if (timer == nullptr) KEEL_FATAL("malloc fail, timer == NULL");
    memset(timer, 0, sizeof *timer);
    timer->func = func;
    timer->interval_ms = interval_ms;
    timer->arg = arg;
    adt_dlist_lock(s_ls_timer);
    timer->node = adt_dlist_insert(s_ls_timer, nullptr, &timer);
    adt_dlist_unlock(s_ls_timer);
    return timer;
}

KEEL_API int os_timer_destroy(os_timer_t *timer) {
    if (timer == nullptr) {
        KEEL_INFO("timer == NULL");
        return 0;
    }
    if (timer->precise) return precise_timer_destroy(timer);
    if (timer->node == nullptr) {
        // Made before os_startup, so never listed and never fired: just free it.
        free(timer);
        return 1;
    }
    adt_dlist_lock(s_ls_timer);
    adt_dlist_node_t *next = adt_dlist_next(timer->node);
    int removed = adt_dlist_delete(s_ls_timer, timer->node);
    if (removed && timer->node == s_walk_next) s_walk_next = next;
    adt_dlist_unlock(s_ls_timer);
    if (!removed) return 0;
    free(timer);
    return 1;
}

}  // extern "C"
