// UDP under load: one client on the library echoes every datagram to its
// sender, while four plain sockets send to it as fast as it echoes, each
// datagram numbered and filled from its number. Loss is allowed (a full
// receive buffer drops datagrams, and so may a failed call) but counted;
// a datagram that comes back changed or twice is never allowed, and one that
// comes back before an earlier one is counted. The client's read callback
// takes every datagram; once the load stops, the idle runtime costs no CPU,
// no callback comes after destroy, and no descriptor is left over.
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "fault.h"
#include "keel/log.h"
#include "keel/os_net.h"
#include "keel/os_runtime.h"
#include "stress.h"
#include "tests/echo_server.h"
#include "tests/net_support.h"

using namespace keel_test;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMagic = 0x6b75640a;
constexpr int kPeers = 4;
constexpr uint64_t kWindow = 64;  // datagrams a peer has in flight

struct Head {
    uint32_t magic, peer;
    uint64_t seq;
    uint32_t size;  // the whole datagram's
};

// The payload of datagram `seq` of `peer`, from the two numbers alone.
void fill(uint32_t peer, uint64_t seq, unsigned char *out, size_t n) {
    uint64_t x = (seq * 0x9E3779B97F4A7C15ull) ^ peer;
    for (size_t i = 0; i < n; ++i) {
        x ^= x >> 29, x *= 0xBF58476D1CE4E5B9ull;
        out[i] = static_cast<unsigned char>(x >> 56);
    }
}

// What the library's callbacks count; read on the main thread after the load.
struct Echo {
    std::atomic<long> taken{0}, echoed{0}, refused{0}, failed_reads{0}, late{0};
    std::atomic<bool> destroyed{false};
};

// Takes every waiting datagram and sends it back. A failed read is tried
// again a few times before the callback gives up until the next one: a
// datagram is never left behind for a mere interrupted call.
void echo_all(os_udp_client_t *c, void *arg) {
    auto *echo = static_cast<Echo *>(arg);
    if (echo->destroyed) ++echo->late;
    static unsigned char buf[65536];
    char ip[16];
    uint16_t port;
    for (int failures = 0; failures < 8;) {
        int n = os_udp_client_read(c, buf, sizeof buf, ip, &port);
        if (n == 0) break;
        if (n < 0) {
            ++failures, ++echo->failed_reads;
            continue;
        }
        ++echo->taken;
        // A full send buffer or a failed send loses the echo: allowed for UDP.
        ++(os_udp_client_send(c, buf, static_cast<uint32_t>(n), ip, port) == n ? echo->echoed : echo->refused);
    }
}

struct Peer {
    int fd = -1;
    uint64_t next = 0;       // the number of the next datagram
    uint64_t highest = 0;    // the highest number echoed, plus one
    std::vector<bool> seen;  // by number: echoed already
    Clock::time_point last_echo;
};

struct Totals {
    uint64_t sent = 0, received = 0, corrupt = 0, duplicates = 0, out_of_order = 0;
};

void receive(Peer &p, uint32_t id, Totals &t) {
    static unsigned char buf[65536], want[65536];
    for (ssize_t n; (n = recv(p.fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;) {
        Head h;
        memcpy(&h, buf, sizeof h);
        size_t body = static_cast<size_t>(n) - sizeof h;
        if (static_cast<size_t>(n) < sizeof h || h.magic != kMagic || h.peer != id || h.size != static_cast<size_t>(n) || h.seq >= p.next) {
            ++t.corrupt;
            continue;
        }
        fill(id, h.seq, want, body);
        if (memcmp(buf + sizeof h, want, body) != 0) {
            ++t.corrupt;
            continue;
        }
        if (p.seen[h.seq]) {
            ++t.duplicates;
            continue;
        }
        p.seen[h.seq] = true;
        ++t.received;
        if (h.seq + 1 < p.highest) ++t.out_of_order;
        p.highest = std::max(p.highest, h.seq + 1);
        p.last_echo = Clock::now();
    }
}

// Sends while fewer than kWindow datagrams are in flight, or when the echoes
// stopped for 20 ms (the rest of the window was lost).
void send_more(Peer &p, uint32_t id, const Addr &to, std::mt19937 &rng, Totals &t) {
    static unsigned char buf[32768];
    while (p.next - p.highest < kWindow || Clock::now() - p.last_echo > std::chrono::milliseconds(20)) {
        size_t size = rng() % 32 == 0 ? 1400 + rng() % 31000 : sizeof(Head) + rng() % 1400;
        Head h{kMagic, id, p.next, static_cast<uint32_t>(size)};
        memcpy(buf, &h, sizeof h);
        fill(id, p.next, buf + sizeof h, size - sizeof h);
        if (sendto(p.fd, buf, size, MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&to.ss), to.len) != static_cast<ssize_t>(size))
            return;
        ++p.next, ++t.sent;
        p.seen.push_back(false);
        if (p.next - p.highest >= kWindow) p.last_echo = Clock::now();  // the window's wait starts now
    }
}

}  // namespace

