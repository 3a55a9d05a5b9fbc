// The platform layer on real sockets: one event per re-enable, no storm while
// data stays unread, connect, accept, close and reset, events of an earlier
// registration, and the queue's order, sleep and tick.
#include <gtest/gtest.h>
#include <linux/net_tstamp.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <functional>
#include <string>
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
constexpr int kQuiet = 100;  // ms in which no event may arrive
constexpr uint32_t kAll = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;

// The next socket event, or kNone when none came within timeout_ms.
Ev next_event(int timeout_ms = 3000) {
    for (Message m; queue_get_for(&m, timeout_ms) == 1;) {
        if (m.number != WM_SOCKET_EVENT) continue;
        SocketEvent ev = socket_event_of(m);
        return {ev.sock, ev.event, ev.error};
    }
    return kNone;
}

// CPU time the calling thread spends in fn: a few milliseconds for a wait
// that sleeps, nearly all of the wait for one that spins.
double cpu_ms_of(const std::function<void()> &fn) {
    timespec a, b;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
    fn();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
    return (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6;
}

double cpu_ms_of_quiet_wait(int ms) {
    return cpu_ms_of([ms] { EXPECT_EQ(next_event(ms), kNone); });
}

std::string read_all(int fd, size_t want) {
    std::string got;
    char buf[4096];
    for (int i = 0; i < 100 && got.size() < want; ++i) {
        ssize_t n = sel_recv(fd, buf, sizeof buf, 0);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

class Platform : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(queue_open()); }
    void TearDown() override {
        for (int fd : fds_) select_socket(fd, 0), close(fd);
    }
    int keep(int fd) { return fds_.emplace_back(fd); }
    int bound(int type, Addr *a, bool listening = true) { return keep(keel_test::bound(type, *a, listening)); }

    // A connected TCP pair over loopback: {client, accepted}.
    std::pair<int, int> tcp_pair() {
        Addr a;
        int lfd = bound(SOCK_STREAM, &a);
        int c = keep(socket(AF_INET, SOCK_STREAM, 0));
        EXPECT_EQ(connect(c, a.sa(), a.len), 0);
        return {c, keep(accept(lfd, nullptr, nullptr))};
    }

    std::vector<int> fds_;
};

}  // namespace

TEST_F(Platform, ReadEventIsPostedOncePerReEnableUntilCancelled) {
    auto [mine, peer] = tcp_pair();
    ASSERT_EQ(select_socket(mine, FD_READ | FD_CLOSE), 0);
    EXPECT_EQ(next_event(kQuiet), kNone);
    std::string data(1000, 'd');
    ASSERT_EQ(write(peer, data.data(), data.size()), 1000);
    EXPECT_EQ(next_event(), Ev(mine, FD_READ, 0));
    ASSERT_EQ(write(peer, "gh", 2), 2);
    EXPECT_EQ(next_event(kQuiet), kNone);  // unread data must not raise the event again
    char buf[16];
    ASSERT_EQ(sel_recv(mine, buf, 4, 0), 4);
    EXPECT_EQ(next_event(), Ev(mine, FD_READ, 0));  // data still waits after a partial read
    size_t got = 4;
    for (ssize_t n; (n = sel_recv(mine, buf, 10, 0)) > 0;) got += static_cast<size_t>(n);  // small pieces
    EXPECT_EQ(got, 1002u);
    EXPECT_EQ(sel_last_error(), WSAEWOULDBLOCK);
    EXPECT_EQ(next_event(kQuiet), kNone);  // no data: no event after the draining read or the failed one

    // A read on a thread that does not own the queue leaves data behind.
    ASSERT_EQ(write(peer, "0123456789", 10), 10);
    EXPECT_EQ(next_event(), Ev(mine, FD_READ, 0));
    std::thread([mine = mine] {
        char four[4];
        EXPECT_EQ(sel_recv(mine, four, sizeof four, 0), 4);
    }).join();
    EXPECT_EQ(next_event(), Ev(mine, FD_READ, 0)) << "the rest still waits";
    EXPECT_EQ(read_all(mine, 6), "456789");
    EXPECT_EQ(next_event(kQuiet), kNone);
    ASSERT_EQ(select_socket(mine, 0), 0);
    ASSERT_EQ(write(peer, "b", 1), 1);
    EXPECT_EQ(next_event(kQuiet), kNone);

    // A cancel takes back nothing already queued: the event still comes out,
    // marked as of a registration that has ended, so dispatch can drop it.
    ASSERT_EQ(select_socket(mine, FD_READ | FD_CLOSE), 0);
    ASSERT_TRUE(post_socket_event(mine, FD_READ));
    ASSERT_EQ(select_socket(mine, 0), 0);
    Message queued;
    ASSERT_EQ(queue_get_for(&queued, 3000), 1);
    ASSERT_EQ(queued.number, static_cast<uint32_t>(WM_SOCKET_EVENT));
    SocketEvent ev = socket_event_of(queued);
    EXPECT_TRUE(ev.sock == mine && ev.event == FD_READ);
    EXPECT_FALSE(socket_event_is_current(mine, ev.generation));
    EXPECT_EQ(next_event(kQuiet), kNone);
}

