// TCP under load: 1,000 connections to one echo server on the library, each
// sending chunks of random size and checking every echoed byte in order,
// while connections end at random moments, gracefully or by reset, and are
// made again. At the end the peers stop sending and wait for the echo of
// every byte they sent, unless the server ended their connection: a byte the
// server took is sent back or its connection is closed, never just dropped.
// Afterwards every connection the server saw has ended exactly once, no
// callback reached a connection after its end (settle() checks the rest).
#include <sys/epoll.h>

#include "stress.h"

namespace {

// The peers: plain non-blocking sockets on one epoll.
struct Peer {
    int fd = -1;
    uint64_t seed = 0, sent = 0, verified = 0;  // of the stream this connection sends
    std::string out;                            // bytes not yet taken by the socket
    Clock::time_point ends_at;                  // when this connection ends itself
    bool reset = false;                         // ... by a reset rather than a close
};

struct Peers {
    std::vector<Peer> all;
    uint16_t port;
    int epfd = epoll_create1(0);
    std::mt19937 rng{2026};
    bool draining = false;  // sending nothing more, ending nothing
    unsigned long long made = 0, resets = 0, verified = 0, server_ends = 0;
    unsigned long long mismatches = 0;  // reads whose bytes differ from the stream

    void start(Peer &p) {
        p = Peer{socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0), (uint64_t{rng()} << 32) | rng(), 0, 0, {}, {}};
        Addr to(AF_INET, port);
        connect(p.fd, to.sa(), to.len);  // in progress
        p.ends_at = Clock::now() + std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 3000)(rng));
        p.reset = rng() % 3 == 0;
        epoll_event ev{EPOLLIN | EPOLLOUT | EPOLLET, {.ptr = &p}};
        epoll_ctl(epfd, EPOLL_CTL_ADD, p.fd, &ev);
        ++made;
    }

    // Ends the connection (its descriptor leaves the epoll set as it
    // closes); with `again`, a new one takes its place.
    void finish(Peer &p, bool again) {
        if (p.fd < 0) return;
        resets += p.reset;
        p.reset ? reset_close(p.fd) : static_cast<void>(close(p.fd));
        p.fd = -1;
        verified += p.verified;
        if (again) start(p);
    }

    void serve(Peer &p, uint32_t events) {
        if (p.fd < 0) return;
        bool ended = events & (EPOLLERR | EPOLLHUP);
        if (events & EPOLLIN) {
            char buf[65536], want[65536];
            ssize_t n;
            for (; (n = read(p.fd, buf, sizeof buf)) > 0; p.verified += static_cast<uint64_t>(n)) {
                fill(p.seed, p.verified, want, static_cast<size_t>(n));
                mismatches += memcmp(buf, want, static_cast<size_t>(n)) != 0;
            }
            ended |= n == 0;
        }
        if (ended) return ++server_ends, finish(p, !draining);
        // Keep up to 256 KiB in flight, in chunks of random size. A
        // connection the server ended (as it may when its calls fail) is an
        // error here, not a SIGPIPE that ends the program.
        while (!draining && p.sent - p.verified < (256u << 10)) {
            if (p.out.empty()) {
                p.out.resize(std::uniform_int_distribution<size_t>(1, 65536)(rng));
                fill(p.seed, p.sent, p.out.data(), p.out.size());
            }
            ssize_t n = send(p.fd, p.out.data(), p.out.size(), MSG_NOSIGNAL);
            if (n <= 0) break;
            p.sent += static_cast<uint64_t>(n);
            p.out.erase(0, static_cast<size_t>(n));
        }
    }

    void pump() {
        epoll_event events[256];
        for (int i = 0, n = epoll_wait(epfd, events, 256, 50); i < n; ++i)
            serve(*static_cast<Peer *>(events[i].data.ptr), events[i].events);
    }
};

// The echo server of tests/echo_server.h, with its bookkeeping (a
// connection's record, its pending bytes) spared from failed allocations,
// which are meant for the library; its reads and sends are the library's and
// stay exposed.
int stress_read(os_tcp_client_t *c, void *) {
    EchoConn *conn = echo_conn(c);
    if (conn == nullptr) return -1;
    char buf[65536];
    int n;
    while ((n = os_tcp_client_read(c, buf, conn->read_len)) > 0) {
        fault::Spare spare(fault::kMemory);
        conn->pending.append(buf, static_cast<size_t>(n));
    }
    bool sending = echo_flush(c, conn);  // a peer that only stopped sending still gets its echo
    return n < 0 || !sending ? -1 : 0;
}

void stress_accept(os_tcp_server_t *s, os_tcp_client_t *c, void *arg) {
    fault::Spare spare(fault::kMemory);
    echo_accept(s, c, arg);
    os_tcp_client_bind_read(c, stress_read, nullptr);
}

}  // namespace

bool tcp_stress(double seconds, double conns) {
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, static_cast<rlim_t>(conns) * 2 + 256);
    setrlimit(RLIMIT_NOFILE, &lim);
    log_start(0, LOG_LEVEL_FATAL);  // every end of a connection is reported otherwise
    if (!check(start_runtime(true), "the runtime did not start")) return false;
    int fds = fd_count();
    uint16_t port = free_port();
    os_tcp_server_t *server = open_server(port, stress_accept);
    if (!check(server != nullptr, "the server did not open")) return false;

    auto t0 = Clock::now();
    Peers peers{std::vector<Peer>(static_cast<size_t>(conns)), port};
    for (Peer &p : peers.all) peers.start(p);
    while (since(t0) < seconds) {
        peers.pump();
        for (Peer &p : peers.all)
            if (Clock::now() >= p.ends_at) peers.finish(p, true);
    }
    // The drain: each peer waits for the echo of what it sent, or for the
    // server to end its connection; one still waiting after 20 s stalled.
    peers.draining = true;
    auto waiting = [](const Peer &p) { return p.fd >= 0 && p.sent != p.verified; };
    wait_until([&] { return peers.pump(), std::none_of(peers.all.begin(), peers.all.end(), waiting); },
               std::chrono::seconds(20), {});
    auto stalled = std::count_if(peers.all.begin(), peers.all.end(), waiting);
    for (Peer &p : peers.all) peers.finish(p, false);
    close(peers.epfd);
    double elapsed = since(t0);
    bool settled = wait_until([] { return g_echo_accepted == g_echo_ended; }, std::chrono::seconds(20));
    bool held = settle("tcp", fds, [server] { os_tcp_server_destroy(server); });
    printf(
        "tcp: %.0f connections at a time for %.1f s: %llu made (%llu reset), %.1f MB echoed and checked (%.1f "
        "MB/s); server accepted %ld, ended %ld (%llu by the server); late callbacks %ld; mismatched reads %llu; "
        "stalled %ld\n",
        conns, elapsed, peers.made, peers.resets, peers.verified / 1e6, peers.verified / 1e6 / elapsed,
        g_echo_accepted.load(), g_echo_ended.load(), peers.server_ends, g_echo_late.load(), peers.mismatches,
        static_cast<long>(stalled));
    // A peer that resets before its connection is taken from the backlog is
    // never handed to the server, so accepted may fall short of made.
    return held & check(peers.mismatches == 0, "echoed bytes differ from what was sent") &
           check(stalled == 0, "sent bytes were neither echoed nor their connection closed") &
           check(settled, "some connections never ended on the server") &
           check(g_echo_late == 0, "a callback came after a connection's end") &
           check(g_echo_accepted <= static_cast<long>(peers.made), "the server saw connections never made");
}
