// The platform layer on real sockets: one event per re-enable, no storm while
// data stays unread, connect, accept, close and reset, cancel, and the queue's
// order and sleep.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "runtime/platform.h"

using namespace keel::rt;

namespace {

constexpr int kQuiet = 100;     // ms in which no event may arrive
constexpr int kDeadline = 3000; // ms within which an expected event arrives

struct Event {
    int fd;
    uint32_t code;
    int error;
};

class Platform : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(queue_open()); }

    // The next socket event, or fd -1 when none came within timeout_ms.
    static Event next_event(int timeout_ms = kDeadline) {
        Message m;
        for (;;) {
            int rc = queue_get_for(&m, timeout_ms);
            if (rc != 1) return {-1, 0, 0};
            if (m.number != WM_SOCKET_EVENT) continue;
            auto bits = static_cast<uint32_t>(m.lparam);
            return {static_cast<int>(m.wparam), bits & 0xFFFF, static_cast<int>(bits >> 16)};
        }
    }

    static void expect_event(int fd, uint32_t code, int error = 0) {
        Event e = next_event();
        EXPECT_EQ(e.fd, fd);
        EXPECT_EQ(e.code, code);
        EXPECT_EQ(e.error, error);
    }

    static void expect_quiet() {
        Event e = next_event(kQuiet);
        EXPECT_EQ(e.fd, -1) << "unexpected event " << e.code << " on " << e.fd;
    }

    void TearDown() override {
        for (int fd : fds_) {
            select_socket(fd, 0);
            close(fd);
        }
    }

    int keep(int fd) {
        fds_.push_back(fd);
        return fd;
    }

    // A listening TCP socket on the loopback address of the family.
    int listener(int family, sockaddr_storage *addr, socklen_t *len) {
        int fd = keep(socket(family, SOCK_STREAM, 0));
        memset(addr, 0, sizeof *addr);
        if (family == AF_INET) {
            auto *a = reinterpret_cast<sockaddr_in *>(addr);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            *len = sizeof *a;
        } else {
            auto *a = reinterpret_cast<sockaddr_in6 *>(addr);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            *len = sizeof *a;
        }
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(addr), *len), 0);
        EXPECT_EQ(listen(fd, 16), 0);
        getsockname(fd, reinterpret_cast<sockaddr *>(addr), len);
        return fd;
    }

    // A connected TCP pair over loopback: {client, accepted}.
    std::pair<int, int> tcp_pair() {
        sockaddr_storage addr;
        socklen_t len;
        int lfd = listener(AF_INET, &addr, &len);
        int c = keep(socket(AF_INET, SOCK_STREAM, 0));
        EXPECT_EQ(connect(c, reinterpret_cast<sockaddr *>(&addr), len), 0);
        int s = keep(accept(lfd, nullptr, nullptr));
        return {c, s};
    }

    std::vector<int> fds_;
};

}  // namespace

TEST_F(Platform, ReadEventIsPostedOncePerReEnable) {
    auto [mine, peer] = tcp_pair();
    ASSERT_EQ(select_socket(mine, FD_READ | FD_CLOSE), 0);
    expect_quiet();
    ASSERT_EQ(write(peer, "abcdef", 6), 6);
    expect_event(mine, FD_READ);
    ASSERT_EQ(write(peer, "gh", 2), 2);
    expect_quiet();  // unread data must not raise the event again

    char buf[4];
    ASSERT_EQ(sel_recv(mine, buf, 4, 0), 4);
    expect_event(mine, FD_READ);  // data still waits after a partial read
    char rest[16];
    ASSERT_EQ(sel_recv(mine, rest, sizeof rest, 0), 4);
    expect_quiet();
    ASSERT_EQ(sel_recv(mine, rest, sizeof rest, 0), -1);
    EXPECT_EQ(sel_last_error(), WSAEWOULDBLOCK);
    expect_quiet();

    ASSERT_EQ(select_socket(mine, 0), 0);  // cancelled: new data says nothing
    ASSERT_EQ(write(peer, "b", 1), 1);
    expect_quiet();
}

