// The serial-to-TCP gateway example (examples/serial_tcp_gateway.c) as a child
// process: the test plays the device on the master of a pseudo-terminal pair
// whose slave the gateway opens through a symbolic link, and the gateway's
// TCP clients on plain sockets. The link lets a hang-up be followed by a new
// pair under the same path, as a USB adapter plugged in again would be.
// Every case counts its descriptors and ends the child with SIGTERM, which
// the gateway answers by closing everything and exiting with 0.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net_support.h"

using namespace keel_test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr size_t kMiB = 1 << 20;

// The example sits beside the tests in the build tree: build/examples/ next
// to build/tests/, where this program is.
std::string gateway_binary() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? "" : (self.parent_path().parent_path() / "examples" / "keel_serial_tcp_gateway").string();
}

// A pseudo-terminal pair in raw mode. Both ends are closed on exec: a gateway
// that inherited the master would keep the device from ever hanging up.
struct Pty {
    int master = -1, slave = -1;
    std::string name;
    Pty() {
        termios raw{};
        cfmakeraw(&raw);
        cfsetspeed(&raw, B115200);
        char path[128];
        if (openpty(&master, &slave, path, &raw, nullptr) != 0) return;
        fcntl(master, F_SETFD, FD_CLOEXEC), fcntl(slave, F_SETFD, FD_CLOEXEC);
        fcntl(master, F_SETFL, O_NONBLOCK);
        name = path;
    }
    ~Pty() { hang_up(); }
    void hang_up() {
        if (master >= 0) close(master), close(slave);
        master = slave = -1;
    }
    // Writes everything as fast as the terminal takes it.
    bool write_all(const char *data, size_t len, std::chrono::seconds limit = 30s) {
        auto end = std::chrono::steady_clock::now() + limit;
        for (size_t done = 0; done < len;) {
            if (std::chrono::steady_clock::now() > end) return false;
            ssize_t n = write(master, data + done, len - done);
            if (n > 0) done += static_cast<size_t>(n);
            pollfd p{master, POLLOUT, 0};
            if (n <= 0) poll(&p, 1, 100);
        }
        return true;
    }
    bool write_all(const std::string &data) { return write_all(data.data(), data.size()); }
};

// The gateway as a child process, started in `dir`; what it prints is
// gathered line by line.
class Gateway {
public:
    Gateway(const std::string &dir, const std::string &device, uint16_t port) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
        std::string binary = gateway_binary(), path = device, baud = "115200", tcp = std::to_string(port);
        char *argv[] = {binary.data(), path.data(), baud.data(), tcp.data(), nullptr};
        if (posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        reader_ = std::thread([this, fd = out[0]] {
            std::string partial;
            char buf[4096];
            for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
                std::lock_guard<std::mutex> g(lock_);
                partial.append(buf, static_cast<size_t>(n));
                for (size_t nl; (nl = partial.find('\n')) != std::string::npos; partial.erase(0, nl + 1))
                    lines_.push_back(partial.substr(0, nl));
                grew_.notify_all();
            }
            close(fd);
            std::lock_guard<std::mutex> g(lock_);
            ended_ = true;
            grew_.notify_all();
        });
    }
    ~Gateway() { stop(); }
    bool running() const { return pid_ > 0; }

    // Waits until `count` lines hold `text`, or the gateway has ended.
    bool wait_for(const std::string &text, int count = 1, std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> g(lock_);
        grew_.wait_for(g, limit, [&] { return count_locked(text) >= count || ended_; });
        return count_locked(text) >= count;
    }
    int count(const std::string &text) {
        std::lock_guard<std::mutex> g(lock_);
        return count_locked(text);
    }
    std::string output() {
        std::lock_guard<std::mutex> g(lock_);
        std::string all;
        for (const auto &line : lines_) all += line + "\n";
        return all;
    }

    // SIGTERM, then the exit status once the child has been reaped (-1 when it
    // had to be killed). The reader ends with the pipe.
    int stop() {
        int status = -1;
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            bool reaped = wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 10s);
            if (!reaped) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                status = -1;
            }
            pid_ = -1;
        }
        if (reader_.joinable()) reader_.join();
        return status;
    }

