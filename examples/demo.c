/* A walk through Keel: each section shows one family of the library at work. */
#include <errno.h>
#include <stdio.h>

#include "demo.h"
#include "keel.h"

void demo_section(const char *title) {
    fflush(stderr);
    printf("\n== %s ==\n", title);
    fflush(stdout);
}

/* --- reporting frame and message families --- */

static void show_logging(void) {
    demo_section("reporting frame");
    log_start(0, LOG_LEVEL_DEBUG);
    log_debug_ex(LOG_LEVEL_INFO, "demo.c", __LINE__, "an argument check would read: %s", "client == NULL");
    errno = ENOENT;
    log_debug_ex(LOG_LEVEL_ERROR, "demo.c", __LINE__, "a failed call carries errno's text");
    log_start(0, LOG_LEVEL_WARN);
    log_debug_ex(LOG_LEVEL_INFO, "demo.c", __LINE__, "below the threshold: never shown");
    log_start(0, LOG_LEVEL_DEBUG);

    demo_section("message families");
    log_msg("log_msg: a dated line");
    log_msg2("log_msg2: the same without the date");
    errno = EACCES;
    err_msg("err_msg: open %s", "demo.cfg");
    log_buf_lock();
    log_buf_date();
    log_buf_msg("built from pieces: ");
    for (int i = 1; i <= 3; ++i) log_buf_msg("%d ", i);
    log_buf_msg_unlock("done");
}

/* --- threads sharing a re-entrant mutex --- */

static os_mutex_t tally_lock;
static int tally;

static void add_one(void) {
    os_mutex_lock(&tally_lock); /* taken again by a thread that already holds it */
    ++tally;
    os_mutex_unlock(&tally_lock);
}

static uint32_t worker(void *arg) {
    int rounds = *(const int *)arg;
    for (int i = 0; i < rounds; ++i) {
        os_mutex_lock(&tally_lock);
        add_one();
        os_mutex_unlock(&tally_lock);
    }
    return 0;
}

static void show_threads(void) {
    demo_section("threads and a re-entrant mutex");
    os_mutex_init(&tally_lock, 0);
    int rounds = 100000;
    os_thread_t a, b;
    os_thread_create(&a, 0, worker, &rounds);
    os_thread_create(&b, 0, worker, &rounds);
    os_thread_join(&a);
    os_thread_join(&b);
    os_mutex_destroy(&tally_lock);
    printf("two threads counted to %d (expected %d)\n", tally, 2 * rounds);
}

int main(void) {
    show_logging();
    show_threads();
    demo_logfiles();
    demo_containers();
    demo_runtime();
    demo_tcp();
    demo_services();
    printf("\ndemo finished\n");
    return 0;
}
