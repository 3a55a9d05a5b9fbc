/* Load generator for the echo servers: one thread, one epoll loop, many
 * connections to 127.0.0.1. One program drives every server the same way.
 *
 *   loadgen MODE -p PORT [-c CONNS] [-d SECS] [-w SECS] [-r RATE] [-R PACE] [-P PID]
 *
 *   pingpong  CONNS connections; each sends 64 bytes, waits for the echo, repeats
 *   pump      CONNS connections; 8 KiB writes, at most 64 KiB unechoed each
 *   scale     CONNS connections sharing RATE requests per second in all: the
 *             server's cost per event should not depend on how many it holds
 *   connect   CONNS at a time: connect, one 64-byte echo, close (the client
 *             closes, after the echo): a connection per request, whose
 *             cpu_us_per_event is the server's CPU per connection; with -R,
 *             at most PACE connections started per second in all, so that
 *             every server is measured at the same rate
 *
 * Every connection first completes one echo, so the server has accepted them
 * all before the clock starts; then -w seconds of warm-up, then -d seconds
 * measured. With -P the server's CPU time (/proc/PID/stat) and resident memory
 * (/proc/PID/status) are read at the edges of exactly that window. Prints one
 * line of name=value pairs for run.sh. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "loadgen_common.h"

#define REQ 64
#define CHUNK 8192
/* Bounds what a pump connection has in flight, so that a server that queues
 * whatever it cannot send at once (the usual echo) is not flooded. */
#ifndef PUMP_WINDOW
#define PUMP_WINDOW (64 * 1024)
#endif
/* Connects started at once: more would overflow the listen backlog and wait
 * for SYN retransmits instead of measuring the server. */
#define MAX_CONNECTING 256
#define PRIME_DEADLINE_S 30

enum mode { PINGPONG, PUMP, SCALE, CONNECT };
enum state { IDLE, CONNECTING, OPEN, CLOSED };

struct conn {
    int fd;
    enum state state;
    int busy;          /* a request is out and its echo not complete */
    int primed;        /* one echo done: the server has accepted it */
    uint32_t got;      /* bytes of the current echo received */
    int64_t sent_at;   /* ns; in connect mode, when the connect began */
    int64_t inflight;  /* pump: bytes written and not yet echoed */
};

static enum mode mode;
static int nconns = 1;
static double secs = 3, warm = 1, rate = 20000;
static double pace;      /* connect: starts per second in all; 0, as fast as slots free up */
static int64_t pace_t0;  /* when the paced schedule began */
static uint64_t starts;  /* connects started so far */

static int ep;
static struct conn *cs;
static int connecting, primed;
static int64_t t_start = INT64_MAX, t_end = INT64_MAX; /* the measured window */
static int measuring, finished;
static uint64_t done, bytes, errors, skipped;
static char junk[CHUNK], rbuf[65536];

/* ---- connections ---- */

static void watch(struct conn *c, int op, uint32_t events) {
    struct epoll_event ev = {.events = events, .data.ptr = c};
    if (epoll_ctl(ep, op, c->fd, &ev) < 0) {
        perror("epoll_ctl");
        exit(1);
    }
}

static void drop(struct conn *c, int failed) {
    if (c->state == CONNECTING) connecting--;
    close(c->fd); /* also leaves the epoll set */
    c->fd = -1;
    c->state = CLOSED;
    c->busy = 0;
    if (failed) errors++;
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
    /* Our side sends every request at once; the servers are left as they are. */
    setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    c->state = CONNECTING;
    c->got = 0;
    c->busy = 0;
    c->sent_at = now_ns();
    connecting++;
    starts++;
    if (connect(c->fd, (struct sockaddr *)&sa, sizeof sa) < 0 && errno != EINPROGRESS) {
        drop(c, 1);
        return;
    }
    watch(c, EPOLL_CTL_ADD, EPOLLOUT);
}

/* Paced connects: the next start is due once the schedule has reached it. A
 * server that fell behind gets at most its free slots at once. */
static int may_start(int64_t t) {
    return pace <= 0 || t >= pace_t0 + (int64_t)((double)starts * 1e9 / pace);
}

static void send_request(struct conn *c) {
    /* An empty send buffer always takes 64 bytes: a short write means trouble. */
    if (write(c->fd, junk, REQ) != REQ) {
        drop(c, 1);
        return;
    }
    c->busy = 1;
    c->got = 0;
    if (mode != CONNECT) c->sent_at = now_ns();
}