private:
    int count_locked(const std::string &text) const {
        int n = 0;
        for (const auto &line : lines_) n += line.find(text) != std::string::npos;
        return n;
    }
    pid_t pid_ = -1;
    std::thread reader_;
    std::mutex lock_;
    std::condition_variable grew_;
    std::vector<std::string> lines_;
    bool ended_ = false;  // its output ended: it has exited
};

// A TCP client of the gateway on a plain socket. Once reading, a thread of
// its own gathers what it receives until leave().
class Client {
public:
    // A buffer size other than 0 is fixed before the connection sets its window.
    explicit Client(uint16_t port, int rcvbuf = 0, int sndbuf = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvbuf > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        if (sndbuf > 0) setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        Addr to(AF_INET, port);
        if (connect(fd_, to.sa(), to.len) != 0) close(fd_), fd_ = -1;
        if (fd_ >= 0) fcntl(fd_, F_SETFL, O_NONBLOCK);
    }
    ~Client() { leave(); }
    bool connected() const { return fd_ >= 0; }
    void start_reading() {
        reader_ = std::thread([this] {
            char buf[65536];
            for (pollfd p{fd_, POLLIN, 0}; !stop_;) {
                if (poll(&p, 1, 20) != 1) continue;
                ssize_t n = read(fd_, buf, sizeof buf);
                if (n <= 0 && !(n < 0 && errno == EAGAIN)) {
                    ended_ = true;
                    break;
                }
                if (n <= 0) continue;
                std::lock_guard<std::mutex> g(lock_);
                got_.append(buf, static_cast<size_t>(n));
            }
        });
    }
    // Sends everything, as fast as the socket takes it; how much went when
    // the socket took nothing for `stall`.
    size_t send_all(const char *data, size_t len, std::chrono::milliseconds stall = 30s) {
        size_t done = 0;
        for (pollfd p{fd_, POLLOUT, 0}; done < len;) {
            ssize_t n = send(fd_, data + done, len - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno == EAGAIN) {
                if (poll(&p, 1, static_cast<int>(stall.count())) != 1) break;
            } else {
                break;
            }
        }
        return done;
    }
    size_t send_all(const std::string &data) { return send_all(data.data(), data.size()); }
    std::string got() { return std::lock_guard<std::mutex>(lock_), got_; }
    bool ended() const { return ended_; }  // the gateway closed the connection
    size_t size() { return std::lock_guard<std::mutex>(lock_), got_.size(); }
    bool wait_for(size_t size, std::chrono::seconds limit = 20s) {
        return wait_until([&] { return this->size() >= size; }, limit);
    }
    void leave() {
        stop_ = true;
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    std::atomic<bool> stop_{false}, ended_{false};
    std::thread reader_;
    std::mutex lock_;
    std::string got_;
};

// Where `got` sits in `stream`: its offset when it is one unbroken piece of
// it, npos otherwise. (The pattern is random: 64 bytes find one place.)
size_t offset_in(const std::string &stream, const std::string &got) {
    if (got.empty()) return 0;
    size_t at = stream.find(got.substr(0, std::min<size_t>(64, got.size())));
    return at != std::string::npos && stream.compare(at, got.size(), got) == 0 ? at : std::string::npos;
}

// A directory of the case's own: the gateway runs in it with
// select_config.json there, so that each connection is accepted at once, and
// the device's link lives in it.
class GatewayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(gateway_binary())) << gateway_binary() << ": build the examples first";
        dir_ = fs::temp_directory_path() / "keel_gateway_XXXXXX";
        ASSERT_NE(mkdtemp(dir_.data()), nullptr);
        std::ofstream(dir_ + "/select_config.json") << "{}\n";
        link_ = dir_ + "/tty";
        port_ = free_port();
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
        EXPECT_EQ(fd_count(), fds_) << "descriptors leaked";
    }
    // Points the link at a device, replacing what it named in one step.
    void point_link_at(const Pty &dev) {
        std::string next = link_ + ".next";
        ASSERT_EQ(symlink(dev.name.c_str(), next.c_str()), 0);
        ASSERT_EQ(rename(next.c_str(), link_.c_str()), 0);
    }
    // The gateway, listening. Another program may take the free port first:
    // the gateway then leaves, and another port is tried.
    std::unique_ptr<Gateway> start() {
        for (int attempt = 1;; ++attempt) {
            auto gw = std::make_unique<Gateway>(dir_, link_, port_);
            if (gw->running() && gw->wait_for("listening on 127.0.0.1:" + std::to_string(port_))) return gw;
            if (attempt == 5 || !gw->running()) {
                ADD_FAILURE() << "the gateway did not start\n" << gw->output();
                return gw;
            }
            gw->stop();
            port_ = free_port();
        }
    }
    // A client the gateway has taken: its "connected" line is the joined-th.
    std::unique_ptr<Client> join(Gateway &gw, int joined) {
        auto c = std::make_unique<Client>(port_);
        EXPECT_TRUE(c->connected() && gw.wait_for(" connected (", joined)) << joined << "\n" << gw.output();
        return c;
    }
    void expect_clean_stop(std::unique_ptr<Gateway> gw) {
        int status = gw->stop();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n" << gw->output();
        EXPECT_EQ(gw->count("gateway: stopped"), 1);
    }

    int fds_ = fd_count();
    std::string dir_, link_;
    uint16_t port_ = 0;
};

}  // namespace

