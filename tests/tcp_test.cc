// TCP servers and clients as callers use them, against real peers: plain
// sockets of this process, and socat as an outside program. Every case ends
// with the descriptors it started with and no callback after a connection's end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "echo_server.h"
#include "keel/log.h"
#include "test_support.h"

using namespace keel_test;
using namespace std::chrono_literals;

namespace {

std::atomic<int> g_ticks{0};  // counted by a one-second timer
// Accepts after which the next message on the main thread was (or was not)
// the tick that counts: a tick's accept poll runs just before its timers.
std::atomic<int> g_accepts_in_a_tick{0}, g_accepts_between_ticks{0};

void ticked_accept(os_tcp_server_t *s, os_tcp_client_t *c, void *arg) {
    EXPECT_EQ(os_tcp_client_get_status(c), TCP_CLIENT_STATUS_CONNECT);
    echo_accept(s, c, arg);
    os_post_func([](void *tick) {
        ++(g_ticks != reinterpret_cast<intptr_t>(tick) ? g_accepts_in_a_tick : g_accepts_between_ticks);
    }, reinterpret_cast<void *>(static_cast<intptr_t>(g_ticks.load())));
}

// A read callback that appends what came to the string it was bound with.
int append_read(os_tcp_client_t *c, void *into) {
    char buf[65536];
    for (int n; (n = os_tcp_client_read(c, buf, sizeof buf)) > 0;)
        static_cast<std::string *>(into)->append(buf, static_cast<size_t>(n));
    return 0;
}

class Tcp : public ::testing::Test {
protected:
    void start(bool accept_at_once = false) {
        log_start(0, 1);
        ASSERT_TRUE(start_runtime(accept_at_once));
        tick_timer_ = os_timer_create([](void *) { ++g_ticks; }, 1000, nullptr);
        base_fds_ = fd_count();
    }

    // A listening server on 127.0.0.1, an echo server unless told otherwise.
    os_tcp_server_t *server(uint16_t *port, os_tcp_accept_cb accept = ticked_accept) {
        os_tcp_server_t *s = open_server(*port = free_port(), accept);
        EXPECT_NE(s, nullptr);
        return s;
    }

    void TearDown() override {
        if (base_fds_ < 0) return;
        EXPECT_TRUE(fd_count_returns_to(base_fds_)) << fd_count() << " descriptors, " << base_fds_ << " before";
        EXPECT_EQ(g_echo_late, 0) << "callbacks after a connection's end";
        os_timer_destroy(tick_timer_);
    }

    os_timer_t *tick_timer_ = nullptr;
    int base_fds_ = -1;
};

}  // namespace

// Refused input leaves no socket behind; a socket the client refuses stays
// the caller's, and one adopted before the runtime runs is closed by destroy.
TEST(TcpRecords, BadInputIsRefusedAndAdoptedSocketsCloseOnDestroy) {
    log_start(0, 1);
    int fds = fd_count();
    StderrCapture cap;
    os_tcp_server_t *s = os_tcp_server_create();
    EXPECT_EQ(os_tcp_server_open(s), 0) << "no runtime yet";
    EXPECT_EQ(os_tcp_server_set_local(s, "localhost", 8081) + os_tcp_server_set_local(s, "1.2.3.4          x", 1), 0);
    // IPv6 text too long for the field is refused for its length, not as IPv4.
    std::string long_v6 = "fe80:0000:0000:0000:0000:0000:0000:0001%" + std::string(24, '7');
    EXPECT_EQ(os_tcp_server_set_local(s, long_v6.c_str(), 1), 0);
    EXPECT_EQ(os_tcp_server_close(s) + os_tcp_server_destroy(s), 2) << "a server that never listened";
    os_tcp_client_t *c = os_tcp_client_create();
    for (const std::string &bad : {std::string(64, '1'), std::string(), std::string("example.org")})
        EXPECT_EQ(os_tcp_client_set_remote(c, bad.c_str(), 1), 0) << bad;
    char buf[8], ip[MAX_IPV6_LEN];
    uint16_t port;
    // No remote address is known yet, nor once a host name is set.
    EXPECT_EQ(os_tcp_client_get_remote(c, ip, &port), 0);
    ASSERT_EQ(os_tcp_client_set_remote_host(c, "example.org", 1), 1);
    EXPECT_EQ(os_tcp_client_get_remote(c, ip, &port), 0);
    EXPECT_EQ(os_tcp_client_send(c, "x", 1) + os_tcp_client_read(c, buf, sizeof buf), -2) << "not connected";
    EXPECT_EQ(os_tcp_client_open(c, -5) + os_tcp_client_open(c, -1), 0) << "a bad descriptor; no runtime yet";
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    EXPECT_EQ(os_tcp_client_open(c, pair[0]), 0) << "not an IP socket";
    EXPECT_EQ(os_tcp_client_close(c) + os_tcp_client_destroy(c), 2);
    EXPECT_EQ(fcntl(pair[0], F_GETFD), 0) << "a refused socket stays the caller's";
    close(pair[0]), close(pair[1]);
    uint16_t lport;
    int lfd = bound(SOCK_STREAM, &lport), peer = plain_connect(lport), mine = accept(lfd, nullptr, nullptr);
    c = os_tcp_client_create();
    ASSERT_EQ(os_tcp_client_open(c, mine), 1);
    EXPECT_EQ(os_tcp_client_read(c, buf, 0), 0) << "no room is not the peer's end";
    EXPECT_EQ(os_tcp_client_destroy(c), 1);
    EXPECT_EQ(fcntl(mine, F_GETFD), -1);
    close(peer), close(lfd);
    EXPECT_EQ(os_tcp_server_open(nullptr) + os_tcp_client_open(nullptr, -1) + os_tcp_client_send(nullptr, "x", 1) +
                  os_tcp_client_destroy(nullptr), -1);
    std::string text = cap.text();
    for (const char *report : {"get_ip_addr_type() failed, ip:example.org",
                               "client->status != TCP_CLIENT_STATUS_CONNECT, status: 0", "os_is_startup() == 0"})
        EXPECT_NE(text.find(report), std::string::npos) << report;
    EXPECT_EQ(count_of(text, "inet_addr(ip) == INADDR_NONE"), 1) << "localhost";
    EXPECT_EQ(count_of(text, "strlen(ip) >= 64"), 1);
    EXPECT_EQ(count_of(text, "strlen(client->remote_ip) == 0"), 2);
    EXPECT_EQ(fd_count(), fds);
}

