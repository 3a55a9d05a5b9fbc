// Serial clients on real terminals: pseudo-terminal pairs whose slave the
// library opens as COM<n> while the test plays the device on the master, and
// a socat pty pair between two ports. Every case counts its descriptors.
#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "keel/os_runtime.h"
#include "serial_support.h"
#include "test_support.h"

using namespace keel_test;
using namespace std::chrono_literals;

namespace {

// "file: message" for each of the library's info lines.
std::vector<std::string> reports(StderrCapture &cap) {
    static const std::regex info(R"(\[[-0-9: ]+\] \[info\]  file: (\S+) line: \d+ (.*))");
    std::vector<std::string> out;
    std::smatch m;
    for (const auto &line : lines_of(cap.text()))
        out.push_back(std::regex_match(line, m, info) ? m[1].str() + ": " + m[2].str() : "other: " + line);
    return out;
}

class Serial : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(fd_count(), fds_) << "descriptors leaked"; }
    int fds_ = fd_count();
};

}  // namespace

TEST_F(Serial, BadArgumentsAndClientsThatAreNotOpen) {
    StderrCapture cap;
    os_comm_client_t *c = os_comm_client_create(10, 9600, 8, 'N', 1);
    ASSERT_NE(c, nullptr);
    char buf[4];
    EXPECT_TRUE(os_comm_client_create(-1, 9600, 8, 'N', 1) == nullptr && os_comm_client_create(11, 9600, 8, 'N', 1) == nullptr);
    EXPECT_EQ(os_comm_client_open(nullptr) + os_comm_client_close(nullptr) + os_comm_client_get_status(nullptr), -1);
    EXPECT_EQ(os_comm_client_send(nullptr, "x", 1) + os_comm_client_send(c, nullptr, 1) + os_comm_client_send(c, "x", 0), -3);
    EXPECT_EQ(os_comm_client_read(nullptr, buf, 4) + os_comm_client_read(c, nullptr, 4) + os_comm_client_read(c, buf, 0), 0);
    EXPECT_EQ(os_comm_client_send(c, "x", 1), -1) << "never opened";
    EXPECT_EQ(os_comm_client_read(c, buf, 4), 0);
    EXPECT_EQ(os_comm_client_close(c) + os_comm_client_destroy(c) + os_comm_client_destroy(nullptr), 3);
    std::vector<std::string> want(2, "comm_client.cc: comport < 0 || comport > MAX_COM_PORT_NUM");
    for (auto [n, text] : {std::pair{2, "client == NULL"}, {3, "client == NULL|| data == NULL || len <= 0"},
                           {3, "client == NULL || data == NULL || len <= 0"}, {1, "client->lst_send == NULL"}})
        want.insert(want.end(), n, std::string("comm_client.cc: ") + text);
    EXPECT_EQ(reports(cap), want);
}

TEST_F(Serial, DeviceOfEachPortIsHeldExclusively) {
    unsetenv("KEEL_COM0");
    setenv("KEEL_COM4", "/dev/null", 1);
    Device dev(1);
    StderrCapture cap;
    Port none(0), not_tty(4), a(1), b(1);
    EXPECT_EQ(os_comm_client_open(none.client) + os_comm_client_open(not_tty.client), 0);
    ASSERT_EQ(os_comm_client_open(a.client), 1);
    EXPECT_EQ(os_comm_client_open(a.client), 0) << "already open";
    EXPECT_EQ(os_comm_client_open(b.client), 0) << "held by a";
    std::string probe = "flock -n " + dev.path + " true";
    EXPECT_NE(system(probe.c_str()), 0) << "another process is refused too";
    dev.write_all("still here");
    EXPECT_TRUE(a.wait_for(10)) << "the refused opens left a's port working";
    EXPECT_EQ(os_comm_client_close(a.client), 1);
    EXPECT_EQ(system(probe.c_str()), 0);
    int holder = open(dev.path.c_str(), O_RDWR | O_NOCTTY);  // another program's hold
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    EXPECT_EQ(os_comm_client_open(b.client), 0);
    close(holder);
    EXPECT_EQ(os_comm_client_open(b.client), 1) << "a refused client opens later";
    EXPECT_EQ(os_comm_client_close(b.client), 1);
    const std::string busy = "comm_client.cc: client->com == INVALID_HANDLE_VALUE, errno: 16";
    EXPECT_EQ(reports(cap), (std::vector<std::string>{
                                "comm_client.cc: client->com == INVALID_HANDLE_VALUE, errno: 2",
                                "comm_client.cc: client->com == INVALID_HANDLE_VALUE, errno: 25",
                                "comm_client.cc: client->running == 1", busy, "comm_io.cc: has shutdown", busy,
                                "comm_io.cc: has shutdown"}));
    EXPECT_EQ(a.text(), "still here");
}

