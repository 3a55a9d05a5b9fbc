// TCP servers and clients against plain sockets of this process. Every case ends with the
// descriptors it started with and no callback after a connection's end.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#endif

#include <atomic>
#include <fstream>
#include <thread>

#include "echo_server.h"
#include "keel/log.h"
#ifndef _WIN32
#include "test_support.h"
#endif

using namespace keel_test;
using namespace std::chrono_literals;

namespace {

#ifdef _WIN32
constexpr int kDontWait = 0;  // the peer's socket takes the 100,000 bytes at once
constexpr int kShutWrite = SD_SEND;
constexpr unsigned kLoopbackIndex = 1;
const std::string kResetText = "err: An existing connection was forcibly closed by the remote host.";
#else
constexpr int kDontWait = MSG_DONTWAIT;
constexpr int kShutWrite = SHUT_WR;
const unsigned kLoopbackIndex = if_nametoindex("lo");
const std::string kResetText = "err: Connection reset by peer";
#endif

std::atomic<int> g_ticks{0};  // counted by a one-second timer
// Accepts after which the next message on the main thread was (or was not)
// the tick that counts: a tick's accept poll runs just before its timers.
std::atomic<int> g_accepts_in_a_tick{0}, g_accepts_between_ticks{0};
std::atomic<int> g_connects{0}, g_ends{0};  // of the clients made by client_to

void ticked_accept(os_tcp_server_t *s, os_tcp_client_t *c, void *arg) {
    EXPECT_EQ(os_tcp_client_get_status(c), TCP_CLIENT_STATUS_CONNECT);
    echo_accept(s, c, arg);
    os_post_func([](void *tick) {
        ++(g_ticks != reinterpret_cast<intptr_t>(tick) ? g_accepts_in_a_tick : g_accepts_between_ticks);
    }, reinterpret_cast<void *>(static_cast<intptr_t>(g_ticks.load())));
}

// A read callback as users write it: appends what came to its string, -1 ends.
int append_read(os_tcp_client_t *c, void *into) {
    char buf[65536];
    int n;
    while ((n = os_tcp_client_read(c, buf, sizeof buf)) > 0) static_cast<std::string *>(into)->append(buf, size_t(n));
    return n < 0 ? -1 : 0;
}

// A caller's client of ip:port that counts its connects and ends.
os_tcp_client_t *client_to(uint16_t port, std::string *got = nullptr, const char *ip = "127.0.0.1") {
    os_tcp_client_t *c = os_tcp_client_create();
    os_tcp_client_set_remote(c, ip, port);
    os_tcp_client_bind_connect(c, [](os_tcp_client_t *, void *) { ++g_connects; }, nullptr);
    os_tcp_client_bind_disconnect(c, [](os_tcp_client_t *, void *) { ++g_ends; }, nullptr);
    if (got != nullptr) os_tcp_client_bind_read(c, append_read, got);
    return c;
}

// Sends size bytes to an echo server over fd and checks every one comes back.
void echoes(int fd, size_t size, unsigned seed) {
    std::string msg = pattern(size, seed);
    EXPECT_TRUE(send(fd, msg.data(), int(msg.size()), 0) == int(msg.size()) && read_exact(fd, msg.size()) == msg) << seed;
}

class Tcp : public ::testing::Test {
protected:
    void start(bool accept_at_once = false, bool listener = true) {
        log_start(0, 1);
        ASSERT_TRUE(start_runtime(accept_at_once));
        tick_timer_ = os_timer_create([](void *) { ++g_ticks; }, 1000, nullptr);
        lfd_ = listener ? bound(SOCK_STREAM, &lport_) : -1;  // a plain peer for our clients
        base_fds_ = fd_count();
    }
    // A listening server on 127.0.0.1, an echo server unless told otherwise.
    os_tcp_server_t *server(uint16_t *port, os_tcp_accept_cb accept = ticked_accept) {
        return open_server(*port = free_port(), accept);
    }
    void TearDown() override {
        if (base_fds_ < 0) return;
        EXPECT_TRUE(fd_count_returns_to(base_fds_)) << fd_count() << " descriptors, " << base_fds_ << " before";
        EXPECT_EQ(g_echo_late, 0) << "callbacks after a connection's end";
        os_timer_destroy(tick_timer_), close_socket(lfd_);
    }
    os_timer_t *tick_timer_ = nullptr;
    int base_fds_ = -1, lfd_ = -1;
    uint16_t lport_ = 0;
};

}  // namespace

