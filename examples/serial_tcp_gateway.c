/* A serial-to-TCP gateway on Keel: every TCP client of 127.0.0.1:PORT gets
 * what the serial device sends, and what any client sends goes to the device.
 *
 *   keel_serial_tcp_gateway DEVICE BAUD PORT     (the line is 8N1)
 *
 * Every callback of the gateway runs on the runtime's main thread, one at a
 * time: the TCP callbacks, the posted functions, and the serial port's too,
 * which it asks for there (os_comm_client_set_main_thread). The port's I/O
 * thread only gathers what the device sends into the port's buffer, and the
 * read callback takes it from there straight into the clients' records. So
 * the gateway's state belongs to the main thread alone and needs no lock.
 *
 * Nothing is dropped on the way. What the serial send queue refuses (more
 * than MAX_COM_SEND_BUF_NUM items wait) stays in the client's record, and
 * that client is not read again until the port has taken it: the bytes wait
 * in the socket, and TCP holds the client back. What a client's socket does
 * not take waits in its record until the write callback; a client that falls
 * more than MAX_BEHIND bytes behind is disconnected, so that it holds back
 * neither the device nor the other clients. Bytes the device sends while no client is connected have nowhere
 * to go and are dropped, and a client that joins gets what arrives after it.
 *
 * A port opened by its path keeps every byte it receives also while it
 * writes (a numbered port would discard unread input before each write), so
 * the device may talk while clients send to it.
 *
 * When the device hangs up, the port is closed and opened again every 200 ms
 * until the device is back; meanwhile what clients send waits for it. What
 * the port had queued but not written when the device went is lost with it. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "keel.h"

#define MAX_BEHIND (8u << 20) /* bytes a client may have waiting for its socket */
#define TO_PORT_CHUNK 4096     /* one item of the serial send queue */

struct client {
    os_tcp_client_t *tcp;
    struct client *next;
    char name[32]; /* "127.0.0.1:5555", for the log */
    /* Device bytes its socket has not taken yet: out[start, end). */
    char *out;
    size_t start, end, cap;
    /* Bytes read from the client that the serial queue refused. */
    char held[TO_PORT_CHUNK];
    uint32_t held_len;
};

/* The gateway's state. It is the runtime main thread's: main() touches it
 * only before the port opens, and later with the main lock held. */
static struct {
    const char *device;
    os_comm_client_t *port; /* NULL once the gateway stops */
    int port_open;          /* 0 while the device is gone */
    struct client *clients;
    int count;
} gw;

/* ---- device to clients ---- */

/* Appends bytes to what waits for the client's socket; 0 when that would put
 * it more than MAX_BEHIND bytes behind. */
static int append_out(struct client *c, const char *data, size_t len) {
    size_t waiting = c->end - c->start;
    if (waiting + len > MAX_BEHIND) return 0;
    if (c->end + len > c->cap) {
        /* Move what waits to the front, and grow when that is not enough. */
        if (waiting > 0) memmove(c->out, c->out + c->start, waiting);
        c->start = 0;
        c->end = waiting;
        if (waiting + len > c->cap) {
            size_t cap = c->cap > 0 ? c->cap : 65536;
            while (cap < waiting + len) cap *= 2;
            char *grown = realloc(c->out, cap);
            if (grown == NULL) return 0;
            c->out = grown;
            c->cap = cap;
        }
    }
    memcpy(c->out + c->end, data, len);
    c->end += len;
    return 1;
}

/* Sends what waits until the socket takes no more. Only a send that would
 * block (0) promises the write callback, so a short send is tried again. */
static void flush_out(struct client *c) {
    while (c->start < c->end) {
        int n = os_tcp_client_send(c->tcp, c->out + c->start, (uint32_t)(c->end - c->start));
        if (n <= 0) return; /* 0: the write callback resumes; -1: the disconnect follows */
        c->start += (size_t)n;
    }
    c->start = c->end = 0;
}

