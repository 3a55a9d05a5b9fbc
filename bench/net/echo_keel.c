/* Echo server on Keel's TCP server and clients. Usage: echo_keel PORT
 * [CERT KEY] (on 127.0.0.1); with a certificate and key it speaks TLS, through
 * the same calls (tls_run.sh). Connections are accepted at once when the
 * current directory holds select_config.json at start-up, else on the
 * one-second tick; the scripts start it in a directory of either kind.
 * The library reports each connection its peer ends on standard error; with
 * ECHO_KEEL_QUIET set in the environment only fatal reports are written, so
 * that what the report costs can be told from the rest. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "keel/log.h"
#include "keel/os_net.h"
#include "keel/os_runtime.h"

/* What a send did not take, kept as the client's user data until the write
 * callback has sent it: an idle connection holds nothing of ours. */
struct queued {
    uint32_t len, off;
    char data[];
};

/* Every callback runs on the library's main thread: one buffer serves all. */
static char buf[65536];

/* Appends bytes to the client's queue; 0, or -1 when out of memory. */
static int enqueue(os_tcp_client_t *client, const char *data, uint32_t len) {
    struct queued *q = os_tcp_client_get_udata(client);
    uint32_t have = q ? q->len - q->off : 0;
    struct queued *nq = malloc(sizeof *nq + have + len);
    if (!nq) return -1;
    if (have) memcpy(nq->data, q->data + q->off, have);
    memcpy(nq->data + have, data, len);
    nq->len = have + len;
    nq->off = 0;
    free(q);
    os_tcp_client_set_udata(client, nq);
    return 0;
}

/* Sends data, or queues it behind what is queued already (keeping the order).
 * After a short send it sends again until the socket takes no more: only a
 * send that would block (0) promises the write callback. 0, or -1 to close. */
static int echo(os_tcp_client_t *client, const char *data, uint32_t len) {
    if (os_tcp_client_get_udata(client)) return enqueue(client, data, len);
    while (len > 0) {
        int sent = os_tcp_client_send(client, data, len);
        if (sent < 0) return -1;
        if (sent == 0) return enqueue(client, data, len);
        data += sent;
        len -= (uint32_t)sent;
    }
    return 0;
}

/* Echoes what waits. Reading goes on while a queue waits: the load generator
 * bounds what a peer has in flight, so the queue stays small. */
static int on_read(os_tcp_client_t *client, void *arg) {
    (void)arg;
    for (;;) {
        int n = os_tcp_client_read(client, buf, sizeof buf);
        if (n < 0) return -1; /* the peer closed: let the library close */
        if (n == 0) return 0;
        if (echo(client, buf, (uint32_t)n) < 0) return -1;
        /* A short read means nothing more waits now (over TLS the library
         * calls again while records wait in the session): no extra read to
         * learn it. */
        if ((size_t)n < sizeof buf) return 0;
    }
}

/* The socket takes data again: send the rest of the queue. */
static void on_write(os_tcp_client_t *client, void *arg) {
    (void)arg;
    struct queued *q = os_tcp_client_get_udata(client);
    while (q && q->off < q->len) {
        int sent = os_tcp_client_send(client, q->data + q->off, q->len - q->off);
        if (sent <= 0) return; /* full again (another write callback follows) or failed */
        q->off += (uint32_t)sent;
    }
    free(q);
    os_tcp_client_set_udata(client, NULL);
}

static void on_disconnect(os_tcp_client_t *client, void *arg) {
    (void)arg;
    free(os_tcp_client_get_udata(client));
    os_tcp_client_set_udata(client, NULL);
}

static void on_accept(os_tcp_server_t *server, os_tcp_client_t *client, void *arg) {
    (void)server;
    (void)arg;
    os_tcp_client_bind_read(client, on_read, NULL);
    os_tcp_client_bind_write(client, on_write, NULL);
    os_tcp_client_bind_disconnect(client, on_disconnect, NULL);
}

int main(int argc, char **argv) {
    if (argc != 2 && argc != 4) {
        fprintf(stderr, "usage: echo_keel PORT [CERT KEY]\n");
        return 2;
    }
    if (getenv("ECHO_KEEL_QUIET") != NULL) log_start(0, LOG_LEVEL_FATAL);
    if (!os_startup(0, 0)) {
        fprintf(stderr, "echo_keel: the runtime did not start\n");
        return 1;
    }
    os_tcp_server_t *server = os_tcp_server_create();
    os_tcp_server_set_local(server, "127.0.0.1", (uint16_t)atoi(argv[1]));
    os_tcp_server_bind_accept(server, on_accept, NULL);
    if (argc == 4 && !os_tcp_server_set_tls(server, argv[2], argv[3], NULL)) {
        fprintf(stderr, "echo_keel: cannot use %s and %s\n", argv[2], argv[3]);
        return 1;
    }
    if (!os_tcp_server_open(server)) {
        fprintf(stderr, "echo_keel: cannot listen on port %s\n", argv[1]);
        return 1;
    }
    for (;;) pause(); /* the library's main thread does the work */
}