namespace {

struct Setting {
    int baud;
    speed_t speed;
    int bits;
    char parity;
    int stop;
};

// Opens port 2 with each setting and reads the terminal's settings back.
void expect_read_back(const Device &dev, std::initializer_list<Setting> settings) {
    for (const Setting &c : settings) {
        Port port(2, c.baud, c.bits, c.parity, c.stop);
        ASSERT_EQ(os_comm_client_open(port.client), 1) << c.baud << c.parity;
        termios t{};
        ASSERT_EQ(tcgetattr(dev.slave, &t), 0);
        char p = static_cast<char>(toupper(c.parity));
        EXPECT_TRUE(cfgetospeed(&t) == c.speed && cfgetispeed(&t) == c.speed) << c.baud;
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stop >= 2) << c.baud;
        EXPECT_EQ((t.c_cflag & PARODD) != 0, p == 'O' || p == 'M') << c.parity;
        EXPECT_EQ((t.c_cflag & CMSPAR) != 0, p == 'M' || p == 'S') << c.parity;
        EXPECT_TRUE((t.c_cflag & (CLOCAL | CREAD)) == (CLOCAL | CREAD) && !(t.c_cflag & CRTSCTS));
        EXPECT_TRUE(!(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) && !(t.c_oflag & OPOST));
        EXPECT_TRUE(!(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP)) && t.c_cc[VMIN] == 1);
    }
}

}  // namespace

TEST_F(Serial, HighSpeedsAndMarkOrSpaceParityReadBack) {
    KEEL_SKIP_UNDER_EMULATION("drops B921600, B4000000 and CMSPAR from the terminal settings it passes on");
    Device dev(2);
    expect_read_back(dev, {{921600, B921600, 8, 'M', 1}, {4000000, B4000000, 8, 'S', 3}});
}

TEST_F(Serial, SettingsReadBackAndRefusals) {
    Device dev(2);
    expect_read_back(dev, {{50, B50, 5, 'N', 1}, {9600, B9600, 6, 'E', 1}, {115200, B115200, 7, 'O', 2},
                           {19200, B19200, 7, 'e', 2}});
    StderrCapture cap;
    for (Setting bad : {Setting{12345, 0, 8, 'N', 1}, Setting{9600, 0, 9, 'N', 1}, Setting{9600, 0, 8, 'X', 1}}) {
        Port port(2, bad.baud, bad.bits, bad.parity, bad.stop);
        EXPECT_EQ(os_comm_client_open(port.client), 0);
    }
    EXPECT_EQ(reports(cap), std::vector<std::string>(3, "comm_client.cc: !BuildCommDCB, 22"));
}

namespace keel_test {
long tty_rate(int fd);  // tty_speed.cc
}

