// The platform layer on real sockets: one event per re-enabling call, stale events, queue and tick.
#include <gtest/gtest.h>
#include <linux/net_tstamp.h>

#include <thread>
#include <tuple>
#include <vector>

#include "net_support.h"
#include "runtime/platform.h"

using namespace keel::rt;
using keel_test::Addr;

namespace {

using Ev = std::tuple<int, uint32_t, int>;  // socket, event, error
const Ev kNone{-1, 0, 0};

// The next socket event, or kNone when none came within timeout_ms.
Ev next_event(int timeout_ms = 3000) {
    for (Message m; queue_get_for(&m, timeout_ms) == 1;)
        if (SocketEvent ev = socket_event_of(m); m.number == WM_SOCKET_EVENT) return {ev.sock, ev.event, ev.error};
    return kNone;
}

// Expects no event for ms; returns the wait's CPU time: little when the owner slept.
double quiet(int ms = 100) {
    double before = keel_test::cpu_ms();
    EXPECT_EQ(next_event(ms), kNone);
    return keel_test::cpu_ms() - before;
}

// Each case runs in a process of its own, which owns the queue.
class Platform : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(queue_open()); }
    // A TCP connection over loopback, {ours, the peer's}, ours accepted as the library accepts one.
    static std::pair<int, int> tcp_pair(uint32_t mask) {
        Addr a;
        int lfd = keel_test::bound(SOCK_STREAM, a, false), peer = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_TRUE(sel_listen(lfd, 8) == 0 && connect(peer, a.sa(), a.len) == 0);
        int mine = sel_accept(lfd, nullptr, nullptr);
        return {select_socket(mine, mask, SocketIs::Accepted) == 0 ? mine : -1, peer};
    }
};

}  // namespace