/* Writes 8 KiB chunks while the window allows; returns how many bytes. */
static int64_t pump_fill(struct conn *c) {
    int64_t wrote = 0;
    while (c->inflight + CHUNK <= PUMP_WINDOW) {
        ssize_t n = write(c->fd, junk, CHUNK);
        if (n < 0) {
            if (errno != EAGAIN) drop(c, 1);
            break;
        }
        c->inflight += n;
        wrote += n;
        if (n < CHUNK) break; /* the socket is full; EPOLLOUT follows */
    }
    return wrote;
}

/* Returns how many bytes came back. */
static int64_t pump_read(struct conn *c) {
    int64_t got = 0;
    for (;;) { /* edge-triggered: read until the socket is empty */
        ssize_t n = read(c->fd, rbuf, sizeof rbuf);
        if (n > 0) {
            c->inflight -= n;
            got += n;
            if (measuring) bytes += (uint64_t)n;
            continue;
        }
        if (n == 0 || errno != EAGAIN) drop(c, 1);
        return got;
    }
}

static void pump(struct conn *c, uint32_t events) {
    int64_t got = events & EPOLLIN ? pump_read(c) : 0;
    if (c->state != OPEN) return;
    if (pump_fill(c) == 0 && got > 0) {
        /* Echoed bytes came but left no room for a whole chunk, so no data of
         * ours carries their ack. The servers keep Nagle's algorithm on and
         * hold back a short tail until earlier data is acked: a delayed ack
         * (40 ms) would stall the stream. Ack at once instead. */
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
    if (mode == CONNECT) { /* the main loop starts the slot's next connection */
        drop(c, 0);
        return;
    }
    if (!c->primed) {
        c->primed = 1;
        primed++;
        if (mode == PUMP) { /* from now on a stream, not requests */
            watch(c, EPOLL_CTL_MOD, EPOLLIN | EPOLLOUT | EPOLLET);
            pump_fill(c);
            return;
        }
    }
    if (mode == PINGPONG) send_request(c);
    /* scale: the schedule sends the next one */
}

static void on_event(struct conn *c, uint32_t events) {
    if (c->state == CONNECTING) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err || (events & (EPOLLERR | EPOLLHUP))) {
            drop(c, 1);
            return;
        }
        connecting--;
        c->state = OPEN;
        watch(c, EPOLL_CTL_MOD, EPOLLIN);
        send_request(c);
        return;
    }
    if (c->primed && mode == PUMP) {
        pump(c, events);
        return;
    }
    /* Requests: level-triggered, one read per event. */
    ssize_t n = read(c->fd, rbuf, sizeof rbuf);
    if (n <= 0) {
        if (n < 0 && errno == EAGAIN) return;
        drop(c, 1);
        return;
    }
    c->got += (uint32_t)n;
    if (c->got > REQ) { /* more than was asked: not an echo */
        drop(c, 1);
        return;
    }
    if (c->got == REQ) echoed(c);
}

static const char *mode_name[] = {"pingpong", "pump", "scale", "connect"};

static void usage(void) {
    fprintf(stderr, "usage: loadgen pingpong|pump|scale|connect -p PORT [-c CONNS] [-d SECS] "
                    "[-w SECS] [-r RATE] [-R PACE] [-P SERVER_PID]\n");
    exit(2);
}

