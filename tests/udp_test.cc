// UDP clients against plain sockets and socat; every case ends with the descriptors it began with.
#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "keel/log.h"
#include "keel/os_net.h"
#include "keel/os_runtime.h"
#ifdef _WIN32
#include "net_support.h"
#else
#include "peers.h"
#endif

using namespace keel_test;
using namespace std::chrono_literals;

namespace {

struct Inbox {  // the datagrams a read callback took, with their last sender
    std::vector<std::string> data;
    std::string from;
    std::atomic<int> count{0};
};

void take_all(os_udp_client_t *c, void *arg) {
    auto *inbox = static_cast<Inbox *>(arg);
    static char buf[65536], ip[16];
    uint16_t port;
    for (int n; (n = os_udp_client_read(c, buf, sizeof buf, ip, &port)) > 0; ++inbox->count)
        inbox->data.emplace_back(buf, size_t(n)), inbox->from = ip + (":" + std::to_string(port));
}

class Udp : public ::testing::Test {
protected:
    void SetUp() override {
        log_start(0, 1);
        ASSERT_EQ(os_startup(0, 0), 1);
        base_fds_ = fd_count();
        peer_ = bound(SOCK_DGRAM, &peer_port_);
    }
    void TearDown() override {
        close_socket(peer_);
        EXPECT_TRUE(fd_count_returns_to(base_fds_)) << fd_count() << " vs " << base_fds_;
    }
    // Client c opened on 127.0.0.1 with read callback `read`, if any; to_
    // becomes its address, read on the main thread as a live record's.
    os_udp_client_t *open_client(os_udp_client_cb read = nullptr, void *arg = nullptr,
                                 os_udp_client_t *c = os_udp_client_create()) {
        os_udp_client_set_local(c, "127.0.0.1", 0), os_udp_client_bind_read(c, read, arg);
        EXPECT_EQ(os_udp_client_open(c), 1);
        char ip[64];
        uint16_t port = 0;
        on_main_thread([&] { os_udp_client_get_local(c, ip, &port); }), to_ = Addr(AF_INET, port);
        return c;
    }
    void send_to_client(const std::string &d) { sendto(peer_, d.data(), d.size(), 0, to_.sa(), to_.len); }
    int base_fds_ = -1, peer_ = -1;  // peer_: a plain socket on 127.0.0.1:peer_port_
    uint16_t peer_port_ = 0;
    Addr to_;
};

}  // namespace

// Bad input is refused; a bound client cannot be opened again, nor a closed one.
TEST_F(Udp, BadInputAndTheBindingBeforeOpen) {
    StderrCapture cap;
    EXPECT_EQ(os_udp_client_destroy(os_udp_client_create()), 1);
    EXPECT_EQ(fd_count(), base_fds_ + (kCountsSocketsOnly ? 1 : 3)) << "the peer and the capture's two only";
    os_udp_client_t *c = os_udp_client_create();
    EXPECT_EQ(os_udp_client_set_local(c, std::string(64, 'a').c_str(), 1), 0);
    EXPECT_EQ(os_udp_client_set_local(c, std::string(63, 'a').c_str(), 1), 1) << "not checked until open";
    EXPECT_TRUE(os_udp_client_open(c) == 0 && os_udp_client_set_local(c, "", 0) == 1);
    ASSERT_EQ(os_udp_client_open(c), 1);
    char ip[64] = "x", buf[8];
    uint16_t port = 0;
    EXPECT_TRUE(os_udp_client_get_local(c, ip, &port) == 1 && ip[0] == '\0' && port != 0) << "the port the system chose";
    EXPECT_EQ(os_udp_client_open(c), 0) << "bound already";
    EXPECT_EQ(os_udp_client_read(c, buf, sizeof buf, ip, &port), 0) << "nothing waits";
    EXPECT_EQ(os_udp_client_send(c, "x", 1, nullptr, 9) + os_udp_client_send(c, "x", 1, "no.such.host", 9) +
                  os_udp_client_send(c, std::string(65508, 'x').data(), 65508, "127.0.0.1", 9), -3);
    EXPECT_EQ(os_udp_client_connect_remote(c, "127.0.0.1", 0) + os_udp_client_connect_remote(c, "localhost", 9) +
                  os_udp_client_set_multicast(c, "10.1.2.3", nullptr), 0);
    EXPECT_TRUE(os_udp_client_close(c) == 1 && os_udp_client_open(c) == 0) << "a closed client has no socket";
    EXPECT_EQ(os_udp_client_destroy(c) + os_udp_client_get_status(nullptr) + os_udp_client_close(nullptr), 0);
    // A send or connect before open binds the local address set so far; open keeps that binding.
    uint16_t mine = free_port(SOCK_DGRAM);
    Inbox inbox;
    for (bool fixed_peer : {false, true}) {
        os_udp_client_bind_read(c = os_udp_client_create(), take_all, &inbox);
        ASSERT_EQ(fixed_peer ? os_udp_client_connect_remote(c, "127.0.0.1", peer_port_)
                             : os_udp_client_set_local(c, "127.0.0.1", mine), 1);
        ASSERT_EQ(os_udp_client_send(c, "early", 5, "127.0.0.1", peer_port_), 5);
        Addr from;
        ASSERT_EQ(recvfrom(peer_, buf, sizeof buf, 0, from.sa(), &from.len), 5);
        EXPECT_TRUE(fixed_peer || from.port() == mine) << "sent from the local address set";
        ASSERT_TRUE(os_udp_client_open(c) == 1 && sendto(peer_, "back", 4, 0, from.sa(), from.len) == 4) << fixed_peer;
        EXPECT_TRUE(wait_until([&] { return inbox.count == 1 + fixed_peer; })) << fixed_peer;
        os_udp_client_destroy(c);
    }
    ASSERT_EQ(os_udp_client_send(c = os_udp_client_create(), "early", 5, "127.0.0.1", peer_port_), 5);
    EXPECT_EQ(os_udp_client_set_local(c, "127.0.0.1", mine) + os_udp_client_open(c), 1) << "bound by the send";
    os_udp_client_destroy(c);
    std::string text = cap.text();  // both refused opens fail at the bind, with the system's reason
    const std::pair<const char *, int> reports[] = {
        {"differs from the one an earlier send or connect bound", 1}, {"ip length out", 1},
        {"inet_addr(ip) == INADDR_NONE", 1}, {"IP_ADD_MEMBERSHIP", 1},
#ifdef _WIN32  // the system's texts differ between Windows and wine
        {"bind fail", 2}};
#else
        {"err: Invalid argument bind fail", 1}, {"err: Bad file descriptor bind fail", 1}};