// A failed open keeps no socket; a refused connect is reported with its
// number and leaves the client connecting until the caller closes it.
TEST_F(Tcp, FailedOpensKeepNoSocketAndARefusedConnectIsReported) {
    start();
    StderrCapture cap;
    int held = fd_count();
    uint16_t port;
    os_tcp_server_t *s = server(&port), *twin = os_tcp_server_create();
    EXPECT_EQ(os_tcp_server_open(s), 0) << "already listening";
    os_tcp_server_set_local(twin, "127.0.0.1", port);
    EXPECT_EQ(os_tcp_server_open(twin), 0);
    os_tcp_client_t *c = os_tcp_client_create();
    os_tcp_client_set_remote(c, "127.0.0.1", port);
    os_tcp_client_set_local(c, "127.0.0.1", port);  // the server holds it
    EXPECT_EQ(os_tcp_client_open(c, -1), 0);
    EXPECT_EQ(fd_count(), held + 1) << "only the listening socket";

    static std::atomic<int> s_connects{0};
    os_tcp_client_set_local(c, "", 0);
    os_tcp_client_set_remote(c, "127.0.0.1", free_port());
    os_tcp_client_bind_connect(c, [](os_tcp_client_t *, void *) { ++s_connects; }, nullptr);
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), "socket err: 10061") == 1; }));
    EXPECT_EQ(os_tcp_client_get_status(c), TCP_CLIENT_STATUS_CONNECTING);
    EXPECT_EQ(s_connects, 0);
    os_tcp_server_destroy(twin), os_tcp_server_destroy(s), os_tcp_client_destroy(c);
    EXPECT_EQ(count_of(cap.text(), "bind fail"), 2);
}

// ---- accepting ------------------------------------------------------------------

class Accept : public Tcp, public ::testing::WithParamInterface<bool> {};

// With the marker, each connection is accepted when it arrives; without it,
// on the next tick, all that wait at once.
TEST_P(Accept, BothModesHandOverEveryConnectionAndEcho) {
    bool at_once = GetParam();
    start(at_once);
    uint16_t port;
    os_tcp_server_t *s = server(&port);
    std::vector<int> peers;
    for (int i = 0; i < 5; ++i) peers.push_back(plain_connect(port));
    ASSERT_TRUE(wait_until([] { return g_accepts_in_a_tick + g_accepts_between_ticks == 5; }, 3s));
    if (at_once)
        EXPECT_GE(g_accepts_between_ticks, 4) << "accepted as they came, not by ticks";
    else
        EXPECT_EQ(g_accepts_in_a_tick, 5) << "accepted by the tick's poll only";
    for (size_t i = 0; i < peers.size(); ++i) {
        std::string msg = pattern(100000, static_cast<unsigned>(i));
        ASSERT_EQ(write(peers[i], msg.data(), msg.size()), static_cast<ssize_t>(msg.size()));
        EXPECT_EQ(read_exact(peers[i], msg.size()), msg) << "connection " << i;
        close(peers[i]);
    }
    EXPECT_TRUE(wait_until([] { return g_echo_ended == 5; }));
    EXPECT_EQ(os_tcp_server_destroy(s), 1);
}

