// TCP under load: 1,000 connections to one echo server on the library, each
// sending chunks of random size and checking every echoed byte in order,
// while connections end at random moments, gracefully or by reset, and are
// made again. At the end the peers stop sending and wait for the echo of
// every byte they sent, unless the server ended their connection: a byte the
// server took is sent back or its connection is closed, never just dropped.
// Afterwards every connection the server saw has ended exactly once, no
// callback reached a connection after its end, the idle runtime costs no CPU,
// and no descriptor is left over.
#include <sys/epoll.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fault.h"
#include "keel/log.h"
#include "stress.h"
#include "tests/echo_server.h"
#include "tests/net_support.h"

using namespace keel_test;

namespace {

using Clock = std::chrono::steady_clock;

// ---- the peers: plain non-blocking sockets on one epoll ---------------------

// Bytes from `at` on of the stream a connection with `seed` sends, taken
// from the position alone, so that neither the sender nor the checker keeps a
// generator; cheap enough that the checkers' instrumentation does not make it
// the bottleneck.
void fill(uint64_t seed, uint64_t at, char *out, size_t n) {
    for (size_t i = 0; i < n; ++i, ++at) {
        uint64_t x = (seed ^ (at >> 3)) * 0x9E3779B97F4A7C15ull;
        out[i] = static_cast<char>((x ^ (x >> 31)) >> (8 * (at & 7)));
    }
}

struct Peer {
    int fd = -1;
    uint64_t seed = 0;        // of the stream this connection sends
    std::string out;          // bytes not yet taken by the socket
    uint64_t sent = 0, verified = 0;
    Clock::time_point ends_at;  // when this connection ends itself
    bool reset = false;         // ... by a reset rather than a close
};

struct Totals {
    uint64_t verified = 0, connections = 0, resets = 0, closes = 0;
    uint64_t mismatches = 0;  // reads whose bytes differ from the stream
    uint64_t server_ends = 0;  // connections the server side ended
    uint64_t stalled = 0;      // bytes in flight, never echoed, connection open
};

int connect_nonblocking(uint16_t port) {
    Addr to(AF_INET, port);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(fd, to.sa(), to.len);  // in progress
    return fd;
}

class Driver {
public:
    Driver(uint16_t port, int conns, unsigned seed) : port_(port), peers_(conns), rng_(seed) {
        epfd_ = epoll_create1(0);
        for (size_t i = 0; i < peers_.size(); ++i) start(i);
    }
    ~Driver() { close(epfd_); }

    void run_until(Clock::time_point end) {
        epoll_event events[256];
        while (Clock::now() < end) {
            int n = epoll_wait(epfd_, events, 256, 50);
            for (int i = 0; i < n; ++i) serve(events[i].data.u32, events[i].events);
            auto now = Clock::now();
            for (size_t i = 0; i < peers_.size(); ++i)
                if (now >= peers_[i].ends_at) finish(i, true);
        }
        // The drain: the peers send nothing more and end nothing; each waits
        // for the echo of what it sent, or for the server to end it.
        draining_ = true;
        auto deadline = Clock::now() + std::chrono::seconds(20);
        while (in_flight() && Clock::now() < deadline) {
            int n = epoll_wait(epfd_, events, 256, 50);
            for (int i = 0; i < n; ++i) serve(events[i].data.u32, events[i].events);
        }
        for (size_t i = 0; i < peers_.size(); ++i) {
            if (peers_[i].fd >= 0 && peers_[i].sent != peers_[i].verified) ++totals.stalled;
            finish(i, false);
        }
    }

    Totals totals;

private:
    bool in_flight() const {
        for (const Peer &p : peers_)
            if (p.fd >= 0 && p.sent != p.verified) return true;
        return false;
    }

    void start(size_t i) {
        Peer &p = peers_[i];
        p = Peer{};
        p.seed = (static_cast<uint64_t>(rng_()) << 32) | rng_();
        p.fd = connect_nonblocking(port_);
        p.ends_at = Clock::now() + std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 3000)(rng_));
        p.reset = rng_() % 3 == 0;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLET;
        ev.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(epfd_, EPOLL_CTL_ADD, p.fd, &ev);
        ++totals.connections;
    }

    // Ends the connection; with `again`, a new one takes its place.
    void finish(size_t i, bool again) {
        Peer &p = peers_[i];
        if (p.fd < 0) return;
        ++(p.reset ? totals.resets : totals.closes);
        if (p.reset)
            reset_close(p.fd);  // leaves the epoll set with it, as a close does
        else
            close(p.fd);
        p.fd = -1;
        totals.verified += p.verified;
        if (again) start(i);
    }

    void serve(uint32_t i, uint32_t events) {
        Peer &p = peers_[i];
        if (p.fd < 0) return;
        bool ended = events & (EPOLLERR | EPOLLHUP);
        if (events & EPOLLIN) {
            char buf[65536], want[65536];
            ssize_t n;
            while ((n = read(p.fd, buf, sizeof buf)) > 0) {
                fill(p.seed, p.verified, want, static_cast<size_t>(n));
                if (memcmp(buf, want, static_cast<size_t>(n)) != 0) ++totals.mismatches;
                p.verified += static_cast<uint64_t>(n);
            }
            ended |= n == 0;
        }
        if (ended) {
            ++totals.server_ends;
            return finish(i, !draining_);
        }
        // Keep up to 256 KiB in flight, in chunks of random size.
        while (!draining_ && p.sent - p.verified < (256u << 10)) {
            if (p.out.empty()) {
                size_t size = std::uniform_int_distribution<size_t>(1, 65536)(rng_);
                p.out.resize(size);
                fill(p.seed, p.sent, p.out.data(), size);
            }
            // A connection the server ended (as it may when its calls fail)
            // is an error here, not a SIGPIPE that ends the program.
            ssize_t n = send(p.fd, p.out.data(), p.out.size(), MSG_NOSIGNAL);
            if (n <= 0) break;
            p.sent += static_cast<uint64_t>(n);
            p.out.erase(0, static_cast<size_t>(n));
        }
    }

    uint16_t port_;
    std::vector<Peer> peers_;
    std::mt19937 rng_;
    int epfd_;
    bool draining_ = false;
};

