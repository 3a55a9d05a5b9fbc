// The C++ face (keel.hpp) against real peers: loopback sockets and pty pairs. Its lifetimes are what these cases
// are for (run them under the address checker): a record destroyed inside its own callback, from another thread,
// moved while its callbacks are bound, and a callback that throws.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <list>
#include <thread>

#include "keel.hpp"
#include "serial_support.h"
#include "test_core.h"
#include "tls_certs.h"

using namespace keel_test;
using namespace std::chrono_literals;

namespace {

// The resolver reads its name server once, at the first resolution of the process: every case gets the same one, a
// server that answers the names under fail.test with a server failure and never answers any other (names of
// /etc/hosts, "localhost", still resolve). Set before any case resolves, so that the order of the cases does not
// matter.
const keel::runtime &rt() {
    static const keel::runtime r = [] {
#ifndef _WIN32  // the system's resolver there takes no name server from a program
        uint16_t port;
        std::thread([fd = bound(SOCK_DGRAM, &port)] {
            unsigned char q[512];
            sockaddr_storage from;
            for (socklen_t len = sizeof from;; len = sizeof from) {
                auto n = recvfrom(fd, q, sizeof q, 0, reinterpret_cast<sockaddr *>(&from), &len);
                if (n > 12 && memmem(q + 12, n - 12, "\4fail\4test", 10) != nullptr)  // rcode 2: server failure
                    q[2] |= 0x80, q[3] = (q[3] & 0xf0) | 2,
                                  sendto(fd, q, n, 0, reinterpret_cast<sockaddr *>(&from), len);
            }
        }).detach();
        setenv("KEEL_DNS_SERVER", ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
        setenv("KEEL_DNS_TIMEOUT_MS", "300", 1);
#endif
        return keel::runtime();
    }();
    return r;
}

std::span<const std::byte> bytes(const std::string &s) {
    return {reinterpret_cast<const std::byte *>(s.data()), s.size()};
}

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
    ~EchoServer() {  // under the lock: a connection that ends must not erase itself while the list goes
        keel::main_lock hold;
        server.close(), conns.clear();
    }
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
        client.on_read(
            [&](std::span<const std::byte> d) { got.append(reinterpret_cast<const char *>(d.data()), d.size()); });
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
    EXPECT_EQ(reason.rfind("Connection refused", 0), 0u) << reason;  // Windows ends it with a full stop
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
    port->on_read([&](std::span<const std::byte>) { delete port, ++frames; });  // port is read before the count says so
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
    clients[0].on_read(
        [&](std::span<const std::byte> d) { got.append(reinterpret_cast<const char *>(d.data()), d.size()); });
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
#ifdef _WIN32
        while (!stop) send(as_socket(dev.master), "0123456789", 10, 0), std::this_thread::sleep_for(100us);
#else
        while (!stop) write(dev.master, "0123456789", 10), std::this_thread::sleep_for(100us);
#endif
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
    ASSERT_EQ(send(as_socket(fd), "x", 1, 0), 1);
    EXPECT_TRUE(peer_ended(fd));
    close_socket(fd);
    EXPECT_EQ(count_of(err.text(), "a C++ callback of a tcp_client threw: no such command"), 1);
    EXPECT_TRUE(server.listening());
}

// A port by name: frames split by the silence of the read gap, each delivered whole; a write reaches the device.
TEST_F(Cpp, SerialPortFramesByItsReadGap) {
    Device dev(5);
    keel::serial_port port("COM5", {.baud = 19200, .parity = 'E'});
    std::mutex lock;
    std::vector<std::string> frames;
    port.set_read_gap(100ms);  // wide, so that a loaded machine's pause between the two parts does not split them
    port.on_read([&](std::span<const std::byte> d) {
        std::lock_guard g(lock);
        frames.emplace_back(reinterpret_cast<const char *>(d.data()), d.size());
    });
    ASSERT_FALSE(port.open());
    std::string request("\x01\x03\x00\x10\x00\x02\xc5\xce", 8);  // in two parts, 2 ms apart: one frame
    dev.write_all(request.substr(0, 3)), std::this_thread::sleep_for(2ms), dev.write_all(request.substr(3));
    std::this_thread::sleep_for(400ms);
    dev.write_all("second");
    ASSERT_TRUE(wait_until([&] { return std::lock_guard(lock), frames.size() == 2; }));
    EXPECT_EQ(frames[0], request);
    EXPECT_EQ(frames[1], "second");
    EXPECT_TRUE(port.write(bytes("reply")));
    EXPECT_EQ(read_exact(dev.master, 5), "reply");
    EXPECT_EQ(keel::serial_port("/no/such/device").open(), keel::errc::failed);
}

// The other records: a UDP client's datagram with its sender, a one-shot timer, a child's exit code.
TEST_F(Cpp, UdpTimerAndProcessDeliverTheirEvents) {
    keel::udp_client a, b;
    std::string got;
    keel::endpoint from;
    b.on_read([&](std::span<const std::byte> d, const keel::endpoint &e) {
        got.assign(reinterpret_cast<const char *>(d.data()), d.size()), from = e;
    });
    ASSERT_FALSE(a.open("127.0.0.1") || b.open("127.0.0.1"));
    ASSERT_TRUE(a.send_to("datagram", "127.0.0.1", b.local().port));
    ASSERT_TRUE(wait_until_locked([&] { return got == "datagram"; }));
    EXPECT_EQ(from, a.local());

    int fired = 0;
    keel::timer once = keel::timer::once(5ms, [&] { ++fired; });
    EXPECT_TRUE(wait_until_locked([&] { return fired == 1; }));
    EXPECT_FALSE(once.active());

#ifdef _WIN32
    keel::process child("cmd /c exit 3");
#else
    keel::process child("sh -c \"exit 3\"");
#endif
    std::atomic<int> code{-1};
    child.on_exit([&](int c) { code = c; });
    EXPECT_TRUE(wait_until([&] { return code == 3; }));
    EXPECT_EQ(child.exit_code(), 3);
}

#ifndef _WIN32
// A watch sees a device come and go, in a sysfs and /dev of its own; its callback throws at the going, which is
// reported and ends the watch.
TEST_F(Cpp, PortWatchSeesADeviceComeAndGo) {
    namespace fs = std::filesystem;
    char tmp[] = "/tmp/keel_cpp_ports_XXXXXX";
    ASSERT_NE(mkdtemp(tmp), nullptr);
    fs::path root = tmp, device = root / "sys/devices/platform/uart0", entry = device / "tty/ttyX9";
    setenv("KEEL_SYSFS_ROOT", (root / "sys").c_str(), 1), setenv("KEEL_DEV_ROOT", (root / "dev").c_str(), 1);
    for (const fs::path &dir : {entry, root / "sys/bus/drivers/pl011", root / "sys/class/tty", root / "dev"})
        fs::create_directories(dir);
    fs::create_directory_symlink(device, entry / "device"),
        fs::create_directory_symlink(root / "sys/bus/drivers/pl011", device / "driver");
    fs::create_directory_symlink(entry, root / "sys/class/tty/ttyX9");
    StderrCapture err;
    std::vector<std::string> seen;
    keel::port_watch watch([&](const os_comm_port_info_t &p, bool present) {
        seen.push_back((present ? "+ " : "- ") + std::string(p.device).substr(root.string().size()) + " " + p.driver);
        if (!present) throw std::runtime_error("gone");
    });
    ASSERT_TRUE(watch.ok());
    std::ofstream(root / "dev/ttyX9").close();
    ASSERT_TRUE(wait_until_locked([&] { return seen.size() == 1; }));
    fs::remove(root / "dev/ttyX9");
    ASSERT_TRUE(wait_until_locked([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"+ /dev/ttyX9 pl011", "- /dev/ttyX9 pl011"}));
    EXPECT_FALSE(watch.ok());
    EXPECT_EQ(count_of(err.text(), "a C++ callback of a port_watch threw: gone"), 1);
    fs::remove_all(root);
}
#endif

// ---- coroutines ----

keel::task<> echo_session(keel::tcp_client c) {
    std::array<std::byte, 4096> buf;
    for (;;) {
        auto [ec, n] = co_await c.read_some(buf);
        if (ec || (co_await c.write_all(std::span(buf.data(), n))).ec) co_return;
    }
}

// Runs t from this thread until it ends (it resumes on the main thread); false when it did not end in time.
template <class T>
bool run(keel::task<T> &t, std::chrono::seconds deadline = 10s) {
    t.start();
    return wait_until([&] { return t.done(); }, deadline);
}

// Every awaitable of a connection against a TLS echo server of coroutines: the name resolved, the connect with its
// handshake, a quarter MiB written and read back whole; then a sleep. (Plain in the Windows build,
// whose tests run under wine, where the TLS server cannot accept.)
TEST_F(Cpp, CoroutinesConnectWriteAndReadOverTls) {
    keel::tcp_server server;
    uint16_t port = free_port();
#ifndef _WIN32
    TlsCerts certs;
    ASSERT_FALSE(server.set_tls(certs.server.cert, certs.server.key));
#endif
    server.on_accept([](keel::tcp_client c) { keel::spawn(echo_session(std::move(c))); });
    ASSERT_FALSE(server.listen("127.0.0.1", port));
    // A coroutine lambda keeps no captures (its closure is gone once it returns): what it needs are its parameters.
    auto client = [](uint16_t port, [[maybe_unused]] std::string ca) -> keel::task<std::string> {
        auto names = co_await keel::resolve("localhost");
        EXPECT_FALSE(names.ec);
        EXPECT_NE(std::find(names.addresses.begin(), names.addresses.end(), "127.0.0.1"), names.addresses.end());
        keel::tcp_client c;
#ifndef _WIN32
        c.set_tls("localhost", ca);
        // A name the server fails gives the error a connect to it is given (it was taken for no_recovery).
        keel::tcp_client failing;
        EXPECT_EQ((co_await keel::resolve("x.fail.test")).ec, co_await failing.connect("x.fail.test", 1));
#endif
        if (auto ec = co_await c.connect("127.0.0.1", port)) co_return "connect: " + ec.message();
        std::string sent = pattern(256 << 10, 3), got(sent.size(), '\0');
        EXPECT_EQ((co_await c.write_all(sent)).bytes, sent.size());
        for (size_t n = 0; n < got.size();) {
            auto r = co_await c.read_some(std::as_writable_bytes(std::span(got).subspan(n)));
            if (r.ec) co_return r.ec.message();
            n += r.bytes;
        }
        auto t0 = std::chrono::steady_clock::now();
        co_await keel::sleep_for(20ms);
        EXPECT_GE(std::chrono::steady_clock::now() - t0, 20ms);
        co_return got == sent ? "echoed" : "differs";
#ifndef _WIN32
    }(port, certs.ca);
#else
    }(port, "");
#endif
    ASSERT_TRUE(run(client, 20s));
    EXPECT_EQ(client.result(), "echoed");
}