// Refused input leaves no socket; a refused socket stays the caller's, an adopted one closes on destroy,
// also for a client of a host name.
TEST(TcpRecords, BadInputIsRefusedAndAdoptedSocketsCloseOnDestroy) {
    log_start(0, 1);
    int fds = fd_count();
    StderrCapture cap;
    os_tcp_server_t *s = os_tcp_server_create();
    EXPECT_EQ(os_tcp_server_open(s), 0) << "no runtime yet";
    // IPv6 text too long for the field is refused for its length, not as IPv4.
    std::string long_v6 = "fe80:0000:0000:0000:0000:0000:0000:0001%" + std::string(24, '7');
    EXPECT_EQ(os_tcp_server_set_local(s, "localhost", 8081) + os_tcp_server_set_local(s, "1.2.3.4          x", 1) +
                  os_tcp_server_set_local(s, long_v6.c_str(), 1), 0);
    EXPECT_EQ(os_tcp_server_close(s) + os_tcp_server_destroy(s), 2) << "a server that never listened";
    os_tcp_client_t *c = os_tcp_client_create();
    for (const std::string &bad : {std::string(64, '1'), std::string(), std::string("example.org")})
        EXPECT_EQ(os_tcp_client_set_remote(c, bad.c_str(), 1), 0) << bad;
    char buf[8], ip[MAX_IPV6_LEN];
    uint16_t port;
    EXPECT_EQ(os_tcp_client_get_remote(c, ip, &port), 0) << "no remote address yet";
    std::string longest(255, 'a'), too_long(256, 'a');
    EXPECT_EQ(os_tcp_client_set_remote_host(nullptr, "localhost", 1) + os_tcp_client_set_remote_host(c, nullptr, 1) +
                  os_tcp_client_set_remote_host(c, too_long.c_str(), 1), 0);
    ASSERT_EQ(os_tcp_client_set_remote_host(c, "example.org", 1), 1);
    EXPECT_EQ(os_tcp_client_send(c, "x", 1) + os_tcp_client_read(c, buf, sizeof buf), -2) << "not connected";
    EXPECT_EQ(os_tcp_client_open(c, -5) + os_tcp_client_open(c, -1), 0) << "a bad descriptor; no runtime yet";
#ifdef _WIN32  // no socketpair there: a socket with no peer is refused too, and stays the caller's
    int type, len = sizeof type, pair[2] = {static_cast<int>(socket(AF_INET, SOCK_STREAM, 0)), -1};
    auto closed = [&](int fd) { return getsockopt(fd, SOL_SOCKET, SO_TYPE, reinterpret_cast<char *>(&type), &len); };
    ASSERT_EQ(os_tcp_client_open(c, pair[0]), 0) << "no peer";
    EXPECT_EQ(os_tcp_client_close(c) + os_tcp_client_destroy(c), 2);
    EXPECT_FALSE(closed(pair[0])) << "a refused socket stays the caller's";
#else
    auto closed = [](int fd) { return fcntl(fd, F_GETFD) == -1; };
    int pair[2];
    ASSERT_TRUE(socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0 && os_tcp_client_open(c, pair[0]) == 0) << "not IP";
    EXPECT_EQ(os_tcp_client_close(c) + os_tcp_client_destroy(c), 2);
    EXPECT_EQ(fcntl(pair[0], F_GETFD), 0) << "a refused socket stays the caller's";
    close(pair[1]);
#endif
    close_socket(pair[0]);
    uint16_t lport;
    int lfd = bound(SOCK_STREAM, &lport), peer = plain_connect(lport);
    int mine = static_cast<int>(accept(lfd, nullptr, nullptr));
    ASSERT_TRUE(os_tcp_client_set_remote_host(c = os_tcp_client_create(), longest.c_str(), 1) == 1 &&
                os_tcp_client_open(c, mine) == 1);
    EXPECT_EQ(os_tcp_client_read(c, buf, 0), 0) << "no room is not the peer's end";
    EXPECT_EQ(os_tcp_client_set_remote(c, "127.0.0.1", 1) + os_tcp_client_set_local(c, "", 0) +
                  os_tcp_client_set_remote_host(c, "localhost", 1), 0) << "connected";
#ifdef _WIN32  // no dup of a socket there: the end of a second connection, whose peer replaces the first
    close_socket(peer), peer = plain_connect(lport), mine = static_cast<int>(accept(lfd, nullptr, nullptr));
#else
    mine = dup(peer);
#endif
    ASSERT_TRUE(os_tcp_client_close(c) == 1 && os_tcp_client_open(c, mine) == 1) << "adopts again";
    EXPECT_TRUE(os_tcp_client_destroy(c) == 1 && closed(mine));
    close_socket(peer), close_socket(lfd);
    EXPECT_EQ(os_tcp_server_open(nullptr) + os_tcp_client_open(nullptr, -1) + os_tcp_client_send(nullptr, "x", 1) +
                  os_tcp_client_destroy(nullptr) + os_set_accept_mode(7), -1);
    auto answer = [](const char *, const char *const *, int, const char *, void *) {};
    EXPECT_EQ(os_resolve("localhost", answer, nullptr) + os_resolve(nullptr, answer, nullptr) +
                  os_resolve("localhost", nullptr, nullptr) + os_resolve(too_long.c_str(), answer, nullptr), 0);
    std::string text = cap.text();
    const std::pair<const char *, int> reports[] = {
        {"get_ip_addr_type() failed, ip:example.org", 1}, {"client->status != TCP_CLIENT_STATUS_CONNECT, status: 0", 1},
        {"os_is_startup() == 0", 3}, {"inet_addr(ip) == INADDR_NONE", 1}, {"strlen(ip) >= 64", 1},
        {"strlen(client->remote_ip) == 0", 1}, {"name == NULL || cb == NULL", 2}, {"client is null or name is null", 2},
        {"strlen(name) >= 256", 2}, {"client->status != TCP_CLIENT_STATUS_DISCONN, status: 2", 3},
        {"mode != OS_ACCEPT_AT_ONCE && mode != OS_ACCEPT_ON_TICK", 1}};
    for (const auto &[report, n] : reports) EXPECT_EQ(count_of(text, report), n) << report;
    EXPECT_EQ(fd_count(), fds);
}

