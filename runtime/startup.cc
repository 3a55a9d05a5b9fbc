// Start-up: the runtime's statics, the main thread, the one-second tick and
// the network side's lists. The runtime is started once and never taken down.
#if KEEL_WITH_LIBXML2
#include <libxml/parser.h>
#include <libxml/threads.h>
#include <libxml/xmlmemory.h>
#endif

#include <cstdio>

#include "keel/os_runtime.h"
#include "log/report.h"
#include "runtime/net_hooks.h"
#include "runtime/runtime_internal.h"

namespace keel::rt {

std::atomic<int> s_wnd{0};
adt_dlist_t *s_ls_timer = nullptr;
int s_wsa_errno = 0;

}  // namespace keel::rt

using namespace keel::rt;

extern "C" {

KEEL_API int os_is_startup(void) { return s_wnd.load(std::memory_order_acquire) != 0 ? 1 : 0; }

KEEL_API int os_startup(int reserved1, int reserved2) {
    (void)reserved1;
    (void)reserved2;
    if (os_is_startup()) return 1;
    // s_main_mutex is made before any call can reach it (main_lock.cc);
    // initialising it again here could pull it from under a thread that
    // already holds it.

#if KEEL_WITH_LIBXML2
    // The library uses nothing of libxml2, but its callers do, from several
    // threads: its global state must be set up once, before any of them
    // parses, and start-up is the one call every caller makes first.
    xmlInitGlobals();
    xmlInitMemory();
    xmlInitParser();
    xmlInitThreads();
#endif

    // Only whether the marker can be opened counts, never what it holds.
    bool accept_at_once = false;
    if (FILE *marker = fopen("select_config.json", "r")) {
        accept_at_once = true;
        fclose(marker);
    }
#if KEEL_WITH_NETWORK
    net_start(accept_at_once);
#else
    (void)accept_at_once;
#endif

    // One main thread for the process, also when an earlier start-up gave up
    // waiting for it. A thread that cannot start shows as the expired wait.
    static std::atomic<bool> s_main_thread_started{false};
    if (!s_main_thread_started.exchange(true)) start_main_thread();
    int waits = 0;
    do {
        os_sleep(100);  // the first look comes after one full sleep
    } while (++waits < 100 && !os_is_startup());
    if (!os_is_startup()) return 0;

    if (s_ls_timer == nullptr) s_ls_timer = adt_dlist_create(sizeof(void *));
    if (!tick_start()) KEEL_FATAL("timeSetEvent(on_timer_proc) == 0");
    posted_funcs_open();
    service_watchdog_start();
    return 1;
}

KEEL_API void os_main_lock(void) { os_mutex_lock(&s_main_mutex); }

KEEL_API void os_main_unlock(void) { os_mutex_unlock(&s_main_mutex); }

}  // extern "C"
