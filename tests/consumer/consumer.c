/* A user of the installed library: starts the runtime, has a function run on
 * the main thread, opens a TCP server on the loopback address and connects to
 * it, which the accept callback must see. Built as strict C11 with pkg-config,
 * and as C++ through find_package(keel) (consumer.cc), so the installed
 * headers serve both languages, and with mingw-w64 against the Windows zip. */
#include <keel.h>
#include <stdio.h>
#include <time.h>

static os_native_condition_t s_done; /* set by each callback in turn */

static void on_main_thread(void *arg) {
    *(uint32_t *)arg = os_thread_self();
    os_native_condition_set(&s_done, 1);
}

static void on_accept(os_tcp_server_t *server, os_tcp_client_t *client, void *arg) {
    (void)server, (void)client, (void)arg;
    os_native_condition_set(&s_done, 1);
}

static int fail(const char *what) {
    fprintf(stderr, "consumer: %s\n", what);
    return 1;
}

int main(void) {
    /* The end of a connection is reported at the error level. */
    log_start(0, LOG_LEVEL_FATAL);
    uint32_t main_thread = 0;
    if (!os_set_accept_mode(OS_ACCEPT_AT_ONCE)) return fail("no accept mode");
    if (!os_startup(0, 0) || os_native_condition_init(&s_done) != 0 || !os_post_func(on_main_thread, &main_thread))
        return fail("no runtime");
    if (os_native_condition_wait(&s_done, 5000) != 0) return fail("the posted function did not run within 5 s");
    if (main_thread == 0 || main_thread == os_thread_self()) return fail("the posted function ran on this thread");
    os_native_condition_set(&s_done, 0);

    /* The client must know the port: the first of a range that is free. */
    os_tcp_server_t *server = os_tcp_server_create();
    os_tcp_server_bind_accept(server, on_accept, NULL);
    uint16_t port = 0;
    for (int i = 0; i < 100 && os_tcp_server_get_status(server) != TCP_SERVER_STATUS_LISTEN; ++i) {
        port = (uint16_t)(20000 + ((unsigned)time(NULL) + i * 7919u) % 40000);
        os_tcp_server_set_local(server, "127.0.0.1", port);
        os_tcp_server_open(server);
    }
    os_tcp_client_t *client = os_tcp_client_create();
    os_tcp_client_set_remote(client, "127.0.0.1", port);
    if (os_tcp_server_get_status(server) != TCP_SERVER_STATUS_LISTEN || !os_tcp_client_open(client, -1))
        return fail("no server on 127.0.0.1");
    if (os_native_condition_wait(&s_done, 10000) != 0) return fail("no connection accepted within 10 s");
    os_tcp_client_destroy(client);
    os_tcp_server_destroy(server);
    os_native_condition_uninit(&s_done);
    printf("consumer: posted function ran on the main thread, TCP server on 127.0.0.1:%u accepted\n", port);
    return 0;
}
