/* The runtime at work: functions posted from several threads run one at a
 * time on the library's main thread, and a timer fires on the one-second tick. */
#include <stdatomic.h>
#include <stdio.h>

#include "demo.h"
#include "keel.h"

static _Atomic int posted_runs;
static _Atomic int timer_runs;
static _Atomic uint32_t main_thread_id;

static void on_main_thread(void *arg) {
    main_thread_id = os_thread_self();
    ++posted_runs;
    if ((intptr_t)arg == 0) printf("posted function ran on thread %u\n", (unsigned)os_thread_self());
}

static uint32_t poster(void *arg) {
    for (int i = 0; i < 1000; ++i) os_post_func(on_main_thread, (void *)(intptr_t)(i + (intptr_t)arg));
    return 0;
}

static void on_tick(void *arg) {
    (void)arg;
    ++timer_runs;
    printf("timer fired (%d)\n", timer_runs);
}

void demo_runtime(void) {
    demo_section("runtime: posted functions and a timer");
    if (!os_startup(0, 0)) {
        printf("the runtime did not start\n");
        return;
    }
    printf("caller thread %u\n", (unsigned)os_thread_self());
    os_thread_t threads[3];
    for (int t = 0; t < 3; ++t) os_thread_create(&threads[t], 0, poster, (void *)(intptr_t)t);
    for (int t = 0; t < 3; ++t) os_thread_join(&threads[t]);
    while (posted_runs < 3000) os_sleep(10);
    printf("3 threads posted 3000 functions; all ran on thread %u\n", (unsigned)main_thread_id);

    os_timer_t *timer = os_timer_create(on_tick, 1000, NULL);
    for (int waited = 0; timer_runs < 2 && waited < 50; ++waited) os_sleep(100);
    os_timer_destroy(timer);
}