// Read events once per re-enabling read while data waits (urgent data in line on a connection asked nothing at its
// registration, as its listener passes it on; reads on another thread, one leaving data and one taking it all); write
// events at the registration and after a blocked send, once the socket takes data again; the close after the last data;
// a half-closed peer takes every byte.
TEST_F(Platform, ConnectionEventsComeOncePerReEnable) {
    auto [mine, peer] = tcp_pair(FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
    EXPECT_EQ(next_event(), Ev(mine, FD_WRITE, 0));
    ASSERT_EQ(sel_send(mine, "small", 5, 0), 5);
    ASSERT_TRUE(send(peer, "u", 1, MSG_OOB) == 1 && write(peer, std::string(1000, 'd').data(), 1000) == 1000);
    EXPECT_EQ(next_event(), Ev(mine, FD_READ, 0)) << "a send that went through enables no write event";
    ASSERT_EQ(write(peer, "gh", 2), 2);
    EXPECT_LT(quiet(300), 20) << "unread (urgent) data must neither raise the event again nor keep the owner awake";
    char buf[16];
    ASSERT_TRUE(sel_recv(mine, buf, 4, 0) == 4 && std::string(buf, 4) == "uddd");
    EXPECT_EQ(next_event(), Ev(mine, FD_READ, 0));  // data still waits after a partial read
    size_t got = 4;
    for (ssize_t n; (n = sel_recv(mine, buf, 10, 0)) > 0;) got += static_cast<size_t>(n);  // small pieces
    EXPECT_TRUE(got == 1003 && sel_last_error() == WSAEWOULDBLOCK);
    quiet();  // no data: no event after the draining read or the failed one
    ASSERT_EQ(write(peer, "0123456789", 10), 10);
    EXPECT_EQ(next_event(), Ev(mine, FD_READ, 0));
    std::thread([mine = mine, &buf] { EXPECT_EQ(sel_recv(mine, buf, 4, 0), 4); }).join();
    EXPECT_EQ(next_event(), Ev(mine, FD_READ, 0)) << "a read on another thread left the rest";
    std::thread([mine = mine, &buf] { EXPECT_EQ(sel_recv(mine, buf, sizeof buf, 0), 6); }).join();
    quiet();  // and one that took it all left nothing to tell
    ASSERT_TRUE(write(peer, "bye", 3) == 3 && shutdown(peer, SHUT_WR) == 0);
    EXPECT_EQ(next_event(), Ev(mine, FD_READ, 0));
    quiet();  // no close while data is unread
    ASSERT_TRUE(sel_recv(mine, buf, sizeof buf, 0) == 3 && std::string(buf, 3) == "bye");
    EXPECT_EQ(next_event(), Ev(mine, FD_CLOSE, 0));
    quiet();
    std::vector<char> chunk(1 << 16, 'x');
    ssize_t sent = 5, taken = 0;
    for (ssize_t n; (n = sel_send(mine, chunk.data(), chunk.size(), 0)) > 0;) sent += n;
    ASSERT_EQ(sel_last_error(), WSAEWOULDBLOCK);
    EXPECT_EQ(next_event(0), kNone) << "told at once that a full socket takes data";
    std::thread drainer([&, peer = peer] {
        std::vector<char> in(1 << 16);
        for (ssize_t n; taken < sent && (n = read(peer, in.data(), in.size())) > 0;) taken += n;
    });
    EXPECT_EQ(next_event(), Ev(mine, FD_WRITE, 0));  // once, when the socket takes data again
    drainer.join();
    EXPECT_EQ(taken, sent);
    ASSERT_TRUE(select_socket(mine, 0) == 0 && sel_send(mine, "z", 1, 0) == 1);
    quiet();  // nothing after the cancel
}

// A peer that accepts, sends and resets before the connect is seen: the reader takes the data, then
// meets the reset (a one-byte read too). Accept events come one per call, from a listener registered
// before it listened; one starved of descriptors leaves it quiet (once a storm) until the next call.
TEST_F(Platform, ResetBehindDataReachesTheReaderAndAcceptsComeOnePerCall) {
    Addr a;
    int lfd = keel_test::bound(SOCK_STREAM, a, false), mine = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_TRUE(select_socket(lfd, FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE) == 0 && sel_listen(lfd, 8) == 0);
    ASSERT_EQ(select_socket(mine, FD_READ | FD_CONNECT | FD_CLOSE), 0);
    quiet();  // an unconnected socket says nothing
    sel_connect(mine, a.sa(), a.len);
    int peer = sel_accept(lfd, nullptr, nullptr);
    ASSERT_EQ(write(peer, "last", 4), 4);
    keel_test::reset_close(peer);
    EXPECT_EQ(next_event(), Ev(mine, FD_CONNECT, 0));
    EXPECT_EQ(next_event(), Ev(mine, FD_READ, 0));
    char buf[16];
    ASSERT_EQ(sel_recv(mine, buf, sizeof buf, 0), 4);
    EXPECT_EQ(next_event(), Ev(mine, FD_READ, 0)) << "the reader is to meet the reset";
    EXPECT_TRUE(sel_recv(mine, buf, 1, 0) == -1 && sel_last_error() == WSAECONNRESET);
    EXPECT_EQ(next_event(), Ev(mine, FD_CLOSE, 0));
    sel_connect(mine, a.sa(), a.len);  // once more, over: no event
    for (int i = 0; i < 2; ++i) ASSERT_EQ(connect(socket(AF_INET, SOCK_STREAM, 0), a.sa(), a.len), 0);
    EXPECT_EQ(next_event(), Ev(lfd, FD_ACCEPT, 0));
    quiet();  // the accept event was not answered yet
    EXPECT_GE(sel_accept(lfd, nullptr, nullptr), 0);
    EXPECT_EQ(next_event(), Ev(lfd, FD_ACCEPT, 0));  // the second connection still waits
    std::vector<int> hogs;
    for (int fd; (fd = dup(0)) >= 0;) hogs.push_back(fd);
    EXPECT_EQ(sel_accept(lfd, nullptr, nullptr), -1);
    quiet();  // the waiting connection is not reported again and again, nor does the standing listener wake us
    for (int fd : hogs) close(fd);
    EXPECT_GE(sel_accept(lfd, nullptr, nullptr), 0);
    quiet();
}

// An errno comes back from its number, as reports name it (bar those past 34 without a number of their
// own); a datagram socket's send timestamps (EPOLLERR, SO_ERROR 0) never keep the owner awake.
TEST_F(Platform, ErrorNumbersGoBothWaysErrorQueuesAreDrainedAndAtMostOneTickWaits) {
    for (int err = 0, wsa; err < 134; ++err)
        EXPECT_TRUE(((wsa = wsa_error_from_errno(err)) == WSABASEERR + err && err >= 35) ||
                    errno_from_wsa_error(wsa) == (err == ESHUTDOWN ? EPIPE : err)) << err;
    Addr a;
    int rx = keel_test::bound(SOCK_DGRAM, a), tx = socket(AF_INET, SOCK_DGRAM, 0);
    int stamps = SOF_TIMESTAMPING_TX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_OPT_TSONLY;
    setsockopt(tx, SOL_SOCKET, SO_TIMESTAMPING, &stamps, sizeof stamps);  // refused under qemu-user
    ASSERT_TRUE(connect(tx, a.sa(), a.len) == 0 && select_socket(tx, FD_READ) == 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(sel_send(tx, "d", 1, 0), 1);
    Message m;  // one look (nothing waits) takes every entry at once
    EXPECT_TRUE(queue_get_for(&m, 0) == 0 && recv(tx, &m, sizeof m, MSG_ERRQUEUE | MSG_DONTWAIT) == -1);
    EXPECT_LT(quiet(300), 20) << "an entry on the error queue kept the owner awake";
    EXPECT_EQ(recv(rx, &stamps, sizeof stamps, 0), 1);
    for (int i = 0; i < 100; ++i) queue_post(50000, 0, i);  // a flood, amid which the sockets are polled every 64
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(queue_get_for(&m, 0) == 1 && m.number == 50000 && m.lparam == i) << i;
    ASSERT_TRUE(tick_start());
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_TRUE(queue_get_for(&m, 100) == 1 && m.number == WM_TIMER && m.wparam == 0 && m.lparam == 0);
    EXPECT_EQ(queue_get_for(&m, 100), 0) << "two ticks passed, one may wait";
    EXPECT_TRUE(queue_get_for(&m, 1500) == 1 && m.number == WM_TIMER) << "and the tick goes on";
}

TEST_F(Platform, EventsOfAnEarlierRegistrationNeverReachTheNumbersNextSocket) {
    // (a) An event queued before its socket closed comes out as of an ended registration.
    auto [old_sock, old_peer] = tcp_pair(FD_READ | FD_CLOSE);
    ASSERT_TRUE(post_socket_event(old_sock, FD_READ));
    ASSERT_EQ(sel_close(old_sock), 0);
    EXPECT_FALSE(post_socket_event(old_sock, FD_READ)) << "the registration went with the socket";
    int renumbered = socket(AF_INET, SOCK_DGRAM, 0);  // Linux hands out the lowest free number
    ASSERT_TRUE(renumbered == old_sock && select_socket(renumbered, FD_READ) == 0);
    Message queued;
    ASSERT_EQ(queue_get_for(&queued, 3000), 1);
    SocketEvent stale = socket_event_of(queued);
    EXPECT_TRUE(stale.sock == old_sock && stale.event == FD_READ && !socket_event_is_current(old_sock, stale.generation));
    EXPECT_TRUE(post_socket_event(renumbered, FD_READ));  // as if the system had said it: of the new one
    ASSERT_EQ(queue_get_for(&queued, 3000), 1);
    // An event word cut to a 32-bit pointer's width lost the generation: every event was taken for stale.
    EXPECT_TRUE(socket_event_is_current(renumbered, socket_event_of(queued).generation));
    // (b) Readiness taken from epoll just before another thread closed and re-registered the number.
    static int s_mine, s_new_peer, peer;
    std::tie(s_mine, peer) = tcp_pair(FD_READ | FD_CLOSE);
    ASSERT_EQ(write(peer, "old", 3), 3);  // readable now
    g_after_epoll_wait = [] {
        g_after_epoll_wait = nullptr;
        std::thread([] {
            int pair[2];
            sel_close(s_mine);
            ASSERT_TRUE(socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0 && pair[0] == s_mine);
            ASSERT_EQ(select_socket(pair[0], FD_READ | FD_CLOSE), 0);  // nothing to read here
            s_new_peer = pair[1];
        }).join();
    };
    quiet();  // the old socket's readiness must not reach the new one
    ASSERT_EQ(write(s_new_peer, "new", 3), 3);
    EXPECT_EQ(next_event(), Ev(s_mine, FD_READ, 0));
}