// A failed open keeps no socket; a refused connect is reported, closes its socket, stays connecting.
// Accept callbacks may close or destroy servers while the tick's poll walks them.
// A peer that accepts, sends and resets at once: one connect, every byte, then one end.
TEST_F(Tcp, FailedOpensAcceptCallbacksAndAResetRightAfterTheConnect) {
    start();
    StderrCapture cap;
    uint16_t port;
    os_tcp_server_t *s = server(&port), *twin = os_tcp_server_create();
    os_tcp_server_set_local(twin, "127.0.0.1", port);
    EXPECT_EQ(os_tcp_server_open(s) + os_tcp_server_open(twin), 0) << "already listening; a port taken";
    os_tcp_client_t *c = client_to(port);
    EXPECT_EQ(os_tcp_client_set_local(c, "127.0.0.1", port) + os_tcp_client_open(c, -1), 1) << "the server holds it";
    const int held = kCountsSocketsOnly ? 1 : 3;
    EXPECT_EQ(fd_count(), base_fds_ + held) << "the capture's two and the listening socket";
    os_tcp_client_set_local(c, "", 0), os_tcp_client_set_remote(c, "127.0.0.1", free_port());
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), "socket err: 10061") == 1; }));
    EXPECT_TRUE(fd_count_returns_to(base_fds_ + held)) << "the refused connect closed its socket";
    EXPECT_EQ(os_tcp_client_get_status(c) * 10 + g_connects, TCP_CLIENT_STATUS_CONNECTING * 10);
    os_tcp_server_destroy(twin), os_tcp_server_destroy(s), os_tcp_client_destroy(c);
    EXPECT_EQ(count_of(cap.text(), "bind fail"), 2);
    static os_tcp_server_t *s_second, *s_last;
    static std::atomic<int> s_calls{0};
    auto count_and_close = [](os_tcp_server_t *, os_tcp_client_t *c, void *) { ++s_calls, os_tcp_client_close(c); };
    uint16_t p[4] = {free_port(), free_port(), free_port(), free_port()};
    s_last = open_server(p[3], count_and_close);  // listed first, walked last
    os_tcp_server_t *third = open_server(p[2], count_and_close);
    s_second = open_server(p[1], count_and_close);
    os_tcp_server_t *first = open_server(p[0], [](os_tcp_server_t *self, os_tcp_client_t *c, void *) {
        ++s_calls, os_tcp_client_destroy(c);
        os_tcp_server_close(s_second);  // the walk's next
        os_tcp_server_destroy(self);
        os_tcp_server_close(s_last);  // one further on: the walk still goes to the third
    });
    ASSERT_TRUE(first != nullptr && third != nullptr && s_second != nullptr && s_last != nullptr);
    os_main_lock();  // all connected before the tick's walk
    int fds[] = {plain_connect(p[0]), plain_connect(p[0]), plain_connect(p[1]), plain_connect(p[2]),
                 plain_connect(p[3])};
    os_main_unlock();
    ASSERT_TRUE(wait_until([] { return s_calls >= 1; }, 3s) && on_main_thread([] {}));
    EXPECT_EQ(s_calls, 2) << "the destroyed server accepts no more, the closed ones none, the third in the same walk";
    EXPECT_EQ(os_tcp_server_get_status(s_second), TCP_SERVER_STATUS_CLOSED);
    EXPECT_TRUE(peer_ended(fds[0])) << "the destroyed client's peer sees the end";
    for (int fd : fds) close_socket(fd);
    os_tcp_server_destroy(s_second), os_tcp_server_destroy(third), os_tcp_server_destroy(s_last);
    static std::string s_got;
    for (int round = 0; round < 20; ++round) {
        StderrCapture cap;
        g_connects = g_ends = 0, on_main_thread([] { s_got.clear(); });
        os_tcp_client_t *c = client_to(lport_, &s_got);
        // The main thread waits for the lock: the completion and the reset come in one report.
        os_main_lock(), os_post_func([](void *) {}, nullptr);
        ASSERT_EQ(os_tcp_client_open(c, -1), 1);
        int peer = accept(lfd_, nullptr, nullptr);
        std::string data = pattern(100000, unsigned(round));
        size_t sent = 0;
        for (int n, left = 2000; sent < data.size() && left-- > 0;)
            if ((n = int(send(peer, data.data() + sent, int(data.size() - sent), kDontWait))) > 0)
                sent += size_t(n);
            else
                std::this_thread::sleep_for(1ms);
#ifndef _WIN32
        int queued = -1;  // all of it in our client's socket before the reset
        EXPECT_TRUE(wait_until([&] { return ioctl(peer, TIOCOUTQ, &queued) == 0 && queued == 0; }));
#endif
        reset_close(peer), os_main_unlock();
        EXPECT_TRUE(wait_until([] { return g_ends == 1; }) && g_connects == 1) << round << ": " << cap.so_far();
        EXPECT_TRUE(wait_until_locked([&] { return s_got == data.substr(0, sent); }, 0ms))
            << round << ": " << s_got.size() << " of " << sent;
        EXPECT_EQ(os_tcp_client_get_status(c), TCP_CLIENT_STATUS_DISCONN);
        os_tcp_client_destroy(c);
        std::string text = cap.text();
#ifdef _WIN32  // wine's close with a zero linger ends the connection in order: it sends no reset
        EXPECT_TRUE(under_wine() || count_of(text, "10054") >= 1) << text;
#else
        EXPECT_EQ(count_of(text, "10054") * 10 + count_of(text, "Transport endpoint is not connected"), 10) << text;
#endif
    }
}