INSTANTIATE_TEST_SUITE_P(Tcp, Accept, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "AtOnce" : "OnTheTick"; });

// An accept callback may close or destroy its own server while the tick's
// poll walks the servers, and may destroy the client it was handed.
TEST_F(Tcp, AcceptCallbacksThatCloseOrDestroy) {
    start();
    static os_tcp_server_t *s_first, *s_second;
    static std::atomic<int> s_calls{0};
    uint16_t p1 = free_port(), p2 = free_port();
    s_second = open_server(p2, [](os_tcp_server_t *, os_tcp_client_t *c, void *) {  // listed first, walked second
        ++s_calls;
        os_tcp_client_close(c);
    });
    s_first = open_server(p1, [](os_tcp_server_t *self, os_tcp_client_t *c, void *) {
        ++s_calls;
        os_tcp_client_destroy(c);
        os_tcp_server_close(s_second);
        os_tcp_server_destroy(self);
    });
    ASSERT_TRUE(s_first != nullptr && s_second != nullptr);
    int a = plain_connect(p1), b = plain_connect(p1), c = plain_connect(p2);
    ASSERT_TRUE(wait_until([] { return s_calls >= 1; }, 3s));
    on_main_thread([] {});
    EXPECT_EQ(s_calls, 1) << "the destroyed server accepts no more; the closed one none";
    EXPECT_EQ(os_tcp_server_get_status(s_second), TCP_SERVER_STATUS_CLOSED);
    EXPECT_TRUE(peer_ended(a)) << "the destroyed client's peer sees the end";
    for (int fd : {a, b, c}) close(fd);
    os_tcp_server_destroy(s_second);
}

// A mode chosen by a call wins over the marker file, before os_startup, and
// after it changes over the servers already listening.
TEST_F(Tcp, AcceptModeByCallWinsOverTheMarker) {
    keel_test::StderrCapture cap;
    EXPECT_EQ(os_set_accept_mode(7), 0);
    EXPECT_EQ(count_of(cap.text(), "mode != OS_ACCEPT_AT_ONCE && mode != OS_ACCEPT_ON_TICK"), 1);
    ASSERT_EQ(os_set_accept_mode(OS_ACCEPT_ON_TICK), 1);
    start(true);  // the marker alone would take each connection at once
    uint16_t port;
    os_tcp_server_t *s = server(&port);
    std::vector<int> peers;
    for (int mode : {OS_ACCEPT_ON_TICK, OS_ACCEPT_AT_ONCE, OS_ACCEPT_ON_TICK}) {
        ASSERT_EQ(os_set_accept_mode(mode), 1);
        int in_tick = g_accepts_in_a_tick, between = g_accepts_between_ticks;
        for (int i = 0; i < 3; ++i) peers.push_back(plain_connect(port));
        ASSERT_TRUE(wait_until([&] { return g_accepts_in_a_tick + g_accepts_between_ticks == in_tick + between + 3; }, 3s));
        if (mode == OS_ACCEPT_ON_TICK)
            EXPECT_EQ(g_accepts_in_a_tick - in_tick, 3) << "accepted by the tick's poll only";
        else
            EXPECT_GE(g_accepts_between_ticks - between, 2) << "accepted as they came";
    }
    for (int fd : peers) close(fd);
    EXPECT_TRUE(wait_until([] { return g_echo_ended == 9; }));
    os_tcp_server_destroy(s);
}