TEST_F(Platform, WriteEventAfterRegistrationAndAfterABlockedSend) {
    auto [mine, peer] = tcp_pair();
    ASSERT_EQ(select_socket(mine, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE), 0);
    expect_event(mine, FD_WRITE);
    ASSERT_EQ(sel_send(mine, "small", 5, 0), 5);
    expect_quiet();  // a send that went through does not re-enable the event

    std::vector<char> chunk(65536, 'x');
    size_t sent = 0;
    for (int i = 0; i < 100000; ++i) {
        ssize_t n = sel_send(mine, chunk.data(), chunk.size(), 0);
        if (n < 0) break;
        sent += static_cast<size_t>(n);
    }
    ASSERT_EQ(sel_last_error(), WSAEWOULDBLOCK);
    std::thread drainer([peer = peer, sent] {
        std::vector<char> sink(1 << 20);
        size_t drained = 0;
        while (drained < sent + 5) {
            ssize_t n = read(peer, sink.data(), sink.size());
            if (n <= 0) break;
            drained += static_cast<size_t>(n);
        }
    });
    expect_event(mine, FD_WRITE);  // once, when the socket takes data again
    drainer.join();
    expect_quiet();
}

TEST_F(Platform, CloseComesAfterTheLastDataIsRead) {
    auto [mine, peer] = tcp_pair();
    ASSERT_EQ(select_socket(mine, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE), 0);
    expect_event(mine, FD_WRITE);
    ASSERT_EQ(write(peer, "bye", 3), 3);
    close(peer);
    expect_event(mine, FD_READ);
    expect_quiet();  // no close while the data is unread
    char buf[8];
    ASSERT_EQ(sel_recv(mine, buf, sizeof buf, 0), 3);
    expect_event(mine, FD_CLOSE, 0);
    expect_quiet();
}