// A mebibyte from the device to every client and, at the same time, one from
// a client to the device, each as fast as the terminal goes, byte for byte,
// while other clients join and leave between the pieces of the transfer. A
// client that joins gets every byte the device sent after it joined and
// nothing out of order; one that leaves does not disturb the others.
TEST_F(GatewayTest, MebibyteEachWayWhileClientsComeAndGo) {
    Pty dev;
    ASSERT_GE(dev.master, 0);
    point_link_at(dev);
    auto gw = start();
    ASSERT_FALSE(HasFailure());
    auto a = join(*gw, 1);
    a->start_reading();
    int joined = 1, left = 0;
    constexpr size_t kPiece = 64 * 1024;
    auto t0 = std::chrono::steady_clock::now();

    // Device to clients. Before each piece a client joins; each leaves again
    // two pieces later, but every fourth stays to the end.
    const std::string down = pattern(kMiB, 1), up = pattern(kMiB, 2);
    // A client to the device meanwhile, in pieces at full speed.
    std::string at_device;
    std::thread device([&] { at_device = read_exact(dev.master, up.size(), 20000); });
    std::thread sender([&] {
        for (size_t piece = 0; piece < kMiB / kPiece; ++piece)
            if (a->send_all(up.data() + piece * kPiece, kPiece) != kPiece) return ADD_FAILURE() << "piece " << piece;
    });
    struct Extra {
        std::unique_ptr<Client> client;
        size_t sent_before;  // what the device had written when it joined
        bool stays;
    };
    std::vector<Extra> extras;
    for (size_t piece = 0; piece < kMiB / kPiece; ++piece) {
        extras.push_back({join(*gw, ++joined), piece * kPiece, piece % 4 == 1});
        extras.back().client->start_reading();
        if (piece >= 2 && !extras[piece - 2].stays) {
            std::string got = extras[piece - 2].client->got();
            extras[piece - 2].client->leave();
            EXPECT_TRUE(gw->wait_for(" left (", ++left)) << gw->output();
            size_t at = offset_in(down, got);
            EXPECT_NE(at, std::string::npos) << "client " << piece - 2 << ": bytes lost or out of order";
            EXPECT_LE(at, extras[piece - 2].sent_before) << "client " << piece - 2;
        }
        ASSERT_TRUE(dev.write_all(down.data() + piece * kPiece, kPiece));
    }
    EXPECT_TRUE(a->wait_for(kMiB)) << a->size() << " of " << kMiB;
    EXPECT_TRUE(a->got() == down) << "the first client: bytes lost, changed or out of order";
    for (size_t i = 0; i < extras.size(); ++i) {
        if (!extras[i].stays && i + 2 < extras.size()) continue;  // checked as it left
        Client &c = *extras[i].client;
        // Those that joined last may have missed nothing at all: offset 0.
        EXPECT_TRUE(wait_until([&] {
            std::string got = c.got();
            size_t at = offset_in(down, got);
            return at != std::string::npos && at + got.size() == down.size();
        }, 20s)) << "client " << i << " has " << c.size() << " bytes";
        EXPECT_LE(offset_in(down, c.got()), extras[i].sent_before) << "client " << i;
    }
    auto down_time = std::chrono::steady_clock::now() - t0;

    sender.join();
    device.join();
    EXPECT_EQ(at_device.size(), up.size());
    EXPECT_TRUE(at_device == up) << "at the device: bytes lost, changed or out of order";
    EXPECT_EQ(gw->count(" too far behind"), 0);
    std::cout << "both ways at once: " << std::chrono::duration_cast<std::chrono::milliseconds>(down_time).count()
              << " ms (with " << joined - 1 << " clients joining)\n";
    extras.clear();
    a->leave();
    EXPECT_TRUE(gw->wait_for(" left (0 clients)")) << gw->output();
    expect_clean_stop(std::move(gw));
}