// A server on IPv6 text: on ::1 it takes IPv6 peers, on :: both families,
// and the clients it hands over give their peer's address text and port, and
// their own (known from the listener on ::1, asked of the socket on ::).
TEST_F(Tcp, ServersOnIPv6AndBothFamilies) {
    start(true);
    static std::string s_peer, s_self;
    static uint16_t s_peer_port = 0, s_self_port = 0;
    for (const char *local : {"::1", "::"}) {
        uint16_t port = free_port();
        os_tcp_server_t *s = open_server(0, [](os_tcp_server_t *self, os_tcp_client_t *c, void *arg) {
            char ip[MAX_IPV6_LEN];
            os_tcp_client_get_local(c, ip, &s_self_port);
            s_self = ip;
            os_tcp_client_get_remote(c, ip, &s_peer_port);
            s_peer = ip;
            echo_accept(self, c, arg);
        });
        ASSERT_NE(s, nullptr);
        os_tcp_server_close(s);
        ASSERT_EQ(os_tcp_server_set_local(s, local, port), 1);
        ASSERT_EQ(os_tcp_server_open(s), 1) << local;
        char ip[MAX_IPV6_LEN];
        uint16_t got_port;
        ASSERT_EQ(os_tcp_server_get_local(s, ip, &got_port), 1);
        EXPECT_EQ(std::string(ip), local);
        for (int family : {AF_INET6, AF_INET}) {
            if (family == AF_INET && std::string(local) == "::1") continue;
            Addr to(family, port);
            int fd = socket(family, SOCK_STREAM, 0);
            ASSERT_EQ(connect(fd, to.sa(), to.len), 0) << local << " " << family;
            Addr mine(family);
            getsockname(fd, mine.sa(), &mine.len);
            ASSERT_EQ(write(fd, "six", 3), 3);
            EXPECT_EQ(read_exact(fd, 3), "six") << local << " " << family;
            std::string want = family == AF_INET6 ? "::1" : "::ffff:127.0.0.1";
            EXPECT_TRUE(wait_until_locked([&] { return s_peer == want && s_peer_port == mine.port(); }))
                << local << ": " << s_peer << ":" << s_peer_port;
            EXPECT_TRUE(s_self == want && s_self_port == port) << local << ": " << s_self << ":" << s_self_port;
            close(fd);
        }
        os_tcp_server_destroy(s);
    }
    EXPECT_TRUE(wait_until([] { return g_echo_ended == g_echo_accepted; }));
}

// ---- connections ---------------------------------------------------------------

// A caller's client to a plain IPv6 listener on ::1 (named with a scope): connecting, then
// connected with one connect callback, and data both ways.
TEST_F(Tcp, ClientOnIPv6Loopback) {
    start();
    uint16_t port;
    int lfd = bound(SOCK_STREAM, &port, AF_INET6);
    static std::atomic<int> s_connects{0};
    static std::string s_got;
    os_tcp_client_t *c = os_tcp_client_create();
    std::string scoped = "::1%" + std::to_string(if_nametoindex("lo"));  // a scope the loopback accepts
    ASSERT_EQ(os_tcp_client_set_remote(c, scoped.c_str(), port), 1);
    os_tcp_client_bind_connect(c, [](os_tcp_client_t *, void *) { ++s_connects; }, nullptr);
    os_tcp_client_bind_read(c, append_read, &s_got);
    os_main_lock();  // no event of the connection is handled before we look
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    bool at_once = s_connects == 1;  // a connect may complete inside the open
    EXPECT_EQ(os_tcp_client_get_status(c), at_once ? TCP_CLIENT_STATUS_CONNECT : TCP_CLIENT_STATUS_CONNECTING);
    EXPECT_EQ(os_tcp_client_send(c, "x", 1), at_once ? 1 : 0);
    os_main_unlock();
    ASSERT_TRUE(wait_until([] { return s_connects == 1; }));
    EXPECT_EQ(os_tcp_client_get_status(c), TCP_CLIENT_STATUS_CONNECT);
    int peer = accept(lfd, nullptr, nullptr);
    os_main_lock();
    EXPECT_EQ(os_tcp_client_send(c, "ping", 4), 4);
    os_main_unlock();
    EXPECT_EQ(read_exact(peer, at_once ? 5 : 4), at_once ? "xping" : "ping");
    ASSERT_EQ(write(peer, "pong", 4), 4);
    EXPECT_TRUE(wait_until_locked([] { return s_got == "pong"; }));
    EXPECT_EQ(s_connects, 1);

    // The other end, adopted: connected at once; its destroy closes the socket.
    os_tcp_client_t *adopted = os_tcp_client_create();
    ASSERT_EQ(os_tcp_client_open(adopted, peer), 1);
    EXPECT_EQ(os_tcp_client_open(adopted, peer), 0) << "holds a socket already";
    EXPECT_EQ(os_tcp_client_send(adopted, "!", 1), 1);
    EXPECT_TRUE(wait_until_locked([] { return s_got == "pong!"; }));
    os_tcp_client_destroy(adopted), os_tcp_client_destroy(c);
    close(lfd);
}