// The echo server of tests/echo_server.h, with two changes for the runs under
// injected faults. A send that fails (-1) ends the connection: the library
// reports the failure by that result and leaves the close to its caller, and
// a healthy socket whose send was made to fail would never bring the write
// callback that the shared flush waits for. And the server's own bookkeeping
// (a connection's record, its pending bytes) is spared from failed
// allocations, which are meant for the library; its reads and sends are the
// library's and stay exposed.
bool flush(os_tcp_client_t *c, EchoConn *conn) {
    while (!conn->pending.empty()) {
        int n = os_tcp_client_send(c, conn->pending.data(), static_cast<uint32_t>(conn->pending.size()));
        if (n <= 0) return n == 0;  // 0: the write callback resumes
        conn->pending.erase(0, static_cast<size_t>(n));
    }
    return true;
}

int stress_read(os_tcp_client_t *c, void *) {
    EchoConn *conn = echo_conn(c);
    if (conn == nullptr) return -1;
    char buf[65536];
    int n;
    while ((n = os_tcp_client_read(c, buf, conn->read_len)) > 0) {
        fault::Spare spare(fault::kMemory);
        conn->pending.append(buf, static_cast<size_t>(n));
    }
    bool sending = flush(c, conn);  // a peer that only stopped sending still gets its echo
    return n < 0 || !sending ? -1 : 0;
}

void stress_write(os_tcp_client_t *c, void *) {
    if (EchoConn *conn = echo_conn(c); conn != nullptr && !flush(c, conn)) os_tcp_client_close(c);
}

void stress_accept(os_tcp_server_t *s, os_tcp_client_t *c, void *arg) {
    fault::Spare spare(fault::kMemory);
    echo_accept(s, c, arg);
    os_tcp_client_bind_read(c, stress_read, nullptr);
    os_tcp_client_bind_write(c, stress_write, nullptr);
}

}  // namespace

int tcp_stress(double seconds, int conns) {
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, static_cast<rlim_t>(conns) * 2 + 256);
    setrlimit(RLIMIT_NOFILE, &lim);
    log_start(0, LOG_LEVEL_FATAL);  // every end of a connection is reported otherwise
    if (!start_runtime(true)) return fail("the runtime did not start");
    int fds_before = fd_count();
    uint16_t port = free_port();
    os_tcp_server_t *server = open_server(port, stress_accept);
    if (server == nullptr) return fail("the server did not open");

    auto t0 = Clock::now();
    Totals totals;
    {
        Driver driver(port, conns, 2026);
        driver.run_until(t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
        totals = driver.totals;
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    bool settled = wait_until([] { return g_echo_accepted == g_echo_ended; }, std::chrono::seconds(20));
    double idle = idle_cpu_ms(300);
    os_tcp_server_destroy(server);
    bool no_leak = wait_until([fds_before] { return fd_count() == fds_before; });

    printf("tcp: %d connections at a time for %.1f s: %llu made (%llu reset, %llu closed), "
           "%.1f MB echoed and checked (%.1f MB/s)\n",
           conns, elapsed, static_cast<unsigned long long>(totals.connections),
           static_cast<unsigned long long>(totals.resets), static_cast<unsigned long long>(totals.closes),
           totals.verified / 1e6, totals.verified / 1e6 / elapsed);
    printf("tcp: server accepted %ld, ended %ld (%llu by the server); late callbacks %ld; mismatched reads %llu; "
           "stalled %llu; %.0f ms CPU in 300 ms idle; descriptors %d -> %d\n",
           g_echo_accepted.load(), g_echo_ended.load(), static_cast<unsigned long long>(totals.server_ends),
           g_echo_late.load(), static_cast<unsigned long long>(totals.mismatches),
           static_cast<unsigned long long>(totals.stalled), idle, fds_before, fd_count());
    if (totals.mismatches != 0) return fail("echoed bytes differ from what was sent");
    if (totals.stalled != 0) return fail("sent bytes were neither echoed nor their connection closed");
    if (!settled) return fail("some connections never ended on the server");
    if (g_echo_late != 0) return fail("a callback came after a connection's end");
    // A peer that resets before its connection is taken from the backlog is
    // never handed to the server, so accepted may fall short of made.
    if (g_echo_accepted > static_cast<long>(totals.connections)) return fail("the server saw connections never made");
    if (idle > 100) return fail("the idle runtime keeps a thread busy");
    if (!no_leak) return fail("descriptors were left over");
    return 0;
}
