// UDP clients as callers use them, against plain datagram sockets of this
// process and socat: datagrams whole and in order, sizes up to the largest,
// multicast on the loopback interface, and errors that come back from a peer.
// Every case ends with the descriptors it started with. os_cleanup is in
// tcp_test.cc, with the servers it closes too.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <random>
#include <string>
#include <vector>

#include "keel/log.h"
#include "keel/os_net.h"
#include "keel/os_runtime.h"
#include "test_support.h"

using namespace keel_test;
using namespace std::chrono_literals;

namespace {

// The client's address, read under the main lock as a live record's every
// use from another thread.
Addr address_of(os_udp_client_t *c) {
    char ip[64];
    uint16_t port = 0;
    os_main_lock();
    os_udp_client_get_local(c, ip, &port);
    os_main_unlock();
    return Addr(AF_INET, port);
}

// The datagrams a read callback took, with their senders.
struct Inbox {
    std::vector<std::string> data;
    std::string from_ip;
    uint16_t from_port = 0;
    std::atomic<int> count{0};
};

void take_all(os_udp_client_t *c, void *arg) {
    auto *inbox = static_cast<Inbox *>(arg);
    static char buf[65536];
    char ip[16];
    uint16_t port;
    for (int n; (n = os_udp_client_read(c, buf, sizeof buf, ip, &port)) > 0;) {
        inbox->data.emplace_back(buf, static_cast<size_t>(n));
        inbox->from_ip = ip;
        inbox->from_port = port;
        ++inbox->count;
    }
}

class Udp : public ::testing::Test {
protected:
    void SetUp() override {
        log_start(0, 1);
        ASSERT_EQ(os_startup(0, 0), 1);
        base_fds_ = fd_count();
    }
    void TearDown() override { EXPECT_TRUE(fd_count_returns_to(base_fds_)) << fd_count() << " vs " << base_fds_; }

    // An open client on 127.0.0.1 whose read callback, if any, is `read`.
    os_udp_client_t *open_client(os_udp_client_cb read = nullptr, void *arg = nullptr) {
        os_udp_client_t *c = os_udp_client_create();
        os_udp_client_set_local(c, "127.0.0.1", 0);
        os_udp_client_bind_read(c, read, arg);
        EXPECT_EQ(os_udp_client_open(c), 1);
        return c;
    }
    int base_fds_ = -1;
};

}  // namespace

// A client never opened holds a socket its destroy releases; bad input is
// refused; a bound client cannot be opened again, nor a closed one.
TEST_F(Udp, RecordsCallsAndBadInput) {
    StderrCapture cap;
    EXPECT_EQ(os_udp_client_destroy(os_udp_client_create()), 1);
    EXPECT_EQ(fd_count(), base_fds_ + 2) << "the capture's two only";
    os_udp_client_t *c = os_udp_client_create();
    EXPECT_EQ(os_udp_client_set_local(c, std::string(64, 'a').c_str(), 1), 0);
    EXPECT_EQ(os_udp_client_set_local(c, std::string(63, 'a').c_str(), 1), 1) << "not checked until open";
    EXPECT_EQ(os_udp_client_open(c), 0);
    EXPECT_EQ(os_udp_client_set_local(c, "", 0), 1);
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
    EXPECT_EQ(os_udp_client_close(c), 1);
    EXPECT_EQ(os_udp_client_open(c), 0) << "a closed client has no socket";
    EXPECT_EQ(os_udp_client_destroy(c), 1);
    EXPECT_EQ(os_udp_client_get_status(nullptr) + os_udp_client_close(nullptr), -1);
    std::string text = cap.text();
    for (const char *report : {"ip length out", "inet_addr(ip) == INADDR_NONE", "IP_ADD_MEMBERSHIP"})
        EXPECT_NE(text.find(report), std::string::npos) << report;
    // Both refused opens fail at the bind, with the system's reason.
    EXPECT_EQ(count_of(text, "err: Invalid argument bind fail") + count_of(text, "err: Bad file descriptor bind fail"),
              2);
}