// Sends that meet a full socket resume on the write callback: our client
// sends more than the socket buffers hold through socat, a program of its
// own, to our echo server, and gets all of it back.
TEST_F(Tcp, SixteenMiBBothWaysThroughSocat) {
    start(true);
    uint16_t echo_port, port = free_port();
    os_tcp_server_t *echo = server(&echo_port);
    pid_t socat = fork();
    if (socat == 0) {
        std::string listen = "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork";
        execlp("socat", "socat", listen.c_str(), ("TCP:127.0.0.1:" + std::to_string(echo_port)).c_str(), nullptr);
        _exit(127);
    }
    ASSERT_TRUE(wait_until([port] {
        int probe = plain_connect(port);
        return probe >= 0 && close(probe) == 0;
    })) << "socat did not start";
    static struct {
        std::string out = pattern(16 << 20, 7), in;
        size_t sent = 0;
        int would_block = 0;
    } t;
    os_tcp_client_t *c = os_tcp_client_create();
    os_tcp_client_set_remote(c, "127.0.0.1", port);
    os_tcp_client_bind_write(c, [](os_tcp_client_t *self, void *) {
        while (t.sent < t.out.size()) {
            int n = os_tcp_client_send(self, t.out.data() + t.sent, static_cast<uint32_t>(t.out.size() - t.sent));
            if (n <= 0) return void(++t.would_block);  // the next write callback goes on
            t.sent += static_cast<size_t>(n);
        }
    }, nullptr);
    os_tcp_client_bind_read(c, append_read, &t.in);
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    EXPECT_TRUE(wait_until_locked([] { return t.in.size() >= t.out.size(); }, 20s))
        << t.in.size() << " of " << t.out.size() << ", sent " << t.sent << ", blocked " << t.would_block;
    EXPECT_TRUE(t.in == t.out);
    EXPECT_GT(t.would_block, 0) << "the sends must meet a full socket at least once";
    os_tcp_client_destroy(c);
    kill(socat, SIGTERM);
    waitpid(socat, nullptr, 0);
    EXPECT_TRUE(wait_until([] { return g_echo_ended == g_echo_accepted; }));
    os_tcp_server_destroy(echo);
}

// A peer that half-closes still gets its echo and then one disconnect (ends
// by close or reset at any moment are the stress program's), and a send to a
// reset peer is an error, never a signal.
TEST_F(Tcp, EveryEndGivesOneDisconnect) {
    start(true);
    StderrCapture cap;
    uint16_t port;
    os_tcp_server_t *s = server(&port);
    int half = plain_connect(port);
    ASSERT_EQ(write(half, "bye", 3), 3);
    shutdown(half, SHUT_WR);
    EXPECT_EQ(read_exact(half, 3), "bye");
    EXPECT_TRUE(wait_until([] { return g_echo_ended == 1; }));
    close(half);

    // Our client, its peer reset: sends fail with -1 and the process lives.
    uint16_t lport;
    int lfd = bound(SOCK_STREAM, &lport);
    static std::atomic<int> s_gone{0};
    os_tcp_client_t *c = os_tcp_client_create();
    os_tcp_client_set_remote(c, "127.0.0.1", lport);
    os_tcp_client_bind_disconnect(c, [](os_tcp_client_t *, void *) { ++s_gone; }, nullptr);
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    int peer = accept(lfd, nullptr, nullptr);
    ASSERT_TRUE(wait_until([c] { return os_tcp_client_get_status(c) == TCP_CLIENT_STATUS_CONNECT; }));
    reset_close(peer);
    ASSERT_TRUE(wait_until([] { return s_gone == 1; }));
    EXPECT_EQ(os_tcp_client_get_status(c), TCP_CLIENT_STATUS_DISCONN);
    EXPECT_EQ(os_tcp_client_send(c, "x", 1), -1);
    EXPECT_EQ(os_tcp_client_close(c), 1);
    EXPECT_EQ(s_gone, 1) << "closing a closed client calls nothing";
    os_tcp_client_destroy(c);
    close(lfd);
    os_tcp_server_destroy(s);
    // Each end's lines carry that end's own cause: none for the peer's close
    // (the echo server meets it by a read, or by the close event when that
    // comes first), the reset for ours (it drains). (They carried whatever
    // errno held before, "Success" or "Resource temporarily unavailable".)
    const std::string text = cap.text();
    EXPECT_EQ(count_of(text, "err: none &&&&&&&&&& os_tcp_client_read error") +
                  count_of(text, "err: none &&&&&&&&&& FD_CLOSE"), 1) << text;
    EXPECT_EQ(count_of(text, "err: none dispath_client:disconnect"), count_of(text, "os_tcp_client_read error")) << text;
    EXPECT_EQ(count_of(text, "err: Connection reset by peer &&&&&&&&&& recv error"), 1) << text;
    EXPECT_EQ(count_of(text, "err: Connection reset by peer dispath_client:disconnect"), 1) << text;
}