TEST_F(Platform, ResetIsACloseEventWithItsError) {
    auto [mine, peer] = tcp_pair();
    ASSERT_EQ(select_socket(mine, FD_READ | FD_CLOSE), 0);
    linger hard{1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(peer);
    expect_event(mine, FD_CLOSE, WSAECONNRESET);
    expect_quiet();
}

TEST_F(Platform, ConnectThenWriteAndAcceptPerCall) {
    for (int family : {AF_INET, AF_INET6}) {
        sockaddr_storage addr;
        socklen_t len;
        int lfd = listener(family, &addr, &len);
        ASSERT_EQ(select_socket(lfd, FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE), 0);
        int c1 = keep(socket(family, SOCK_STREAM, 0));
        ASSERT_EQ(select_socket(c1, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE), 0);
        expect_quiet();  // an unconnected socket says nothing
        sel_connect(c1, reinterpret_cast<sockaddr *>(&addr), len);

        // The connect ends (FD_CONNECT, then FD_WRITE) and the listener sees one
        // waiting connection; the order between the two sockets is free.
        std::vector<std::pair<int, uint32_t>> seen;
        for (int i = 0; i < 3; ++i) {
            Event e = next_event();
            ASSERT_NE(e.fd, -1);
            EXPECT_EQ(e.error, 0);
            seen.push_back({e.fd, e.code});
        }
        std::vector<std::pair<int, uint32_t>> client_events;
        for (auto &s : seen)
            if (s.first == c1) client_events.push_back(s);
        ASSERT_EQ(client_events.size(), 2u);
        EXPECT_EQ(client_events[0].second, FD_CONNECT);
        EXPECT_EQ(client_events[1].second, FD_WRITE);

        int c2 = keep(socket(family, SOCK_STREAM, 0));
        ASSERT_EQ(connect(c2, reinterpret_cast<sockaddr *>(&addr), len), 0);
        expect_quiet();  // the first accept event was not answered yet
        keep(sel_accept(lfd, nullptr, nullptr));
        expect_event(lfd, FD_ACCEPT);  // the second connection still waits
        keep(sel_accept(lfd, nullptr, nullptr));
        expect_quiet();
    }
}

TEST_F(Platform, AcceptStarvedOfDescriptorsStaysQuiet) {
    sockaddr_storage addr;
    socklen_t len;
    int lfd = listener(AF_INET, &addr, &len);
    ASSERT_EQ(select_socket(lfd, FD_ACCEPT), 0);
    int c = keep(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(connect(c, reinterpret_cast<sockaddr *>(&addr), len), 0);
    expect_event(lfd, FD_ACCEPT);
    std::vector<int> hogs;  // use up every descriptor
    for (int fd; (fd = dup(0)) >= 0;) hogs.push_back(fd);
    EXPECT_EQ(sel_accept(lfd, nullptr, nullptr), -1);
    expect_quiet();  // the waiting connection is not reported again and again
    for (int fd : hogs) close(fd);
    int s = sel_accept(lfd, nullptr, nullptr);  // the next accept call (a tick) takes it
    EXPECT_GE(s, 0);
    keep(s);
}

TEST_F(Platform, RefusedConnectCarriesTheError) {
    sockaddr_storage addr;
    socklen_t len;
    int lfd = listener(AF_INET, &addr, &len);
    select_socket(lfd, 0);
    close(lfd);
    fds_.erase(std::find(fds_.begin(), fds_.end(), lfd));
    int c = keep(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(select_socket(c, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE), 0);
    sel_connect(c, reinterpret_cast<sockaddr *>(&addr), len);
    expect_event(c, FD_CONNECT, WSAECONNREFUSED);
    expect_quiet();
    EXPECT_EQ(wsa_error_from_errno(EAGAIN), WSAEWOULDBLOCK);
    EXPECT_EQ(wsa_error_from_errno(ECONNABORTED), WSAECONNABORTED);
    EXPECT_EQ(wsa_error_from_errno(ECONNRESET), WSAECONNRESET);
    EXPECT_EQ(select_socket(-1, FD_READ), -1);
}

TEST_F(Platform, DatagramReadAndWriteEvents) {
    int a = keep(socket(AF_INET, SOCK_DGRAM, 0));
    int b = keep(socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(a, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    getsockname(a, reinterpret_cast<sockaddr *>(&addr), &len);
    ASSERT_EQ(select_socket(a, FD_READ | FD_WRITE), 0);
    expect_event(a, FD_WRITE);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(sendto(b, "dg", 2, 0, reinterpret_cast<sockaddr *>(&addr), len), 2);
    expect_event(a, FD_READ);
    expect_quiet();
    char buf[8];
    ASSERT_EQ(sel_recvfrom(a, buf, sizeof buf, 0, nullptr, nullptr), 2);
    expect_event(a, FD_READ);  // the second datagram
    ASSERT_EQ(sel_recvfrom(a, buf, sizeof buf, 0, nullptr, nullptr), 2);
    expect_quiet();
}

TEST_F(Platform, QueueKeepsEachPostersOrder) {
    constexpr int kThreads = 4, kEach = 5000;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) queue_post(50000, static_cast<uintptr_t>(t), i);
        });
    std::vector<intptr_t> last(kThreads, -1);
    int got = 0;
    Message m;
    while (got < kThreads * kEach) {
        ASSERT_EQ(queue_get_for(&m, kDeadline), 1);
        if (m.number != 50000) continue;
        ASSERT_EQ(m.lparam, last[m.wparam] + 1);
        last[m.wparam] = m.lparam;
        ++got;
    }
    for (auto &p : posters) p.join();

    ASSERT_TRUE(tick_start());  // the tick joins the same queue
    int ticks = 0;
    while (ticks < 2) {
        ASSERT_EQ(queue_get_for(&m, kDeadline), 1);
        ticks += m.number == WM_TIMER && m.wparam == 0 && m.lparam == 0;
    }
}

TEST_F(Platform, EmptyQueueSleepsUntilAPostArrives) {
    timespec cpu0, cpu1;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
    std::thread poster([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        queue_post(50001, 7, 8);
    });
    Message m;
    ASSERT_EQ(queue_get_for(&m, kDeadline), 1);
    poster.join();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
    EXPECT_EQ(m.number, 50001u);
    EXPECT_EQ(m.wparam, 7u);
    EXPECT_EQ(m.lparam, 8);
    double cpu_ms = (cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6;
    EXPECT_LT(cpu_ms, 100.0) << "the owner must sleep, not poll";
}

