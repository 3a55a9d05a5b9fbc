/* TLS echo server on libevent: a listener and one OpenSSL bufferevent per
 * connection, accepting. Usage: tls_echo_event PORT CERT KEY (on 127.0.0.1,
 * TLS 1.3). */
#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>

/* Moves the decrypted input's chains to the output, which encrypts them. */
static void on_read(struct bufferevent *bev, void *arg) {
    (void)arg;
    bufferevent_write_buffer(bev, bufferevent_get_input(bev));
}

static void on_event(struct bufferevent *bev, short events, void *arg) {
    (void)arg;
    if (events & (BEV_EVENT_EOF | BEV_EVENT_ERROR)) bufferevent_free(bev); /* frees the SSL too */
}

static void on_accept(struct evconnlistener *listener, evutil_socket_t fd, struct sockaddr *sa, int len,
                      void *arg) {
    (void)sa;
    (void)len;
    SSL *ssl = SSL_new(arg);
    struct event_base *base = evconnlistener_get_base(listener);
    struct bufferevent *bev = ssl ? bufferevent_openssl_socket_new(base, fd, ssl, BUFFEREVENT_SSL_ACCEPTING,
                                                                   BEV_OPT_CLOSE_ON_FREE)
                                  : NULL;
    if (!bev) {
        SSL_free(ssl);
        evutil_closesocket(fd);
        return;
    }
    bufferevent_setcb(bev, on_read, NULL, on_event, NULL);
    bufferevent_enable(bev, EV_READ | EV_WRITE);
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: tls_echo_event PORT CERT KEY\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN); /* a peer that left must not end the server */
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || !SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) ||
        !SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) ||
        SSL_CTX_use_certificate_chain_file(ctx, argv[2]) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, argv[3], SSL_FILETYPE_PEM) != 1) {
        ERR_print_errors_fp(stderr);
        return 1;
    }
    struct event_base *base = event_base_new();
    struct sockaddr_in sin = {.sin_family = AF_INET, .sin_port = htons((uint16_t)atoi(argv[1]))};
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    struct evconnlistener *listener =
        evconnlistener_new_bind(base, on_accept, ctx, LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE, SOMAXCONN,
                                (struct sockaddr *)&sin, sizeof sin);
    if (!base || !listener) {
        perror("tls_echo_event: listen");
        return 1;
    }
    return event_base_dispatch(base);
}