// Read callbacks that end their own client, by close and -1 or by destroy,
// and a caller's close of a client the library owns.
TEST_F(Tcp, ReadCallbacksThatEndTheirClient) {
    start(true);
    static std::atomic<int> s_ends{0};
    uint16_t port;
    os_tcp_server_t *s = server(&port, [](os_tcp_server_t *, os_tcp_client_t *c, void *) {
        os_tcp_client_bind_disconnect(c, [](os_tcp_client_t *, void *) { ++s_ends; }, nullptr);
        os_tcp_client_bind_read(c, [](os_tcp_client_t *self, void *) {
            char cmd;
            if (os_tcp_client_read(self, &cmd, 1) != 1) return -1;
            if (cmd == 'c') os_tcp_client_close(self);  // and asks for a close as well
            if (cmd == 'd') os_tcp_client_destroy(self);
            return -1;
        }, nullptr);
    });
    for (char cmd : {'c', 'd', 'r'}) {
        int fd = plain_connect(port);
        ASSERT_EQ(write(fd, &cmd, 1), 1);
        EXPECT_TRUE(peer_ended(fd)) << cmd << ": the connection ends";
        close(fd);
    }
    EXPECT_TRUE(wait_until([] { return s_ends == 3; }));

    // A library-owned client closed by the caller from another thread.
    static std::atomic<os_tcp_client_t *> s_taken{nullptr};
    os_tcp_server_bind_accept(s, [](os_tcp_server_t *, os_tcp_client_t *c, void *) { s_taken = c; }, nullptr);
    int fd = plain_connect(port);
    ASSERT_TRUE(wait_until([] { return s_taken != nullptr; }));
    EXPECT_EQ(os_tcp_client_close(s_taken), 1);  // freed: not to be used again
    EXPECT_TRUE(peer_ended(fd));
    close(fd);
    os_tcp_server_destroy(s);
}

// Reading stops with a receive buffer length of 0, or with the refuse flag,
// and resumes when a length is set again or the flag is cleared: what came
// meanwhile reaches the read callback, and so do later data and the peer's end.
TEST_F(Tcp, HeldReadsResumeWithWhatCameMeanwhile) {
    start(true);
    static std::atomic<os_tcp_client_t *> s_client{nullptr};
    static std::atomic<bool> s_by_flag{false};
    static std::atomic<int> s_ends{0};
    static std::string s_got;
    uint16_t port;
    os_tcp_server_t *s = server(&port, [](os_tcp_server_t *, os_tcp_client_t *c, void *) {
        if (s_by_flag)
            os_tcp_client_set_refuse_read(c, 1);
        else
            os_tcp_client_set_rcvbuf_len(c, 0);
        os_tcp_client_bind_read(c, append_read, &s_got);
        os_tcp_client_bind_disconnect(c, [](os_tcp_client_t *, void *) { ++s_ends; }, nullptr);
        s_client = c;
    });
    for (bool by_flag : {false, true}) {
        s_by_flag = by_flag;
        on_main_thread([] { s_got.clear(), s_client = nullptr; });
        int fd = plain_connect(port);
        ASSERT_TRUE(wait_until([] { return s_client != nullptr; }));
        ASSERT_EQ(write(fd, "held", 4), 4);
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(wait_until_locked([] { return s_got.empty(); }, 0ms)) << by_flag << ": read while held";
        on_main_thread([] {
            if (s_by_flag)
                os_tcp_client_set_refuse_read(s_client, 0);
            else
                os_tcp_client_set_rcvbuf_len(s_client, 65536);
        });
        EXPECT_TRUE(wait_until_locked([] { return s_got == "held"; })) << by_flag;
        ASSERT_EQ(write(fd, "more", 4), 4);
        close(fd);
        EXPECT_TRUE(wait_until([by_flag] { return s_ends == 1 + by_flag; })) << by_flag << ": the end was not seen";
        EXPECT_TRUE(wait_until_locked([] { return s_got == "heldmore"; }, 0ms)) << by_flag;
    }
    os_tcp_server_destroy(s);
}