#endif
    for (const auto &[report, n] : reports) EXPECT_EQ(count_of(text, report), n) << report;
}

// 10,000 datagrams up to the largest arrive whole and in order; one write callback after open.
TEST_F(Udp, DatagramsWholeInOrderOrCutAndAPortUnreachableIsReported) {
    Inbox inbox;
    static std::atomic<int> s_writes{0};
    os_udp_client_t *c = os_udp_client_create();
    os_udp_client_bind_write(c, [](os_udp_client_t *self, void *) {
        EXPECT_EQ(os_udp_client_get_status(self), UDP_CLIENT_STATUS_OPEN);
        ++s_writes;
    }, nullptr);
    ASSERT_EQ(os_udp_client_set_rcvbuf_len(c, 8 << 20), 1);
    open_client(take_all, &inbox, c);
    EXPECT_TRUE(wait_until([] { return s_writes == 1; }));
    constexpr int kCount = 10000, kWindow = 32;
    std::mt19937 gen(11);
    std::vector<std::string> sent;
    for (int i = 0; i < kCount; ++i) {
        // A bounded window keeps the receive buffer from overflowing.
        ASSERT_TRUE(wait_until([&] { return inbox.count > i - kWindow; })) << "lost near " << i;
        sent.push_back(pattern(i == 0 ? 65507 : (i % 16 == 0 ? gen() % 65507 + 1 : gen() % 1500 + 1), i));
        send_to_client(sent.back());
    }
    ASSERT_TRUE(wait_until([&] { return inbox.count == kCount; })) << inbox.count;
    on_main_thread([&] {
        for (int i = 0; i < kCount; ++i) ASSERT_TRUE(inbox.data[i] == sent[i]) << "datagram " << i;
        EXPECT_EQ(inbox.from, "127.0.0.1:" + std::to_string(peer_port_));
    });
    EXPECT_TRUE(os_udp_client_destroy(c) == 1 && s_writes == 1);
    // A datagram longer than the buffer is cut and reported; a read callback may destroy its client.
    // A port unreachable is reported, calls nothing and the client goes on; socat then echoes.
    StderrCapture cap;
    c = open_client();
    os_main_lock();  // the main thread would drain them: no read callback
    std::string big(1000, 'b');
    for (const std::string &d : {big, std::string("next"), std::string()}) send_to_client(d);
    char buf[100], ip[16];
    uint16_t port;
    ASSERT_TRUE(wait_until([&] { return os_udp_client_read(c, buf, sizeof buf, ip, &port) == 100; }));
    EXPECT_EQ(std::string(buf, 100), big.substr(0, 100));
    EXPECT_TRUE(os_udp_client_read(c, buf, sizeof buf, ip, &port) == 4 && std::string(buf, 4) == "next");
    EXPECT_EQ(os_udp_client_read(c, buf, 0, ip, &port), 0) << "no room takes nothing";
    EXPECT_EQ(os_udp_client_read(c, buf, sizeof buf, ip, &port), -1) << "an empty datagram";
    EXPECT_EQ(os_udp_client_read(c, buf, sizeof buf, ip, &port), 0);
    os_main_unlock();
    // Windows tells no length of a datagram it cut.
    EXPECT_EQ(count_of(cap.so_far(), kCountsSocketsOnly ? "datagram cut to 100 bytes" : "datagram of 1000 bytes cut to 100"), 1);
    EXPECT_EQ(os_udp_client_destroy(c), 1);
    static std::atomic<bool> s_gone{false};
    open_client([](os_udp_client_t *self, void *) { os_udp_client_destroy(self), s_gone = true; });
    send_to_client("bye");
    EXPECT_TRUE(wait_until([] { return s_gone.load(); }));
    Inbox echoed;
    c = open_client(take_all, &echoed);
    port = free_port(SOCK_DGRAM);
    ASSERT_EQ(os_udp_client_connect_remote(c, "127.0.0.1", port), 1);
    EXPECT_EQ(os_udp_client_send(c, "anyone?", 7, "ignored", 1), 7);
    // wine keeps a port unreachable in SO_ERROR: no event, no read tells it.
    EXPECT_TRUE(under_wine() || wait_until([&] { return count_of(cap.so_far(), "socket err: 10061") == 1; }));
    EXPECT_TRUE(echoed.count == 0 && os_udp_client_get_status(c) == UDP_CLIENT_STATUS_OPEN);
#ifndef _WIN32  // socat is a Linux program
    Child socat({"socat", "-T", "5", "UDP-RECVFROM:" + std::to_string(port) + ",bind=127.0.0.1,fork", "PIPE"});
    // Until socat listens, each send meets the unreachable port again.
    for (int i = 0; i < 100 && echoed.count == 0; ++i) {
        os_udp_client_send(c, "echo me", 7, "ignored", 1), wait_until([&] { return echoed.count > 0; }, 100ms);
    }
    socat.stop();
    ASSERT_GT(echoed.count, 0);
    on_main_thread([&] { EXPECT_EQ(echoed.data[0], "echo me"); });
#endif
    os_udp_client_destroy(c);
}