// A client of a device path is the same record as a numbered port's; and it
// takes any rate its driver keeps, not only the standard ones.
TEST_F(Serial, ClientOfADevicePathIsTheSameRecord) {
    Device dev(4);
    StderrCapture cap;
    EXPECT_TRUE(os_comm_client_create_dev(nullptr, 9600, 8, 'N', 1) == nullptr &&
                os_comm_client_create_dev("", 9600, 8, 'N', 1) == nullptr &&
                os_comm_client_create_dev(std::string(4096, 'd').c_str(), 9600, 8, 'N', 1) == nullptr &&
                os_comm_client_create_dev(dev.path.c_str(), 0, 8, 'N', 1) == nullptr);
    os_comm_client_t *missing = os_comm_client_create_dev("/dev/keel-no-such-port", 9600, 8, 'N', 1);
    EXPECT_EQ(os_comm_client_open(missing) + os_comm_client_set_input_flush(nullptr, 1), 0);
    os_comm_client_destroy(missing);
    EXPECT_EQ(reports(cap), (std::vector<std::string>{
                                "comm_client.cc: device == NULL || device[0] == 0 || strlen(device) >= 4096",
                                "comm_client.cc: device == NULL || device[0] == 0 || strlen(device) >= 4096",
                                "comm_client.cc: device == NULL || device[0] == 0 || strlen(device) >= 4096",
                                "comm_client.cc: baud < 1",
                                "comm_client.cc: client->com == INVALID_HANDLE_VALUE, errno: 2",
                                "comm_client.cc: client == NULL"}));
    os_comm_client_t *c = os_comm_client_create_dev(dev.path.c_str(), 115200, 8, 'E', 1);
    Port port(0);  // only its callback, bound to the client of the path
    os_comm_client_bind_read(c, Port::on_read, &port);
    ASSERT_EQ(os_comm_client_open(c), 1);
    termios t{};
    EXPECT_TRUE(tcgetattr(dev.slave, &t) == 0 && cfgetospeed(&t) == B115200);
    ASSERT_EQ(os_comm_client_send(c, "ping", 4), 4);
    EXPECT_EQ(read_exact(dev.master, 4), "ping");
    dev.write_all("pong");
    EXPECT_TRUE(port.wait_for(4) && port.text() == "pong");
    os_comm_client_destroy(c);
}

TEST_F(Serial, ClientOfADevicePathTakesRatesOffTheTable) {
    KEEL_SKIP_UNDER_EMULATION("knows no termios2 (TCGETS2, TCSETS2), which rates off the table need");
    Device dev(4);
    for (int rate : {250000, 12345, 1000000}) {
        os_comm_client_t *c = os_comm_client_create_dev(dev.path.c_str(), rate, 8, 'N', 1);
        Port port(0);
        os_comm_client_bind_read(c, Port::on_read, &port);
        ASSERT_EQ(os_comm_client_open(c), 1) << rate;
        EXPECT_EQ(keel_test::tty_rate(dev.slave), rate);
        dev.write_all("pong");
        EXPECT_TRUE(port.wait_for(4) && port.text() == "pong") << rate;
        os_comm_client_destroy(c);
    }
}

// The flush before a write discards what the library gathered too, not only
// what the terminal held: the answer comes alone (it came as "oldnew"), on a
// numbered port by default and on a client of a path that asks for it.
TEST_F(Serial, InputFlushBeforeARequestLeavesTheAnswerAlone) {
    Device dev(2);
    static std::atomic<int> s_calls;  // the callback reads nothing: the bytes wait in the library
    for (bool by_path : {false, true}) {
        os_comm_client_t *c = by_path ? os_comm_client_create_dev(dev.path.c_str(), 9600, 8, 'N', 1)
                                      : os_comm_client_create(2, 9600, 8, 'N', 1);
        if (by_path) { EXPECT_EQ(os_comm_client_set_input_flush(c, 1), 1); }
        os_comm_client_bind_read(c, [](os_comm_client_t *, void *) { return ++s_calls, 0; }, nullptr);
        s_calls = 0;
        ASSERT_EQ(os_comm_client_open(c), 1);
        dev.write_all("old");
        ASSERT_TRUE(wait_until([] { return s_calls > 0; }));
        ASSERT_EQ(os_comm_client_send(c, "ask", 3), 3);
        EXPECT_EQ(read_exact(dev.master, 3), "ask");
        dev.write_all("new");
        std::string got;
        EXPECT_TRUE(wait_until([&] {
            char buf[16];
            int n = os_comm_client_read(c, buf, sizeof buf);
            return got.append(buf, n > 0 ? n : 0).size() >= 3;
        }));
        EXPECT_EQ(got, "new") << (by_path ? "by path" : "numbered");
        os_comm_client_destroy(c);
    }
}