// A peer that accepts, sends and resets at once: however the reset and the
// connect's completion arrive together, our client is connected once, gets
// every byte that reached it, and then ends once with the reset reported.
TEST_F(Tcp, ResetRightAfterTheConnectIsNoFailedConnect) {
    start();
    uint16_t lport;
    int lfd = bound(SOCK_STREAM, &lport);
    static std::atomic<int> s_connects{0}, s_ends{0};
    static std::string s_got;
    for (int round = 0; round < 20; ++round) {
        StderrCapture cap;
        s_connects = s_ends = 0;
        on_main_thread([] { s_got.clear(); });
        os_tcp_client_t *c = os_tcp_client_create();
        os_tcp_client_set_remote(c, "127.0.0.1", lport);
        os_tcp_client_bind_connect(c, [](os_tcp_client_t *, void *) { ++s_connects; }, nullptr);
        os_tcp_client_bind_disconnect(c, [](os_tcp_client_t *, void *) { ++s_ends; }, nullptr);
        os_tcp_client_bind_read(c, [](os_tcp_client_t *self, void *) {  // as users write it: -1 ends
            char buf[65536];
            int n;
            while ((n = os_tcp_client_read(self, buf, sizeof buf)) > 0) s_got.append(buf, static_cast<size_t>(n));
            return n < 0 ? -1 : 0;
        }, nullptr);
        // The main thread waits for the lock while the peer does its work,
        // so the completion and the reset reach it in one report.
        os_main_lock();
        os_post_func([](void *) {}, nullptr);
        ASSERT_EQ(os_tcp_client_open(c, -1), 1);
        int peer = accept(lfd, nullptr, nullptr);
        std::string data = pattern(100000, static_cast<unsigned>(round));
        size_t sent = 0;
        for (int n, left = 2000; sent < data.size() && left-- > 0;) {
            if ((n = static_cast<int>(send(peer, data.data() + sent, data.size() - sent, MSG_DONTWAIT))) > 0) sent += n;
            else std::this_thread::sleep_for(1ms);
        }
        EXPECT_TRUE(wait_until([peer] {  // all of it in our client's socket before the reset
            int queued = -1;
            return ioctl(peer, TIOCOUTQ, &queued) == 0 && queued == 0;
        }));
        reset_close(peer);
        os_main_unlock();
        EXPECT_TRUE(wait_until([] { return s_ends == 1; })) << round << ": " << cap.so_far();
        EXPECT_EQ(s_connects, 1) << round;
        EXPECT_TRUE(wait_until_locked([&] { return s_got == data.substr(0, sent); }, 0ms))
            << round << ": " << s_got.size() << " of " << sent;
        EXPECT_EQ(os_tcp_client_get_status(c), TCP_CLIENT_STATUS_DISCONN);
        os_tcp_client_destroy(c);
        std::string text = cap.text();
        EXPECT_EQ(count_of(text, "10054"), 1) << round << ": " << text;
        EXPECT_EQ(count_of(text, "Transport endpoint is not connected"), 0) << text;
    }
    close(lfd);
}

// os_cleanup closes every listening server and open UDP client and leaves
// connections alone, accepted ones and the caller's; a second call finds
// nothing more to do.
TEST_F(Tcp, CleanupClosesServersAndUdpClientsOnly) {
    start(true);
    uint16_t port, plain_port;
    os_tcp_server_t *s = server(&port);
    int live = plain_connect(port), lfd = bound(SOCK_STREAM, &plain_port);
    os_tcp_client_t *mine = os_tcp_client_create();
    os_tcp_client_set_remote(mine, "127.0.0.1", plain_port);
    ASSERT_EQ(os_tcp_client_open(mine, -1), 1);
    os_udp_client_t *udp = os_udp_client_create();
    ASSERT_EQ(os_udp_client_open(udp), 1);
    ASSERT_TRUE(wait_until([&] { return g_echo_accepted == 1 && os_tcp_client_get_status(mine) == TCP_CLIENT_STATUS_CONNECT; }));
    for (int call = 0; call < 2; ++call) {
        EXPECT_EQ(os_cleanup(), 1);
        EXPECT_EQ(os_tcp_server_get_status(s), TCP_SERVER_STATUS_CLOSED);
        EXPECT_EQ(os_udp_client_get_status(udp), UDP_CLIENT_STATUS_CLOSED);
        EXPECT_EQ(os_tcp_client_get_status(mine), TCP_CLIENT_STATUS_CONNECT);
        EXPECT_EQ(plain_connect(port), -1);
        EXPECT_EQ(write(live, "still", 5), 5);
        EXPECT_EQ(read_exact(live, 5), "still") << "accepted connections outlive the cleanup";
    }
    close(live);
    close(accept(lfd, nullptr, nullptr));
    close(lfd);
    os_tcp_client_destroy(mine), os_udp_client_destroy(udp), os_tcp_server_destroy(s);
}

// A connect into a network that cannot be reached: a network namespace of
// our own, whose loopback interface is down.
TEST_F(Tcp, UnreachableConnectIsReportedWithItsNumber) {
    if (unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "no network namespace (needs root)";
    start();
    StderrCapture cap;
    os_tcp_client_t *c = os_tcp_client_create();
    os_tcp_client_set_remote(c, "127.0.0.1", 9);
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), "socket err: 10051") == 1; })) << cap.so_far();
    EXPECT_EQ(os_tcp_client_get_status(c), TCP_CLIENT_STATUS_CONNECTING);
    os_tcp_client_destroy(c);
}

