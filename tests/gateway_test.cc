// The serial-to-TCP gateway example as a child process, run where select_config.json has each connection accepted at
// once; the test plays the device on a pty the gateway opens through a link (a new pty under it: the device is back).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "peers.h"
#include "serial_support.h"
#include "test_support.h"

using namespace keel_test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A mebibyte each way at once at the pty's full speed, byte for byte, while clients come and go and one with a small
// buffer stalls for 7 MiB (holding no one back, losing nothing); the device hangs up and comes back, the clients stay.
TEST(Gateway, StreamsBothWaysWhileClientsComeAndGoAndTheDeviceReturns) {
    std::string dir = fs::temp_directory_path() / ("keel_gateway_" + std::to_string(getpid()));
    ASSERT_TRUE(fs::create_directories(dir) && chdir(dir.c_str()) == 0);
    std::ofstream("select_config.json") << "{}\n";
    auto dev = std::make_unique<Device>(1);
    auto plug = [&] { fs::create_symlink(dev->path, "tty.new"), fs::rename("tty.new", "tty"); };
    plug();
    int fds = fd_count(), joined = 0;
    uint16_t port = free_port();
    fs::path examples = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "examples";
    Child gw({examples / "keel_serial_tcp_gateway", "tty", "115200", std::to_string(port)}, dir + "/log");
    auto says = [&](const std::string &text, int n = 1) {
        return wait_until([&] { return count_of(gw.output(), text) >= n; }, 20s);
    };
    auto join = [&](int rcvbuf) {  // a buffer's size is set before the connection sets its window
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        Addr to(AF_INET, port);
        EXPECT_TRUE(says("listening") && setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) == 0 &&
                    connect(fd, to.sa(), to.len) == 0 && says(" connected (", ++joined)) << gw.output();
        return fd;
    };
    const std::string down = pattern(1 << 20, 1), up = pattern(1 << 20, 2), more = pattern(6 << 20, 3);
    int a = join(1 << 20), slow = join(16384);
    std::string at_device;
    std::thread device([&] { at_device = read_exact(dev->master, up.size(), 20000); });
    std::thread sender([&] { EXPECT_EQ(write(a, up.data(), up.size()), static_cast<ssize_t>(up.size())); });
    for (size_t at = 0; at < down.size(); at += down.size() / 16) {  // a client joins, a piece goes, the client leaves
        int passing = join(1 << 20);
        ASSERT_TRUE(dev->write_all(down.substr(at, down.size() / 16)));
        close(passing);
    }
    sender.join(), device.join();
    EXPECT_TRUE(at_device == up) << "at the device: " << at_device.size() << " bytes, some changed or moved";
    EXPECT_TRUE(read_exact(a, down.size(), 20000) == down && dev->write_all(more));
    EXPECT_TRUE(read_exact(a, more.size(), 20000) == more && read_exact(slow, 7 << 20, 20000) == down + more);
    fs::remove("tty"), dev->hang_up();  // the link goes first, as a by-id link goes with its adapter
    ASSERT_TRUE(says(" gone") && write(a, "ask\n", 4) == 4) << gw.output();
    dev = std::make_unique<Device>(1), plug();
    EXPECT_TRUE(says(" back") && read_exact(dev->master, 4) == "ask\n" && dev->write_all("answer\n")) << gw.output();
    EXPECT_TRUE(read_exact(a, 7) == "answer\n" && says(" left (", 16) && count_of(gw.output(), " left (") == 16);
    close(a), close(slow), gw.stop();
    EXPECT_TRUE(gw.code() == 0 && count_of(gw.output(), "gateway: stopped") == 1) << gw.output();
    EXPECT_EQ(fd_count(), fds);
    fs::remove_all(dir);
}
