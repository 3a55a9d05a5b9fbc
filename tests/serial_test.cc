// Serial clients on real terminals: pseudo-terminal pairs whose slave the library opens as COM<n> while the test plays
// the device on the master. Every case counts its descriptors.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/ioctl.h>
#endif

#include <atomic>

#include "keel/os_runtime.h"
#include "serial_support.h"
#ifndef _WIN32
#include "test_support.h"
#endif

using namespace keel_test;
using namespace std::chrono_literals;
using Reports = std::vector<std::string>;

#ifdef _WIN32  // the numbers wine gives: a port another holds, NUL as a port, and a pty that hung up (a broken pipe)
const std::string kBusy = "5", kHungUp = "ReadFile err 109", kNotAPort = "SetCommTimeouts, 5";
// A pty takes a break without sending anything, and a Windows process cannot tell a pty from a port.
const char *const kNoLine[] = {"EscapeCommFunction, ", "GetCommModemStatus, ", "RS-485"};
constexpr int kBreakTaken = 1;
#else
// The kernel's termios (its header cannot share a file with <termios.h>): a terminal's rate, also one off the table.
struct termios2 { tcflag_t c_iflag, c_oflag, c_cflag, c_lflag; cc_t c_line, c_cc[19]; speed_t c_ispeed, c_ospeed; };
const std::string kBusy = "16", kHungUp = "ReadFile err 5", kNotAPort = "client->com == INVALID_HANDLE_VALUE, errno: 25";
const char *const kNoLine[] = {"TIOCMBIS/TIOCMBIC, 25", "TIOCSBRK, 25", "TIOCMGET, 25",  // qemu knows no TIOCSRS485
                               under_emulation() ? "TIOCSRS485, 38" : "TIOCSRS485, 25"};
constexpr int kBreakTaken = 0;
#endif

class Serial : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(fd_count(), fds_) << "descriptors leaked"; }
    int fds_ = fd_count();
};

