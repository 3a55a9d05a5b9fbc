// Start-up: the runtime's statics, the main thread with its message loop, and
// the one-second tick. The runtime is started once and never taken down.
#include <libxml/parser.h>
#include <libxml/threads.h>
#include <libxml/xmlmemory.h>
#include <pthread.h>

#include <cstdio>

#include "keel/os_net.h"
#include "keel/os_runtime.h"
#include "log/report.h"
#include "runtime/runtime_internal.h"
#include "sync/sync_internal.h"

namespace keel::rt {

// Both mutexes are usable from load, so an os_main_lock or a post that comes
// before os_startup neither crashes nor deadlocks.
os_mutex_t s_main_mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
os_mutex_t s_main_thread_mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
std::atomic<int> s_wnd{0};
adt_dlist_t *s_ls_client = nullptr;
adt_dlist_t *s_ls_server = nullptr;
adt_dlist_t *s_ls_udp_client = nullptr;
adt_dlist_t *s_ls_timer = nullptr;
int s_accept_by_select = 0;
int s_wsa_errno = 0;

namespace {

constexpr size_t kMainThreadStack = 0xA00000;  // 10 MiB: drain buffers live here
pthread_t s_main_thread;

// The main thread: creates the queue that stands for the worker window, then
// handles messages until the process ends.
void *main_thread_proc(void *) {
    keel::sync::block_raised_signals();
    if (!queue_open()) KEEL_FATAL("(s_wnd = MakeWorkerWindow()) == NULL");
    s_wnd.store(1, std::memory_order_release);
    Message msg;
    for (;;) {
        if (queue_get(&msg) == -1) KEEL_FATAL("GetMessage(&msg, NULL, 0, 0) == -1");
        worker_wnd_proc(msg);
    }
    return nullptr;
}

bool start_main_thread() {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setstacksize(&attr, kMainThreadStack);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&s_main_thread, &attr, main_thread_proc, nullptr);
    pthread_attr_destroy(&attr);
    return rc == 0;
}

}  // namespace
}  // namespace keel::rt

using namespace keel::rt;

extern "C" {

KEEL_API int os_is_startup(void) { return s_wnd.load(std::memory_order_acquire) != 0 ? 1 : 0; }

KEEL_API int os_startup(int reserved1, int reserved2) {
    (void)reserved1;
    (void)reserved2;
    if (os_is_startup()) return 1;
    // s_main_mutex and s_main_thread_mutex are initialised statically as
    // re-entrant mutexes; initialising them again here could pull a mutex
    // from under a thread that already holds it.

    xmlInitGlobals();
    xmlInitMemory();
    xmlInitParser();
    xmlInitThreads();

    s_ls_client = adt_dlist_create(8);
    s_ls_server = adt_dlist_create(8);
    s_ls_udp_client = adt_dlist_create(8);

    // One main thread for the process, also when an earlier start-up gave up
    // waiting for it. A thread that cannot start shows as the expired wait.
    static std::atomic<bool> s_main_thread_started{false};
    if (!s_main_thread_started.exchange(true)) start_main_thread();
    int waits = 0;
    do {
        os_sleep(100);  // the first look comes after one full sleep
    } while (++waits < 100 && !os_is_startup());
    if (!os_is_startup()) return 0;

    s_ls_timer = adt_dlist_create(8);
    if (!tick_start()) KEEL_FATAL("timeSetEvent(on_timer_proc) == 0");
    posted_funcs_open();

    // Only whether the marker can be opened counts, never what it holds.
    if (FILE *marker = fopen("select_config.json", "r")) {
        s_accept_by_select = 1;
        fclose(marker);
    }
    return 1;
}

// Each close takes its record out of the list, so the loops end when nothing
// listens and nothing is open. TCP connections are left alone.
KEEL_API int os_cleanup(void) {
    // Under the main lock, so that no other thread destroys the record
    // between the look at the list and its close.
    os_main_lock();
    if (s_ls_server != nullptr)
        while (adt_dlist_node_t *node = adt_dlist_head(s_ls_server))
            os_tcp_server_close(*static_cast<os_tcp_server_t **>(adt_dlist_getdata(node)));
    if (s_ls_udp_client != nullptr)
        while (adt_dlist_node_t *node = adt_dlist_head(s_ls_udp_client))
            os_udp_client_close(*static_cast<os_udp_client_t **>(adt_dlist_getdata(node)));
    os_main_unlock();
    return 1;
}

KEEL_API void os_main_lock(void) { os_mutex_lock(&s_main_mutex); }

KEEL_API void os_main_unlock(void) { os_mutex_unlock(&s_main_mutex); }

}  // extern "C"