int main(int argc, char **argv) {
    if (argc < 2) usage();
    int m;
    for (m = 0; m < 4 && strcmp(argv[1], mode_name[m]) != 0; m++) {}
    if (m == 4) usage();
    mode = (enum mode)m;
    int o;
    optind = 2;
    while ((o = getopt(argc, argv, "p:c:d:w:r:R:P:")) != -1) {
        switch (o) {
        case 'p': port = atoi(optarg); break;
        case 'c': nconns = atoi(optarg); break;
        case 'd': secs = atof(optarg); break;
        case 'w': warm = atof(optarg); break;
        case 'r': rate = atof(optarg); break;
        case 'R': pace = atof(optarg); break;
        case 'P': server_pid = atoi(optarg); break;
        default: usage();
        }
    }
    if (port <= 0 || nconns <= 0 || secs <= 0 || rate <= 0 || pace < 0) usage();
    signal(SIGPIPE, SIG_IGN); /* a server that dies shows as errors, not as our death */

    /* 10,000 connections need more descriptors than the usual soft limit. */
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
        if (rl.rlim_cur < (rlim_t)nconns + 16) {
            fprintf(stderr, "loadgen: descriptor limit %ld is below %d connections\n", (long)rl.rlim_cur,
                    nconns);
            return 1;
        }
    }
    if (!wait_for_server()) {
        printf("mode=%s conns=%d error=no-server\n", mode_name[mode], nconns);
        return 1;
    }

    ep = epoll_create1(EPOLL_CLOEXEC);
    cs = calloc((size_t)nconns, sizeof *cs);
    for (int i = 0; i < nconns; i++) cs[i].fd = -1;
    long rss0 = server_pid ? server_rss_kb() : -1;
    long cpu0 = -1, cpu1 = -1, rss1 = -1;

    int64_t t0 = now_ns();
    int next_connect = 0;         /* conns not yet started, for the ramp-up */
    int64_t sched0 = 0;           /* scale: when the first scheduled send was due */
    uint64_t sched_n = 0;         /* scale: scheduled sends so far */
    if (mode == CONNECT) t_start = t0 + (int64_t)(warm * 1e9);
    pace_t0 = t0;

    struct epoll_event evs[512];
    for (;;) {
        int64_t t = now_ns();
        /* Ramp up at most MAX_CONNECTING at a time; in connect mode every
         * slot that closed starts its next connection. */
        while (next_connect < nconns && (mode == CONNECT ? may_start(t) : connecting < MAX_CONNECTING))
            start_connect(&cs[next_connect++]);
        if (mode == CONNECT)
            for (int i = 0; i < nconns && may_start(t); i++)
                if (cs[i].state == CLOSED) start_connect(&cs[i]);
        if (mode != CONNECT && t_start == INT64_MAX) {
            if (primed == nconns - (int)errors && next_connect == nconns && primed > 0) {
                t_start = t + (int64_t)(warm * 1e9);
                sched0 = t;
            } else if (t - t0 > (int64_t)PRIME_DEADLINE_S * 1000000000) {
                printf("mode=%s conns=%d error=prime-timeout primed=%d errors=%llu\n", mode_name[mode], nconns,
                       primed, (unsigned long long)errors);
                return 1;
            }
        }
        if (!measuring && t >= t_start) {
            measuring = 1;
            t_start = t;
            t_end = t + (int64_t)(secs * 1e9);
            if (server_pid) cpu0 = server_cpu_ticks();
        }
        if (measuring && t >= t_end) {
            if (server_pid) {
                cpu1 = server_cpu_ticks();
                rss1 = server_rss_kb();
            }
            t_end = t;
            finished = 1;
            break;
        }
        int timeout = pace > 0 ? 1 : 100; /* paced: look for due starts every millisecond */
        if (mode == SCALE && sched0) {
            /* Send whatever the shared schedule has made due; a connection
             * still waiting for its previous echo skips its turn. */
            for (;;) {
                int64_t due = sched0 + (int64_t)((double)sched_n * 1e9 / rate);
                if (due > t) {
                    timeout = (int)((due - t) / 1000000);
                    break;
                }
                struct conn *c = &cs[sched_n++ % (uint64_t)nconns];
                if (c->state == OPEN && !c->busy)
                    send_request(c);
                else if (measuring)
                    skipped++;
            }
        }
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

    double window = (double)(t_end - t_start) / 1e9;
    qsort(lat, nlat, sizeof *lat, cmp_u32);
    double cpu_s = cpu0 >= 0 && cpu1 >= 0 ? (double)(cpu1 - cpu0) / (double)sysconf(_SC_CLK_TCK) : -1;
    printf("mode=%s conns=%d secs=%.3f done=%llu rate=%.1f p50_us=%.1f p99_us=%.1f mbps=%.2f", mode_name[mode],
           nconns, window, (unsigned long long)done, (double)done / window, percentile_us(0.50),
           percentile_us(0.99), (double)bytes / window / 1e6);
    if (server_pid)
        printf(" cpu_s=%.2f cpu_us_per_event=%.3f rss0_kb=%ld rss_kb=%ld", cpu_s,
               done ? cpu_s * 1e6 / (double)done : 0, rss0, rss1);
    printf(" errors=%llu skipped=%llu\n", (unsigned long long)errors, (unsigned long long)skipped);
    return 0;
}