/* Some of the device's bytes for every client. */
static void to_clients(const char *data, size_t len) {
    struct client *next;
    for (struct client *c = gw.clients; c != NULL; c = next) {
        next = c->next; /* a client closed below is freed by its disconnect callback */
        if (append_out(c, data, len)) {
            flush_out(c);
        } else {
            printf("gateway: %s too far behind, disconnected\n", c->name);
            fflush(stdout);
            os_tcp_client_close(c->tcp);
        }
    }
}

/* Takes every waiting byte: while the port's buffer is full, the port is
 * not read, and the device is held back. */
static int on_port_read(os_comm_client_t *port, void *arg) {
    (void)arg;
    char bytes[MAX_READ_BUF_SIZE];
    int n;
    while ((n = os_comm_client_read(port, bytes, sizeof bytes)) > 0) to_clients(bytes, (size_t)n);
    return 0;
}

/* ---- clients to device ---- */

/* 1 when the serial queue took the bytes; 0 when it is full or the device is
 * gone, and the caller keeps them. */
static int to_port(const char *data, uint32_t len) {
    return gw.port_open && os_comm_client_send(gw.port, data, len) == (int)len;
}

static int on_client_read(os_tcp_client_t *tcp, void *arg) {
    struct client *c = arg;
    while (c->held_len == 0) {
        int n = os_tcp_client_read(tcp, c->held, sizeof c->held);
        if (n < 0) return -1; /* the peer closed: the library ends the connection */
        if (n == 0) return 0;
        if (!to_port(c->held, (uint32_t)n)) {
            /* Kept until the port takes it; the rest stays in the socket. */
            c->held_len = (uint32_t)n;
            os_tcp_client_set_refuse_read(tcp, 1);
        }
    }
    return 0;
}

/* What the serial queue refused goes now, one client after another; a client
 * whose bytes went is read again. Called when the queue has drained, and on
 * every tick, which also covers a port that was opened again. */
static void resume_held(void) {
    for (struct client *c = gw.clients; c != NULL; c = c->next) {
        if (c->held_len == 0) continue;
        if (!to_port(c->held, c->held_len)) return; /* full again: the next drain goes on */
        c->held_len = 0;
        os_tcp_client_set_refuse_read(c->tcp, 0); /* queues a read of what waited */
    }
}

/* ---- the device's comings and goings ---- */

/* The hang-up comes after the last bytes read, so every client has had those
 * by now. Close joins the I/O thread, which is safe here: that thread never
 * waits for this one. */
static void port_gone(void) {
    if (gw.port == NULL || !gw.port_open) return;
    os_comm_client_close(gw.port);
    gw.port_open = 0;
    printf("gateway: %s gone\n", gw.device);
    fflush(stdout);
}

/* Every 200 ms, on a timer of the main thread's clock. */
static void tick(void *arg) {
    (void)arg;
    if (gw.port == NULL) return;
    if (!gw.port_open) {
        if (!os_comm_client_open(gw.port)) return; /* not back yet */
        gw.port_open = 1;
        printf("gateway: %s back\n", gw.device);
        fflush(stdout);
    }
    resume_held();
}

static void on_port_event(os_comm_client_t *port, int event, uint32_t lines, void *arg) {
    (void)port;
    (void)lines;
    (void)arg;
    if (event == OS_COMM_EVENT_HANGUP) port_gone();
    if (event == OS_COMM_EVENT_DRAINED) resume_held();
}

/* ---- TCP clients ---- */

static void on_client_write(os_tcp_client_t *tcp, void *arg) {
    (void)tcp;
    flush_out(arg);
}

static void on_disconnect(os_tcp_client_t *tcp, void *arg) {
    (void)tcp;
    struct client *c = arg;
    for (struct client **at = &gw.clients; *at != NULL; at = &(*at)->next)
        if (*at == c) {
            *at = c->next;
            break;
        }
    --gw.count;
    printf("gateway: %s left (%d client%s)\n", c->name, gw.count, gw.count == 1 ? "" : "s");
    fflush(stdout);
    free(c->out);
    free(c); /* the library frees the TCP client itself */
}