// A peer that sends 32 bytes and closes, read 16 at a time: after its last byte, every read is end_of_stream (the
// end, found by a read that had filled its buffer, used to reach the next read as connection_aborted). The peer, an
// accepted connection, reads after its own end and writes: end_of_stream and connection_aborted (they were
// operation_canceled, as if the record were gone).
TEST_F(Cpp, ReadsAfterThePeersEndAreEndOfStream) {
    keel::tcp_server server;
    uint16_t port = free_port();
    std::string ended;
    server.on_accept([&](keel::tcp_client c) {
        c.write(std::string(32, 'a')), c.close();
        auto after = [](keel::tcp_client &c) -> keel::task<std::string> {
            std::array<std::byte, 1> b;
            co_return std::to_string((co_await c.read_some(b)).ec.value()) + " " +
                std::to_string((co_await c.write_all("x")).ec.value());
        }(c);
        after.start(), ended = after.result();
    });
    ASSERT_FALSE(server.listen("127.0.0.1", port));
    keel::tcp_client client;
    auto reads = [](keel::tcp_client &c, uint16_t to) -> keel::task<std::string> {
        std::string got = std::to_string((co_await c.connect("127.0.0.1", to)).value());
        for (int i = 0; i < 4; ++i) {
            std::array<std::byte, 16> buf;
            auto r = co_await c.read_some(buf);
            got += " " + std::to_string(r.bytes) + "/" + std::to_string(r.ec.value());
        }
        co_return got;
    }(client, port);
    ASSERT_TRUE(run(reads));
    EXPECT_EQ(reads.result(), "0 16/0 16/0 0/3 0/3");
    EXPECT_EQ(ended, "3 10053");
}

