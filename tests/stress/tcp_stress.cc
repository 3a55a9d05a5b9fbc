// TCP under load: 1,000 connections to one echo server on the library, each
// sending chunks of random size and checking every echoed byte in order,
// while connections end at random moments, gracefully or by reset, and are
// made again. Afterwards every connection the server saw has ended exactly
// once, no callback reached a connection after its end, and no descriptor is
// left over.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "keel/log.h"
#include "keel/os_net.h"
#include "keel/os_runtime.h"
#include "stress.h"

namespace {

using Clock = std::chrono::steady_clock;

// ---- the server, as a user would write it -----------------------------------

constexpr uint32_t kAlive = 0x6b65656c;

struct ServerConn {
    uint32_t magic = kAlive;
    std::string pending;
};

std::atomic<long> g_accepted{0}, g_ended{0}, g_late_callbacks{0};

ServerConn *conn_of(os_tcp_client_t *c) {
    auto *conn = static_cast<ServerConn *>(os_tcp_client_get_udata(c));
    if (conn == nullptr || conn->magic != kAlive) {
        ++g_late_callbacks;  // a callback for a connection that has ended
        return nullptr;
    }
    return conn;
}

void flush(os_tcp_client_t *c, ServerConn *conn) {
    while (!conn->pending.empty()) {
        int n = os_tcp_client_send(c, conn->pending.data(), static_cast<uint32_t>(conn->pending.size()));
        if (n <= 0) return;
        conn->pending.erase(0, static_cast<size_t>(n));
    }
}

int on_read(os_tcp_client_t *c, void *) {
    ServerConn *conn = conn_of(c);
    if (conn == nullptr) return -1;
    char buf[32768];
    int n;
    while ((n = os_tcp_client_read(c, buf, sizeof buf)) > 0) conn->pending.append(buf, static_cast<size_t>(n));
    flush(c, conn);
    return n < 0 ? -1 : 0;
}

void on_write(os_tcp_client_t *c, void *) {
    if (ServerConn *conn = conn_of(c)) flush(c, conn);
}

void on_end(os_tcp_client_t *c, void *) {
    ServerConn *conn = conn_of(c);
    if (conn == nullptr) return;
    conn->magic = 0;
    delete conn;
    os_tcp_client_set_udata(c, nullptr);
    ++g_ended;
}

void on_accept(os_tcp_server_t *, os_tcp_client_t *c, void *) {
    os_tcp_client_set_udata(c, new ServerConn);
    os_tcp_client_bind_read(c, on_read, nullptr);
    os_tcp_client_bind_write(c, on_write, nullptr);
    os_tcp_client_bind_disconnect(c, on_end, nullptr);
    ++g_accepted;
}

// ---- the peers: plain non-blocking sockets on one epoll ---------------------

// A byte stream from a seed, eight bytes per step: cheap enough that the
// checkers' instrumentation does not make it the bottleneck.
class Stream {
public:
    Stream() : Stream(1) {}
    explicit Stream(uint64_t seed) : state_(seed | 1) {}
    void fill(char *out, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (left_ == 0) {
                state_ ^= state_ << 13;
                state_ ^= state_ >> 7;
                state_ ^= state_ << 17;
                word_ = state_;
                left_ = 8;
            }
            out[i] = static_cast<char>(word_);
            word_ >>= 8;
            --left_;
        }
    }

private:
    uint64_t state_, word_ = 0;
    int left_ = 0;
};

struct Peer {
    int fd = -1;
    Stream bytes;             // the stream this connection sends
    Stream check;             // the same stream, to check the echo against
    std::string out;          // bytes not yet taken by the socket
    uint64_t sent = 0, verified = 0;
    Clock::time_point ends_at;  // when this connection ends itself
    bool reset = false;         // ... by a reset rather than a close
};

struct Totals {
    uint64_t verified = 0, connections = 0, resets = 0, closes = 0;
    uint64_t mismatches = 0;  // reads whose bytes differ from the stream
};

int connect_nonblocking(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);  // in progress
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
        for (size_t i = 0; i < peers_.size(); ++i) finish(i, false);
    }

    Totals totals;

