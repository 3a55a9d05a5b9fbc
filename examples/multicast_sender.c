/* Sends numbered lines to an IPv4 multicast group, one a second.
 *
 *   keel_multicast_sender [count] [group] [port] [interface]
 *                         (default 5 239.255.0.1 7500 127.0.0.1)
 *
 * keel_multicast_receiver prints what arrives. */
#include <stdio.h>
#include <stdlib.h>

#include "keel.h"

int main(int argc, char **argv) {
    int count = argc > 1 ? atoi(argv[1]) : 5;
    const char *group = argc > 2 ? argv[2] : "239.255.0.1";
    int port = argc > 3 ? atoi(argv[3]) : 7500;
    const char *iface = argc > 4 ? argv[4] : "127.0.0.1";
    log_start(0, LOG_LEVEL_WARN);
    if (!os_startup(0, 0)) return 1;
    os_udp_client_t *client = os_udp_client_create();
    if (client == NULL) return 1;
    /* Joining names the interface the datagrams leave by. */
    if (!os_udp_client_set_multicast(client, group, iface) || !os_udp_client_open(client)) return 1;
    for (int i = 1; i <= count; ++i) {
        char line[64];
        int n = snprintf(line, sizeof line, "hello %d of %d", i, count);
        int sent = os_udp_client_send(client, line, (uint32_t)n, group, (uint16_t)port);
        printf("sender: \"%s\" to %s:%d: %s\n", line, group, port, sent == n ? "sent" : "not sent");
        fflush(stdout);
        if (i < count) os_sleep(1000);
    }
    os_udp_client_destroy(client);
    return 0;
}