// Destroying a record, here from another thread, resumes what awaits it with operation_canceled (on the main thread).
TEST_F(Cpp, DestroyedRecordResumesItsAwaiterCancelled) {
    EchoServer echo;
    Device dev(6);
    auto client = std::make_unique<keel::tcp_client>();
    auto port = std::make_unique<keel::serial_port>("COM6");
    port->set_main_thread(true);
    ASSERT_FALSE(port->open());
    auto read = [](keel::tcp_client &c, uint16_t to) -> keel::task<std::error_code> {
        if (auto ec = co_await c.connect("127.0.0.1", to)) co_return ec;
        std::array<std::byte, 16> buf;
        co_return (co_await c.read_some(buf)).ec;  // nothing comes
    }(*client, echo.port);
    auto frame = [](keel::serial_port &p) -> keel::task<std::error_code> {
        co_return (co_await p.read_frame()).ec;
    }(*port);
    read.start(), frame.start();
    ASSERT_TRUE(wait_until([&] { return echo.count() == 1 && client->connected(); }));
    // A second read_some while one waits is refused at once (it used to take the first one's place, which then
    // was never resumed).
    auto second = [](keel::tcp_client &c) -> keel::task<std::error_code> {
        std::array<std::byte, 16> buf;
        co_return (co_await c.read_some(buf)).ec;
    }(*client);
    ASSERT_TRUE(run(second));
    EXPECT_EQ(second.result(), keel::errc::refused);
    std::thread([&] { client.reset(), port.reset(); }).join();
    ASSERT_TRUE(wait_until([&] { return read.done() && frame.done(); }));
    EXPECT_EQ(read.result(), std::errc::operation_canceled);
    EXPECT_EQ(frame.result(), std::errc::operation_canceled);
}