private:
    void start(size_t i) {
        Peer &p = peers_[i];
        uint64_t stream = (static_cast<uint64_t>(rng_()) << 32) | rng_();
        p = Peer{};
        p.bytes = p.check = Stream(stream);
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
        if (p.reset) {
            linger hard{1, 0};
            setsockopt(p.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            ++totals.resets;
        } else {
            ++totals.closes;
        }
        close(p.fd);  // leaves the epoll set with it
        p.fd = -1;
        totals.verified += p.verified;
        if (again) start(i);
    }

    void serve(uint32_t i, uint32_t events) {
        Peer &p = peers_[i];
        if (p.fd < 0) return;
        if (events & EPOLLIN) {
            char buf[65536], want[65536];
            for (ssize_t n; (n = read(p.fd, buf, sizeof buf)) > 0;) {
                p.check.fill(want, static_cast<size_t>(n));
                if (memcmp(buf, want, static_cast<size_t>(n)) != 0) ++totals.mismatches;
                p.verified += static_cast<uint64_t>(n);
            }
        }
        if (events & (EPOLLERR | EPOLLHUP)) return finish(i, true);
        // Keep up to 256 KiB in flight, in chunks of random size.
        while (p.sent - p.verified < (256u << 10)) {
            if (p.out.empty()) {
                size_t size = std::uniform_int_distribution<size_t>(1, 65536)(rng_);
                p.out.resize(size);
                p.bytes.fill(p.out.data(), size);
            }
            ssize_t n = write(p.fd, p.out.data(), p.out.size());
            if (n <= 0) break;
            p.sent += static_cast<uint64_t>(n);
            p.out.erase(0, static_cast<size_t>(n));
        }
    }

    uint16_t port_;
    std::vector<Peer> peers_;
    std::mt19937 rng_;
    int epfd_;
};

}  // namespace

int tcp_stress(double seconds, int conns) {
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, static_cast<rlim_t>(conns) * 2 + 256);
    setrlimit(RLIMIT_NOFILE, &lim);
    namespace fs = std::filesystem;
    fs::path home = fs::current_path(), dir = fs::temp_directory_path() / ("keel_stress_" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::current_path(dir);
    std::ofstream("select_config.json");  // accept each connection when it comes
    log_start(0, LOG_LEVEL_FATAL);        // every end of a connection is reported otherwise
    if (os_startup(0, 0) != 1) return fail("the runtime did not start");
    fs::current_path(home);
    fs::remove_all(dir);
    int fds_before = descriptor_count();

    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(probe, reinterpret_cast<sockaddr *>(&a), len);
    getsockname(probe, reinterpret_cast<sockaddr *>(&a), &len);
    close(probe);
    os_tcp_server_t *server = os_tcp_server_create();
    os_tcp_server_set_local(server, "127.0.0.1", ntohs(a.sin_port));
    os_tcp_server_bind_accept(server, on_accept, nullptr);
    if (os_tcp_server_open(server) != 1) return fail("the server did not open");

    auto t0 = Clock::now();
    Totals totals;
    {
        Driver driver(ntohs(a.sin_port), conns, 2026);
        driver.run_until(t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
        totals = driver.totals;
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    bool settled = wait_for([] { return g_accepted == g_ended; }, 20.0);
    os_tcp_server_destroy(server);
    bool no_leak = wait_for([fds_before] { return descriptor_count() == fds_before; }, 5.0);

    printf("tcp: %d connections at a time for %.1f s: %llu made (%llu reset, %llu closed), "
           "%.1f MB echoed and checked (%.1f MB/s)\n",
           conns, elapsed, static_cast<unsigned long long>(totals.connections),
           static_cast<unsigned long long>(totals.resets), static_cast<unsigned long long>(totals.closes),
           totals.verified / 1e6, totals.verified / 1e6 / elapsed);
    printf("tcp: server accepted %ld, ended %ld; late callbacks %ld; mismatched reads %llu; descriptors %d -> %d\n",
           g_accepted.load(), g_ended.load(), g_late_callbacks.load(),
           static_cast<unsigned long long>(totals.mismatches), fds_before, descriptor_count());
    if (totals.mismatches != 0) return fail("echoed bytes differ from what was sent");
    if (!settled) return fail("some connections never ended on the server");
    if (g_late_callbacks != 0) return fail("a callback came after a connection's end");
    // A peer that resets before its connection is taken from the backlog is
    // never handed to the server, so accepted may fall short of made.
    if (g_accepted > static_cast<long>(totals.connections)) return fail("the server saw connections never made");
    if (!no_leak) return fail("descriptors were left over");
    return 0;
}
