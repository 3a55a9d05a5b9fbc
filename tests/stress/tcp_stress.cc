// TCP under load: 1,000 connections to one echo server on the library, each
// checking every echoed byte in order, while connections end at random
// moments, by close or reset, and are made again. At the end every byte sent
// is echoed or its connection closed by the server, never just dropped; every
// connection ends exactly once, and no callback reaches it after its end.
#include <sys/epoll.h>

#include "stress.h"

namespace {

// The peers: plain non-blocking sockets on one epoll.
struct Peer {
    int fd = -1;
    bool reset;                                            // the connection ends by a reset rather than a close
    Clock::time_point ends_at;                             // ... at this moment
    uint64_t seed, sent = 0, verified = 0, chunk_end = 0;  // of the stream it sends
};
std::mt19937 g_rng(2026);
int g_epoll;
uint16_t g_port;
bool g_draining = false;  // sending nothing more, ending nothing
unsigned long long g_made, g_resets, g_verified, g_server_ends, g_mismatches;

void start(Peer &p) {
    auto ends_at = Clock::now() + std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 3000)(g_rng));
    p = {socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0), g_rng() % 3 == 0, ends_at, uint64_t{g_rng()} << 32 | g_rng()};
    Addr to(AF_INET, g_port);
    connect(p.fd, to.sa(), to.len);  // in progress
    epoll_event ev{EPOLLIN | EPOLLOUT | EPOLLET, {.ptr = &p}};
    epoll_ctl(g_epoll, EPOLL_CTL_ADD, p.fd, &ev);
    ++g_made;
}

// Ends the connection (a closed descriptor leaves the epoll set); `again` makes a new one.
void finish(Peer &p, bool again) {
    if (p.fd < 0) return;
    g_resets += p.reset;
    p.reset ? reset_close(p.fd) : static_cast<void>(close(p.fd));
    p.fd = -1;
    g_verified += p.verified;
    if (again) start(p);
}

void serve(Peer &p, uint32_t events) {
    char buf[65536], want[65536];
    ssize_t n = 0;
    while ((events & EPOLLIN) && (n = read(p.fd, buf, sizeof buf)) > 0) {
        fill(p.seed, p.verified, want, static_cast<size_t>(n));
        g_mismatches += memcmp(buf, want, static_cast<size_t>(n)) != 0;
        p.verified += static_cast<uint64_t>(n);
    }
    if ((events & (EPOLLERR | EPOLLHUP)) || ((events & EPOLLIN) && n == 0))
        return ++g_server_ends, finish(p, !g_draining);
    // Up to 256 KiB in flight, in chunks of random size; a connection the
    // server ended is an error here, not a SIGPIPE.
    for (n = 0; !g_draining && p.sent - p.verified < (256u << 10); p.sent += static_cast<uint64_t>(n)) {
        if (p.sent == p.chunk_end) p.chunk_end += std::uniform_int_distribution<uint64_t>(1, 65536)(g_rng);
        fill(p.seed, p.sent, buf, p.chunk_end - p.sent);
        if ((n = send(p.fd, buf, p.chunk_end - p.sent, MSG_NOSIGNAL)) <= 0) break;
    }
}

void pump() {
    epoll_event events[256];
    for (int i = 0, n = epoll_wait(g_epoll, events, 256, 50); i < n; ++i)
        if (auto *p = static_cast<Peer *>(events[i].data.ptr); p->fd >= 0) serve(*p, events[i].events);
}

// The shared echo server, its bookkeeping spared from failed allocations;
// its reads and sends, the library's, stay exposed.
int stress_read(os_tcp_client_t *c, void *) {
    EchoConn *conn = echo_conn(c);
    if (conn == nullptr) return -1;
    char buf[65536];
    int n;
    while ((n = os_tcp_client_read(c, buf, conn->read_len)) > 0) {
        fault::Spare spare(fault::kMemory);
        conn->pending.append(buf, static_cast<size_t>(n));
    }
    return echo_flush(c, conn) && n == 0 ? 0 : -1;  // a peer that only stopped sending still gets its echo
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
    if (!check(start_runtime(true), "the runtime did not start")) return false;
    int fds = fd_count();
    g_epoll = epoll_create1(0);
    os_tcp_server_t *server = open_server(g_port = free_port(), stress_accept);
    if (!check(server != nullptr, "the server did not open")) return false;
    auto t0 = Clock::now();
    std::vector<Peer> peers(static_cast<size_t>(conns));
    for (Peer &p : peers) start(p);
    while (since(t0) < seconds) {
        pump();
        for (Peer &p : peers)
            if (Clock::now() >= p.ends_at) finish(p, true);
    }
    // The drain: each peer waits for the echo of what it sent, or for the
    // server to end its connection; one still waiting after 20 s stalled.
    g_draining = true;
    auto waiting = [](const Peer &p) { return p.fd >= 0 && p.sent != p.verified; };
    wait_until([&] { return pump(), std::none_of(peers.begin(), peers.end(), waiting); }, 20s, {});
    long stalled = std::count_if(peers.begin(), peers.end(), waiting);
    for (Peer &p : peers) finish(p, false);
    close(g_epoll);
    double elapsed = since(t0);
    bool settled = wait_until([] { return g_echo_accepted == g_echo_ended; }, 20s);
    bool held = settle("tcp", fds, [server] { os_tcp_server_destroy(server); });
    printf(
        "tcp: %.0f connections at a time for %.1f s: %llu made (%llu reset), %.1f MB echoed and checked; server "
        "accepted %ld, ended %ld (%llu by the server); late callbacks %ld; mismatched reads %llu; stalled %ld\n",
        conns, elapsed, g_made, g_resets, g_verified / 1e6, g_echo_accepted.load(), g_echo_ended.load(), g_server_ends,
        g_echo_late.load(), g_mismatches, stalled);
    // A peer that resets before its connection is taken from the backlog is
    // never handed to the server, so accepted may fall short of made.
    return held & check(g_mismatches == 0, "echoed bytes differ from what was sent") &
           check(stalled == 0, "sent bytes were neither echoed nor their connection closed") &
           check(settled, "some connections never ended on the server") &
           check(g_echo_late == 0, "a callback came after a connection's end") &
           check(g_echo_accepted <= static_cast<long>(g_made), "the server saw connections never made");
}
