/* The demo's TCP section: the echo server of echo_server.c runs as a child
 * process, and a client on the library makes a few round trips to it. */
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#define close closesocket
#else
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "demo.h"
#include "keel.h"

static _Atomic int round_trips;
static _Atomic int finished;

static void send_round(os_tcp_client_t *client) {
    char line[32];
    int n = snprintf(line, sizeof line, "round trip %d", round_trips + 1);
    os_tcp_client_send(client, line, (uint32_t)n);
}

static void on_connect(os_tcp_client_t *client, void *arg) {
    (void)arg;
    send_round(client);
}

static int on_read(os_tcp_client_t *client, void *arg) {
    (void)arg;
    char echo[64];
    int n = os_tcp_client_read(client, echo, sizeof echo - 1);
    if (n <= 0) return n;
    echo[n] = '\0';
    printf("client: echo of \"%s\"\n", echo);
    fflush(stdout);
    if (++round_trips < 3) {
        send_round(client);
        return 0;
    }
    return -1; /* enough: the library closes the connection */
}

static void on_disconnect(os_tcp_client_t *client, void *arg) {
    (void)client;
    (void)arg;
    finished = 1;
}

/* A port nobody holds right now. */
static uint16_t free_port(void) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    socklen_t len = sizeof a;
    bind(fd, (struct sockaddr *)&a, len);
    getsockname(fd, (struct sockaddr *)&a, &len);
    close(fd);
    return ntohs(a.sin_port);
}

void demo_tcp(void) {
    demo_section("TCP: the echo server and a client");
    char dir[4096], cmdline[4200];
    os_get_work_path(dir, sizeof dir);
    uint16_t port = free_port();
    snprintf(cmdline, sizeof cmdline, "\"%s/keel_echo_server\" %u", dir, port);
    os_proc_t *server = os_exec_process_ex(cmdline);
    if (server == NULL) return;

    os_tcp_client_t *client = os_tcp_client_create();
    os_tcp_client_set_remote(client, "127.0.0.1", port);
    os_tcp_client_bind_connect(client, on_connect, NULL);
    os_tcp_client_bind_read(client, on_read, NULL);
    os_tcp_client_bind_disconnect(client, on_disconnect, NULL);
    /* Refused connects (tried before the server listens) and the end of the
     * connection are reported at the error level: keep the section short. */
    log_start(0, LOG_LEVEL_FATAL);
    for (int tries = 0; tries < 50 && os_tcp_client_get_status(client) != TCP_CLIENT_STATUS_CONNECT; ++tries) {
        os_tcp_client_close(client); /* a refused connect leaves the client connecting */
        finished = 0;
        os_tcp_client_open(client, -1);
        os_sleep(100);
    }
    for (int waited = 0; !finished && waited < 50; ++waited) os_sleep(100);
    printf("client: %d round trips, then closed\n", round_trips);
    os_tcp_client_destroy(client);
    os_sleep(100); /* the server's line about the closed connection */
#ifdef _WIN32
    TerminateProcess(server->hprocess, 0); /* a Ctrl-C event would reach the demo too: they share a console */
#else
    kill(server->hprocess, SIGTERM);
#endif
    os_exec_destroy(server);
    log_start(0, LOG_LEVEL_WARN);
}