// The line's events: a drained queue after each burst written, the hang-up
// once, and the same client opened again on the device that came back. A
// pseudo-terminal has no modem lines, no break and no RS-485: each call says
// so, as does any call on a client that is not open.
TEST_F(Serial, LineEventsAndTheCallsAPseudoTerminalRefuses) {
    struct Events {
        std::mutex lock;
        std::vector<int> got;
        int count(int event) { return std::lock_guard<std::mutex>(lock), static_cast<int>(std::ranges::count(got, event)); }
    } events;
    auto on_event = [](os_comm_client_t *, int event, uint32_t lines, void *arg) {
        auto *e = static_cast<Events *>(arg);
        std::lock_guard<std::mutex> g(e->lock);
        e->got.push_back(lines == 0 ? event : -1);
    };
    auto dev = std::make_unique<Device>(3);
    Port port(3);
    os_comm_client_bind_event(port.client, on_event, &events);
    StderrCapture cap;
    uint32_t lines = 0;
    EXPECT_EQ(os_comm_client_set_line(port.client, OS_COMM_LINE_DTR, 1) + os_comm_client_get_lines(port.client, &lines) +
                  os_comm_client_send_break(port.client, 10) + os_comm_client_set_rs485(port.client, 1, 1, 0, 0), 0)
        << "not open";
    ASSERT_EQ(os_comm_client_open(port.client), 1);
    EXPECT_EQ(os_comm_client_set_line(port.client, OS_COMM_LINE_CTS, 1) + os_comm_client_set_line(nullptr, 1, 1) +
                  os_comm_client_get_lines(port.client, nullptr) + os_comm_client_send_break(port.client, 0) +
                  os_comm_client_set_rs485(nullptr, 1, 1, 0, 0), 0);
    EXPECT_EQ(os_comm_client_set_line(port.client, OS_COMM_LINE_RTS, 0) + os_comm_client_get_lines(port.client, &lines) +
                  os_comm_client_send_break(port.client, 10) + os_comm_client_set_rs485(port.client, 1, 1, 0, 0), 0)
        << "a pseudo-terminal has no line";
    std::vector<std::string> want(4, "comm_lines.cc: client->com == -1");
    for (const char *r : {"client == NULL || (line != OS_COMM_LINE_DTR && line != OS_COMM_LINE_RTS)",
                          "client == NULL || (line != OS_COMM_LINE_DTR && line != OS_COMM_LINE_RTS)",
                          "client == NULL || lines == NULL", "client == NULL || ms < 1 || ms > 10000", "client == NULL"})
        want.push_back(std::string("comm_lines.cc: ") + r);
    std::vector<std::string> got = reports(cap);
    std::erase_if(got, [](const std::string &r) { return r.starts_with("other: "); });  // the refusals, below
    EXPECT_EQ(got, want);
    // qemu-user knows no TIOCSRS485 at all: the call is refused there too,
    // for that other reason.
    for (std::string refused : {"TIOCMBIS/TIOCMBIC, 25", "TIOCMGET, 25", "TIOCSBRK, 25",
                                under_emulation() ? "TIOCSRS485, 38" : "TIOCSRS485, 25"})
        EXPECT_EQ(count_of(cap.text(), (refused.ends_with("38") ? "err: Function not implemented "
                                                                 : "err: Inappropriate ioctl for device ") + refused), 1)
            << refused;

    for (int burst = 1; burst <= 3; ++burst) {
        ASSERT_EQ(os_comm_client_send(port.client, "frame", 5), 5);
        EXPECT_EQ(read_exact(dev->master, 5), "frame");
        EXPECT_TRUE(wait_until([&] { return events.count(OS_COMM_EVENT_DRAINED) == burst; })) << burst;
    }
    dev->hang_up();
    EXPECT_TRUE(wait_until([&] { return events.count(OS_COMM_EVENT_HANGUP) == 1; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(events.count(OS_COMM_EVENT_HANGUP), 1) << "once";
    dev = std::make_unique<Device>(3);  // the device is back (a new pseudo-terminal)
    EXPECT_EQ(os_comm_client_close(port.client) + os_comm_client_open(port.client), 2);
    dev->write_all("again");
    EXPECT_TRUE(port.wait_for(5) && port.text() == "again");
    EXPECT_EQ(events.count(-1), 0) << "no line changes on a pseudo-terminal";
}

// With a read gap, the read callback finds whole frames: bytes that follow
// each other closer than the gap are one frame, a longer silence ends it, and
// a frame is never handed over before the gap has passed.
TEST_F(Serial, ReadGapGathersFramesBySilence) {
    Device dev(8);
    struct Frames {
        std::mutex lock;
        std::vector<std::string> got;
        std::vector<std::chrono::steady_clock::time_point> at;
    } frames;
    os_comm_client_t *c = os_comm_client_create(8, 9600, 8, 'N', 1);
    os_comm_client_bind_read(c, [](os_comm_client_t *self, void *arg) {
        auto *f = static_cast<Frames *>(arg);
        char buf[MAX_READ_BUF_SIZE];
        int n = os_comm_client_read(self, buf, sizeof buf);
        std::lock_guard<std::mutex> g(f->lock);
        f->got.emplace_back(buf, n > 0 ? n : 0);
        f->at.push_back(std::chrono::steady_clock::now());
        return 0;
    }, &frames);
    ASSERT_EQ(os_comm_client_open(c), 1);
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);  // this thread's pauses as precise as the library's
    auto frames_now = [&] { return std::lock_guard<std::mutex>(frames.lock), frames.got; };
    // Modbus RTU at 9,600 baud: 3.5 characters are about 4 ms. Then 300 us, as
    // at 115,200 baud: a gap rounded to whole milliseconds would merge the
    // two frames 800 us apart.
    struct Case { uint32_t gap_us, pause_us; bool one_frame; } cases[] = {
        {4000, 1000, true}, {4000, 9000, false}, {300, 800, false}, {300, 3000, false}};
    // A pseudo-terminal hands bytes to the reader through a kernel worker,
    // which a loaded machine delays by hundreds of microseconds: the silence
    // the reader sees is the pause give or take that. So a case is tried up
    // to five times and counts if one try gives the frames it should (a gap
    // rounded to whole milliseconds would merge the 800 us pause every time
    // on a quiet machine); that no frame ever comes before its gap holds on
    // every try.
    for (const Case &k : cases) {
        ASSERT_EQ(os_comm_client_set_read_gap(c, k.gap_us), 1);
        auto want = k.one_frame ? std::vector<std::string>{"headtail"} : std::vector<std::string>{"head", "tail"};
        std::vector<std::string> got;
        for (int attempt = 0; attempt < 5 && got != want; ++attempt) {
            { std::lock_guard<std::mutex> g(frames.lock); frames.got.clear(), frames.at.clear(); }
            dev.write_all("head");
            std::this_thread::sleep_for(std::chrono::microseconds(k.pause_us));
            // Taken before the write: the last byte cannot arrive earlier,
            // while a time taken after it would be late whenever this thread
            // is preempted in between.
            auto written = std::chrono::steady_clock::now();
            dev.write_all("tail");
            EXPECT_TRUE(wait_until([&] {
                std::string all;
                for (const std::string &f : frames_now()) all += f;
                return all == "headtail";
            })) << k.gap_us << "/" << k.pause_us;
            std::this_thread::sleep_for(std::chrono::microseconds(3 * k.gap_us));
            got = frames_now();
            std::lock_guard<std::mutex> g(frames.lock);
            EXPECT_TRUE(frames.at.empty() || frames.at.back() - written >= std::chrono::microseconds(k.gap_us))
                << "handed over before the gap";
        }
        EXPECT_EQ(got, want) << "gap " << k.gap_us << " us, pause " << k.pause_us << " us, five tries";
    }
    EXPECT_EQ(os_comm_client_set_read_gap(c, 10000001) + os_comm_client_set_read_gap(nullptr, 1), 0);
    os_comm_client_destroy(c);
}

// (Bytes toward the library and a hang-up under load are the stress program's.)
TEST_F(Serial, MebibyteToTheDeviceInOrderAndTheQueueLimit) {
    Device dev(3);
    Port port(3);
    ASSERT_EQ(os_comm_client_open(port.client), 1);
    // Until the device reads, the first item stays queued, partly written.
    std::string out = pattern(1 << 20, 2);
    ASSERT_EQ(os_comm_client_send(port.client, out.data(), 1 << 20), 1 << 20);
    StderrCapture cap;
    for (int i = 1; i <= MAX_COM_SEND_BUF_NUM; ++i) {
        std::string item = "item " + std::to_string(i) + ";";
        ASSERT_EQ(os_comm_client_send(port.client, item.data(), item.size()), static_cast<int>(item.size())) << i;
        out += item;
    }
    EXPECT_EQ(os_comm_client_send(port.client, "over", 4), -1) << "51 wait";
    EXPECT_EQ(reports(cap), std::vector<std::string>{"comm_client.cc: adt_dlist_size(client->lst_send) > MAX_COM_SEND_BUF_NUM"});
    EXPECT_TRUE(read_exact(dev.master, out.size(), 20000) == out);
}

// A device that sends as fast as the line goes (a pty, a USB CDC adapter):
// a read callback that takes everything loses nothing, whatever the size of
// the device's writes, and no overflow is reported.
TEST_F(Serial, MebibyteFromTheDeviceAtFullSpeedArrivesWhole) {
    Device dev(5);
    StderrCapture cap;
    for (size_t piece : {64, 1024, 65536}) {
        Port port(5);
        ASSERT_EQ(os_comm_client_open(port.client), 1);
        std::string in = pattern(1 << 20, static_cast<unsigned>(piece));
        auto end = std::chrono::steady_clock::now() + 20s;
        for (size_t done = 0; done < in.size() && std::chrono::steady_clock::now() < end;) {
            ssize_t n = write(dev.master, in.data() + done, std::min(piece, in.size() - done));
            if (n > 0) done += static_cast<size_t>(n);
            else poll(std::array<pollfd, 1>{pollfd{dev.master, POLLOUT, 0}}.data(), 1, 100);
        }
        EXPECT_TRUE(port.wait_for(in.size())) << piece << ": " << port.text().size() << " of " << in.size();
        EXPECT_EQ(os_comm_client_close(port.client), 1);
        std::string got = port.text();
        EXPECT_EQ(got.size(), in.size()) << piece;
        EXPECT_TRUE(got == in) << piece << "-byte writes: bytes changed or out of order";
    }
    EXPECT_EQ(count_of(cap.text(), "MAX_READ_BUF_SIZE"), 0);
}

// A callback that never reads: the full buffer is dropped with a report, and
// what the buffer holds then is the newest bytes.
TEST_F(Serial, UnreadInputOverflowsToTheNewestBytes) {
    Device dev(5);
    static std::atomic<int> s_calls{0};
    os_comm_client_t *c = os_comm_client_create(5, 115200, 8, 'N', 1);
    os_comm_client_bind_read(c, [](os_comm_client_t *, void *) { return ++s_calls, 0; }, nullptr);
    ASSERT_EQ(os_comm_client_open(c), 1);
    StderrCapture cap;
    std::string in = pattern(3000, 9);
    dev.write_all(in);
    auto unread = [&] {  // what the terminal still holds for the library
        int n = -1;
        return ioctl(dev.slave, FIONREAD, &n) == 0 ? n : -1;
    };
    EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), "MAX_READ_BUF_SIZE") == 1 && unread() == 0; }));
    // Offered the full buffer first, then what replaced it.
    EXPECT_TRUE(wait_until([] { return s_calls >= 2; })) << s_calls;
    os_comm_client_close(c);
    char got[MAX_READ_BUF_SIZE];
    int n = os_comm_client_read(c, got, sizeof got);
    EXPECT_EQ(std::string(got, n > 0 ? n : 0), in.substr(MAX_READ_BUF_SIZE));
    EXPECT_EQ(reports(cap), (std::vector<std::string>{"comm_io.cc: client->buff_size >= MAX_READ_BUF_SIZE",
                                                       "comm_io.cc: has shutdown"}));
    os_comm_client_destroy(c);
}

