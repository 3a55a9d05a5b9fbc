/* TLS echo server on a raw edge-triggered epoll loop, SSL_read and SSL_write
 * straight on each socket: the bound the libraries are measured against.
 * Usage: tls_echo_epoll PORT CERT KEY (on 127.0.0.1, TLS 1.3). */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

/* Per connection; the queue holds the plaintext of a write that would have
 * blocked, which OpenSSL wants offered again until it is taken. */
struct conn {
    int fd;
    SSL *ssl;
    char *queued;
    size_t len, off;
    int out;     /* EPOLLOUT watched */
    int drained; /* the last socket read came back short: the socket is empty */
};

static int ep;
static SSL_CTX *ctx;
static char buf[65536]; /* one loop thread: one read buffer for all */

static int watch(struct conn *c, int op, int writable) {
    struct epoll_event ev = {.events = EPOLLIN | EPOLLRDHUP | EPOLLET | (writable ? EPOLLOUT : 0),
                             .data.ptr = c};
    c->out = writable;
    return epoll_ctl(ep, op, c->fd, &ev);
}

static void drop(struct conn *c) {
    SSL_free(c->ssl);
    close(c->fd);
    free(c->queued);
    free(c);
    ERR_clear_error();
}

/* With read-ahead OpenSSL asks the socket for all the room in its buffer; a
 * short answer means the socket is empty, which spares the read that would
 * only say EAGAIN (as echo_epoll.c stops at a short read). */
static long on_bio(BIO *b, int oper, const char *argp, size_t len, int argi, long argl, int ret,
                   size_t *processed) {
    (void)argp;
    (void)argi;
    (void)argl;
    if (oper == (BIO_CB_READ | BIO_CB_RETURN)) {
        struct conn *c = (struct conn *)BIO_get_callback_arg(b);
        c->drained = ret <= 0 || *processed < len;
    }
    return ret;
}

/* 0 would block, -1 failed. */
static int failed(struct conn *c, int r) {
    int e = SSL_get_error(c->ssl, r);
    return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? 0 : -1;
}

/* Sends what is queued; 1 when the queue is empty, 0 when the socket is full,
 * -1 on error. */
static int flush(struct conn *c) {
    while (c->off < c->len) {
        int n = SSL_write(c->ssl, c->queued + c->off, (int)(c->len - c->off));
        if (n <= 0) return failed(c, n);
        c->off += (size_t)n;
    }
    free(c->queued);
    c->queued = NULL;
    c->len = c->off = 0;
    return 1;
}

/* Reads and echoes until OpenSSL holds nothing and the socket is empty (no
 * second notice comes); the handshake runs inside the first reads. Stops
 * reading while anything is queued. 0 to keep, -1 to close. */
static int echo(struct conn *c) {
    /* Records left inside OpenSSL from before a full socket say nothing of
     * the socket now: only a read in this call may end the loop. */
    c->drained = 0;
    for (;;) {
        int n = SSL_read(c->ssl, buf, sizeof buf);
        if (n <= 0) {
            int e = SSL_get_error(c->ssl, n);
            if (e == SSL_ERROR_WANT_READ) return c->out ? watch(c, EPOLL_CTL_MOD, 0) : 0;
            /* The handshake's flight did not fit: go on when it does. */
            if (e == SSL_ERROR_WANT_WRITE) return c->out ? 0 : watch(c, EPOLL_CTL_MOD, 1);
            if (e == SSL_ERROR_ZERO_RETURN) SSL_shutdown(c->ssl); /* answer the close_notify */
            return -1;
        }
        int sent = SSL_write(c->ssl, buf, n);
        if (sent <= 0) {
            if (failed(c, sent) < 0) return -1;
            sent = 0;
        }
        if (sent < n) { /* keep the rest for EPOLLOUT */
            c->len = (size_t)(n - sent);
            c->off = 0;
            c->queued = malloc(c->len);
            if (!c->queued) return -1;
            memcpy(c->queued, buf + sent, c->len);
            return c->out ? 0 : watch(c, EPOLL_CTL_MOD, 1);
        }
        if (c->drained && !SSL_has_pending(c->ssl)) return c->out ? watch(c, EPOLL_CTL_MOD, 0) : 0;
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
        /* Input that arrived while we waited had its one notice already. */
    }
    if (echo(c) < 0) drop(c);
}

static void accept_all(int lfd) {
    for (;;) {
        int fd = accept4(lfd, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return; /* EAGAIN: the backlog is empty */
        struct conn *c = calloc(1, sizeof *c);
        SSL *ssl = c ? SSL_new(ctx) : NULL;
        if (!ssl || !SSL_set_fd(ssl, fd)) {
            SSL_free(ssl);
            free(c);
            close(fd);
            continue;
        }
        c->fd = fd;
        c->ssl = ssl;
        SSL_set_accept_state(ssl);
        BIO *bio = SSL_get_rbio(ssl);
        BIO_set_callback_arg(bio, (char *)c);
        BIO_set_callback_ex(bio, on_bio);
        /* A ClientHello that waits already is reported by the add itself. */
        if (watch(c, EPOLL_CTL_ADD, 0) < 0) drop(c);
    }
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: tls_echo_epoll PORT CERT KEY\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN); /* a peer that left must not end the server */
    ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || !SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) ||
        !SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) ||
        SSL_CTX_use_certificate_chain_file(ctx, argv[2]) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, argv[3], SSL_FILETYPE_PEM) != 1) {
        ERR_print_errors_fp(stderr);
        return 1;
    }
    /* One socket read per batch of records instead of a header and a body
     * each; a write that would block may be offered again from the queue. */
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in sa = {.sin_family = AF_INET, .sin_port = htons((uint16_t)atoi(argv[1]))};
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(lfd, (struct sockaddr *)&sa, sizeof sa) < 0 || listen(lfd, SOMAXCONN) < 0) {
        perror("tls_echo_epoll: bind/listen");
        return 1;
    }
    ep = epoll_create1(EPOLL_CLOEXEC);
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