// A task started and then awaited, or spawned, goes on from its own event: it is not resumed a second time (its sleep
// used to end at once). A spawned task that has finished already is freed, not resumed.
TEST_F(Cpp, StartedTaskAwaitedOrSpawnedIsResumedOnce) {
    std::atomic<int> early{0}, ended{0};
    auto nap = [](std::chrono::milliseconds d, std::atomic<int> &e, std::atomic<int> &n) -> keel::task<int> {
        auto t0 = std::chrono::steady_clock::now();
        co_await keel::sleep_for(d);
        e += std::chrono::steady_clock::now() - t0 < d;
        co_return ++n;
    };
    auto a = nap(300ms, early, ended), b = nap(300ms, early, ended), c = nap(0ms, early, ended);
    ASSERT_TRUE(run(c));
    a.start(), b.start();
    EXPECT_THROW(b.result(), std::system_error);  // not finished: no result yet (it used to read an empty value)
    keel::spawn(std::move(b)), keel::spawn(std::move(c));
    EXPECT_THROW(c.result(), std::system_error);  // moved from
    auto await = [](keel::task<int> t) -> keel::task<int> { co_return co_await std::move(t); };
    auto outer = await(std::move(a)), empty = await(std::move(c));
    ASSERT_TRUE(run(outer) && run(empty));
    EXPECT_THROW(empty.result(), std::system_error);  // awaiting a task with no coroutine (it read a null one)
    ASSERT_TRUE(wait_until([&] { return ended == 3; }));
    EXPECT_EQ(early, 0);
}