// 10,000 datagrams of mixed sizes, up to the largest there is, arrive whole
// and in order; a client that was never opened can send; the write callback
// comes once the client is open.
TEST_F(Udp, TenThousandDatagramsWholeAndInOrder) {
    Inbox inbox;
    static std::atomic<int> s_writes{0};
    os_udp_client_t *c = os_udp_client_create();
    os_udp_client_set_local(c, "127.0.0.1", 0);
    os_udp_client_bind_read(c, take_all, &inbox);
    os_udp_client_bind_write(c, [](os_udp_client_t *self, void *) {
        EXPECT_EQ(os_udp_client_get_status(self), UDP_CLIENT_STATUS_OPEN);
        ++s_writes;
    }, nullptr);
    ASSERT_EQ(os_udp_client_set_rcvbuf_len(c, 8 << 20), 1);
    ASSERT_EQ(os_udp_client_open(c), 1);
    EXPECT_TRUE(wait_until([] { return s_writes == 1; }));

    uint16_t peer_port;
    int peer = bound(SOCK_DGRAM, &peer_port);
    Addr to = address_of(c);
    constexpr int kCount = 10000, kWindow = 32;
    std::mt19937 gen(11);
    std::vector<std::string> sent;
    for (int i = 0; i < kCount; ++i) {
        size_t size = i == 0 ? 65507 : (i % 16 == 0 ? gen() % 65507 + 1 : gen() % 1500 + 1);
        std::string d(size, '\0');
        for (size_t k = 0; k < size; ++k) d[k] = static_cast<char>(i * 31 + k);
        sent.push_back(std::move(d));
    }
    for (int i = 0; i < kCount; ++i) {
        // A bounded window keeps the receive buffer from overflowing.
        ASSERT_TRUE(wait_until([&] { return inbox.count > i - kWindow; })) << "lost near " << i;
        ASSERT_EQ(sendto(peer, sent[i].data(), sent[i].size(), 0, to.sa(), to.len), static_cast<ssize_t>(sent[i].size()));
    }
    ASSERT_TRUE(wait_until([&] { return inbox.count == kCount; })) << inbox.count;
    on_main_thread([&] {
        for (int i = 0; i < kCount; ++i) ASSERT_TRUE(inbox.data[i] == sent[i]) << "datagram " << i;
        EXPECT_EQ(inbox.from_ip, "127.0.0.1");
        EXPECT_EQ(inbox.from_port, peer_port);
    });
    os_udp_client_destroy(c);
    close(peer);
}

// A client may send, or fix its peer, before open: that binds it to the local
// address set so far, and open then keeps the binding and receives there.
// A different local address set after it is refused.
TEST_F(Udp, SendOrConnectBeforeOpenBindsTheLocalAddress) {
    uint16_t peer_port, mine = free_port(SOCK_DGRAM);
    int peer = bound(SOCK_DGRAM, &peer_port);
    Inbox inbox;
    for (bool fixed_peer : {false, true}) {
        os_udp_client_t *c = os_udp_client_create();
        os_udp_client_bind_read(c, take_all, &inbox);
        if (fixed_peer) {
            ASSERT_EQ(os_udp_client_connect_remote(c, "127.0.0.1", peer_port), 1);
        } else {
            os_udp_client_set_local(c, "127.0.0.1", mine);
        }
        ASSERT_EQ(os_udp_client_send(c, "early", 5, "127.0.0.1", peer_port), 5);
        Addr from;
        char got[8] = {};
        ASSERT_EQ(recvfrom(peer, got, sizeof got, 0, from.sa(), &from.len), 5);
        EXPECT_TRUE(fixed_peer || from.port() == mine) << "sent from the local address set";
        ASSERT_EQ(os_udp_client_open(c), 1) << fixed_peer;
        ASSERT_EQ(sendto(peer, "back", 4, 0, from.sa(), from.len), 4);
        EXPECT_TRUE(wait_until([&] { return inbox.count == 1 + fixed_peer; })) << fixed_peer;
        os_udp_client_destroy(c);
    }
    StderrCapture cap;
    os_udp_client_t *c = os_udp_client_create();
    ASSERT_EQ(os_udp_client_send(c, "early", 5, "127.0.0.1", peer_port), 5);
    os_udp_client_set_local(c, "127.0.0.1", mine);
    EXPECT_EQ(os_udp_client_open(c), 0) << "bound elsewhere by the send";
    EXPECT_EQ(count_of(cap.text(), "differs from the one an earlier send or connect bound"), 1);
    os_udp_client_destroy(c);
    close(peer);
}

// A datagram longer than the reader's buffer fills it; the rest of that
// datagram is gone, reported, and the next one reads whole.
TEST_F(Udp, LongerThanTheBufferIsCutAndReported) {
    os_udp_client_t *c = open_client();
    os_main_lock();  // the main thread would drain them: no read callback
    uint16_t peer_port;
    int peer = bound(SOCK_DGRAM, &peer_port);
    Addr to = address_of(c);
    std::string big(1000, 'b');
    for (const std::string &d : {big, std::string("next"), std::string()}) sendto(peer, d.data(), d.size(), 0, to.sa(), to.len);
    StderrCapture cap;
    char buf[100], ip[16];
    uint16_t port;
    ASSERT_TRUE(wait_until([&] { return os_udp_client_read(c, buf, sizeof buf, ip, &port) == 100; }));
    EXPECT_EQ(std::string(buf, 100), big.substr(0, 100));
    EXPECT_EQ(os_udp_client_read(c, buf, sizeof buf, ip, &port), 4);
    EXPECT_EQ(std::string(buf, 4), "next");
    EXPECT_EQ(os_udp_client_read(c, buf, 0, ip, &port), 0) << "no room takes nothing";
    EXPECT_EQ(os_udp_client_read(c, buf, sizeof buf, ip, &port), -1) << "an empty datagram";
    EXPECT_EQ(os_udp_client_read(c, buf, sizeof buf, ip, &port), 0);
    os_main_unlock();
    EXPECT_NE(cap.text().find("datagram of 1000 bytes cut to 100"), std::string::npos);
    os_udp_client_destroy(c);
    close(peer);
}

