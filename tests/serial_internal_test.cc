// Hidden pieces of the serial client: the settings text and the termios frame
// built from it (a pty keeps neither data bits nor parity, so the frame is
// checked here), the device path of a port, and the receive buffer watched
// through its fill count.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "serial/serial_internal.h"
#include "test_support.h"

using keel_test::wait_until;

TEST(CommSettings, TextAndFrameOfEachForm) {
    struct Case { int port, baud, bits; char parity; float stop; const char *text; tcflag_t frame; } cases[] = {
        {3, 9600, 8, 'N', 1, "COM3:9600,N,8,1", CS8},
        {0, 50, 5, 'E', 0, "COM0:50,E,5,1", CS5 | PARENB},
        {10, 4000000, 6, 'O', 1.5f, "COM10:4000000,O,6,1.5", CS6 | PARENB | PARODD | CSTOPB},
        {1, 115200, 7, 'M', 2, "COM1:115200,M,7,2", CS7 | PARENB | PARODD | CMSPAR | CSTOPB},
        {2, 230400, 8, 's', 7, "COM2:230400,s,8,2", CS8 | PARENB | CMSPAR | CSTOPB}};
    const tcflag_t frame_bits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    for (const Case &c : cases) {
        os_comm_client client{};
        client.comport = c.port, client.baud = c.baud, client.data_bits = c.bits, client.parity = c.parity;
        client.stop_bits = c.stop;
        char text[50];
        comm_settings_text(&client, text, sizeof text);
        EXPECT_STREQ(text, c.text);
        termios tio{};
        tio.c_cflag = CRTSCTS | PARENB;
        tio.c_iflag = IXON | ICRNL;
        ASSERT_EQ(comm_build_settings(text, &tio), 0) << text;
        EXPECT_EQ(tio.c_cflag & frame_bits, c.frame) << text;
        EXPECT_TRUE(!(tio.c_cflag & CRTSCTS) && !(tio.c_iflag & (IXON | ICRNL)) && (tio.c_cflag & CLOCAL)) << text;
    }
    for (const char *bad : {"COM1:9601,N,8,1", "COM1:9600,N,8,3", "COM1:9600,N,8,1x", "COM1:9600,Q,8,1",
                            "COM1:9600,N,10,1", "COM1", ""}) {
        termios tio{};
        EXPECT_EQ(comm_build_settings(bad, &tio), EINVAL) << bad;
    }
}

TEST(CommDevice, PathFromTheVariableOrTheDefaultTty) {
    setenv("KEEL_COM2", "/dev/ttyUSB0", 1), setenv("KEEL_COM3", "", 1), setenv("KEEL_COM4", std::string(64, 'x').c_str(), 1);
    const struct { int port; const char *path; } cases[] = {
        {0, nullptr}, {1, "/dev/ttyS0"}, {2, "/dev/ttyUSB0"}, {3, "/dev/ttyS2"}, {4, nullptr}, {10, "/dev/ttyS9"}};
    for (const auto &c : cases) {
        char path[64] = "";
        EXPECT_EQ(comm_device_path(c.port, path, sizeof path), c.path != nullptr) << c.port;
        if (c.path != nullptr) { EXPECT_STREQ(path, c.path); }
    }
}

namespace {

uint32_t waiting(os_comm_client *client) {
    os_mutex_lock(client->mutex);
    uint32_t n = client->buff_size;
    os_mutex_unlock(client->mutex);
    return n;
}

}  // namespace

// No read callback: the bytes stay in the buffer for os_comm_client_read.
TEST(CommReadBuffer, PartialReadsKeepOrderAndAFullBufferMakesRoomForTheNextByte) {
    int fds = keel_test::fd_count(), master, slave;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    setenv("KEEL_COM1", name, 1);
    os_comm_client *client = os_comm_client_create(1, 9600, 8, 'N', 1);
    ASSERT_EQ(os_comm_client_open(client), 1);
    ASSERT_EQ(write(master, "0123456789", 10), 10);
    ASSERT_TRUE(wait_until([&] { return waiting(client) == 10; }));
    char got[32] = {0};
    EXPECT_EQ(os_comm_client_read(client, got, 3), 3);
    EXPECT_EQ(os_comm_client_read(client, got + 3, 20), 7);
    EXPECT_STREQ(got, "0123456789");

    std::string full(MAX_READ_BUF_SIZE, 'a');
    ASSERT_EQ(write(master, full.data(), full.size()), static_cast<ssize_t>(full.size()));
    ASSERT_TRUE(wait_until([&] { return waiting(client) == MAX_READ_BUF_SIZE; }));
    keel_test::StderrCapture cap;
    ASSERT_EQ(write(master, "Z", 1), 1);
    ASSERT_TRUE(wait_until([&] { return waiting(client) == 1; }));
    EXPECT_EQ(os_comm_client_read(client, got, sizeof got), 1);
    EXPECT_EQ(got[0], 'Z');
    EXPECT_NE(cap.text().find("client->buff_size >= MAX_READ_BUF_SIZE"), std::string::npos);

    EXPECT_EQ(os_comm_client_destroy(client), 1);
    close(master), close(slave);
    EXPECT_EQ(keel_test::fd_count(), fds);
}

// A port that hung up looks at its lines no more, so their deadline, which
// then stands still, sets no limit (it made poll spin: 988 ms of CPU a second).
TEST(CommIoThread, HungUpPortSetsNoDeadlineForItsLines) {
    os_comm_client client{};
    client.counting_lines = true, client.next_line_look_ns = 1000;
    timespec limit;
    const timespec *due = comm_wait_limit(&client, 5000, &limit);
    EXPECT_TRUE(due != nullptr && due->tv_sec == 0 && due->tv_nsec == 0) << "due at once";
    client.hung_up = true;
    EXPECT_EQ(comm_wait_limit(&client, 5000, &limit), nullptr);
}

// A large item is written from where the last write stopped and never moved
// (moving the rest after each partial write made 64 MiB cost 226 ms of CPU
// per MiB); it arrives whole.
TEST(CommSendQueue, LargeItemStaysInPlaceAndArrivesWhole) {
    int fds = keel_test::fd_count(), master, slave;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    setenv("KEEL_COM1", name, 1);
    os_comm_client *client = os_comm_client_create(1, 9600, 8, 'N', 1);
    ASSERT_EQ(os_comm_client_open(client), 1);
    std::string out = keel_test::pattern(1 << 20, 3);
    ASSERT_EQ(os_comm_client_send(client, out.data(), out.size()), 1 << 20);
    std::string got = keel_test::read_exact(master, 100000);  // many partial writes
    adt_dlist_lock(client->lst_send);
    auto *item = *static_cast<comm_send_item **>(adt_dlist_getdata(adt_dlist_head(client->lst_send)));
    EXPECT_TRUE(item->count == out.size() && memcmp(item->data, out.data(), out.size()) == 0);
    adt_dlist_unlock(client->lst_send);
    got += keel_test::read_exact(master, out.size() - got.size());
    EXPECT_TRUE(got == out) << got.size();
    EXPECT_EQ(os_comm_client_destroy(client), 1);
    close(master), close(slave);
    EXPECT_EQ(keel_test::fd_count(), fds);
}