// Each refusal of a bad argument or of a client that is not open, with its result and its one report, in call order
// (a braced list runs its parts in order); then what is taken, with none.
TEST_F(Serial, RefusalsWithTheirReports) {
    os_comm_client_t *c = os_comm_client_create(10, 9600, 8, 'N', 1);
    uint32_t buf[1];  // four bytes to read, or the lines
    const std::string no_port = "client->com == INVALID_HANDLE_VALUE, errno: ", none = "client == NULL",
                      port = "comport < 0 || comport > MAX_COM_PORT_NUM", lines = "client == NULL || lines == NULL",
                      send = "client == NULL|| data == NULL || len <= 0", closed = "client->com == -1",
                      read = "client == NULL || data == NULL || len <= 0",
                      line = "client == NULL || (line != OS_COMM_LINE_DTR && line != OS_COMM_LINE_RTS)",
                      gap = "client == NULL || gap_us > 10000000", brk = "client == NULL || ms < 1 || ms > 10000",
                      dev = "device == NULL || device[0] == 0 || strlen(device) >= 4096";
    StderrCapture cap;
#ifndef _WIN32
    unsetenv("KEEL_COM0");
#endif
    const std::pair<long, std::string> rows[] = {
        {!!os_comm_client_create(-1, 9600, 8, 'N', 1), port}, {!!os_comm_client_create(11, 9600, 8, 'N', 1), port},
        {!!os_comm_client_create_dev(nullptr, 1, 8, 'N', 1), dev}, {!!os_comm_client_create_dev("", 1, 8, 'N', 1), dev},
        {!!os_comm_client_create_dev(std::string(4096, 'd').c_str(), 1, 8, 'N', 1), dev},
        {!!os_comm_client_create_dev("/dev/tty", 0, 8, 'N', 1), "baud < 1"},
        {os_comm_client_open(nullptr), none}, {os_comm_client_close(nullptr), none},
        {os_comm_client_set_udata(nullptr, nullptr), none}, {!!os_comm_client_get_udata(nullptr), none},
        {os_comm_client_bind_read(nullptr, nullptr, nullptr), none},
        {os_comm_client_bind_event(nullptr, nullptr, nullptr), none},
        {os_comm_client_set_input_flush(nullptr, 1), none}, {os_comm_client_set_rs485(nullptr, 1, 1, 0, 0), none},
        {os_comm_client_set_main_thread(nullptr, 0), none},
        {os_comm_client_set_main_thread(c, 1), "os_is_startup() == 0"},
        {os_comm_client_open(Port(0).client), no_port + "2"},
        {os_comm_client_open(Port(os_comm_client_create_dev(kNullDevice, 1, 8, 'N', 1)).client), kNotAPort},
        {os_comm_client_send(nullptr, "x", 1) + 1, send}, {os_comm_client_send(c, nullptr, 1) + 1, send},
        {os_comm_client_send(c, "x", 0) + 1, send}, {os_comm_client_send(c, "x", 1) + 1, "client->lst_send == NULL"},
        {os_comm_client_read(nullptr, buf, 4), read}, {os_comm_client_read(c, nullptr, 4), read},
        {os_comm_client_read(c, buf, 0), read}, {os_comm_client_set_read_gap(nullptr, 1), gap},
        {os_comm_client_set_read_gap(c, 10000001), gap}, {os_comm_client_set_line(nullptr, OS_COMM_LINE_DTR, 1), line},
        {os_comm_client_set_line(c, OS_COMM_LINE_CTS, 1), line}, {os_comm_client_get_lines(nullptr, buf), lines},
        {os_comm_client_get_lines(c, nullptr), lines}, {os_comm_client_send_break(nullptr, 9), brk},
        {os_comm_client_send_break(c, 0), brk}, {os_comm_client_send_break(c, 10001), brk},
        {os_comm_client_set_line(c, OS_COMM_LINE_RTS, 1), closed}, {os_comm_client_get_lines(c, buf), closed},
        {os_comm_client_send_break(c, 1), closed}, {os_comm_client_set_rs485(c, 1, 1, 0, 0), closed}};
    Reports want;
    for (const auto &[result, report] : rows) {
        EXPECT_EQ(result, 0) << report;
        want.push_back(report);
    }
    EXPECT_EQ(reports(cap.text()), want);
    StderrCapture none_taken;
    EXPECT_EQ(os_comm_client_set_udata(c, buf), 1);
    EXPECT_TRUE(os_comm_client_get_udata(c) == buf && os_comm_client_bind_read(c, nullptr, nullptr) == 1 &&
                os_comm_client_bind_event(c, nullptr, nullptr) == 1 && os_comm_client_set_input_flush(c, 0) == 1 &&
                os_comm_client_set_read_gap(c, 10000000) == 1 && os_comm_client_set_main_thread(c, 0) == 1 &&
                os_comm_client_get_status(nullptr) == -1 && os_comm_client_get_status(c) == 0 &&
                os_comm_client_read(c, buf, 4) == 0 && os_comm_client_close(c) == 1 && os_comm_client_destroy(0) == 1);
    EXPECT_EQ(reports(none_taken.text()), Reports{});
    EXPECT_EQ(os_comm_client_destroy(c), 1);
}

// The line as the terminal holds it: each rate of the table on a numbered port with a frame of each form (a pty keeps
// no word size or parity enable), and any rate on a client of a path; settings no terminal takes are refused.
TEST_F(Serial, SettingsReadBackAndRefusals) {
    KEEL_SKIP_UNDER_EMULATION("knows no termios2 (TCGETS2), and drops high rates and CMSPAR");
    Device dev(2);
#ifndef _WIN32  // the settings are read back on the Linux side, out of a Windows process's reach
    int i = 0;
    for (int baud : {50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200,
                     230400, 460800, 500000, 576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000,
                     3500000, 4000000, -250000, -12345}) {  // by path
        int stop = 1 + i % 3, parity = "NEOMSneoms"[i++ % 10];  // stop bits 3 are 2
        Port port(baud < 0 ? os_comm_client_create_dev(dev.path.c_str(), -baud, 5 + i % 4, parity, stop)
                           : os_comm_client_create(2, baud, 5 + i % 4, parity, stop));
        termios2 t{};
        ASSERT_TRUE(os_comm_client_open(port.client) == 1 && ioctl(dev.slave, TCGETS2, &t) == 0) << baud;
        int p = toupper(parity);
        EXPECT_EQ(t.c_cflag & (CSTOPB | PARODD | CMSPAR | CRTSCTS | CLOCAL | CREAD),
                  (stop > 1 ? CSTOPB : 0) | (p == 'O' || p == 'M' ? PARODD : 0) | (p == 'M' || p == 'S' ? CMSPAR : 0) |
                      CLOCAL | CREAD);
        EXPECT_TRUE(!(t.c_lflag & (ICANON | ECHO | ISIG)) && !(t.c_iflag & (IXON | ICRNL)) && !(t.c_oflag & OPOST) &&
                    t.c_cc[VMIN] == 1 && t.c_ospeed == static_cast<speed_t>(std::abs(baud))) << baud;
    }
#endif
    StderrCapture cap;
    for (auto [baud, bits, parity] : {std::tuple{12345, 8, 'N'}, {9600, 9, 'N'}, {9600, 4, 'N'}, {9600, 8, 'X'}})
        EXPECT_EQ(os_comm_client_open(Port(2, baud, bits, parity).client), 0);
    EXPECT_EQ(reports(cap.text()), Reports(4, "!BuildCommDCB, 22"));
}