int udp_stress(double seconds) {
    log_start(0, LOG_LEVEL_FATAL);  // failed calls under injected faults are reported otherwise
    if (!start_runtime(false)) return fail("the runtime did not start");
    int fds_before = fd_count();
    Echo echo;
    os_udp_client_t *client = os_udp_client_create();
    if (client == nullptr) return fail("no client");
    os_udp_client_set_local(client, "127.0.0.1", 0);
    os_udp_client_bind_read(client, echo_all, &echo);
    os_udp_client_set_rcvbuf_len(client, 4 << 20);
    if (os_udp_client_open(client) != 1) return fail("the client did not open");
    char ip[64];
    uint16_t port = 0;
    os_main_lock();
    os_udp_client_get_local(client, ip, &port);
    os_main_unlock();
    Addr to(AF_INET, port);

    std::vector<Peer> peers(kPeers);
    std::vector<pollfd> polls;
    for (Peer &p : peers) {
        Addr at;
        p.fd = bound(SOCK_DGRAM, at);
        polls.push_back({p.fd, POLLIN, 0});
    }
    std::mt19937 rng(2026);
    Totals t;
    auto t0 = Clock::now();
    auto end = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        for (uint32_t i = 0; i < kPeers; ++i) send_more(peers[i], i, to, rng, t);
        poll(polls.data(), polls.size(), 1);
        for (uint32_t i = 0; i < kPeers; ++i) receive(peers[i], i, t);
    }
    // What is still on its way comes within moments, or never.
    for (auto quiet = Clock::now(); Clock::now() - quiet < std::chrono::milliseconds(300);) {
        uint64_t before = t.received + t.corrupt + t.duplicates;
        poll(polls.data(), polls.size(), 10);
        for (uint32_t i = 0; i < kPeers; ++i) receive(peers[i], i, t);
        if (t.received + t.corrupt + t.duplicates != before) quiet = Clock::now();
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    double idle = idle_cpu_ms(300);

    os_udp_client_destroy(client);
    echo.destroyed = true;  // after destroy has returned, no callback may come
    long taken = echo.taken;
    for (Peer &p : peers) {  // to the port the client had: nobody may take these
        sendto(p.fd, "late", 4, MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&to.ss), to.len);
        close(p.fd);
    }
    usleep(200000);
    bool no_leak = wait_until([fds_before] { return fd_count() == fds_before; });

    printf("udp: %d peers for %.1f s: %llu datagrams sent, %llu echoed back (%.1f%% lost, %.0f/s); the client took "
           "%ld, echoed %ld, could not echo %ld; failed reads %ld\n",
           kPeers, elapsed, static_cast<unsigned long long>(t.sent), static_cast<unsigned long long>(t.received),
           t.sent != 0 ? 100.0 * static_cast<double>(t.sent - t.received) / static_cast<double>(t.sent) : 0.0,
           static_cast<double>(t.received) / elapsed, taken, echo.echoed.load(), echo.refused.load(),
           echo.failed_reads.load());
    printf("udp: corrupt %llu, duplicates %llu, out of order %llu; callbacks after destroy %ld; %.0f ms CPU in 300 ms "
           "idle; descriptors %d -> %d\n",
           static_cast<unsigned long long>(t.corrupt), static_cast<unsigned long long>(t.duplicates),
           static_cast<unsigned long long>(t.out_of_order), echo.late.load(), idle, fds_before, fd_count());
    if (t.received == 0) return fail("no datagram came back");
    if (t.corrupt != 0) return fail("datagrams came back changed");
    if (t.duplicates != 0) return fail("datagrams came back twice");
    if (echo.late != 0 || echo.taken != taken) return fail("a callback came after destroy");
    if (idle > 100) return fail("the idle runtime keeps a thread busy");
    if (!no_leak) return fail("descriptors were left over");
    return 0;
}
