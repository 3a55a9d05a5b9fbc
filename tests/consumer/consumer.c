/* A user of the installed library, built with pkg-config only: starts the
 * runtime, has a function run on the main thread, opens a TCP server on the
 * loopback address. Compiled as strict C11, so the installed headers are
 * checked too. */
#include <stdio.h>

#include <keel.h>

static os_native_condition_t s_ran;

static void on_main_thread(void *arg) {
    *(uint32_t *)arg = os_thread_self();
    os_native_condition_set(&s_ran, 1);
}

int main(void) {
    log_start(0, LOG_LEVEL_WARN);
    if (!os_startup(0, 0) || os_native_condition_init(&s_ran) != 0) return 1;
    uint32_t main_thread = 0;
    if (!os_post_func(on_main_thread, &main_thread)) return 1;
    if (os_native_condition_wait(&s_ran, 5000) != 0) {
        fprintf(stderr, "consumer (C): the posted function did not run within 5 s\n");
        return 1;
    }
    if (main_thread == 0 || main_thread == os_thread_self()) return 1;

    os_tcp_server_t *server = os_tcp_server_create();
    os_tcp_server_set_local(server, "127.0.0.1", 0);
    if (!os_tcp_server_open(server) || os_tcp_server_get_status(server) != TCP_SERVER_STATUS_LISTEN) {
        fprintf(stderr, "consumer (C): no server on 127.0.0.1\n");
        return 1;
    }
    os_tcp_server_destroy(server);
    os_native_condition_uninit(&s_ran);
    printf("consumer (C): posted function ran on the main thread, TCP server listened on 127.0.0.1\n");
    return 0;
}
