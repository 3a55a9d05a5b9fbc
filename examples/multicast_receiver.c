/* Receives the datagrams sent to an IPv4 multicast group and prints them.
 *
 *   keel_multicast_receiver [group] [port] [interface]
 *                           (default 239.255.0.1 7500 127.0.0.1)
 *
 * Start several: they all share the port and each gets every datagram.
 * keel_multicast_sender is the other half. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include "keel.h"

static void on_read(os_udp_client_t *client, void *arg) {
    (void)arg;
    char data[65536], ip[16];
    uint16_t port;
    int n;
    /* One datagram per read; take all that wait. */
    while ((n = os_udp_client_read(client, data, sizeof data - 1, ip, &port)) > 0) {
        data[n] = '\0';
        printf("receiver: %d bytes from %s:%u: %s\n", n, ip, port, data);
        fflush(stdout);
    }
}

/* Ctrl-C or SIGTERM ends the run in main(). */
static void on_stop_signal(int signo, void *arg) {
    (void)signo;
    (void)arg;
    os_stop(0);
}

int main(int argc, char **argv) {
    const char *group = argc > 1 ? argv[1] : "239.255.0.1";
    int port = argc > 2 ? atoi(argv[2]) : 7500;
    const char *iface = argc > 3 ? argv[3] : "127.0.0.1";
    log_start(0, LOG_LEVEL_WARN);
    if (!os_startup(0, 0)) return 1;
    os_signal_bind(SIGINT, on_stop_signal, NULL);
    os_signal_bind(SIGTERM, on_stop_signal, NULL);
    os_udp_client_t *client = os_udp_client_create();
    if (client == NULL) return 1;
    os_udp_client_set_local(client, "", (uint16_t)port);
    /* Joining before the open lets other receivers bind the same port. */
    if (!os_udp_client_set_multicast(client, group, iface)) return 1;
    os_udp_client_bind_read(client, on_read, NULL);
    if (!os_udp_client_open(client)) return 1;
    printf("receiver: joined %s on %s, port %d\n", group, iface, port);
    fflush(stdout);
    return os_run(); /* the main thread does the work, until Ctrl-C or SIGTERM */
}