// A write event after the registration and after a blocked send only; the
// close once the last data is read; and a peer that half-closed still gets a
// reply far larger than the socket buffers.
TEST_F(Platform, WriteEventsCloseAfterTheLastDataAndHalfClosedPeerGetsTheWholeReply) {
    auto [mine, peer] = tcp_pair();
    ASSERT_EQ(select_socket(mine, kAll), 0);
    EXPECT_EQ(next_event(), Ev(mine, FD_WRITE, 0));
    ASSERT_EQ(sel_send(mine, "small", 5, 0), 5);
    EXPECT_EQ(next_event(kQuiet), kNone);  // a send that went through does not re-enable the event
    std::vector<char> chunk(65536, 'x');
    ssize_t sent = 5;
    for (ssize_t n; (n = sel_send(mine, chunk.data(), chunk.size(), 0)) > 0;) sent += n;
    ASSERT_EQ(sel_last_error(), WSAEWOULDBLOCK);
    std::thread drainer([&, peer = peer] {  // takes everything sent
        for (ssize_t n, got = 0; got < sent && (n = read(peer, chunk.data(), chunk.size())) > 0;) got += n;
    });
    EXPECT_EQ(next_event(), Ev(mine, FD_WRITE, 0));  // once, when the socket takes data again
    drainer.join();
    EXPECT_EQ(next_event(kQuiet), kNone);

    ASSERT_EQ(write(peer, "bye", 3), 3);
    ASSERT_EQ(shutdown(peer, SHUT_WR), 0);
    EXPECT_EQ(next_event(), Ev(mine, FD_READ, 0));
    EXPECT_EQ(next_event(kQuiet), kNone);  // no close while the data is unread
    EXPECT_EQ(read_all(mine, 3), "bye");
    EXPECT_EQ(next_event(), Ev(mine, FD_CLOSE, 0));
    EXPECT_EQ(next_event(kQuiet), kNone);

    constexpr size_t kReply = 8 << 20;
    std::vector<char> reply(kReply, 'r');
    size_t received = 0;
    std::thread reader([&, peer = peer] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the sender block first
        std::vector<char> buf(1 << 16);
        for (ssize_t n; (n = read(peer, buf.data(), buf.size())) > 0;) received += static_cast<size_t>(n);
    });
    int write_events = 0;
    for (size_t done = 0; done < kReply;) {
        ssize_t n = sel_send(mine, reply.data() + done, kReply - done, 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (sel_last_error() == WSAEWOULDBLOCK && next_event() == Ev(mine, FD_WRITE, 0)) {
            ++write_events;
        } else {
            ADD_FAILURE() << "stalled after " << done << " bytes";
            break;
        }
    }
    shutdown(mine, SHUT_WR);
    reader.join();
    EXPECT_GT(write_events, 0);
    EXPECT_EQ(received, kReply);
}