// Two members of a group on the loopback interface receive from a socket and from each other.
TEST_F(Udp, MulticastOnTheLoopbackInterface) {
    // There the group would be reached through the default interface, off the machine.
    KEEL_SKIP_UNDER_EMULATION("refuses IP_MULTICAST_IF");
    Inbox a, b;
    uint16_t port = free_port(SOCK_DGRAM);  // free on 127.0.0.1, so free for the group
    std::vector<os_udp_client_t *> members;
    for (Inbox *inbox : {&a, &b}) {
        os_udp_client_set_local(members.emplace_back(os_udp_client_create()), "", port);
        ASSERT_EQ(os_udp_client_set_multicast(members.back(), "239.255.12.34", "127.0.0.1"), 1);
        os_udp_client_bind_read(members.back(), take_all, inbox);
        ASSERT_EQ(os_udp_client_open(members.back()), 1) << "a second member shares the port";
    }
    int with_ttl = 0, ttl;  // the members' sockets, found by their port, send with a TTL of 64
    for (int fd = 0; fd < 1024; ++fd) {
        Addr at;
        socklen_t len = sizeof ttl;
        with_ttl += getsockname(fd, at.sa(), &at.len) == 0 && at.port() == port &&
                    getsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, reinterpret_cast<char *>(&ttl), &len) == 0 && ttl == 64;
    }
    EXPECT_EQ(with_ttl, 2);
    in_addr lo{};
    lo.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(setsockopt(peer_, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<char *>(&lo), sizeof lo), 0) << "never off the machine";
    to_ = Addr(AF_INET, port), reinterpret_cast<sockaddr_in &>(to_.ss).sin_addr.s_addr = inet_addr("239.255.12.34");
    send_to_client("to all");
    ASSERT_TRUE(wait_until([&] { return a.count == 1 && b.count == 1; }));
    EXPECT_EQ(os_udp_client_send(members[0], "from a member", 13, "239.255.12.34", port), 13);
    ASSERT_TRUE(wait_until([&] { return b.count == 2; }));
    on_main_thread([&] { EXPECT_EQ(a.data[0] + b.data[0] + b.data[1], "to allto allfrom a member"); });
    for (os_udp_client_t *m : members) os_udp_client_destroy(m);
}
