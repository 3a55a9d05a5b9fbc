// Posted functions: any thread queues func(arg); the main thread runs every
// item queued so far as one batch, in posting order, so a posted function may
// post again (its item joins the next batch, after its poster has returned).
//
// The queue takes no lock. A post pushes a node onto an atomic stack with one
// compare-and-swap; the main thread takes the whole stack with one exchange and
// runs it from its far end, which is the order in which the pushes succeeded
// (the posting order). Nodes come from a free chain kept per thread and are
// handed back in one piece after each batch, so once the pool has grown to the
// working size a post allocates nothing. Only whole chains are ever taken from
// a shared stack, never a single node, which keeps both stacks free of the
// reuse (ABA) problem.
#include <pthread.h>

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
    main_thread_func *next;
};

// Nodes are carved from slabs, which are listed here so that they stay
// reachable; they live as long as the process.
struct Slab {
    Slab *next;
    main_thread_func nodes[255];
};

// The queue, newest item first. Apart on their own cache lines: posters keep
// hitting the stack while the flag is read-mostly.
alignas(64) std::atomic<main_thread_func *> s_ls_main_thread_func{nullptr};

// True while a WM_POSTED_FUNC is queued and not yet handled. That message runs
// every item pushed before its handling starts, so a post that finds it set
// needs no message of its own: a burst of posts costs one message and at most
// one wake-up, not one each.
alignas(64) std::atomic<bool> s_posted_pending{false};

// Posts are accepted from os_startup on.
std::atomic<bool> s_open{false};

// Posts made and functions run, for the figures: what waits is the difference.
alignas(64) std::atomic<uint64_t> s_posts{0};
std::atomic<uint64_t> s_runs{0};  // main thread only writes
// When the post that sent the waiting WM_POSTED_FUNC was made: the oldest of
// its batch, whose lag is the batch's.
std::atomic<int64_t> s_batch_posted_us{0};

// Nodes handed back by the main thread and by ending threads; taken whole.
alignas(64) std::atomic<main_thread_func *> s_free{nullptr};
std::atomic<Slab *> s_slabs{nullptr};

// This thread's private free chain. A thread that ends gives it back through
// the key's destructor, which runs after every C++ thread-local destructor,
// so a post made from one of those still finds its pool.
// Initial-exec: a post reads this directly instead of through __tls_get_addr.
__attribute__((tls_model("initial-exec"))) thread_local main_thread_func *t_free = nullptr;
pthread_key_t s_pool_key;
pthread_once_t s_pool_once = PTHREAD_ONCE_INIT;
bool s_pool_key_made = false;

void push_chain(std::atomic<main_thread_func *> &stack, main_thread_func *first, main_thread_func *last) {
    main_thread_func *top = stack.load(std::memory_order_relaxed);
    do {
        last->next = top;
    } while (!stack.compare_exchange_weak(top, first, std::memory_order_release, std::memory_order_relaxed));
}

void give_back_pool(void *) {
    main_thread_func *first = t_free;
    t_free = nullptr;
    if (first == nullptr) return;
    main_thread_func *last = first;
    while (last->next != nullptr) last = last->next;
    push_chain(s_free, first, last);
}

void make_pool_key() { s_pool_key_made = pthread_key_create(&s_pool_key, give_back_pool) == 0; }