// Connects of both families; accepts one event per call, from a listener
// registered before it listened (IPv4) and after (IPv6).
TEST_F(Platform, ConnectThenWriteAndAcceptPerCall) {
    for (int family : {AF_INET, AF_INET6}) {
        Addr a(family);
        bool early = family == AF_INET;
        int lfd = bound(SOCK_STREAM, &a, !early);
        ASSERT_EQ(select_socket(lfd, FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE), 0);
        if (early) {
            ASSERT_EQ(sel_listen(lfd, 8), 0);
        }
        int c1 = keep(socket(family, SOCK_STREAM, 0));
        ASSERT_EQ(select_socket(c1, kAll), 0);
        EXPECT_EQ(next_event(kQuiet), kNone);  // an unconnected socket says nothing
        sel_connect(c1, a.sa(), a.len);
        // The order between the client's events and the listener's is free.
        std::vector<Ev> client, other;
        for (int i = 0; i < 3; ++i) {
            Ev e = next_event();
            (std::get<0>(e) == c1 ? client : other).push_back(e);
        }
        EXPECT_EQ(client, (std::vector<Ev>{{c1, FD_CONNECT, 0}, {c1, FD_WRITE, 0}})) << family;
        EXPECT_EQ(other, (std::vector<Ev>{{lfd, FD_ACCEPT, 0}})) << family;

        ASSERT_EQ(connect(keep(socket(family, SOCK_STREAM, 0)), a.sa(), a.len), 0);
        EXPECT_EQ(next_event(kQuiet), kNone);  // the first accept event was not answered yet
        EXPECT_GE(keep(sel_accept(lfd, nullptr, nullptr)), 0);
        EXPECT_EQ(next_event(), Ev(lfd, FD_ACCEPT, 0));  // the second connection still waits
        EXPECT_GE(keep(sel_accept(lfd, nullptr, nullptr)), 0);
        EXPECT_EQ(next_event(kQuiet), kNone);
    }
}

TEST_F(Platform, AcceptStarvedOfDescriptorsStaysQuiet) {
    Addr a;
    int lfd = bound(SOCK_STREAM, &a);
    ASSERT_EQ(select_socket(lfd, FD_ACCEPT), 0);
    ASSERT_EQ(connect(keep(socket(AF_INET, SOCK_STREAM, 0)), a.sa(), a.len), 0);
    EXPECT_EQ(next_event(), Ev(lfd, FD_ACCEPT, 0));
    std::vector<int> hogs;  // use up every descriptor
    for (int fd; (fd = dup(0)) >= 0;) hogs.push_back(fd);
    EXPECT_EQ(sel_accept(lfd, nullptr, nullptr), -1);
    // The waiting connection is not reported again and again, nor does the
    // listener, left standing between accepts, wake the owner meanwhile.
    EXPECT_LT(cpu_ms_of_quiet_wait(300), 100);
    for (int fd : hogs) close(fd);
    EXPECT_GE(keep(sel_accept(lfd, nullptr, nullptr)), 0);  // the next accept call (a tick) takes it
}

// (A refused connect carries its error the same way; tcp_test.cc sees it.)
TEST_F(Platform, ResetReachesTheReaderAfterTheDataAndThenCloses) {
    auto [mine, peer] = tcp_pair();
    ASSERT_EQ(select_socket(mine, FD_READ | FD_CLOSE), 0);
    ASSERT_EQ(write(peer, "last", 4), 4);
    EXPECT_EQ(next_event(), Ev(mine, FD_READ, 0));
    keel_test::reset_close(peer);
    fds_.erase(std::find(fds_.begin(), fds_.end(), peer));
    EXPECT_EQ(next_event(kQuiet), kNone);  // the first read event is not answered yet
    char buf[16];
    ASSERT_EQ(sel_recv(mine, buf, sizeof buf, 0), 4) << "what came before the reset is still read";
    EXPECT_EQ(next_event(), Ev(mine, FD_READ, 0));  // the reader meets the reset
    EXPECT_EQ(sel_recv(mine, buf, sizeof buf, 0), -1);
    EXPECT_EQ(sel_last_error(), WSAECONNRESET);
    EXPECT_EQ(next_event(), Ev(mine, FD_CLOSE, 0));  // and then the end, once
    EXPECT_EQ(next_event(kQuiet), kNone);

    auto [other, other_peer] = tcp_pair();  // without FD_READ the reset is the close event
    ASSERT_EQ(select_socket(other, FD_CLOSE), 0);
    keel_test::reset_close(other_peer);
    fds_.erase(std::find(fds_.begin(), fds_.end(), other_peer));
    EXPECT_EQ(next_event(), Ev(other, FD_CLOSE, WSAECONNRESET));
}