// When descriptors run out, the waiting connection is taken by the tick's
// poll once some are free again.
TEST_F(Tcp, AcceptResumesAfterDescriptorsRunOut) {
    start(true);
    uint16_t port;
    os_tcp_server_t *s = server(&port);
    int peer = plain_connect(port);
    ASSERT_TRUE(wait_until([] { return g_echo_accepted == 1; }));
    StderrCapture cap;
    std::vector<int> hogs;
    for (int fd; (fd = dup(0)) >= 0;) hogs.push_back(fd);
    close(hogs.back());  // one for our own connect
    hogs.pop_back();
    int waiting = plain_connect(port);
    ASSERT_GE(waiting, 0);
    EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), "new_fd == -1") >= 1; }, 3s));
    for (int fd : hogs) close(fd);
    EXPECT_TRUE(wait_until([] { return g_echo_accepted == 2; }, 3s)) << "taken by the next tick";
    ASSERT_EQ(write(waiting, "ok", 2), 2);
    EXPECT_EQ(read_exact(waiting, 2), "ok");
    close(waiting), close(peer);
    os_tcp_server_destroy(s);
}

// Connections reset the moment they are made: whatever stage of its adoption
// an accepted socket's end meets, the record ends once and the socket closes.
TEST_F(Tcp, ConnectionsResetAsTheyArriveLeaveNothingBehind) {
    start(true);
    uint16_t port;
    os_tcp_server_t *s = server(&port);
    for (int i = 0; i < 5000; ++i) {
        int fd = plain_connect(port);
        ASSERT_GE(fd, 0);
        reset_close(fd);
    }
    EXPECT_TRUE(wait_until([] { return on_main_thread([] {}) && g_echo_accepted == g_echo_ended; }, 10s))
        << g_echo_accepted << " accepted, " << g_echo_ended << " ended";
    os_tcp_server_destroy(s);
}

// A disconnect callback that opens its client again (an automatic reconnect)
// is refused while the client is being destroyed, or ending as one the
// library owns; a caller's client closed plainly may reconnect.
TEST_F(Tcp, ReconnectFromTheDisconnectCallback) {
    start(true);
    uint16_t port;
    os_tcp_server_t *s = server(&port);
    static std::atomic<int> s_reopened{0}, s_refused{0};
    auto reconnect = [](os_tcp_client_t *c, void *) { ++(os_tcp_client_open(c, -1) ? s_reopened : s_refused); };
    os_tcp_client_t *c = os_tcp_client_create();
    os_tcp_client_set_remote(c, "127.0.0.1", port);
    os_tcp_client_bind_disconnect(c, reconnect, nullptr);
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    ASSERT_TRUE(wait_until([] { return g_echo_accepted == 1; }));
    os_tcp_client_close(c);
    EXPECT_EQ(s_reopened, 1);
    ASSERT_TRUE(wait_until([] { return g_echo_accepted == 2; }));
    os_tcp_client_destroy(c);
    EXPECT_EQ(s_refused, 1);

    // One the library owns: its peer leaves and the callback tries again.
    os_tcp_server_bind_accept(s, [](os_tcp_server_t *, os_tcp_client_t *accepted, void *) {
        os_tcp_client_set_remote(accepted, "127.0.0.1", 9);
        os_tcp_client_bind_disconnect(accepted, [](os_tcp_client_t *self, void *) {
            ++(os_tcp_client_open(self, -1) ? s_reopened : s_refused);
        }, nullptr);
    }, nullptr);
    close(plain_connect(port));
    EXPECT_TRUE(wait_until([] { return s_refused == 2; }));
    EXPECT_EQ(s_reopened, 1);
    EXPECT_TRUE(wait_until([] { return g_echo_ended == 2; }));
    os_tcp_server_destroy(s);
}

// A caller's signal handler installed without SA_RESTART cuts short whatever
// system call a library thread is in; the library must carry on. Signals
// every 200 µs reach only the library's threads while 1 MiB goes through the
// echo server in pieces that fill the socket buffers.
TEST_F(Tcp, SignalsThatInterruptTheLibrarysThreadsLoseNothing) {
    start(true);
    uint16_t port;
    os_tcp_server_t *s = server(&port);
    int peer = plain_connect(port);
    ASSERT_GE(peer, 0);
    struct sigaction quiet {}, old {};
    quiet.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGUSR1, &quiet, &old), 0);
    sigset_t usr1, before;
    sigemptyset(&usr1), sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, &before);  // this thread and the storm's are left alone
    std::atomic<bool> stop{false};
    std::thread storm([&stop] {
        while (!stop) kill(getpid(), SIGUSR1), std::this_thread::sleep_for(200us);
    });
    const std::string data = pattern(1 << 20, 7);
    const size_t piece = 256 << 10;
    for (size_t at = 0; at < data.size(); at += piece) {
        ASSERT_EQ(write(peer, data.data() + at, piece), static_cast<ssize_t>(piece));
        ASSERT_TRUE(read_exact(peer, piece, 10000) == data.substr(at, piece)) << at;
    }
    stop = true;
    storm.join();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    sigaction(SIGUSR1, &old, nullptr);
    close(peer);
    EXPECT_TRUE(wait_until([] { return g_echo_ended == 1; }));
    os_tcp_server_destroy(s);
}