// The device goes away (a USB adapter pulled out): what came before is
// delivered, the end is reported once, and the I/O thread does not spin.
TEST_F(Serial, HangUpDeliversWhatCameReportsOnceAndStaysQuiet) {
    Device dev(6);
    Port port(6);
    ASSERT_EQ(os_comm_client_open(port.client), 1);
    StderrCapture cap;
    dev.write_all("last words");
    ASSERT_TRUE(port.wait_for(10));
    dev.hang_up();
    double before = cpu_ms();
    std::this_thread::sleep_for(300ms);  // a spinning I/O thread would burn this whole time
    EXPECT_EQ(os_comm_client_send(port.client, "anyone?", 7), 7) << "queued; freed by close";
    std::this_thread::sleep_for(100ms);
    EXPECT_LT(cpu_ms() - before, 100) << "of 400 ms";
    EXPECT_EQ(os_comm_client_close(port.client), 1);
    EXPECT_EQ(reports(cap), (std::vector<std::string>{"comm_io.cc: ReadFile err 5", "comm_io.cc: has shutdown"}));
    EXPECT_EQ(port.text(), "last words");
}

TEST_F(Serial, CloseWhileBytesFlowBothWays) {
    Device dev(7);
    Port port(7);
    ASSERT_EQ(os_comm_client_open(port.client), 1);
    std::atomic<bool> stop{false};
    std::atomic<size_t> echoed{0};
    std::thread device([&] {  // floods the port and takes whatever it sends
        const std::string flood = pattern(4096, 4);
        while (!stop) {
            (void)!write(dev.master, flood.data(), flood.size());
            echoed += read_exact(dev.master, 65536, 5).size();
        }
    });
    StderrCapture cap;  // the flood overruns the read buffer: those reports are expected
    std::string item = pattern(16384, 5);
    for (int i = 0; i < 20; ++i) os_comm_client_send(port.client, item.data(), item.size());
    EXPECT_TRUE(wait_until([&] { return echoed > 0 && !port.text().empty(); }, 10s));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(os_comm_client_close(port.client), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    stop = true;
    device.join();
    EXPECT_EQ(std::ranges::count(reports(cap), "comm_io.cc: has shutdown"), 1);
}

TEST_F(Serial, TwoPortsTalkThroughSocat) {
    std::string dir = std::filesystem::temp_directory_path() / "keel_socat_XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    std::string a = "pty,raw,echo=0,link=" + dir + "/a", b = "pty,raw,echo=0,link=" + dir + "/b";
    char *argv[] = {const_cast<char *>("socat"), a.data(), b.data(), nullptr};
    struct Reaped {
        pid_t pid = -1;
        void reap() {
            if (pid > 0 && kill(pid, SIGTERM) == 0) waitpid(pid, nullptr, 0);
            pid = -1;
        }
        ~Reaped() { reap(); }
    } socat;
    ASSERT_EQ(posix_spawnp(&socat.pid, "socat", nullptr, nullptr, argv, environ), 0);
    bool up = wait_until([&] { return std::filesystem::exists(dir + "/a") && std::filesystem::exists(dir + "/b"); }, 10s);
    setenv("KEEL_COM8", (dir + "/a").c_str(), 1);
    setenv("KEEL_COM9", (dir + "/b").c_str(), 1);
    {
        Port one(8), two(9);
        ASSERT_TRUE(up && os_comm_client_open(one.client) == 1 && os_comm_client_open(two.client) == 1);
        std::string to_two, to_one;
        for (unsigned round = 0; round < 16; ++round) {  // request, then answer
            std::string ask = pattern(1024, round), answer = pattern(1000, round + 100);
            to_two += ask, to_one += answer;
            ASSERT_EQ(os_comm_client_send(one.client, ask.data(), ask.size()), 1024);
            ASSERT_TRUE(two.wait_for(to_two.size())) << round;
            ASSERT_EQ(os_comm_client_send(two.client, answer.data(), answer.size()), 1000);
            ASSERT_TRUE(one.wait_for(to_one.size())) << round;
        }
        EXPECT_TRUE(two.text() == to_two && one.text() == to_one);
        StderrCapture quiet;  // the ends hang up as socat goes
        socat.reap();
    }
    std::filesystem::remove_all(dir);
}

// A read callback may close or destroy its own client: the I/O thread lets go
// of the port once the callback has returned, and the port can be opened
// again (by a destroyed client's successor too).
TEST_F(Serial, ReadCallbackClosesOrDestroysItsClient) {
    Device dev(6);
    static std::atomic<int> s_calls{0};
    auto on_read = [](os_comm_client_t *c, void *) -> int {
        char cmd = 0;
        os_comm_client_read(c, &cmd, 1);
        ++s_calls;
        if (cmd == 'c') os_comm_client_close(c);
        if (cmd == 'd') os_comm_client_destroy(c);
        return 0;
    };
    int before = fd_count();
    os_comm_client_t *c = os_comm_client_create(6, 9600, 8, 'N', 1);
    os_comm_client_bind_read(c, on_read, nullptr);
    ASSERT_EQ(os_comm_client_open(c), 1);
    dev.write_all("c");
    EXPECT_TRUE(wait_until([&] { return s_calls == 1 && fd_count() == before; })) << "the port is let go";
    ASSERT_EQ(os_comm_client_open(c), 1) << "and can be opened again";
    dev.write_all("d");
    EXPECT_TRUE(wait_until([&] { return s_calls == 2 && fd_count() == before; }));
    os_comm_client_t *next = os_comm_client_create(6, 9600, 8, 'N', 1);
    EXPECT_EQ(os_comm_client_open(next), 1) << "the destroyed client held nothing";
    os_comm_client_destroy(next);
}

// Callbacks on the main thread, by choice: reads and line events run there,
// held off by the main lock like every other callback; a mebibyte sent as
// fast as the terminal goes arrives whole (the port waits while the buffer
// is full), and a callback may destroy its own client.
TEST_F(Serial, CallbacksOnTheMainThreadByChoice) {
    ASSERT_EQ(os_startup(0, 0), 1);
    fds_ = fd_count();  // the runtime's own descriptors stay
    static std::thread::id s_main;
    static std::atomic<int> s_elsewhere{0}, s_hangups{0};
    ASSERT_TRUE(on_main_thread([] { s_main = std::this_thread::get_id(); }));
    static const auto check = [] { s_elsewhere += std::this_thread::get_id() != s_main; };
    auto dev = std::make_unique<Device>(4);
    Port port(4);
    os_comm_client_bind_read(port.client, [](os_comm_client_t *c, void *arg) { return check(), Port::on_read(c, arg); },
                             &port);
    os_comm_client_bind_event(port.client, [](os_comm_client_t *, int event, uint32_t, void *) {
        check(), s_hangups += event == OS_COMM_EVENT_HANGUP;
    }, nullptr);
    StderrCapture cap;
    EXPECT_EQ(os_comm_client_set_main_thread(nullptr, 1), 0);
    ASSERT_EQ(os_comm_client_set_main_thread(port.client, 0) + os_comm_client_set_main_thread(port.client, 1), 2);
    ASSERT_EQ(os_comm_client_open(port.client), 1);
    EXPECT_EQ(os_comm_client_set_main_thread(port.client, 0), 0) << "open";
    EXPECT_EQ(reports(cap),
              (std::vector<std::string>{"comm_main.cc: client == NULL", "comm_main.cc: client->running == 1"}));
    os_main_lock();
    dev->write_all("held");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(port.text(), "") << "called under another holder of the main lock";
    os_main_unlock();
    std::string in = "held" + pattern(1 << 20, 12);
    dev->write_all(in.substr(4));
    EXPECT_TRUE(port.wait_for(in.size())) << port.text().size();
    EXPECT_TRUE(port.text() == in) << "bytes lost, changed or out of order";
    dev->hang_up();
    EXPECT_TRUE(wait_until([] { return s_hangups == 1; }));

    dev = std::make_unique<Device>(4);
    os_comm_client_t *c = os_comm_client_create(4, 9600, 8, 'N', 1);
    os_comm_client_set_main_thread(c, 1);
    os_comm_client_bind_read(c, [](os_comm_client_t *self, void *) { return check(), os_comm_client_destroy(self); },
                             nullptr);
    ASSERT_EQ(os_comm_client_open(c), 1);
    int open_fds = fd_count();
    dev->write_all("d");
    EXPECT_TRUE(wait_until([&] { return fd_count() == open_fds - 2; })) << "destroyed from its callback";
    EXPECT_EQ(s_elsewhere, 0) << "callbacks off the main thread";
}
