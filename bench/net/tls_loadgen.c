/* Load generator for the TLS echo servers: loadgen.c's loop with every byte
 * going through OpenSSL. One thread, one edge-triggered epoll loop, many
 * connections to 127.0.0.1, TLS 1.3 only, no session resumption.
 *
 *   tls_loadgen MODE -p PORT [-c CONNS] [-d SECS] [-w SECS] [-P PID]
 *
 *   pingpong   CONNS connections; each sends 64 bytes, waits for the echo, repeats
 *   pump       CONNS connections; 8 KiB writes, at most 64 KiB unechoed each
 *   handshake  CONNS at a time: connect, full handshake, one 64-byte echo,
 *              close_notify, close
 *
 * As in loadgen.c: every connection first completes one echo (so its
 * handshake is done before the clock starts), then -w seconds of warm-up,
 * then -d seconds measured, with the server's CPU time and resident memory
 * read at the edges of that window when -P is given. Every echoed byte is
 * checked against what was sent; a connection whose echo differs is closed
 * and counted as wrong. Prints one line of name=value pairs for tls_run.sh. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "loadgen_common.h"

#define REQ 64
#define CHUNK 8192
#define PUMP_WINDOW (64 * 1024)
/* Connects and handshakes under way at once while the connections are set
 * up: more would overflow the listen backlog. */
#define MAX_CONNECTING 256
#define PRIME_DEADLINE_S 30

enum mode { PINGPONG, PUMP, HANDSHAKE };
enum state { IDLE, CONNECTING, HANDSHAKING, OPEN, CLOSED };

struct conn {
    int fd;
    SSL *ssl;
    enum state state;
    int busy;         /* a request is out and its echo not complete */
    int primed;       /* one echo done: the server has accepted it */
    uint32_t got;     /* bytes of the current echo received */
    int64_t sent_at;  /* ns; in handshake mode, when the connect began */
    int64_t inflight; /* pump: bytes written and not yet echoed */
    uint64_t rx_off;  /* pump: echoed bytes so far, to check them against what was sent */
};

static enum mode mode;
static int nconns = 1;
static double secs = 3, warm = 1;

static SSL_CTX *ctx;
static int ep;
static struct conn *cs;
static int connecting, primed;
static int64_t t_start = INT64_MAX, t_end = INT64_MAX;
static int measuring;
static uint64_t done, bytes, errors, wrong;
static char junk[CHUNK], rbuf[65536];

/* ---- our own figures ---- */

/* Our own CPU time, to tell whether the load generator set the pace. */
static double self_cpu_s(void) {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

/* ---- connections ---- */

static void drop(struct conn *c, int failed) {
    if (c->state == CONNECTING || c->state == HANDSHAKING) connecting--;
    if (c->ssl) SSL_free(c->ssl);
    c->ssl = NULL;
    close(c->fd); /* also leaves the epoll set */
    c->fd = -1;
    c->state = CLOSED;
    c->busy = 0;
    if (failed) errors++;
    ERR_clear_error(); /* a failed connection must not colour the next one's errors */
}

static void start_connect(struct conn *c) {
    struct sockaddr_in sa = {.sin_family = AF_INET, .sin_port = htons(port)};
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    c->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c->fd < 0) {
        perror("socket");
        exit(1);
    }
    setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    c->state = CONNECTING;
    c->got = 0;
    c->busy = 0;
    c->inflight = 0;
    c->sent_at = now_ns();
    connecting++;
    if (connect(c->fd, (struct sockaddr *)&sa, sizeof sa) < 0 && errno != EINPROGRESS) {
        drop(c, 1);
        return;
    }
    /* Both directions, edge-triggered, for the connection's whole life: an
     * edge comes only when something changed, so nothing wakes us for free. */
    struct epoll_event ev = {.events = EPOLLIN | EPOLLOUT | EPOLLET, .data.ptr = c};
    if (epoll_ctl(ep, EPOLL_CTL_ADD, c->fd, &ev) < 0) {
        perror("epoll_ctl");
        exit(1);
    }
}

static void send_request(struct conn *c) {
    /* An empty send buffer always takes one small record. */
    if (SSL_write(c->ssl, junk, REQ) != REQ) {
        drop(c, 1);
        return;
    }
    c->busy = 1;
    c->got = 0;
    if (mode != HANDSHAKE) c->sent_at = now_ns();
}

/* 1 when SSL's result only means "not now". */
static int would_block(struct conn *c, int r) {
    int e = SSL_get_error(c->ssl, r);
    return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE;
}

/* Writes 8 KiB records while the window allows; returns how many bytes. A
 * write that would block keeps its record inside OpenSSL, and the next call
 * repeats it with the same (static) chunk, as OpenSSL requires. */
static int64_t pump_fill(struct conn *c) {
    int64_t wrote = 0;
    while (c->inflight + CHUNK <= PUMP_WINDOW) {
        int n = SSL_write(c->ssl, junk, CHUNK);
        if (n <= 0) {
            if (!would_block(c, n)) drop(c, 1);
            break;
        }
        c->inflight += n;
        wrote += n;
    }
    return wrote;
}