// A task dropped while it waits cancels what it awaits: a sleep, a read, a resolution whose answer comes after it,
// and a connect that waits for that name (the client is closed). Nothing of theirs runs later (the address checker).
TEST_F(Cpp, DroppedTaskCancelsWhatItAwaits) {
    EchoServer echo;
    keel::tcp_client reader, connector;
    std::atomic<bool> late{false};
    {
        auto sleeper = [](std::atomic<bool> &l) -> keel::task<> { co_await keel::sleep_for(50ms), l = true; }(late);
        auto read = [](keel::tcp_client &c, uint16_t to, std::atomic<bool> &l) -> keel::task<> {
            co_await c.connect("127.0.0.1", to);
            std::array<std::byte, 16> buf;
            co_await c.read_some(buf), l = true;
        }(reader, echo.port, late);
        keel::task<> name, connect;
#ifndef _WIN32
        name = [](std::atomic<bool> &l) -> keel::task<> {
            co_await keel::resolve("nobody.answers.test"), l = true;
        }(late);
        connect = [](keel::tcp_client &c, std::atomic<bool> &l) -> keel::task<> {
            co_await c.connect("nobody.answers.test", 1), l = true;
        }(connector, late);
#endif
        read.start();
        ASSERT_TRUE(wait_until([&] { return echo.count() == 1 && reader.connected(); }));  // the read waits
        // Started just before they are dropped, so that on a slow machine the wait above cannot outlast them.
        sleeper.start(), name.start(), connect.start();
    }
    EXPECT_EQ(reader.ref().write("x"), true);  // the reader's connection goes on, unread
    std::this_thread::sleep_for(600ms);        // past the sleep and the resolver's time-out
    EXPECT_FALSE(late);
    EXPECT_FALSE(connector.connected());
}

// A serial slave of coroutines: each request frame (by the read gap) answered with write_all; a hang-up ends it.
TEST_F(Cpp, SerialCoroutineAnswersFramesUntilHangUp) {
    Device dev(7);
    keel::serial_port port("COM7");
    port.set_main_thread(true);
    port.set_read_gap(80ms);
    ASSERT_FALSE(port.open());
    auto slave = [](keel::serial_port &p) -> keel::task<std::error_code> {
        for (;;) {
            auto [ec, frame] = co_await p.read_frame();
            if (ec) co_return ec;
            std::string reply = "got " + std::to_string(frame.size());
            if (auto w = co_await p.write_all(bytes(reply)); w.ec) co_return w.ec;
        }
    }(port);
    slave.start();
    dev.write_all("abc"), std::this_thread::sleep_for(3ms), dev.write_all("de");
    EXPECT_EQ(read_exact(dev.master, 5), "got 5");
    dev.write_all(std::string(300, 'x'));
    EXPECT_EQ(read_exact(dev.master, 7), "got 300");
    dev.hang_up();
    ASSERT_TRUE(wait_until([&] { return slave.done(); }));
    EXPECT_EQ(slave.result(), keel::errc::end_of_stream);
    // Awaited after the hang-up, a read or a write ends at once (they used to wait for ever).
    auto after = [](keel::serial_port &p) -> keel::task<std::error_code> {
        if (auto r = co_await p.read_frame(); r.ec != keel::errc::end_of_stream) co_return r.ec;
        co_return (co_await p.write_all(bytes("x"))).ec;
    }(port);
    ASSERT_TRUE(run(after));
    EXPECT_EQ(after.result(), keel::errc::end_of_stream);
}

}  // namespace