// Two clients in one process join a group on the loopback interface; a plain
// socket sends to it and both receive.
TEST_F(Udp, MulticastOnTheLoopbackInterface) {
    // There the members and the sender would reach the group through the
    // default interface, off the machine: the case must not run at all.
    KEEL_SKIP_UNDER_EMULATION("refuses IP_MULTICAST_IF");
    Inbox a, b;
    uint16_t port = free_port(SOCK_DGRAM);  // free on 127.0.0.1, so free for the group
    std::vector<os_udp_client_t *> members;
    for (Inbox *inbox : {&a, &b}) {
        os_udp_client_t *m = os_udp_client_create();
        os_udp_client_set_local(m, "", port);
        ASSERT_EQ(os_udp_client_set_multicast(m, "239.255.12.34", "127.0.0.1"), 1);
        os_udp_client_bind_read(m, take_all, inbox);
        ASSERT_EQ(os_udp_client_open(m), 1) << "a second member shares the port";
        members.push_back(m);
    }
    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    in_addr lo{htonl(INADDR_LOOPBACK)};
    ASSERT_EQ(setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo), 0) << "never off the machine";
    Addr group(AF_INET, port);
    reinterpret_cast<sockaddr_in &>(group.ss).sin_addr.s_addr = inet_addr("239.255.12.34");
    ASSERT_EQ(sendto(sender, "to all", 6, 0, group.sa(), group.len), 6);
    EXPECT_TRUE(wait_until([&] { return a.count == 1 && b.count == 1; }));
    on_main_thread([&] {
        if (a.count == 1 && b.count == 1) {
            EXPECT_EQ(a.data[0] + b.data[0], "to allto all");
        }
    });

    // A member sends to the group through the interface it joined on.
    EXPECT_EQ(os_udp_client_send(members[0], "from a member", 13, "239.255.12.34", port), 13);
    EXPECT_TRUE(wait_until([&] { return b.count == 2; }));
    close(sender);
    for (os_udp_client_t *m : members) os_udp_client_destroy(m);
}

// A connected client sends to a port nobody holds: the error that comes
// back is reported with its number, calls no callback, and the client goes
// on; socat, a program of its own, then echoes from that port.
TEST_F(Udp, PortUnreachableThenSocatEchoes) {
    StderrCapture cap;
    Inbox inbox;
    os_udp_client_t *c = open_client(take_all, &inbox);
    uint16_t port = free_port(SOCK_DGRAM);
    ASSERT_EQ(os_udp_client_connect_remote(c, "127.0.0.1", port), 1);
    EXPECT_EQ(os_udp_client_send(c, "anyone?", 7, "ignored", 1), 7);
    EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), "socket err: 10061") == 1; }));
    EXPECT_EQ(inbox.count, 0);
    EXPECT_EQ(os_udp_client_get_status(c), UDP_CLIENT_STATUS_OPEN);

    pid_t socat = fork();
    if (socat == 0) {
        std::string listen = "UDP-RECVFROM:" + std::to_string(port) + ",bind=127.0.0.1,fork";
        execlp("socat", "socat", "-T", "5", listen.c_str(), "PIPE", static_cast<char *>(nullptr));
        _exit(127);
    }
    // Until socat listens, each send meets the unreachable port again.
    for (int i = 0; i < 100 && inbox.count == 0; ++i) {
        os_udp_client_send(c, "echo me", 7, "ignored", 1);
        wait_until([&] { return inbox.count > 0; }, 100ms);
    }
    kill(socat, SIGTERM);
    waitpid(socat, nullptr, 0);
    ASSERT_GT(inbox.count, 0);
    on_main_thread([&] { EXPECT_EQ(inbox.data[0], "echo me"); });
    os_udp_client_destroy(c);
}

// A read callback may destroy its own client.
TEST_F(Udp, ReadCallbackThatDestroysItsClient) {
    static std::atomic<bool> s_gone{false};
    os_udp_client_t *c = open_client([](os_udp_client_t *self, void *) {
        os_udp_client_destroy(self);
        s_gone = true;
    });
    uint16_t peer_port;
    int peer = bound(SOCK_DGRAM, &peer_port);
    Addr to = address_of(c);
    sendto(peer, "bye", 3, 0, to.sa(), to.len);
    EXPECT_TRUE(wait_until([] { return s_gone.load(); }));
    close(peer);
}