// The queue's owner sleeps; each poster's order holds; and a tick that finds
// the one before still waiting is dropped, so an owner that took no message
// for three seconds finds one tick, not three.
TEST_F(Platform, QueueSleepsKeepsEachPostersOrderAndAtMostOneTickWaits) {
    std::thread late([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        queue_post(50001, 7, 8);
    });
    Message m;
    EXPECT_LT(cpu_ms_of([&] { EXPECT_EQ(queue_get_for(&m, 3000), 1); }), 100) << "the owner must sleep";
    late.join();
    EXPECT_TRUE(m.number == 50001u && m.wparam == 7u && m.lparam == 8);

    // A socket event's word keeps all 64 bits through the queue, whatever
    // the width of a pointer: the generation lives in the upper half.
    queue_post(WM_SOCKET_EVENT, 1023, socket_event_word(FD_CLOSE, WSAECONNRESET, 0xFFFFFFFEu));
    ASSERT_EQ(queue_get_for(&m, 3000), 1);
    SocketEvent ev = socket_event_of(m);
    EXPECT_TRUE(ev.sock == 1023 && ev.event == FD_CLOSE && ev.error == WSAECONNRESET && ev.generation == 0xFFFFFFFEu)
        << ev.sock << " " << ev.event << " " << ev.error << " " << ev.generation;

    constexpr int kThreads = 4, kEach = 5000;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) queue_post(50000, static_cast<uintptr_t>(t), i);
        });
    std::vector<LParam> last(kThreads, -1);
    for (int got = 0; got < kThreads * kEach; ++got) {
        ASSERT_EQ(queue_get_for(&m, 3000), 1);
        ASSERT_EQ(m.number, 50000u);
        ASSERT_EQ(m.lparam, ++last[m.wparam]) << "from poster " << m.wparam;
    }
    for (auto &p : posters) p.join();

    ASSERT_TRUE(tick_start());
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    ASSERT_EQ(queue_get_for(&m, 100), 1);
    EXPECT_TRUE(m.number == WM_TIMER && m.wparam == 0 && m.lparam == 0);
    EXPECT_EQ(queue_get_for(&m, 100), 0) << "three ticks passed, one may wait";
    ASSERT_EQ(queue_get_for(&m, 1500), 1);  // and the tick goes on
    EXPECT_EQ(m.number, WM_TIMER);
}

// Entries on the error queue (software send timestamps raise EPOLLERR while
// SO_ERROR stays 0) end nothing and do not make the owner spin.
TEST_F(Platform, ErrorQueueEntriesNeitherSpinNorEndTheConnection) {
    KEEL_SKIP_UNDER_EMULATION("refuses SO_TIMESTAMPING");
    auto [mine, peer] = tcp_pair();
    int flags = SOF_TIMESTAMPING_TX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_OPT_TSONLY;
    ASSERT_EQ(setsockopt(mine, SOL_SOCKET, SO_TIMESTAMPING, &flags, sizeof flags), 0);
    ASSERT_EQ(select_socket(mine, kAll), 0);
    EXPECT_EQ(next_event(), Ev(mine, FD_WRITE, 0));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(sel_send(mine, "stamp", 5, 0), 5);
    EXPECT_LT(cpu_ms_of_quiet_wait(300), 100) << "the owner must sleep with stamps waiting";
    ASSERT_EQ(send(peer, "ok", 2, 0), 2);
    EXPECT_EQ(next_event(), Ev(mine, FD_READ, 0));
    EXPECT_EQ(read_all(mine, 2), "ok") << "the connection goes on";
}

