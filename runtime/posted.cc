// Posted functions: any thread queues func(arg); the main thread runs every
// item queued so far as one batch, in posting order, without the queue lock
// held, so a posted function may post again (its item joins the next batch).
//
// The queue is a pair of vectors swapped per batch rather than a linked list:
// once both have grown to the working size, a post allocates nothing, which
// keeps posting from many threads free of allocator contention.
#include <atomic>
#include <cstdlib>
#include <vector>

#include "keel/os_runtime.h"
#include "log/report.h"
#include "runtime/runtime_internal.h"

namespace keel::rt {
namespace {

struct main_thread_func {
    os_func_t func;
    void *arg;
};

// Guarded by s_main_thread_mutex; exists from os_startup on.
std::vector<main_thread_func> *s_ls_main_thread_func = nullptr;

// True while a WM_POSTED_FUNC is queued and not yet handled. That message
// runs every item appended before its handling starts, so a post that finds
// it set needs no message of its own: a burst of posts costs the main thread
// one message, not one each.
std::atomic<bool> s_posted_pending{false};

}  // namespace

void posted_funcs_open() {
    auto *queue = new std::vector<main_thread_func>;
    queue->reserve(256);
    os_mutex_lock(&s_main_thread_mutex);
    s_ls_main_thread_func = queue;
    os_mutex_unlock(&s_main_thread_mutex);
}

void run_posted_funcs() {
    // Cleared before the swap: an item appended after this point either makes
    // this batch or sends a message of its own.
    s_posted_pending.store(false, std::memory_order_seq_cst);
    // Main thread only; never destroyed, as the main thread outlives exit-time destructors.
    static std::vector<main_thread_func> &batch = *new std::vector<main_thread_func>;
    os_mutex_lock(&s_main_thread_mutex);
    if (s_ls_main_thread_func == nullptr || s_ls_main_thread_func->empty()) {
        os_mutex_unlock(&s_main_thread_mutex);
        return;
    }
    batch.swap(*s_ls_main_thread_func);
    os_mutex_unlock(&s_main_thread_mutex);

    for (const main_thread_func &item : batch) item.func(item.arg);
    batch.clear();  // keeps its capacity for the next swap
}

}  // namespace keel::rt

using namespace keel::rt;

extern "C" KEEL_API int os_post_func(os_func_t func, void *arg) {
    if (func == nullptr) {
        KEEL_INFO("os_post_func func == NULL");
        return 0;
    }
    os_mutex_lock(&s_main_thread_mutex);
    bool queued = s_ls_main_thread_func != nullptr;
    if (queued) s_ls_main_thread_func->push_back(main_thread_func{func, arg});
    os_mutex_unlock(&s_main_thread_mutex);
    if (!queued) {
        // The report a post into a list that does not exist yet would give.
        KEEL_INFO("adt_dlist_add dlist == NULL");
        return 0;
    }
    // A plain load first: while a message waits, posts touch the flag's cache
    // line only to read it. The queue lock orders this load after the main
    // thread's clearing store whenever our item missed its swap.
    if (!s_posted_pending.load(std::memory_order_relaxed) &&
        !s_posted_pending.exchange(true, std::memory_order_seq_cst) && !queue_post(WM_POSTED_FUNC, 0, 0))
        s_posted_pending.store(false);
    return 1;
}