// Flow control both ways. A device that reads nothing fills the port's send
// queue; the gateway then stops reading the client, whose sends stall, and
// once the device reads again every byte arrives. A client that reads
// nothing holds back neither the device nor the other clients: what its
// socket does not take waits in the gateway, and arrives when it reads.
TEST_F(GatewayTest, StalledDeviceAndStalledClientLoseNothing) {
    Pty dev;
    ASSERT_GE(dev.master, 0);
    point_link_at(dev);
    auto gw = start();
    ASSERT_FALSE(HasFailure());

    {
        auto a = std::make_unique<Client>(port_, 0, 64 * 1024);
        ASSERT_TRUE(a->connected() && gw->wait_for(" connected (", 1));
        const std::string up = pattern(2 * kMiB, 3);
        size_t sent = a->send_all(up.data(), up.size(), 500ms);
        EXPECT_LT(sent, up.size()) << "the gateway went on reading while the device read nothing";
        std::string at_device;
        std::thread device([&] { at_device = read_exact(dev.master, up.size(), 10000); });
        EXPECT_EQ(a->send_all(up.data() + sent, up.size() - sent), up.size() - sent);
        device.join();
        EXPECT_EQ(at_device.size(), up.size()) << "with " << sent << " sent before the device read";
        EXPECT_TRUE(at_device == up) << "at the device: bytes lost, changed or out of order";
    }
    ASSERT_TRUE(gw->wait_for(" left (0 clients)")) << gw->output();

    auto slow = std::make_unique<Client>(port_, 16 * 1024);
    ASSERT_TRUE(slow->connected() && gw->wait_for(" connected (", 2));
    auto quick = join(*gw, 3);
    quick->start_reading();
    // More than the sockets hold (the system lets a sending buffer grow to
    // 4 MiB), less than the gateway's limit for one client.
    const std::string down = pattern(6 * kMiB, 4);
    ASSERT_TRUE(dev.write_all(down));
    EXPECT_TRUE(quick->wait_for(down.size()) && quick->got() == down) << "held back by a client that reads nothing";
    EXPECT_EQ(slow->size(), 0u);
    slow->start_reading();
    EXPECT_TRUE(slow->wait_for(down.size())) << slow->size();
    EXPECT_TRUE(slow->got() == down) << "the slow client: bytes lost, changed or out of order";
    slow.reset();
    quick.reset();
    expect_clean_stop(std::move(gw));
}