// The flush before a request dropped only the terminal's bytes, not those gathered: the answer came as "oldnew". A
// numbered port flushes by default, a client of a path when asked, and keeps everything by default. Then unread input
// overflows to the newest bytes with one report, once the callback has been offered the full buffer.
TEST_F(Serial, InputFlushBeforeARequestAndUnreadInputOverflowingToTheNewestBytes) {
    Device dev(2);
    for (std::string kind : {"path, flushing", "path", "numbered"}) {
        Port port(kind == "numbered" ? os_comm_client_create(2, 9600, 8, 'N', 1)
                                     : os_comm_client_create_dev(dev.path.c_str(), 9600, 8, 'N', 1));
        static std::atomic<int> s_calls;  // the callback reads nothing: the bytes wait in the library
        os_comm_client_bind_read(port.client, [](os_comm_client_t *, void *) { return ++s_calls, 0; }, nullptr);
        s_calls = 0;
        EXPECT_EQ(kind.ends_with("ing") ? os_comm_client_set_input_flush(port.client, 1) : 1, 1);
        ASSERT_TRUE(os_comm_client_open(port.client) == 1 && dev.write_all("old") && wait_until([] { return s_calls > 0; }));
        ASSERT_TRUE(os_comm_client_send(port.client, "ask", 3) == 3 && read_exact(dev.master, 3) == "ask");
        std::string got, want = kind == "path" ? "oldnew" : "new", in = pattern(3000, 9);
        char buf[MAX_READ_BUF_SIZE];
        EXPECT_TRUE(dev.write_all("new") && wait_until([&] {
            return got.append(buf, std::max(os_comm_client_read(port.client, buf, 16), 0)).size() >= want.size();
        }));
        EXPECT_EQ(got, want) << kind;
        if (kind != "numbered") continue;
        StderrCapture cap;  // it is not opened again, and holds its device alone
        EXPECT_FALSE(os_comm_client_open(port.client) || os_comm_client_open(Port(2).client));
        int unread = 0, calls = s_calls;  // what the terminal still holds for the library
        EXPECT_TRUE(dev.write_all(in) && wait_until([&] {
#ifndef _WIN32
            if (ioctl(dev.slave, FIONREAD, &unread) != 0) return false;
#endif
            return count_of(cap.so_far(), "MAX_READ_BUF_SIZE") && !unread;
        }));
        EXPECT_TRUE(wait_until([&] { return s_calls >= calls + 2; })) << "offered the full buffer, then the new bytes";
        EXPECT_TRUE(os_comm_client_close(port.client) == 1 && os_comm_client_read(port.client, buf, 3) == 3);
        int n = os_comm_client_read(port.client, buf + 3, sizeof buf - 3);
        EXPECT_EQ(std::string(buf, 3 + std::max(n, 0)), in.substr(MAX_READ_BUF_SIZE));
        EXPECT_EQ(reports(cap.text()), (Reports{"client->running == 1", "client->com == INVALID_HANDLE_VALUE, errno: " + kBusy,
                                                "client->buff_size >= MAX_READ_BUF_SIZE", "has shutdown"}));
    }
}

// A read gap gathers bytes into frames: the callback comes once the line has been silent that long, not before. Between
// frames the I/O thread sleeps, with an event callback bound too.
TEST_F(Serial, ReadGapGathersFramesBySilence) {
    Device dev(8);
    Port port(8);
    os_comm_client_bind_read(port.client, [](os_comm_client_t *c, void *arg) {  // each frame ends in '|'
        auto *self = static_cast<Port *>(arg);
        return Port::on_read(c, arg), std::lock_guard<std::mutex>(self->lock), self->got += '|', 0;
    }, &port);
    os_comm_client_bind_event(port.client, [](os_comm_client_t *, int, uint32_t, void *) {}, nullptr);
    auto written = std::chrono::steady_clock::now();  // before the bytes: the last one cannot come earlier
    ASSERT_TRUE(os_comm_client_set_read_gap(port.client, 300000) && os_comm_client_open(port.client) == 1);
    ASSERT_TRUE(dev.write_all("head") && dev.write_all("tail") && port.wait_for(1));
    EXPECT_GE(std::chrono::steady_clock::now() - written, 300ms) << "handed over before the gap";
#ifndef _WIN32
    auto switches = [] { rusage r; getrusage(RUSAGE_SELF, &r); return r.ru_nvcsw; };  // each thread's sleeps
    long quiet = switches();  // the line is quiet, and a pty counts no changes of its lines: the I/O thread sleeps on
    std::this_thread::sleep_for(200ms);
    EXPECT_LT(switches() - quiet, 6) << "woken while the line is quiet";
#endif
    EXPECT_TRUE(dev.write_all("more") && port.wait_for(14) && port.text() == "headtail|more|") << port.text();
    StderrCapture cap;  // a port that hung up is reported once and left alone: polled again, it spun
    double cpu = (dev.hang_up(), cpu_ms());
    EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), kHungUp) == 1; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(cpu_ms() - cpu, 60) << "of 300 ms";
}

