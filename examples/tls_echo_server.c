/* A TLS echo server on Keel: every byte a client sends comes back to it,
 * encrypted both ways. The calls and callbacks are those of the plain echo
 * server; only os_tcp_server_set_tls is new.
 *
 *   keel_tls_echo_server cert.pem key.pem [port]   (default 7443; 127.0.0.1)
 *
 * Try it with a certificate of your own:
 *   openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
 *       -keyout key.pem -out cert.pem -days 30 -subj /CN=localhost
 *   keel_tls_echo_server cert.pem key.pem &
 *   openssl s_client -connect 127.0.0.1:7443 -CAfile cert.pem -verify_hostname localhost
 * On Windows (keel_tls_echo_server.exe beside keel.dll) the key must be an
 * RSA key: -newkey rsa:2048 instead of the two ec options.
 *
 * The accept callback comes once a client's handshake is done; a client
 * that fails it, or takes longer than 10 seconds, never reaches it. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "keel.h"

struct connection {
    char pending[65536]; /* echo bytes the socket did not take yet */
    uint32_t used;
};

static void flush(os_tcp_client_t *client) {
    struct connection *conn = os_tcp_client_get_udata(client);
    while (conn->used > 0) {
        int n = os_tcp_client_send(client, conn->pending, conn->used);
        if (n <= 0) return; /* 0: would block; the write callback resumes */
        memmove(conn->pending, conn->pending + n, conn->used - (uint32_t)n);
        conn->used -= (uint32_t)n;
    }
}

static int on_read(os_tcp_client_t *client, void *arg) {
    (void)arg;
    struct connection *conn = os_tcp_client_get_udata(client);
    int n;
    /* Read only what the buffer can hold: the rest waits in the socket and
     * raises another read event once we have sent some. */
    while (conn->used < sizeof conn->pending &&
           (n = os_tcp_client_read(client, conn->pending + conn->used,
                                   (uint32_t)(sizeof conn->pending - conn->used))) != 0) {
        if (n < 0) { /* the peer closed or the connection failed */
            flush(client);
            return -1;
        }
        conn->used += (uint32_t)n;
        flush(client);
    }
    return 0;
}

static void on_write(os_tcp_client_t *client, void *arg) {
    (void)arg;
    flush(client);
    on_read(client, NULL); /* data held back while the buffer was full */
}

static void on_disconnect(os_tcp_client_t *client, void *arg) {
    (void)arg;
    char ip[64];
    uint16_t port;
    os_tcp_client_get_remote(client, ip, &port);
    printf("tls echo server: %s:%u left\n", ip, port);
    fflush(stdout);
    free(os_tcp_client_get_udata(client)); /* the library frees the client itself */
}

static void on_accept(os_tcp_server_t *server, os_tcp_client_t *client, void *arg) {
    (void)server;
    (void)arg;
    char ip[64];
    uint16_t port;
    os_tcp_client_get_remote(client, ip, &port);
    printf("tls echo server: %s:%u connected\n", ip, port);
    fflush(stdout);
    os_tcp_client_set_udata(client, calloc(1, sizeof(struct connection)));
    os_tcp_client_bind_read(client, on_read, NULL);
    os_tcp_client_bind_write(client, on_write, NULL);
    os_tcp_client_bind_disconnect(client, on_disconnect, NULL);
}

/* Ctrl-C or SIGTERM ends the run in main(). */
static void on_stop_signal(int signo, void *arg) {
    (void)signo;
    (void)arg;
    os_stop(0);
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: keel_tls_echo_server cert.pem key.pem [port]\n");
        return 2;
    }
    int port = argc > 3 ? atoi(argv[3]) : 7443;
    /* Errors are shown: a handshake that fails says why. The end of every
     * connection is reported at that level too. */
    log_start(0, LOG_LEVEL_ERROR);
    /* Each client is accepted the moment it connects, not on the next tick. */
    os_set_accept_mode(OS_ACCEPT_AT_ONCE);
    if (!os_startup(0, 0)) return 1;
    os_signal_bind(SIGINT, on_stop_signal, NULL);
    os_signal_bind(SIGTERM, on_stop_signal, NULL);
    os_tcp_server_t *server = os_tcp_server_create();
    os_tcp_server_set_local(server, "127.0.0.1", (uint16_t)port);
    os_tcp_server_bind_accept(server, on_accept, NULL);
    /* The files are read here: a missing file or a key that does not match
     * the certificate is reported now, not at the first client. */
    if (!os_tcp_server_set_tls(server, argv[1], argv[2], NULL)) return 1;
    if (!os_tcp_server_open(server)) {
        fprintf(stderr, "tls echo server: cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    printf("tls echo server: listening on 127.0.0.1:%d\n", port);
    fflush(stdout);
    return os_run(); /* the main thread does the work, until Ctrl-C or SIGTERM */
}
