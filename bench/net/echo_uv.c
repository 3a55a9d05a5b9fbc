/* Echo server on libuv: uv_listen, uv_read_start, uv_write. Usage: echo_uv PORT
 * (on 127.0.0.1). */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <uv.h>

/* A write request carries its own copy of the bytes, freed when the write is
 * done: the read buffer is reused by the next read at once. */
struct echo_req {
    uv_write_t req;
    char data[];
};

static uv_loop_t *loop;
/* libuv asks for a buffer right before each read and hands it to the read
 * callback right after, on this one thread, so one buffer serves every
 * connection and an idle connection holds none. */
static char buf[65536];

static void on_alloc(uv_handle_t *handle, size_t suggested, uv_buf_t *out) {
    (void)handle;
    (void)suggested;
    *out = uv_buf_init(buf, sizeof buf);
}

static void on_close(uv_handle_t *handle) { free(handle); }

static void on_written(uv_write_t *req, int status) {
    (void)status; /* a failed write shows up as a read error next */
    free(req);
}

static void on_read(uv_stream_t *stream, ssize_t nread, const uv_buf_t *in) {
    if (nread < 0) { /* UV_EOF or an error */
        uv_close((uv_handle_t *)stream, on_close);
        return;
    }
    if (nread == 0) return;
    struct echo_req *r = malloc(sizeof *r + (size_t)nread);
    if (!r) {
        uv_close((uv_handle_t *)stream, on_close);
        return;
    }
    memcpy(r->data, in->base, (size_t)nread);
    uv_buf_t out = uv_buf_init(r->data, (unsigned)nread);
    if (uv_write(&r->req, stream, &out, 1, on_written) != 0) {
        free(r);
        uv_close((uv_handle_t *)stream, on_close);
    }
}

static void on_connection(uv_stream_t *server, int status) {
    if (status < 0) return;
    uv_tcp_t *client = malloc(sizeof *client);
    if (!client) return;
    uv_tcp_init(loop, client);
    if (uv_accept(server, (uv_stream_t *)client) != 0 ||
        uv_read_start((uv_stream_t *)client, on_alloc, on_read) != 0)
        uv_close((uv_handle_t *)client, on_close);
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: echo_uv PORT\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN); /* a peer that left must not end the server */
    loop = uv_default_loop();
    uv_tcp_t server;
    struct sockaddr_in addr;
    uv_tcp_init(loop, &server);
    uv_ip4_addr("127.0.0.1", atoi(argv[1]), &addr);
    int r = uv_tcp_bind(&server, (const struct sockaddr *)&addr, 0);
    if (r == 0) r = uv_listen((uv_stream_t *)&server, SOMAXCONN, on_connection);
    if (r != 0) {
        fprintf(stderr, "echo_uv: %s\n", uv_strerror(r));
        return 1;
    }
    return uv_run(loop, UV_RUN_DEFAULT);
}
