// The C++ face (keel.hpp) against real peers: loopback sockets and pty pairs. Its lifetimes are what these cases
// are for (run them under the address checker): a record destroyed inside its own callback, from another thread,
// moved while its callbacks are bound, and a callback that throws.
#include <gtest/gtest.h>

#include <list>
#include <thread>

#include "keel.hpp"
#include "serial_support.h"
#include "test_core.h"

using namespace keel_test;
using namespace std::chrono_literals;

namespace {

const keel::runtime &rt() {
    static const keel::runtime r;
    return r;
}

std::span<const std::byte> bytes(const std::string &s) { return {reinterpret_cast<const std::byte *>(s.data()), s.size()}; }

// An echo server whose connections erase themselves from its list when they end, inside their own callback.
struct EchoServer {
    keel::tcp_server server;
    std::list<keel::tcp_client> conns;
    uint16_t port = free_port();
    EchoServer() {
        server.on_accept([this](keel::tcp_client c) {
            auto at = conns.insert(conns.end(), std::move(c));
            at->on_read([](keel::tcp_ref self, std::span<const std::byte> d) { self.write(d); });
            at->on_disconnect([this, at] { conns.erase(at); });
        });
        EXPECT_FALSE(server.listen("127.0.0.1", port));
    }
    size_t count() { return keel::main_lock(), conns.size(); }
};

class Cpp : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(rt().ok()); }
};

// A MiB written at once by a client of the face is queued, sent as the socket takes it, echoed, and counted back.
TEST_F(Cpp, EchoCountsEveryByteBothWays) {
    int fds = fd_count();
    {
        EchoServer echo;
        keel::tcp_client client;
        std::string sent = pattern(1 << 20, 1), got;
        client.on_connect([&] { EXPECT_TRUE(client.write(bytes(sent))); });
        client.on_read([&](std::span<const std::byte> d) { got.append(reinterpret_cast<const char *>(d.data()), d.size()); });
        ASSERT_FALSE(client.set_remote("127.0.0.1", echo.port));
        ASSERT_FALSE(client.open());
        ASSERT_TRUE(wait_until_locked([&] { return got.size() == sent.size(); }, 20s));
        EXPECT_TRUE(got == sent);
        EXPECT_EQ(client.remote(), (keel::endpoint{"127.0.0.1", echo.port}));
        client.close();  // the server's end erases itself inside its disconnect callback
        EXPECT_TRUE(wait_until([&] { return echo.count() == 0; }));
    }
    EXPECT_TRUE(fd_count_returns_to(fds));
}

// The error codes: a refused connect compares equal to std::errc's, and its text is Keel's reason.
TEST_F(Cpp, RefusedConnectGivesItsErrorCode) {
    keel::tcp_client client;
    std::error_code ec;
    std::string reason;
    client.on_fail([&](std::error_code e, std::string_view r) { ec = e, reason = r; });
    ASSERT_FALSE(client.set_remote("127.0.0.1", free_port()));
    ASSERT_FALSE(client.open());
    ASSERT_TRUE(wait_until_locked([&] { return bool(ec); }));
    EXPECT_EQ(ec, std::errc::connection_refused);
    EXPECT_EQ(ec.value(), 10061);
    EXPECT_STREQ(ec.category().name(), "keel");
    EXPECT_EQ(reason, "Connection refused");
    EXPECT_EQ(keel::tcp_client().set_remote(std::string(300, 'a'), 1), keel::errc::refused);
}