// Urgent data reads in line with the rest, and waiting behind it never
// makes the owner spin. The connection is accepted as the library accepts
// one, asked nothing at its registration: it reads in line as its listener does.
TEST_F(Platform, UrgentDataReadsInLineWithoutSpinning) {
    Addr a;
    int lfd = bound(SOCK_STREAM, &a, false);
    ASSERT_EQ(sel_listen(lfd, 8), 0);
    int peer = keep(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(connect(peer, a.sa(), a.len), 0);
    int mine = keep(sel_accept(lfd, nullptr, nullptr));
    ASSERT_EQ(select_socket(mine, kAll, SocketIs::Accepted), 0);
    EXPECT_EQ(next_event(), Ev(mine, FD_WRITE, 0));
    ASSERT_EQ(send(peer, "u", 1, MSG_OOB), 1);  // only an urgent byte waits
    ASSERT_EQ(send(peer, "after", 5, 0), 5);
    EXPECT_EQ(next_event(), Ev(mine, FD_READ, 0));
    EXPECT_LT(cpu_ms_of_quiet_wait(300), 100) << "the owner must sleep while the read event is unanswered";
    EXPECT_EQ(read_all(mine, 6), "uafter") << "nothing behind the urgent byte is lost";
    ASSERT_EQ(send(peer, "ab", 2, 0), 2);
    ASSERT_EQ(send(peer, "c", 1, MSG_OOB), 1);
    EXPECT_EQ(next_event(), Ev(mine, FD_READ, 0));
    EXPECT_EQ(read_all(mine, 3), "abc");
    EXPECT_LT(cpu_ms_of_quiet_wait(300), 100);
}

TEST_F(Platform, EventsOfAnEarlierRegistrationNeverReachTheNumbersNextSocket) {
    // (a) An event still queued when its socket was closed.
    auto [old_sock, old_peer] = tcp_pair();
    ASSERT_EQ(select_socket(old_sock, kAll), 0);  // queues FD_WRITE
    Message queued;
    ASSERT_EQ(queue_get_for(&queued, 3000), 1);
    SocketEvent stale = socket_event_of(queued);
    ASSERT_EQ(stale.sock, old_sock);
    EXPECT_TRUE(socket_event_is_current(old_sock, stale.generation));
    ASSERT_EQ(sel_close(old_sock), 0);
    fds_.erase(std::find(fds_.begin(), fds_.end(), old_sock));
    int renumbered = keep(socket(AF_INET, SOCK_DGRAM, 0));  // Linux hands out the lowest free number
    ASSERT_EQ(renumbered, old_sock);
    ASSERT_EQ(select_socket(renumbered, FD_READ), 0);
    EXPECT_FALSE(socket_event_is_current(old_sock, stale.generation));
    EXPECT_TRUE(post_socket_event(renumbered, FD_READ));  // as if the system had said it: of the new one
    ASSERT_EQ(queue_get_for(&queued, 3000), 1);
    EXPECT_TRUE(socket_event_is_current(renumbered, socket_event_of(queued).generation));
    ASSERT_EQ(select_socket(renumbered, 0), 0);
    EXPECT_FALSE(post_socket_event(renumbered, FD_READ));

    // (b) Readiness taken from epoll just before another thread cancelled,
    // closed and re-registered the number.
    auto [mine, peer] = tcp_pair();
    ASSERT_EQ(select_socket(mine, FD_READ | FD_CLOSE), 0);
    ASSERT_EQ(write(peer, "old", 3), 3);  // mine is readable now
    static int s_mine, s_replacement_peer;
    s_mine = mine;
    g_after_epoll_wait = [] {
        g_after_epoll_wait = nullptr;
        std::thread([] {
            sel_close(s_mine);
            int pair[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
            ASSERT_EQ(pair[0], s_mine);
            s_replacement_peer = pair[1];
            ASSERT_EQ(select_socket(pair[0], FD_READ | FD_CLOSE), 0);  // nothing to read here
        }).join();
    };
    EXPECT_EQ(next_event(kQuiet), kNone) << "the old socket's readiness reached the new one";
    keep(s_replacement_peer);
    ASSERT_EQ(write(s_replacement_peer, "new", 3), 3);
    EXPECT_EQ(next_event(), Ev(mine, FD_READ, 0));
}