class Accept : public Tcp, public ::testing::WithParamInterface<bool> {};

// The marker accepts each connection as it comes, the tick's poll all that wait; a mode
// set by a call before os_startup wins over the marker, one set after changes the servers.
TEST_P(Accept, ByMarkerOrCallEveryConnectionIsHandedOverAndEchoes) {
    bool by_call = GetParam();
    ASSERT_TRUE(!by_call || os_set_accept_mode(OS_ACCEPT_ON_TICK) == 1);
    start(true);  // the marker alone would take each connection at once
    uint16_t port;
    os_tcp_server_t *s = server(&port);
    std::vector<int> peers;
    StderrCapture quiet;  // an accept that finds the backlog empty is no failure
    for (int mode : {by_call ? OS_ACCEPT_ON_TICK : OS_ACCEPT_AT_ONCE, by_call ? OS_ACCEPT_AT_ONCE : OS_ACCEPT_ON_TICK}) {
        ASSERT_TRUE(peers.empty() || os_set_accept_mode(mode) == 1);
        int in_tick = g_accepts_in_a_tick, between = g_accepts_between_ticks;
        for (int i = 0; i < 4; ++i) peers.push_back(plain_connect(port));
        ASSERT_TRUE(wait_until([&] { return g_accepts_in_a_tick + g_accepts_between_ticks == in_tick + between + 4; }, 3s));
        EXPECT_TRUE(mode == OS_ACCEPT_ON_TICK ? g_accepts_in_a_tick - in_tick == 4
                                              : g_accepts_between_ticks - between >= 3)
            << mode << ": accepted by the tick's poll only, or as they came";
    }
    EXPECT_EQ(quiet.text(), "");
    for (size_t i = 0; i < peers.size(); ++i) echoes(peers[i], 100000, unsigned(i)), close_socket(peers[i]);
    EXPECT_TRUE(wait_until([] { return g_echo_ended == 8; }) && os_tcp_server_destroy(s) == 1);
}

