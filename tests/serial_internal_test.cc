// Hidden pieces of the serial client: settings frames, device paths, the I/O thread's wait limit, the send queue.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/ioctl.h>

#include "serial/serial_internal.h"
#include "serial_support.h"
#include "test_support.h"

using namespace keel_test;

// A pty keeps no word size or parity enable, so the frame is checked here; 1.5 stop bits come from a record set by
// hand. A port's path is KEEL_COM<n> when set and not empty, /dev/ttyS<n-1> otherwise, none for COM0 or one too long.
TEST(CommPort, FrameOfEachSettingsTextAndPathOfEachPort) {
    os_comm_client client{};
    client.baud = 50, client.data_bits = 5, client.stop_bits = 1.5f, client.parity = 'e';
    char text[50];
    comm_settings_text(&client, text, sizeof text);
    EXPECT_STREQ(text, "COM0:50,e,5,1.5");
    const std::pair<const char *, int> frames[] = {
        {text, CS5 | PARENB | CSTOPB}, {"COM3:9600,N,8,1", CS8}, {"COM10:4000000,O,6,1", CS6 | PARENB | PARODD},
        {"COM1:115200,M,7,1", CS7 | PARENB | PARODD | CMSPAR}, {"COM2:300,s,8,2", CS8 | PARENB | CMSPAR | CSTOPB},
        {"COM1:9600,N,8,3", -1}, {"COM1:9600,N,8,1x", -1}, {"COM1", -1}};
    for (auto [settings, frame] : frames) {
        termios tio{};
        tio.c_iflag = IXON | ICRNL, tio.c_cflag = CRTSCTS | PARENB;
        EXPECT_EQ(comm_build_settings(settings, &tio), frame < 0 ? EINVAL : 0) << settings;
        EXPECT_TRUE(frame < 0 || ((tio.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CLOCAL)) ==
                                  (static_cast<tcflag_t>(frame) | CLOCAL) && !(tio.c_iflag & (IXON | ICRNL))))
            << settings;
    }
    setenv("KEEL_COM2", "/dev/ttyUSB0", 1), setenv("KEEL_COM3", "", 1), setenv("KEEL_COM4", "/dev/ttyUSB12345", 1);
    for (auto [port, want] : {std::pair{0, ""}, {2, "/dev/ttyUSB0"}, {3, "/dev/ttyS2"}, {4, ""}, {10, "/dev/ttyS9"}}) {
        char path[16] = "";
        EXPECT_TRUE(comm_device_path(port, path, sizeof path) == (*want != 0) && (!*want || !strcmp(path, want)))
            << port;
    }
    EXPECT_TRUE(comm_lines_of(TIOCM_DTR | TIOCM_RTS | TIOCM_CAR) == 0x13 && comm_lines_of(~0) == 0x3f);
}

// A hung-up port's lines set no limit on the I/O thread's wait: their deadline stands still, and poll spun on it
// (988 ms of CPU a second). A frame's silence sets one, and the nearer of the two counts.
TEST(CommIoThread, WaitLimitAndNoneForTheLinesOfAHungUpPort) {
    struct Case { bool frame; uint32_t gap_us; bool lines, hung_up; int64_t next_look_ns, want_ns; } cases[] = {
        {false, 0, false, false, 0, -1}, {false, 0, true, false, 1000, 0}, {false, 0, true, false, 9000, 2000},
        {false, 0, true, true, 1000, -1}, {true, 3, false, false, 0, 1000}, {true, 3, true, false, 7500, 500},
        {true, 3, true, true, 7500, 1000}, {true, 2000000, false, false, 0, 2000000000 - 2000}};
    for (const Case &c : cases) {
        os_comm_client client{};
        client.frame_pending = c.frame, client.read_gap_us = c.gap_us, client.last_byte_ns = 5000;
        client.counting_lines = c.lines, client.hung_up = c.hung_up, client.next_line_look_ns = c.next_look_ns;
        timespec limit;
        const timespec *due = comm_wait_limit(&client, 7000, &limit);
        EXPECT_EQ(due == nullptr ? -1 : due->tv_sec * 1'000'000'000 + due->tv_nsec, c.want_ns) << c.gap_us << c.lines;
    }
}

// A large item is written from where the last write stopped, never moved (64 MiB cost 226 ms of CPU per MiB), and comes
// whole, the 50 behind in order. Items are freed, written or queued at destroy (a large one's mapped block shows it).
TEST(CommSendQueue, LargeItemStaysInPlaceTheLimitHoldsAndEveryItemIsFreed) {
    mallopt(M_MMAP_THRESHOLD, 64 * 1024);
    Device dev(1);
    int fds = fd_count();
    os_comm_client *client = os_comm_client_create(1, 9600, 8, 'N', 1);
    ASSERT_EQ(os_comm_client_open(client), 1);
    std::string out = pattern(1 << 20, 3), items = pattern(MAX_COM_SEND_BUF_NUM, 4), got;
    out.reserve(2 << 20), got.reserve(2 << 20);  // no mapped block of theirs moves from here on
    size_t mapped = mallinfo2().hblkhd;
    ASSERT_EQ(os_comm_client_send(client, out.data(), out.size()), 1 << 20);
    StderrCapture cap;
    for (char &item : items) ASSERT_EQ(os_comm_client_send(client, &item, 1), 1);
    EXPECT_EQ(os_comm_client_send(client, "over", 4), -1) << "51 wait";
    EXPECT_EQ(reports(cap.text()), std::vector<std::string>{"adt_dlist_size(client->lst_send) > MAX_COM_SEND_BUF_NUM"});
    got += read_exact(dev.master, 100000);  // many partial writes
    // Not item->sent: the I/O thread counts a write only after it returns, and the terminal may hand its bytes on first.
    adt_dlist_lock(client->lst_send);
    auto *item = *static_cast<comm_send_item **>(adt_dlist_getdata(adt_dlist_head(client->lst_send)));
    EXPECT_TRUE(item->count == 1 << 20 && memcmp(item->data, out.data(), item->count) == 0);
    adt_dlist_unlock(client->lst_send);
    out += items, got += read_exact(dev.master, out.size() - got.size(), 20000);
    EXPECT_TRUE(got == out && wait_until([&] { return mallinfo2().hblkhd == mapped; })) << got.size() << " bytes";
    ASSERT_EQ(os_comm_client_send(client, out.data(), 1 << 20), 1 << 20);  // the device reads no more
    EXPECT_TRUE(os_comm_client_destroy(client) == 1 && mallinfo2().hblkhd == mapped) << "queued items freed";
    EXPECT_EQ(fd_count(), fds);
}