// A mebibyte from a device at full speed lost bytes to a full buffer: a callback that takes it all loses none, on the
// I/O thread and on the main thread by choice (where the port waits while the buffer is full). The drain and the
// hang-up (reported once) follow there too, and the callback closes or destroys its client, let go once it returns.
TEST_F(Serial, MebibyteFromTheDeviceAtFullSpeedArrivesWhole) {
    ASSERT_EQ(os_startup(0, 0), 1);
    fds_ = fd_count();  // the runtime's own descriptors stay
    static std::thread::id s_main;
    static std::atomic<int> s_elsewhere{0}, s_events{0};
    static std::atomic<bool> s_on_main, s_destroy;
    ASSERT_TRUE(on_main_thread([] { s_main = std::this_thread::get_id(); }));
    StderrCapture cap;
    for (bool on_main : {false, true})
        for (size_t piece : {64, 1024, 65536}) {
            Device dev(5);
            int fds = fd_count();
            Port port(5);
            s_on_main = on_main, s_destroy = piece != 64;
            os_comm_client_bind_read(port.client, [](os_comm_client_t *c, void *arg) {
                return s_elsewhere += s_on_main && std::this_thread::get_id() != s_main, Port::on_read(c, arg);
            }, &port);
            os_comm_client_bind_event(port.client, [](os_comm_client_t *c, int event, uint32_t, void *arg) {
                s_elsewhere += s_on_main && std::this_thread::get_id() != s_main;
                if (event == OS_COMM_EVENT_HANGUP && s_destroy) static_cast<Port *>(arg)->client = nullptr;
                if (event == OS_COMM_EVENT_HANGUP) s_destroy ? os_comm_client_destroy(c) : os_comm_client_close(c);
                s_events += event;
            }, &port);
            ASSERT_TRUE(os_comm_client_set_main_thread(port.client, on_main) && os_comm_client_open(port.client) == 1);
            std::string in = pattern(1 << 20, static_cast<unsigned>(piece));
            for (size_t done = 0; done < in.size(); done += piece) ASSERT_TRUE(dev.write_all(in.substr(done, piece)));
            EXPECT_TRUE(port.wait_for(in.size()) && port.text() == in) << piece << "-byte writes: " << port.text().size();
            uint32_t lines;  // a pty has no line: each such call is refused with the driver's reason
            os_comm_client_t *c = port.client;
            EXPECT_EQ(os_comm_client_set_line(c, OS_COMM_LINE_DTR, 1) + os_comm_client_send_break(c, 9) +
                          os_comm_client_get_lines(c, &lines) + os_comm_client_set_rs485(c, 1, 1, 0, 0), kBreakTaken);
            int events = s_events + OS_COMM_EVENT_DRAINED + OS_COMM_EVENT_HANGUP;
            EXPECT_TRUE(os_comm_client_send(port.client, "x", 1) == 1 && read_exact(dev.master, 1) == "x" &&
                        os_comm_client_set_main_thread(port.client, 0) == 0);
            dev.hang_up();
            EXPECT_TRUE(wait_until([&] { return s_events == events && fd_count() == fds - 1; })) << "the port let go";
        }
    EXPECT_EQ(s_elsewhere, 0) << "callbacks off the main thread";
    std::string text = cap.text();
    EXPECT_TRUE(count_of(text, "MAX_READ_BUF_SIZE") == 0 && count_of(text, "client->running == 1") == 6 &&
                count_of(text, kHungUp) == 6) << text;
    for (std::string refused : kNoLine) EXPECT_EQ(count_of(text, refused), 6) << refused;
}