// Destroyed inside their own callbacks: a connection in its read callback, a timer in its function, a serial port in
// its read callback. The address checker sees any use after the free.
TEST_F(Cpp, RecordsDestroyedInsideTheirOwnCallbacks) {
    EchoServer echo;
    auto *client = new keel::tcp_client;
    int reads = 0;
    client->on_read([&](std::span<const std::byte>) { ++reads, delete client, client = nullptr; });
    client->set_remote("127.0.0.1", echo.port);
    client->on_connect([&] { client->write("ping"); });
    ASSERT_FALSE(client->open());
    EXPECT_TRUE(wait_until_locked([&] { return client == nullptr; }));
    EXPECT_TRUE(wait_until([&] { return echo.count() == 0; }));  // the peer saw the end

    int fired = 0;
    keel::timer *t;
    os_main_lock();  // t is set before its first call
    t = new keel::timer(keel::timer::every(1ms, [&] { ++fired, delete t; }));
    os_main_unlock();
    EXPECT_TRUE(wait_until_locked([&] { return fired == 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ((keel::main_lock(), fired), 1);

    Device dev(3);
    auto *port = new keel::serial_port("COM3");
    std::atomic<int> frames{0};
    port->on_read([&](std::span<const std::byte>) { ++frames, delete port; });
    ASSERT_FALSE(port->open());
    ASSERT_TRUE(dev.write_all("abc"));
    EXPECT_TRUE(wait_until([&] { return frames == 1; }));
    EXPECT_TRUE(dev.write_all("more"));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(frames, 1);
}

// Moved (and moved again by a growing vector) while its callbacks are bound: the callbacks follow the record.
TEST_F(Cpp, MovedWhileCallbacksAreBound) {
    EchoServer echo;
    std::vector<keel::tcp_client> clients(1);
    std::string got;
    clients[0].on_read([&](std::span<const std::byte> d) { got.append(reinterpret_cast<const char *>(d.data()), d.size()); });
    clients[0].set_remote("127.0.0.1", echo.port);
    ASSERT_FALSE(clients[0].open());
    ASSERT_TRUE(wait_until([&] { return clients[0].connected(); }));
    {
        keel::main_lock hold;
        keel::tcp_client moved = std::move(clients[0]);
        clients.clear(), clients.resize(10);
        clients[7] = std::move(moved);
    }
    EXPECT_TRUE(clients[7].write("still here"));
    EXPECT_TRUE(wait_until_locked([&] { return got == "still here"; }));
}

// Destroyed from another thread while its callbacks run on theirs: a connection under a flood, a serial port with
// bytes streaming in. No callback runs once the destructor has returned.
TEST_F(Cpp, DestroyedFromAnotherThreadWhileCallbacksRun) {
    EchoServer echo;
    std::atomic<int> reads{0};
    auto client = std::make_unique<keel::tcp_client>();
    client->on_read([&](keel::tcp_ref self, std::span<const std::byte> d) { ++reads, self.write(d); });  // forever
    client->on_connect([self = client->ref()] { self.write(pattern(4096, 2)); });
    client->set_remote("127.0.0.1", echo.port);
    ASSERT_FALSE(client->open());

    Device dev(4);
    std::atomic<int> frames{0};
    auto port = std::make_unique<keel::serial_port>(dev.path, keel::serial_settings{.baud = 115200});
    port->on_read([&](std::span<const std::byte>) { ++frames; });
    ASSERT_FALSE(port->open());
    std::atomic<bool> stop{false};
    std::thread feeder([&] {  // the master does not block: once the port is gone its writes fail
        while (!stop) write(dev.master, "0123456789", 10), std::this_thread::sleep_for(100us);
    });
    ASSERT_TRUE(wait_until([&] { return reads > 100 && frames > 10; }, 10s));
    std::thread([&] { client.reset(), port.reset(); }).join();
    int r = reads, f = frames;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(reads, r);
    EXPECT_EQ(frames, f);
    stop = true;
    feeder.join();
    EXPECT_TRUE(wait_until([&] { return echo.count() == 0; }));
}

// A callback that throws is reported in the log and its connection closed; the program goes on.
TEST_F(Cpp, ThrowingCallbackIsReportedAndClosesItsConnection) {
    StderrCapture err;
    keel::tcp_server server;
    uint16_t port = free_port();
    std::list<keel::tcp_client> conns;
    server.on_accept([&](keel::tcp_client c) {
        c.on_read([](std::span<const std::byte>) { throw std::runtime_error("no such command"); });
        conns.push_back(std::move(c));
    });
    ASSERT_FALSE(server.listen("127.0.0.1", port));
    int fd = plain_connect(port);
    ASSERT_EQ(write(fd, "x", 1), 1);
    EXPECT_TRUE(peer_ended(fd));
    close(fd);
    EXPECT_EQ(count_of(err.text(), "a C++ callback of a tcp_client threw: no such command"), 1);
    EXPECT_TRUE(server.listening());
}

// A port by name: frames split by the silence of the read gap, each delivered whole; a write reaches the device.
TEST_F(Cpp, SerialPortFramesByItsReadGap) {
    Device dev(5);
    keel::serial_port port("COM5", {.baud = 19200, .parity = 'E'});
    std::mutex lock;
    std::vector<std::string> frames;
    port.set_read_gap(20ms);
    port.on_read([&](std::span<const std::byte> d) {
        std::lock_guard g(lock);
        frames.emplace_back(reinterpret_cast<const char *>(d.data()), d.size());
    });
    ASSERT_FALSE(port.open());
    std::string request("\x01\x03\x00\x10\x00\x02\xc5\xce", 8);  // in two parts, 2 ms apart: one frame
    dev.write_all(request.substr(0, 3)), std::this_thread::sleep_for(2ms), dev.write_all(request.substr(3));
    std::this_thread::sleep_for(100ms);
    dev.write_all("second");
    ASSERT_TRUE(wait_until([&] { return std::lock_guard(lock), frames.size() == 2; }));
    EXPECT_EQ(frames[0], request);
    EXPECT_EQ(frames[1], "second");
    EXPECT_TRUE(port.write(bytes("reply")));
    EXPECT_EQ(read_exact(dev.master, 5), "reply");
    EXPECT_EQ(keel::serial_port("/no/such/device").open(), keel::errc::failed);
}

}  // namespace