INSTANTIATE_TEST_SUITE_P(Tcp, Accept, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "ByCall" : "ByMarker"; });

// Servers on ::1 (IPv6 peers) and :: (both families) hand over clients that know both ends;
// our client of a scoped ::1 connects once and talks to its other end, adopted.
// At the peer's orderly end a read gives the data, then -1 exactly; a half-closing peer gets
// its echo, then one disconnect; a send to a reset peer is -1; each end's lines carry its cause.
TEST_F(Tcp, ServersAndClientsOnIPv6EveryEndGivesOneDisconnectAndCallbacksThatEndOrReopen) {
    start(true);
    static std::string s_peer, s_self;
    static uint16_t s_peer_port = 0, s_self_port = 0;
    for (const std::string local : {"::1", "::"}) {
        uint16_t port = free_port(), got_port;
        os_tcp_server_t *s = os_tcp_server_create();
        os_tcp_server_bind_accept(s, [](os_tcp_server_t *self, os_tcp_client_t *c, void *arg) {
            char ip[MAX_IPV6_LEN];
            os_tcp_client_get_local(c, ip, &s_self_port), s_self = ip;
            os_tcp_client_get_remote(c, ip, &s_peer_port), s_peer = ip;
            echo_accept(self, c, arg);
        }, nullptr);
        ASSERT_TRUE(os_tcp_server_set_local(s, local.c_str(), port) == 1 && os_tcp_server_open(s) == 1) << local;
        char ip[MAX_IPV6_LEN];
        ASSERT_EQ(os_tcp_server_get_local(s, ip, &got_port), 1);
        EXPECT_EQ(ip + (":" + std::to_string(got_port)), local + ":" + std::to_string(port));
        for (int family : {AF_INET6, AF_INET}) {
            if (family == AF_INET && local == "::1") continue;
            Addr to(family, port), mine(family);
            int fd = socket(family, SOCK_STREAM, 0);
            ASSERT_EQ(connect(fd, to.sa(), to.len), 0) << local << " " << family;
            getsockname(fd, mine.sa(), &mine.len);
            echoes(fd, 3, family);
            std::string want = family == AF_INET6 ? "::1" : "::ffff:127.0.0.1";
            EXPECT_TRUE(wait_until_locked([&] { return s_peer == want && s_peer_port == mine.port(); }))
                << local << ": " << s_peer << ":" << s_peer_port;
            EXPECT_TRUE(s_self == want && s_self_port == port) << local << ": " << s_self << ":" << s_self_port;
            close_socket(fd);
        }
        os_tcp_server_destroy(s);
    }
    EXPECT_TRUE(wait_until([] { return g_echo_ended == 3; }));
    uint16_t port;
    int lfd = bound(SOCK_STREAM, &port, AF_INET6);
    static std::string s_got;
    std::string scoped = "::1%" + std::to_string(kLoopbackIndex);  // a scope the loopback accepts
    os_tcp_client_t *c = client_to(port, &s_got, scoped.c_str());
    os_main_lock();  // no event of the connection is handled before we look
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    bool at_once = g_connects == 1;  // a connect may complete inside the open
    EXPECT_EQ(os_tcp_client_get_status(c), at_once ? TCP_CLIENT_STATUS_CONNECT : TCP_CLIENT_STATUS_CONNECTING);
    EXPECT_EQ(os_tcp_client_send(c, "x", 1), at_once ? 1 : 0);
    os_main_unlock();
    ASSERT_TRUE(wait_until([] { return g_connects == 1; }) && os_tcp_client_get_status(c) == TCP_CLIENT_STATUS_CONNECT);
    int peer = accept(lfd, nullptr, nullptr);
    on_main_thread([c] { EXPECT_EQ(os_tcp_client_send(c, "ping", 4), 4); });
    EXPECT_EQ(read_exact(peer, at_once ? 5 : 4), at_once ? "xping" : "ping");
    os_tcp_client_t *adopted = os_tcp_client_create();  // connected at once
    ASSERT_TRUE(os_tcp_client_open(adopted, peer) == 1 && os_tcp_client_open(adopted, peer) == 0) << "then holds it";
    EXPECT_TRUE(os_tcp_client_send(adopted, "pong", 4) == 4 && wait_until_locked([] { return s_got == "pong"; }));
    os_tcp_client_destroy(adopted), os_tcp_client_destroy(c), close_socket(lfd);
    EXPECT_EQ(g_ends, 1);
    g_connects = g_ends = 0, g_echo_accepted = g_echo_ended = 0;
    ASSERT_EQ(os_tcp_client_open(c = client_to(lport_), -1), 1);  // no read callback: read by hand under the main lock
    peer = accept(lfd_, nullptr, nullptr);
    ASSERT_TRUE(wait_until([] { return g_connects == 1; }));
    os_main_lock();
    ASSERT_EQ(send(peer, "last", 4, 0), 4);
    close_socket(peer);
    char buf[8];
    int got[2] = {0, 0};
    for (int &n : got) EXPECT_TRUE(wait_until([&] { return (n = os_tcp_client_read(c, buf, sizeof buf)) != 0; }));
    os_main_unlock();
    EXPECT_EQ(got[0] * 10 + got[1], 40 - 1) << got[0] << " then " << got[1];
    EXPECT_TRUE(wait_until([] { return g_ends == 1; }));
    StderrCapture cap;
    os_tcp_server_t *s = server(&port);
    int half = plain_connect(port);
    ASSERT_TRUE(send(half, "bye", 3, 0) == 3 && shutdown(half, kShutWrite) == 0);
    EXPECT_TRUE(read_exact(half, 3) == "bye" && wait_until([] { return g_echo_ended == 1; }));
    close_socket(half);
    EXPECT_EQ(os_tcp_client_close(c), 1);
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);  // again, to a peer that resets
    reset_close(accept(lfd_, nullptr, nullptr));
    ASSERT_TRUE(wait_until([] { return g_ends == 2; }) && g_connects == 2);
    EXPECT_TRUE(os_tcp_client_get_status(c) == TCP_CLIENT_STATUS_DISCONN && os_tcp_client_send(c, "x", 1) == -1);
    EXPECT_TRUE(os_tcp_client_close(c) == 1 && g_ends == 2) << "closing a closed client calls nothing";
    os_tcp_client_destroy(c);
    // No cause for the peer's close (by a read or the close event), the reset for ours;
    // they carried whatever errno held before ("Success", "Resource temporarily unavailable").
    const std::string text = cap.text();
    EXPECT_EQ(count_of(text, "err: none &&&&&&&&&& os_tcp_client_read error") +
                  count_of(text, "err: none &&&&&&&&&& FD_CLOSE"), 1 + under_wine()) << text;  // wine: no reset
    EXPECT_EQ(count_of(text, "err: none dispath_client:disconnect"), count_of(text, "os_tcp_client_read error")) << text;
    if (!under_wine()) {
        EXPECT_EQ(count_of(text, kResetText + " &&&&&&&&&& recv error"), 1) << text;
        EXPECT_EQ(count_of(text, kResetText + " dispath_client:disconnect"), 1) << text;
    }
    // A reconnect from the disconnect callback is allowed after a close, refused on destroy or for a client the library
    // owns; read callbacks end their client by close, destroy or -1; a caller closes a library-owned one.
    g_connects = g_ends = 0, g_echo_accepted = g_echo_ended = 0;
    static std::atomic<int> s_reopened{0}, s_refused{0};
    static auto reconnect = [](os_tcp_client_t *c, void *) { ++(os_tcp_client_open(c, -1) ? s_reopened : s_refused); };
    os_tcp_client_bind_disconnect(c = client_to(port), reconnect, nullptr);
    ASSERT_TRUE(os_tcp_client_open(c, -1) == 1 && wait_until([] { return g_echo_accepted == 1; }));
    EXPECT_TRUE(os_tcp_client_close(c) == 1 && s_reopened == 1);
    EXPECT_TRUE(wait_until([] { return g_echo_accepted == 2; }) && os_tcp_client_destroy(c) == 1 && s_refused == 1);
    os_tcp_server_bind_accept(s, [](os_tcp_server_t *, os_tcp_client_t *accepted, void *) {
        os_tcp_client_set_remote(accepted, "127.0.0.1", 9);  // one the library owns tries again
        os_tcp_client_bind_disconnect(accepted, reconnect, nullptr);
    }, nullptr);
    close_socket(plain_connect(port));
    EXPECT_TRUE(wait_until([] { return s_refused == 2 && g_echo_ended == 2; }) && s_reopened == 1);
    os_tcp_server_bind_accept(s, [](os_tcp_server_t *, os_tcp_client_t *c, void *) {
        os_tcp_client_bind_disconnect(c, [](os_tcp_client_t *, void *) { ++g_ends; }, nullptr);
        os_tcp_client_bind_read(c, [](os_tcp_client_t *self, void *) {
            char cmd;
            if (os_tcp_client_read(self, &cmd, 1) != 1) return -1;
            if (cmd == 'c') os_tcp_client_close(self);  // and asks for a close as well
            if (cmd == 'd') os_tcp_client_destroy(self);
            return -1;
        }, nullptr);
    }, nullptr);
    for (char cmd : {'c', 'd', 'r'}) {
        int fd = plain_connect(port);
        EXPECT_TRUE(send(fd, &cmd, 1, 0) == 1 && peer_ended(fd)) << cmd << ": the connection ends";
        close_socket(fd);
    }
    EXPECT_TRUE(wait_until([] { return g_ends == 3; }));
    static std::atomic<os_tcp_client_t *> s_taken{nullptr};
    os_tcp_server_bind_accept(s, [](os_tcp_server_t *, os_tcp_client_t *c, void *) { s_taken = c; }, nullptr);
    int fd = plain_connect(port);
    ASSERT_TRUE(wait_until([] { return s_taken != nullptr; }));
    EXPECT_TRUE(os_tcp_client_close(s_taken) == 1 && peer_ended(fd));  // freed: not to be used again
    close_socket(fd);
    // Accepting resumes after descriptors ran out; connections reset on arrival end once each.
    // Reads held by a receive buffer of 0 or the refuse flag resume with what came meanwhile.
    os_tcp_server_bind_accept(s, ticked_accept, nullptr), g_echo_accepted = g_echo_ended = g_ends = 0;