// A node for this thread: its own chain first, then whatever the main thread
// handed back, then a fresh slab.
main_thread_func *take_node() {
    main_thread_func *node = t_free;
    if (node == nullptr) {
        node = s_free.exchange(nullptr, std::memory_order_acquire);
        if (node == nullptr) {
            // Ending the process here is the library's rule for a failed
            // allocation of its own records.
            auto *slab = static_cast<Slab *>(malloc(sizeof(Slab)));
            if (slab == nullptr) KEEL_FATAL("malloc fail, main_thread_func == NULL");
            constexpr size_t kCount = sizeof slab->nodes / sizeof slab->nodes[0];
            for (size_t i = 0; i + 1 < kCount; ++i) slab->nodes[i].next = &slab->nodes[i + 1];
            slab->nodes[kCount - 1].next = nullptr;
            slab->next = s_slabs.load(std::memory_order_relaxed);
            while (!s_slabs.compare_exchange_weak(slab->next, slab, std::memory_order_relaxed)) {
            }
            node = slab->nodes;
        }
        // From the first node this thread holds, it gives its chain back when
        // it ends. Without a key (none left) the chain would only be lost
        // when the thread ends, never corrupted.
        pthread_once(&s_pool_once, make_pool_key);
        if (s_pool_key_made && pthread_getspecific(s_pool_key) == nullptr)
            pthread_setspecific(s_pool_key, &s_pool_key);
    }
    t_free = node->next;
    return node;
}

}  // namespace

void posted_funcs_open() { s_open.store(true, std::memory_order_release); }

uint32_t posted_waiting() {
    uint64_t runs = s_runs.load(std::memory_order_acquire);
    return static_cast<uint32_t>(s_posts.load(std::memory_order_acquire) - runs);
}

uint32_t run_posted_funcs() {
    // Cleared before the stack is taken: a poster whose push misses this
    // batch finds the flag clear and sends a message of its own. Both sides
    // use sequentially consistent operations for exactly that guarantee.
    s_posted_pending.store(false);
    main_thread_func *newest = s_ls_main_thread_func.exchange(nullptr);
    if (newest == nullptr) return 0;
    loop_note_lag(monotonic_us() - s_batch_posted_us.load(std::memory_order_relaxed));

    // Read newest first and run oldest first: posting order. The nodes are
    // only read here (reversing the chain in place would write each one and
    // make the posters that reuse them wait for those lines), and the chain
    // they already form goes back to the pool as it stands. Main thread only;
    // never destroyed, as the main thread outlives exit-time destructors.
    static std::vector<main_thread_func *> &batch = *new std::vector<main_thread_func *>;
    main_thread_func *oldest = newest;
    for (main_thread_func *item = newest; item != nullptr; item = item->next) {
        grow_or_exit("posted function", [&] { batch.push_back(item); });
        oldest = item;
    }
    auto size = static_cast<uint32_t>(batch.size());
    loop_note_posted_batch(size);
    for (size_t i = batch.size(); i-- > 0;) {
        s_runs.store(s_runs.load(std::memory_order_relaxed) + 1, std::memory_order_release);  // no longer waits
        batch[i]->func(batch[i]->arg);
    }
    batch.clear();  // keeps its capacity for the next batch
    push_chain(s_free, newest, oldest);
    return size;
}

}  // namespace keel::rt

using namespace keel::rt;

extern "C" KEEL_API int os_post_func(os_func_t func, void *arg) {
    if (func == nullptr) {
        KEEL_INFO("os_post_func func == NULL");
        return 0;
    }
    if (!s_open.load(std::memory_order_acquire)) {
        // The report a post into a list that does not exist yet would give.
        KEEL_INFO("adt_dlist_add dlist == NULL");
        return 0;
    }
    s_posts.fetch_add(1, std::memory_order_relaxed);
    main_thread_func *item = take_node();
    item->func = func;
    item->arg = arg;
    main_thread_func *top = s_ls_main_thread_func.load(std::memory_order_relaxed);
    do {
        item->next = top;
    } while (!s_ls_main_thread_func.compare_exchange_weak(top, item, std::memory_order_seq_cst,
                                                         std::memory_order_relaxed));
    // A plain load first: while a message waits, posts only read the flag's
    // cache line. The load is ordered after the push, so a push that missed
    // the main thread's exchange sees the flag that thread cleared before it.
    if (!s_posted_pending.load() && !s_posted_pending.exchange(true)) {
        s_batch_posted_us.store(monotonic_us(), std::memory_order_relaxed);
        if (!queue_post(WM_POSTED_FUNC, 0, 0)) s_posted_pending.store(false);
    }
    return 1;
}
