/* Echo server on a raw edge-triggered epoll loop: the bound the event
 * libraries are measured against. Usage: echo_epoll PORT (on 127.0.0.1). */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

/* Per connection; the queue exists only while a send fell short. */
struct conn {
    int fd;
    char *queued;
    size_t len, off;
};

static int ep;
static char buf[65536]; /* one loop thread: one read buffer for all */

/* Writability is watched only while something is queued: watched always, each
 * ack that frees send space would wake the loop for nothing. */
static int watch(struct conn *c, int op, int writable) {
    struct epoll_event ev = {.events = EPOLLIN | EPOLLRDHUP | EPOLLET | (writable ? EPOLLOUT : 0),
                             .data.ptr = c};
    return epoll_ctl(ep, op, c->fd, &ev);
}

static void drop(struct conn *c) {
    close(c->fd);
    free(c->queued);
    free(c);
}

/* Sends what is queued; 1 when the queue is empty, 0 when the socket is full,
 * -1 on error. */
static int flush(struct conn *c) {
    while (c->off < c->len) {
        ssize_t n = write(c->fd, c->queued + c->off, c->len - c->off);
        if (n < 0) return errno == EAGAIN ? 0 : -1;
        c->off += (size_t)n;
    }
    free(c->queued);
    c->queued = NULL;
    c->len = c->off = 0;
    return 1;
}

/* Reads until the socket is empty (edge-triggered: no second notice comes),
 * echoing as it goes. Stops reading while anything is queued, so a slow peer
 * holds at most one read's worth here. 0 to keep, -1 to close. */
static int echo(struct conn *c) {
    for (;;) {
        ssize_t n = read(c->fd, buf, sizeof buf);
        if (n == 0) return -1;
        if (n < 0) return errno == EAGAIN ? 0 : -1;
        ssize_t sent = write(c->fd, buf, (size_t)n);
        if (sent < 0 && errno != EAGAIN) return -1;
        if (sent < 0) sent = 0;
        if (sent < n) { /* keep the rest for EPOLLOUT */
            c->len = (size_t)(n - sent);
            c->off = 0;
            c->queued = malloc(c->len);
            if (!c->queued) return -1;
            memcpy(c->queued, buf + sent, c->len);
            return watch(c, EPOLL_CTL_MOD, 1);
        }
        /* A short read of a stream socket means it is empty now. */
        if ((size_t)n < sizeof buf) return 0;
    }
}

static void on_conn(struct conn *c, uint32_t events) {
    if (events & (EPOLLERR | EPOLLHUP)) {
        drop(c);
        return;
    }
    if (c->queued) {
        if (!(events & EPOLLOUT)) return; /* not writable yet: leave the input waiting */
        int r = flush(c);
        if (r < 0) {
            drop(c);
            return;
        }
        if (r == 0) return;
        if (watch(c, EPOLL_CTL_MOD, 0) < 0) {
            drop(c);
            return;
        }
        /* Input that arrived while we waited had its one notice already. */
    }
    if (echo(c) < 0) drop(c);
}

static void accept_all(int lfd) {
    for (;;) {
        int fd = accept4(lfd, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return; /* EAGAIN: the backlog is empty */
        struct conn *c = calloc(1, sizeof *c);
        if (!c) {
            close(fd);
            continue;
        }
        c->fd = fd;
        if (watch(c, EPOLL_CTL_ADD, 0) < 0) drop(c);
    }
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: echo_epoll PORT\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN); /* a peer that left must not end the server */
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in sa = {.sin_family = AF_INET, .sin_port = htons((uint16_t)atoi(argv[1]))};
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(lfd, (struct sockaddr *)&sa, sizeof sa) < 0 || listen(lfd, SOMAXCONN) < 0) {
        perror("echo_epoll: bind/listen");
        return 1;
    }
    ep = epoll_create1(EPOLL_CLOEXEC);
    /* The listening socket's data pointer stays NULL to tell it apart. */
    struct epoll_event lev = {.events = EPOLLIN, .data.ptr = NULL};
    epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &lev);
    struct epoll_event evs[256];
    for (;;) {
        int n = epoll_wait(ep, evs, 256, -1);
        for (int i = 0; i < n; i++) {
            if (evs[i].data.ptr == NULL)
                accept_all(lfd);
            else
                on_conn(evs[i].data.ptr, evs[i].events);
        }
    }
}