#ifndef _WIN32  // a process's handles do not run out there
    StderrCapture hogged;
    std::vector<int> hogs;
    for (int fd; (fd = dup(0)) >= 0;) hogs.push_back(fd);
    close(hogs.back()), hogs.pop_back();  // one for our own connect
    int waiting = plain_connect(port);
    ASSERT_TRUE(waiting >= 0 && wait_until([&] { return count_of(hogged.so_far(), "new_fd == -1") >= 1; }, 3s));
    for (int fd : hogs) close(fd);
    EXPECT_TRUE(wait_until([] { return g_echo_accepted == 1; }, 3s)) << "taken by the next tick";
    echoes(waiting, 2, 0), close(waiting);
#endif
    for (int i = 0; i < 5000; ++i) reset_close(plain_connect(port));
    EXPECT_TRUE(wait_until([] { return on_main_thread([] {}) && g_echo_accepted == g_echo_ended; }, 10s))
        << g_echo_accepted << " accepted, " << g_echo_ended << " ended";
    static std::atomic<os_tcp_client_t *> s_client{nullptr};
    static std::atomic<bool> s_by_flag{false};
    os_tcp_server_destroy(s);  // a new server: a late reset one is not taken for the held client
    s = server(&port, [](os_tcp_server_t *, os_tcp_client_t *c, void *) {
        s_by_flag ? os_tcp_client_set_refuse_read(c, 1) : os_tcp_client_set_rcvbuf_len(c, 0);
        os_tcp_client_bind_read(c, append_read, &s_got);
        os_tcp_client_bind_disconnect(c, [](os_tcp_client_t *, void *) { ++g_ends; }, nullptr), s_client = c;
    });
    for (bool by_flag : {false, true}) {
        s_by_flag = by_flag, on_main_thread([] { s_got.clear(), s_client = nullptr; });
        int fd = plain_connect(port);
        ASSERT_TRUE(wait_until([] { return s_client != nullptr; }) && send(fd, "held", 4, 0) == 4);
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(wait_until_locked([] { return s_got.empty(); }, 0ms)) << by_flag << ": read while held";
        on_main_thread([] {
            s_by_flag ? os_tcp_client_set_refuse_read(s_client, 0) : os_tcp_client_set_rcvbuf_len(s_client, 65536);
        });
        EXPECT_TRUE(wait_until_locked([] { return s_got == "held"; })) << by_flag;
        ASSERT_EQ(send(fd, "more", 4, 0), 4);
        close_socket(fd);
        EXPECT_TRUE(wait_until([by_flag] { return g_ends == 1 + by_flag; })) << by_flag << ": the end was not seen";
        EXPECT_TRUE(wait_until_locked([] { return s_got == "heldmore"; }, 0ms)) << by_flag;
    }
    os_tcp_server_destroy(s);
}