// A client that reads nothing while the device goes on sending is
// disconnected once more than the gateway's limit (8 MiB) waits for it,
// rather than the gateway growing without end. The other clients lose
// nothing, and what the slow one was sent is an unbroken start of the stream.
TEST_F(GatewayTest, ClientTooFarBehindIsDisconnected) {
    Pty dev;
    ASSERT_GE(dev.master, 0);
    point_link_at(dev);
    auto gw = start();
    ASSERT_FALSE(HasFailure());
    auto slow = std::make_unique<Client>(port_, 16 * 1024);
    ASSERT_TRUE(slow->connected() && gw->wait_for(" connected (", 1));
    auto quick = join(*gw, 2);
    quick->start_reading();
    const std::string down = pattern(16 * kMiB, 5);
    ASSERT_TRUE(dev.write_all(down));
    EXPECT_TRUE(gw->wait_for(" too far behind, disconnected", 1, 20s)) << gw->output();
    EXPECT_TRUE(gw->wait_for(" left (1 client)"));
    EXPECT_TRUE(quick->wait_for(down.size()) && quick->got() == down) << quick->size();
    slow->start_reading();
    EXPECT_TRUE(wait_until([&] { return slow->ended(); }, 10s));
    std::string got = slow->got();
    EXPECT_TRUE(!got.empty() && got.size() < down.size() && offset_in(down, got) == 0) << got.size();
    slow.reset();
    quick.reset();
    expect_clean_stop(std::move(gw));
}

// The device hangs up (the master closed) and comes back as a new terminal
// under the same path, twice. The gateway says so, keeps its clients, passes
// on what a client sent while the device was away once it is back, and
// carries data both ways again. A client that joins while the device is
// away gets what the device sends once back.
TEST_F(GatewayTest, DeviceHangsUpAndComesBack) {
    auto dev = std::make_unique<Pty>();
    ASSERT_GE(dev->master, 0);
    point_link_at(*dev);
    auto gw = start();
    ASSERT_FALSE(HasFailure());
    auto a = join(*gw, 1);
    a->start_reading();
    int joined = 1;
    std::vector<std::unique_ptr<Client>> late;

    std::string to_a;
    for (int round = 1; round <= 3; ++round) {
        std::string ask = "ask " + std::to_string(round) + "\n", answer = "answer " + std::to_string(round) + "\n";
        if (round > 1) {
            // While the device is away, a client sends and another joins.
            ASSERT_EQ(a->send_all(ask), ask.size());
            late.push_back(join(*gw, ++joined));
            late.back()->start_reading();
            std::this_thread::sleep_for(300ms);  // the gateway tries to open the missing path meanwhile
            dev = std::make_unique<Pty>();
            ASSERT_GE(dev->master, 0);
            auto back = std::chrono::steady_clock::now();
            point_link_at(*dev);
            ASSERT_TRUE(gw->wait_for(" back", round - 1)) << gw->output();
            auto waited = std::chrono::steady_clock::now() - back;
            EXPECT_LT(waited, 2s) << "the gateway tries again every 200 ms";
            std::cout << "round " << round << ": back after "
                      << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count() << " ms\n";
        } else {
            ASSERT_EQ(a->send_all(ask), ask.size());
        }
        EXPECT_EQ(read_exact(dev->master, ask.size()), ask) << round;
        ASSERT_TRUE(dev->write_all(answer));
        to_a += answer;
        EXPECT_TRUE(a->wait_for(to_a.size(), 5s) && a->got() == to_a) << round << ": " << a->got();
        for (auto &c : late) EXPECT_TRUE(wait_until([&] { return c->got().ends_with(answer); })) << round;
        if (round < 3) {
            // The link goes first, as a /dev/serial/by-id/ link goes with its
            // adapter: the system gives the terminal's number to the next one
            // made, maybe another program's, which the gateway must not open.
            ASSERT_EQ(unlink(link_.c_str()), 0);
            dev->hang_up();
            ASSERT_TRUE(gw->wait_for(" gone", round)) << gw->output();
        }
    }
    EXPECT_EQ(gw->count(" left ("), 0) << "the clients stayed";
    EXPECT_EQ(gw->count(" gone"), 2);
    EXPECT_EQ(gw->count(" back"), 2);
    late.clear();
    a.reset();
    expect_clean_stop(std::move(gw));
}
