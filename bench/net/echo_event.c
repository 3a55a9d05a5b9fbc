/* Echo server on libevent: a listener and one bufferevent per connection.
 * Usage: echo_event PORT (on 127.0.0.1). */
#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>

/* Moves the input buffer's chains to the output without copying. */
static void on_read(struct bufferevent *bev, void *arg) {
    (void)arg;
    bufferevent_write_buffer(bev, bufferevent_get_input(bev));
}

static void on_event(struct bufferevent *bev, short events, void *arg) {
    (void)arg;
    if (events & (BEV_EVENT_EOF | BEV_EVENT_ERROR)) bufferevent_free(bev);
}

static void on_accept(struct evconnlistener *listener, evutil_socket_t fd, struct sockaddr *sa, int len,
                      void *arg) {
    (void)sa;
    (void)len;
    (void)arg;
    struct event_base *base = evconnlistener_get_base(listener);
    struct bufferevent *bev = bufferevent_socket_new(base, fd, BEV_OPT_CLOSE_ON_FREE);
    if (!bev) {
        evutil_closesocket(fd);
        return;
    }
    bufferevent_setcb(bev, on_read, NULL, on_event, NULL);
    bufferevent_enable(bev, EV_READ | EV_WRITE);
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: echo_event PORT\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN); /* a peer that left must not end the server */
    struct event_base *base = event_base_new();
    struct sockaddr_in sin = {.sin_family = AF_INET, .sin_port = htons((uint16_t)atoi(argv[1]))};
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    struct evconnlistener *listener =
        evconnlistener_new_bind(base, on_accept, NULL, LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE, SOMAXCONN,
                                (struct sockaddr *)&sin, sizeof sin);
    if (!base || !listener) {
        perror("echo_event: listen");
        return 1;
    }
    return event_base_dispatch(base);
}