static void on_accept(os_tcp_server_t *server, os_tcp_client_t *tcp, void *arg) {
    (void)server;
    (void)arg;
    struct client *c = calloc(1, sizeof *c);
    if (c == NULL) {
        os_tcp_client_close(tcp);
        return;
    }
    char ip[16];
    uint16_t port = 0;
    os_tcp_client_get_remote(tcp, ip, &port);
    snprintf(c->name, sizeof c->name, "%s:%u", ip, port);
    c->tcp = tcp;
    c->next = gw.clients;
    gw.clients = c;
    ++gw.count;
    os_tcp_client_bind_read(tcp, on_client_read, c);
    os_tcp_client_bind_write(tcp, on_client_write, c);
    os_tcp_client_bind_disconnect(tcp, on_disconnect, c);
    printf("gateway: %s connected (%d client%s)\n", c->name, gw.count, gw.count == 1 ? "" : "s");
    fflush(stdout);
}

/* SIGINT and SIGTERM (Ctrl-C, systemctl stop) end the run in main(). */
static void on_stop_signal(int signo, void *arg) {
    (void)signo;
    (void)arg;
    os_stop(0);
}

int main(int argc, char **argv) {
    if (argc != 4 || atoi(argv[2]) < 1 || atoi(argv[3]) < 1 || atoi(argv[3]) > 65535) {
        fprintf(stderr, "usage: keel_serial_tcp_gateway DEVICE BAUD PORT\n");
        return 2;
    }
    gw.device = argv[1];
    int baud = atoi(argv[2]), port = atoi(argv[3]);

    /* The library reports a device that is not there yet, a full send queue
     * and the end of every connection; the gateway says what matters in its
     * own words. Each client is taken the moment it connects. */
    log_start(0, LOG_LEVEL_FATAL);
    os_set_accept_mode(OS_ACCEPT_AT_ONCE);
    if (!os_startup(0, 0)) return 1;
    /* Bound before any thread of the gateway's own starts (there is none). */
    os_signal_bind(SIGINT, on_stop_signal, NULL);
    os_signal_bind(SIGTERM, on_stop_signal, NULL);

    gw.port = os_comm_client_create_dev(gw.device, baud, 8, 'N', 1);
    os_comm_client_set_main_thread(gw.port, 1);
    os_comm_client_bind_read(gw.port, on_port_read, NULL);
    os_comm_client_bind_event(gw.port, on_port_event, NULL);
    os_tcp_server_t *server = os_tcp_server_create();
    os_tcp_server_set_local(server, "127.0.0.1", (uint16_t)port);
    os_tcp_server_bind_accept(server, on_accept, NULL);

    /* Held while the gateway starts: a hang-up of the new port must not be
     * handled before port_open says the port is open. */
    os_main_lock();
    gw.port_open = os_comm_client_open(gw.port);
    int listening = gw.port_open && os_tcp_server_open(server);
    os_main_unlock();
    if (!listening) {
        fprintf(stderr, "gateway: cannot %s\n", gw.port_open ? "listen on 127.0.0.1" : "open the device");
        return 1; /* the system releases the port and the socket */
    }
    printf("gateway: %s open at %d baud, 8N1; listening on 127.0.0.1:%d\n", gw.device, baud, port);
    fflush(stdout);
    os_timer_t *clock = os_timer_create_ms(tick, 200, NULL);
    os_service_ready(); /* under systemd (Type=notify): started; elsewhere nothing */

    int code = os_run(); /* until SIGINT or SIGTERM */

    /* With the main lock held no callback runs: the records can go. Each
     * close runs its disconnect callback here, which frees the record. */
    os_main_lock();
    os_timer_destroy(clock);
    os_tcp_server_destroy(server);
    while (gw.clients != NULL) os_tcp_client_close(gw.clients->tcp);
    os_comm_client_destroy(gw.port);
    gw.port = NULL;
    gw.port_open = 0;
    os_main_unlock();
    printf("gateway: stopped\n");
    return code;
}