// In a network namespace of our own: a connect while its loopback is down is unreachable;
// once it is up, a server on "::" takes IPv4 peers even where IPv6 sockets default to IPv6 only.
TEST_F(Tcp, UnreachableConnectAndBothFamiliesWhateverTheDefault) {
#ifdef _WIN32
    GTEST_SKIP() << "needs a network namespace of its own";
#else
    if (unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "no network namespace (needs root)";
    start(false, false);
    StderrCapture cap;
    os_tcp_client_t *c = client_to(9);
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), "socket err: 10051") == 1; })) << cap.so_far();
    EXPECT_EQ(os_tcp_client_get_status(c), TCP_CLIENT_STATUS_CONNECTING);
    os_tcp_client_destroy(c);
    ifreq lo{{"lo"}, {}};
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(ioctl(fd, SIOCGIFFLAGS, &lo), 0);
    lo.ifr_flags |= IFF_UP;
    ASSERT_EQ(ioctl(fd, SIOCSIFFLAGS, &lo), 0);
    close(fd);
    std::ofstream("/proc/sys/net/ipv6/bindv6only") << 1;  // this namespace's default only
    os_tcp_server_t *s = os_tcp_server_create();
    uint16_t port = free_port();
    ASSERT_TRUE(os_tcp_server_set_local(s, "::", port) == 1 && os_tcp_server_open(s) == 1 &&
                (fd = plain_connect(port)) >= 0);
    close(fd), os_tcp_server_destroy(s);
