// Requests per second of a 64-byte ping-pong against an echo server on the
// library, over 1 and 100 connections from plain client sockets in a thread
// of their own; with the round-trip percentiles of the single connection.
//
//   tcp_throughput [seconds per run]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "keel/log.h"
#include "keel/os_net.h"
#include "keel/os_runtime.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRequest = 64;

// The echo: what was read goes straight back; with 64-byte requests the
// socket always takes it.
int echo_read(os_tcp_client_t *c, void *) {
    char buf[4096];
    for (int n; (n = os_tcp_client_read(c, buf, sizeof buf)) != 0;) {
        if (n < 0) return -1;
        for (int sent = 0; sent < n;) {
            int k = os_tcp_client_send(c, buf + sent, static_cast<uint32_t>(n - sent));
            if (k < 0) return -1;
            sent += k;  // 0 only when the client stops reading; it never does here
        }
    }
    return 0;
}

void on_accept(os_tcp_server_t *, os_tcp_client_t *c, void *) { os_tcp_client_bind_read(c, echo_read, nullptr); }

int connect_to(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        perror("connect");
        exit(1);
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool read_full(int fd, char *buf, int n) {
    for (int got = 0; got < n;) {
        ssize_t k = read(fd, buf + got, static_cast<size_t>(n - got));
        if (k <= 0) return false;
        got += static_cast<int>(k);
    }
    return true;
}

struct Result {
    double per_second;
    double p50_us, p99_us;
};

// Every connection has one request in flight; the count of answers over the
// run gives the rate.
Result ping_pong(uint16_t port, int conns, double seconds) {
    std::vector<int> fds;
    for (int i = 0; i < conns; ++i) fds.push_back(connect_to(port));
    char req[kRequest] = {'p'}, reply[kRequest];
    // One round trip each before the clock starts: without the accept
    // marker, connections are taken on the next tick.
    for (int fd : fds)
        if (write(fd, req, kRequest) != kRequest || !read_full(fd, reply, kRequest)) exit(1);
    std::vector<pollfd> polls;
    std::vector<Clock::time_point> sent_at(conns);
    std::vector<double> rtt_us;
    for (int i = 0; i < conns; ++i) {
        polls.push_back(pollfd{fds[i], POLLIN, 0});
        sent_at[i] = Clock::now();
        if (write(fds[i], req, kRequest) != kRequest) exit(1);
    }
    long answers = 0;
    auto t0 = Clock::now();
    auto end = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        if (poll(polls.data(), polls.size(), 1000) <= 0) break;
        for (int i = 0; i < conns; ++i) {
            if (!(polls[i].revents & POLLIN)) continue;
            if (!read_full(fds[i], reply, kRequest)) exit(1);
            auto now = Clock::now();
            if (conns == 1) rtt_us.push_back(std::chrono::duration<double, std::micro>(now - sent_at[i]).count());
            ++answers;
            sent_at[i] = now;
            if (write(fds[i], req, kRequest) != kRequest) exit(1);
        }
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    for (int fd : fds) close(fd);
    Result r{answers / elapsed, 0, 0};
    if (!rtt_us.empty()) {
        std::sort(rtt_us.begin(), rtt_us.end());
        r.p50_us = rtt_us[rtt_us.size() / 2];
        r.p99_us = rtt_us[rtt_us.size() * 99 / 100];
    }
    return r;
}

}  // namespace

int main(int argc, char **argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 3.0;
    log_start(0, LOG_LEVEL_FATAL);  // every connection's end is reported at the error level
    if (!os_startup(0, 0)) return 1;
    // A free port: the server's own query gives back the port as set.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(probe, reinterpret_cast<sockaddr *>(&a), len);
    getsockname(probe, reinterpret_cast<sockaddr *>(&a), &len);
    close(probe);
    uint16_t port = ntohs(a.sin_port);

    os_tcp_server_t *server = os_tcp_server_create();
    os_tcp_server_set_local(server, "127.0.0.1", port);
    os_tcp_server_bind_accept(server, on_accept, nullptr);
    if (!os_tcp_server_open(server)) return 1;

    printf("64-byte ping-pong, Keel echo server, plain client thread, %.0f s per run\n", seconds);
    printf("%-12s %14s %10s %10s\n", "connections", "requests/s", "p50 us", "p99 us");
    for (int conns : {1, 100}) {
        Result r = ping_pong(port, conns, seconds);
        if (conns == 1)
            printf("%-12d %14.0f %10.1f %10.1f\n", conns, r.per_second, r.p50_us, r.p99_us);
        else
            printf("%-12d %14.0f %10s %10s\n", conns, r.per_second, "-", "-");
    }
    os_tcp_server_destroy(server);
    return 0;
}