/* The stream is the chunk over and over: echoed bytes must match it where
 * they stand in it. */
static int stream_ok(struct conn *c, const char *p, size_t n) {
    while (n > 0) {
        size_t at = (size_t)(c->rx_off % CHUNK), k = CHUNK - at < n ? CHUNK - at : n;
        if (memcmp(p, junk + at, k) != 0) return 0;
        c->rx_off += k;
        p += k;
        n -= k;
    }
    return 1;
}

/* Reads until OpenSSL needs the socket and it is empty; bytes that came back. */
static int64_t pump_read(struct conn *c) {
    int64_t got = 0;
    for (;;) {
        int n = SSL_read(c->ssl, rbuf, sizeof rbuf);
        if (n > 0) {
            if (!stream_ok(c, rbuf, (size_t)n)) {
                wrong++;
                drop(c, 1);
                return got;
            }
            c->inflight -= n;
            got += n;
            if (measuring) bytes += (uint64_t)n;
            continue;
        }
        if (!would_block(c, n)) drop(c, 1);
        return got;
    }
}

static void pump(struct conn *c) {
    int64_t got = pump_read(c);
    if (c->state != OPEN) return;
    if (pump_fill(c) == 0 && got > 0 && c->state == OPEN) {
        /* As in loadgen.c: echoed bytes came but left no room for a chunk,
         * so none of our data carries their ack; the server's Nagle would
         * wait for a delayed ack. Ack at once. */
        int one = 1;
        setsockopt(c->fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    }
}

/* The echo of a request is complete. */
static void echoed(struct conn *c) {
    int64_t t = now_ns();
    c->busy = 0;
    if (measuring) {
        done++;
        record_latency(t - c->sent_at);
    }
    if (mode == HANDSHAKE) {
        SSL_shutdown(c->ssl); /* our close_notify; the server's answer is not waited for */
        drop(c, 0);
        return;
    }
    if (!c->primed) {
        c->primed = 1;
        primed++;
        if (mode == PUMP) { /* from now on a stream, not requests */
            c->rx_off = 0;
            pump_fill(c);
            return;
        }
    }
    send_request(c);
}

/* Requests: reads until the echo is complete. The server sends nothing more
 * until the next request (its session tickets come before the first echo),
 * so a complete echo with nothing left inside OpenSSL means the socket is
 * empty: no extra read to learn it. */
static void read_echo(struct conn *c) {
    for (;;) {
        int n = SSL_read(c->ssl, rbuf, sizeof rbuf);
        if (n <= 0) {
            if (!would_block(c, n)) drop(c, 1);
            return;
        }
        if (c->got + (uint32_t)n > REQ || memcmp(rbuf, junk + c->got, (size_t)n) != 0) {
            wrong++; /* more than was asked, or other bytes: not an echo */
            drop(c, 1);
            return;
        }
        c->got += (uint32_t)n;
        if (c->got < REQ) continue;
        echoed(c);
        if (c->state != OPEN || (c->primed && mode == PUMP)) return;
        if (!SSL_has_pending(c->ssl)) return;
    }
}

static void handshake(struct conn *c) {
    int r = SSL_do_handshake(c->ssl);
    if (r != 1) {
        if (!would_block(c, r)) drop(c, 1);
        return;
    }
    connecting--;
    c->state = OPEN;
    send_request(c);
}

static void on_event(struct conn *c, uint32_t events) {
    if (c->state == CONNECTING) {
        if (!(events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err || (events & (EPOLLERR | EPOLLHUP))) {
            drop(c, 1);
            return;
        }
        c->ssl = SSL_new(ctx);
        if (!c->ssl || !SSL_set_fd(c->ssl, c->fd)) {
            drop(c, 1);
            return;
        }
        SSL_set_connect_state(c->ssl);
        c->state = HANDSHAKING;
    }
    if (c->state == HANDSHAKING) {
        handshake(c);
        if (c->state != OPEN) return;
        /* The request just went out: its echo brings an edge of its own. */
        return;
    }
    if (c->primed && mode == PUMP)
        pump(c);
    else
        read_echo(c);
}

static const char *mode_name[] = {"pingpong", "pump", "handshake"};

static void usage(void) {
    fprintf(stderr, "usage: tls_loadgen pingpong|pump|handshake -p PORT [-c CONNS] [-d SECS] [-w SECS] "
                    "[-P SERVER_PID]\n");
    exit(2);
}

int main(int argc, char **argv) {
    if (argc < 2) usage();
    int m;
    for (m = 0; m < 3 && strcmp(argv[1], mode_name[m]) != 0; m++) {}
    if (m == 3) usage();
    mode = (enum mode)m;
    int o;
    optind = 2;
    while ((o = getopt(argc, argv, "p:c:d:w:P:")) != -1) {
        switch (o) {
        case 'p': port = atoi(optarg); break;
        case 'c': nconns = atoi(optarg); break;
        case 'd': secs = atof(optarg); break;
        case 'w': warm = atof(optarg); break;
        case 'P': server_pid = atoi(optarg); break;
        default: usage();
        }
    }
    if (port <= 0 || nconns <= 0 || secs <= 0) usage();
    /* Bytes that do not repeat within a chunk, so that a lost, doubled or
     * misplaced piece of an echo shows. */
    uint32_t x = 2463534242u;
    for (size_t i = 0; i < sizeof junk; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        junk[i] = (char)x;
    }
    signal(SIGPIPE, SIG_IGN);

    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }

    /* The servers' certificate is not checked: the figure is the server's
     * work, and a chain check is the client's. The handshake signature is
     * still verified, as TLS 1.3 always does. No session is kept, so every
     * handshake is a full one. */
    ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx || !SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) ||
        !SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION)) {
        fprintf(stderr, "tls_loadgen: no TLS 1.3 context\n");
        return 1;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, NULL);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    /* Whole socket reads instead of a header and a body per record. */
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

    if (!wait_for_server()) {
        printf("mode=%s conns=%d error=no-server\n", mode_name[mode], nconns);
        return 1;
    }

    ep = epoll_create1(EPOLL_CLOEXEC);
    cs = calloc((size_t)nconns, sizeof *cs);
    for (int i = 0; i < nconns; i++) cs[i].fd = -1;
    long rss0 = server_pid ? server_rss_kb() : -1;
    long cpu0 = -1, cpu1 = -1, rss1 = -1;
    double self0 = 0, self1 = 0;

    int64_t t0 = now_ns();
    int next_connect = 0;
    if (mode == HANDSHAKE) t_start = t0 + (int64_t)(warm * 1e9);

    struct epoll_event evs[512];
    for (;;) {
        int64_t t = now_ns();
        while (next_connect < nconns && (mode == HANDSHAKE || connecting < MAX_CONNECTING))
            start_connect(&cs[next_connect++]);
        if (mode == HANDSHAKE)
            for (int i = 0; i < nconns; i++)
                if (cs[i].state == CLOSED) start_connect(&cs[i]);
        if (mode != HANDSHAKE && t_start == INT64_MAX) {
            if (primed == nconns - (int)errors && next_connect == nconns && primed > 0) {
                t_start = t + (int64_t)(warm * 1e9);
            } else if (t - t0 > (int64_t)PRIME_DEADLINE_S * 1000000000 || primed + (int)errors >= nconns) {
                printf("mode=%s conns=%d error=prime-failed primed=%d errors=%llu\n", mode_name[mode], nconns,
                       primed, (unsigned long long)errors);
                return 1;
            }
        }
        if (!measuring && t >= t_start) {
            measuring = 1;
            t_start = t;
            t_end = t + (int64_t)(secs * 1e9);
            self0 = self_cpu_s();
            if (server_pid) cpu0 = server_cpu_ticks();
        }
        if (measuring && t >= t_end) {
            self1 = self_cpu_s();
            if (server_pid) {
                cpu1 = server_cpu_ticks();
                rss1 = server_rss_kb();
            }
            t_end = t;
            break;
        }
        int timeout = 100;
        int64_t edge = measuring ? t_end : t_start;
        if (edge != INT64_MAX && (edge - t) / 1000000 < timeout) timeout = (int)((edge - t) / 1000000);
        int n = epoll_wait(ep, evs, 512, timeout);
        if (n < 0 && errno != EINTR) {
            perror("epoll_wait");
            return 1;
        }
        for (int i = 0; i < n; i++) {
            struct conn *c = evs[i].data.ptr;
            if (c->state != CLOSED) on_event(c, evs[i].events);
        }
    }

    /* A server that stopped answering leaves an empty window: say so rather
     * than print a rate of 0 that reads as a figure. */
    double window = (double)(t_end - t_start) / 1e9;
    qsort(lat, nlat, sizeof *lat, cmp_u32);
    double cpu_s = cpu0 >= 0 && cpu1 >= 0 ? (double)(cpu1 - cpu0) / (double)sysconf(_SC_CLK_TCK) : -1;
    printf("mode=%s conns=%d secs=%.3f done=%llu rate=%.1f p50_us=%.1f p99_us=%.1f mbps=%.2f", mode_name[mode],
           nconns, window, (unsigned long long)done, (double)done / window, percentile_us(0.50),
           percentile_us(0.99), (double)bytes / window / 1e6);
    if (server_pid)
        printf(" cpu_s=%.2f cpu_us_per_event=%.3f rss0_kb=%ld rss_kb=%ld", cpu_s,
               done ? cpu_s * 1e6 / (double)done : 0, rss0, rss1);
    printf(" load_cpu_s=%.2f errors=%llu wrong=%llu", self1 - self0, (unsigned long long)errors,
           (unsigned long long)wrong);
    if (done == 0 && (mode != PUMP || bytes == 0)) printf(" error=stalled");
    printf("\n");
    return 0;
}