#endif
}

// A caller's handler without SA_RESTART cuts short the library threads' system calls: signals
// every 200 µs reach only them while 16 MiB, more than the socket buffers hold, go through the
// echo server, whose sends that meet a full socket resume on the write callback. Then os_cleanup
// closes servers and UDP clients only, and a second call finds nothing to do.
TEST_F(Tcp, SignalsLoseNothingAndCleanupClosesServersAndUdpClientsOnly) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no signals to cut system calls short";
#else
    start(true);
    uint16_t port;
    os_tcp_server_t *s = server(&port);
    int peer = plain_connect(port);
    struct sigaction quiet {}, old {};
    quiet.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGUSR1, &quiet, &old), 0);
    sigset_t usr1, before;
    sigemptyset(&usr1), sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, &before);  // this thread and the storm's are left alone
    std::atomic<bool> stop{false};
    std::thread storm([&stop] { while (!stop) kill(getpid(), SIGUSR1), std::this_thread::sleep_for(200us); });
    echoes(peer, 16 << 20, 7);
    stop = true, storm.join();
    pthread_sigmask(SIG_SETMASK, &before, nullptr), sigaction(SIGUSR1, &old, nullptr);
    os_tcp_client_t *mine = client_to(lport_);
    os_udp_client_t *udp = os_udp_client_create();
    ASSERT_EQ(os_tcp_client_open(mine, -1) + os_udp_client_open(udp), 2);
    ASSERT_TRUE(wait_until([&] { return g_echo_accepted == 1 && g_connects == 1; }));
    StderrCapture cap;  // os_cleanup releases only the main lock it took
    for (int call = 0; call < 2; ++call) {
        EXPECT_EQ(os_cleanup(), 1);
        EXPECT_TRUE(os_tcp_server_get_status(s) == TCP_SERVER_STATUS_CLOSED &&
                    os_udp_client_get_status(udp) == UDP_CLIENT_STATUS_CLOSED &&
                    os_tcp_client_get_status(mine) == TCP_CLIENT_STATUS_CONNECT) << call;
        EXPECT_EQ(plain_connect(port), -1);
        echoes(peer, 5, call);  // accepted connections outlive the cleanup
    }
    EXPECT_EQ(count_of(cap.text(), "mutex is not held by this thread"), 0);
    close(peer), close(accept(lfd_, nullptr, nullptr));
    EXPECT_TRUE(wait_until([] { return g_echo_ended == 1; }));
    os_tcp_client_destroy(mine), os_udp_client_destroy(udp), os_tcp_server_destroy(s);
#endif
}
