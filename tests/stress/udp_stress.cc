// UDP under load: one client on the library echoes every datagram to its
// sender, while four plain sockets send to it as fast as it echoes, each
// datagram numbered and filled from its number. Loss (to a full buffer or a
// failed call) and datagrams overtaking others are counted; one that comes
// back changed or twice is a failure, as is a callback after destroy.
#include "stress.h"

namespace {

constexpr uint32_t kPeers = 4, kWindow = 64;  // kWindow: datagrams a peer has in flight

struct Head {
    uint64_t seq;
    uint32_t peer, size;  // the whole datagram's size
};

uint64_t seed_of(const Head &h) { return (h.seq << 8 | h.peer) * 0xD1B54A32D192ED03ull; }

std::atomic<long> g_taken, g_echoed, g_failed_reads, g_late;  // what the client's read callback counts
std::atomic<bool> g_destroyed;
unsigned long long g_sent, g_received, g_corrupt, g_duplicates, g_out_of_order;  // what the peers count

// Sends every waiting datagram back (losing the echo to a full buffer is
// UDP's right). A failed read is tried again a few times: a datagram is never
// left behind for a mere interrupted call.
void echo_all(os_udp_client_t *c, void *) {
    g_late += g_destroyed;
    static unsigned char buf[65536];
    char ip[16];
    uint16_t port;
    for (int n, failures = 0; failures < 8 && (n = os_udp_client_read(c, buf, sizeof buf, ip, &port)) != 0;)
        if (n < 0)
            ++failures, ++g_failed_reads;
        else
            ++g_taken, g_echoed += os_udp_client_send(c, buf, static_cast<uint32_t>(n), ip, port) == n;
}

struct Peer {
    int fd;
    uint32_t id;
    uint64_t next = 0, highest = 0;  // the number of the next datagram; the highest echoed, plus one
    std::vector<bool> seen = {};     // by number: echoed already
    Clock::time_point last_echo = {};

    void receive() {
        static char buf[65536], want[65536];
        for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;) {
            Head h;
            memcpy(&h, buf, sizeof h);
            size_t body = static_cast<size_t>(n) - sizeof h;
            bool intact = body < sizeof buf && h.peer == id && h.size == body + sizeof h && h.seq < next;
            if (intact) fill(seed_of(h), 0, want, body);
            if (!intact || memcmp(buf + sizeof h, want, body) != 0) {
                ++g_corrupt;
            } else if (seen[h.seq]) {
                ++g_duplicates;
            } else {
                seen[h.seq] = true;
                ++g_received;
                g_out_of_order += h.seq + 1 < highest;
                highest = std::max(highest, h.seq + 1);
                last_echo = Clock::now();
            }
        }
    }

    // Sends while fewer than kWindow datagrams are in flight, or when the
    // echoes stopped for 20 ms (the rest of the window was lost).
    void send_more(Addr &to, std::mt19937 &rng) {
        static char buf[32768];
        while (next - highest < kWindow || Clock::now() - last_echo > 20ms) {
            size_t size = rng() % 32 == 0 ? 1400 + rng() % 31000 : sizeof(Head) + rng() % 1400;
            Head h{next, id, static_cast<uint32_t>(size)};
            memcpy(buf, &h, sizeof h);
            fill(seed_of(h), 0, buf + sizeof h, size - sizeof h);
            if (sendto(fd, buf, size, MSG_DONTWAIT, to.sa(), to.len) != static_cast<ssize_t>(size)) return;
            ++next, ++g_sent;
            seen.push_back(false);
            if (next - highest >= kWindow) last_echo = Clock::now();  // the window's wait starts now
        }
    }
};

}  // namespace

bool udp_stress(double seconds, double) {
    if (!check(start_runtime(false), "the runtime did not start")) return false;
    int fds = fd_count();
    uint16_t port = free_port(SOCK_DGRAM), own;
    os_udp_client_t *client = os_udp_client_create();
    os_udp_client_set_local(client, "127.0.0.1", port);
    os_udp_client_bind_read(client, echo_all, nullptr);
    os_udp_client_set_rcvbuf_len(client, 4 << 20);
    if (!check(os_udp_client_open(client) == 1, "the client did not open")) return false;
    Addr to(AF_INET, port);
    std::vector<Peer> peers;
    std::vector<pollfd> polls;
    for (uint32_t i = 0; i < kPeers; ++i)
        polls.push_back({peers.emplace_back(Peer{bound(SOCK_DGRAM, &own), i}).fd, POLLIN, 0});
    std::mt19937 rng(2026);
    auto t0 = Clock::now();
    // The load; then what is still on its way comes within moments, or never.
    for (auto quiet = Clock::now(); since(quiet) < 0.3;) {
        bool loading = since(t0) < seconds;
        for (size_t i = 0; loading && i < kPeers; ++i) peers[i].send_more(to, rng);
        auto before = g_received + g_corrupt + g_duplicates;
        poll(polls.data(), polls.size(), loading ? 1 : 10);
        for (Peer &p : peers) p.receive();
        if (loading || g_received + g_corrupt + g_duplicates != before) quiet = Clock::now();
    }
    double elapsed = since(t0);
    long taken = 0;
    bool held = settle("udp", fds, [&] {
        os_udp_client_destroy(client);
        g_destroyed = true;  // after destroy has returned, no callback may come
        taken = g_taken;
        for (Peer &p : peers)  // to the port the client had: nobody may take these
            sendto(p.fd, "late", 4, MSG_DONTWAIT, to.sa(), to.len), close(p.fd);
    });
    usleep(200000);
    printf(
        "udp: %u peers for %.1f s: %llu datagrams sent, %llu echoed back (%.0f/s); the client took %ld, echoed "
        "%ld; failed reads %ld; corrupt %llu, duplicates %llu, out of order %llu; callbacks after destroy %ld\n",
        kPeers, elapsed, g_sent, g_received, g_received / elapsed, taken, g_echoed.load(), g_failed_reads.load(),
        g_corrupt, g_duplicates, g_out_of_order, g_late.load());
    return held & check(g_received != 0, "no datagram came back") &
           check(g_corrupt == 0, "datagrams came back changed") &
           check(g_duplicates == 0, "datagrams came back twice") &
           check(g_late == 0 && g_taken == taken, "a callback came after destroy");
}
