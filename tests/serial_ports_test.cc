// Finding serial ports: the listing and the watch over a sysfs and a /dev
// built under a temporary directory (KEEL_SYSFS_ROOT, KEEL_DEV_ROOT), with
// relative links as sysfs has them and plain files for device nodes. Every
// case counts its descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "keel/os_comm.h"
#include "keel/os_runtime.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace keel_test;
using namespace std::chrono_literals;

namespace {

struct Got {
    os_comm_port_info_t info;
    int present;
};
std::vector<Got> s_got;  // written by the callbacks on the main thread, read under the main lock

// arg, when set, holds the watch the callback ends.
void record(const os_comm_port_info_t *port, int present, void *arg) {
    s_got.push_back({*port, present});
    if (arg != nullptr) {
        EXPECT_EQ(os_comm_unwatch_ports(static_cast<std::atomic<os_comm_watch_t *> *>(arg)->load()), 1);
    }
}

void put(const fs::path &file, const std::string &text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

// A relative link, as sysfs's and udev's are.
void link(const fs::path &at, const fs::path &to) {
    fs::create_directories(at.parent_path());
    if (!fs::is_symlink(at)) fs::create_symlink(fs::relative(to, at.parent_path()), at);
}

// The tree of a machine with a USB adapter (ttyUSB0, with its udev links), a
// CDC ACM device, three UARTs found and one slot without a UART (ttyS1), and
// a virtual console.
class Ports : public ::testing::Test {
protected:
    void SetUp() override {
        char tmp[] = "/tmp/keel_ports_XXXXXX";
        ASSERT_NE(mkdtemp(tmp), nullptr);
        root_ = tmp, sys_ = root_ / "sys", dev_ = root_ / "dev";
        fs::create_directories(sys_ / "class/tty");
        fs::create_directories(dev_);
        setenv("KEEL_SYSFS_ROOT", sys_.c_str(), 1);
        setenv("KEEL_DEV_ROOT", dev_.c_str(), 1);
        tty("ttyUSB0", usb("1-1", "0403", "6001", "A1B2C3", "FTDI", "FT232R USB UART") / "ttyUSB0", "ftdi_sio");
        link(dev_ / "serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0", dev_ / "ttyUSB0");
        link(dev_ / "serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0", dev_ / "ttyUSB0");
        tty("ttyACM0", usb("1-2", "2341", "0043", "7573530", "Arduino (www.arduino.cc)", ""), "cdc_acm");
        // The UARTs' ttys hang below a port and a controller of the
        // serial-base bus, as from kernel 6.5 on.
        fs::path ctrl = sys_ / "devices/platform/serial8250/serial8250:0";
        link(ctrl.parent_path() / "driver", sys_ / "bus/drivers/serial8250");
        for (auto [name, type] : {std::pair{"ttyS0", "4"}, {"ttyS1", "0"}, {"ttyS2", "4"}, {"ttyS10", "4"}}) {
            fs::path port = ctrl / ("serial8250:0." + std::string(name + 4));
            tty(name, port, "port", type);
            for (const fs::path &at : {port, ctrl}) link(at / "subsystem", sys_ / "bus/serial-base");
        }
        tty("tty0", "");
        fds_ = fd_count();
    }
    void TearDown() override {
        fs::remove_all(root_);
        EXPECT_EQ(fd_count(), fds_) << "descriptors leaked";
    }
    void start() {
        ASSERT_EQ(os_startup(0, 0), 1);
        fds_ = fd_count();
    }

    // A USB device at a bus position, with its ids and strings ("": none);
    // the path of its first interface.
    fs::path usb(const std::string &at, const char *vid, const char *pid, const char *serial, const char *maker,
                 const char *product) {
        fs::path device = sys_ / "devices/pci0000:00/0000:00:14.0/usb1" / at;
        for (auto [file, text] : {std::pair{"idVendor", vid},
                                  {"idProduct", pid},
                                  {"serial", serial},
                                  {"manufacturer", maker},
                                  {"product", product}})
            if (*text != '\0') put(device / file, std::string(text) + "\n");
        return device / (at + ":1.0");
    }
    // The tty class entry `name` of device (none: a virtual one) bound to
    // driver, then its node.
    void tty(const std::string &name, const fs::path &device, const std::string &driver = "", const char *type = "") {
        fs::path entry = (device.empty() ? sys_ / "devices/virtual" : device) / "tty" / name;
        fs::create_directories(entry);
        if (!device.empty()) link(entry / "device", device), link(device / "driver", sys_ / "bus/drivers" / driver);
        if (*type != '\0') put(entry / "type", type);
        link(sys_ / "class/tty" / name, entry);
        put(dev_ / name, "");
    }

    // Every field, the temporary root taken out of the paths.
    std::string show(const os_comm_port_info_t &p) {
        char ids[16];
        snprintf(ids, sizeof ids, "%04x:%04x", p.vendor_id, p.product_id);
        std::string s = std::string(p.device) + " " + p.driver + " " + ids + " [" + p.serial + "|" + p.manufacturer +
                        "|" + p.product + "] " + p.by_id + " " + p.by_path;
        for (size_t at; (at = s.find(root_.string())) != std::string::npos;) s.erase(at, root_.string().size());
        return s;
    }
    std::vector<std::string> shown() {
        os_main_lock();
        std::vector<std::string> out;
        for (const Got &g : s_got) out.push_back((g.present ? "+ " : "- ") + show(g.info));
        os_main_unlock();
        return out;
    }

    fs::path root_, sys_, dev_;
    int fds_ = -1;
};

const std::string kUsb0 =
    "/dev/ttyUSB0 ftdi_sio 0403:6001 [A1B2C3|FTDI|FT232R USB UART] "
    "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0 "
    "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0";
const std::string kAcm0 = "/dev/ttyACM0 cdc_acm 2341:0043 [7573530|Arduino (www.arduino.cc)|]  ";
std::string uart(const char *name) { return std::string("/dev/") + name + " serial8250 0000:0000 [||]  "; }

}  // namespace

TEST_F(Ports, RefusalsWithTheirReports) {
    auto cap = std::make_unique<StderrCapture>();
    os_comm_port_info_t one[1];
    EXPECT_EQ(os_comm_list_ports(nullptr, 1) + os_comm_list_ports(one, -1), -2);
    EXPECT_EQ(os_comm_watch_ports(record, nullptr), nullptr) << "no runtime yet";
    EXPECT_EQ(os_comm_watch_ports(nullptr, nullptr), nullptr);
    EXPECT_EQ(os_comm_unwatch_ports(nullptr), 0);
    std::string at = root_.string() + "/none";
    setenv("KEEL_SYSFS_ROOT", at.c_str(), 1);
    setenv("KEEL_DEV_ROOT", at.c_str(), 1);
    EXPECT_EQ(os_comm_list_ports(one, 1), -1);
    std::string text = cap->text();
    start();
    cap = std::make_unique<StderrCapture>();
    EXPECT_EQ(os_comm_watch_ports(record, nullptr), nullptr);
    text += cap->text();
    std::vector<std::string> lines;
    static const std::regex report(R"(\[[-0-9: ]+\] \[(\w+)\]  file: (\S+) line: \d+ (.*))");
    std::smatch m;
    for (const std::string &line : lines_of(text))
        if (std::regex_match(line, m, report)) lines.push_back(m[1].str() + " " + m[2].str() + ": " + m[3].str());
    const std::string bad = "info port_list.cc: ports == NULL && max > 0 || max < 0",
                      none = "err: " + std::string(strerror(ENOENT)) + " ";
    EXPECT_EQ(lines, (std::vector<std::string>{bad, bad, "info port_watch.cc: os_is_startup() == 0",
                                               "info port_watch.cc: cb == NULL", "info port_watch.cc: watch == NULL",
                                               "error port_list.cc: " + none + "opendir(" + at + "/class/tty) fail",
                                               "error port_watch.cc: " + none + "inotify_add_watch(" + at + ") fail"}));
}

TEST_F(Ports, ListsTheDevicesInNameOrderWithEveryField) {
    os_comm_port_info_t got[8];
    ASSERT_EQ(os_comm_list_ports(got, 8), 5) << "neither ttyS1 (no UART) nor tty0 (no device)";
    std::vector<std::string> all;
    for (int i = 0; i < 5; ++i) all.push_back(show(got[i]));
    EXPECT_EQ(all, (std::vector<std::string>{kAcm0, uart("ttyS0"), uart("ttyS2"), uart("ttyS10"), kUsb0}));
    memset(got, 0x5a, sizeof got);
    EXPECT_EQ(os_comm_list_ports(got, 2), 5) << "the count of all, with room for two";
    EXPECT_EQ(show(got[1]), uart("ttyS0"));
    EXPECT_EQ(got[2].device[0], 0x5a) << "nothing written past max";
    EXPECT_EQ(os_comm_list_ports(nullptr, 0), 5);
}

TEST_F(Ports, WatchReportsComingsAndGoingsWithWhatWasKnown) {
    start();
    fs::remove_all(dev_ / "serial");  // udev has named no serial device yet
    // ttyACM0 is being taken apart, node first: gone, not listed (it stayed
    // present for good, its departure having come before the watch).
    fs::remove(dev_ / "ttyACM0");
    os_comm_port_info_t before[8];
    ASSERT_EQ(os_comm_list_ports(before, 8), 4);
    os_comm_watch_t *watch = os_comm_watch_ports(record, nullptr);
    ASSERT_NE(watch, nullptr);
    fs::remove(sys_ / "class/tty/ttyACM0");
    put(dev_ / "sda1", ""), put(dev_ / "tty5", "");       // neither is serial
    fs::remove(dev_ / "ttyS1"), put(dev_ / "ttyS1", "");  // a slot without a UART
    // udev makes the links (and serial/ itself) a moment after the node; the
    // appearance waits for them.
    tty("ttyUSB1", usb("1-3", "10c4", "ea60", "0001", "Silicon Labs", "CP2102") / "ttyUSB1", "cp210x");
    std::this_thread::sleep_for(50ms);
    link(dev_ / "serial/by-id/usb-Silicon_Labs_CP2102_0001-if00-port0", dev_ / "ttyUSB1");
    link(dev_ / "serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0", dev_ / "ttyUSB1");
    ASSERT_TRUE(wait_until_locked([] { return s_got.size() == 1; }));
    fs::remove(dev_ / "ttyUSB1"), fs::remove_all(dev_ / "serial"), fs::remove(sys_ / "class/tty/ttyUSB1");
    fs::remove(dev_ / "ttyUSB0");                                                          // present at the start
    tty("ttyACM1", usb("1-4", "2341", "8036", "", "Arduino LLC", "Leonardo"), "cdc_acm");  // never gets links
    tty("ttyACM0", usb("1-2", "2341", "0043", "7573530", "Arduino (www.arduino.cc)", ""), "cdc_acm");  // back
    ASSERT_TRUE(wait_until_locked([] { return s_got.size() == 5; }));
    std::this_thread::sleep_for(100ms);
    std::string usb1 =
        "/dev/ttyUSB1 cp210x 10c4:ea60 [0001|Silicon Labs|CP2102] "
        "/dev/serial/by-id/usb-Silicon_Labs_CP2102_0001-if00-port0 "
        "/dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0";
    EXPECT_EQ(shown(), (std::vector<std::string>{"+ " + usb1, "- " + usb1, "- " + show(before[3]),
                                                 "+ /dev/ttyACM1 cdc_acm 2341:8036 [|Arduino LLC|Leonardo]  ",
                                                 "+ " + kAcm0}));
    EXPECT_EQ(os_comm_unwatch_ports(watch), 1);
}

TEST_F(Ports, HundredRapidPairsNoneLostNoneDoubled) {
    start();
    os_comm_watch_t *watch = os_comm_watch_ports(record, nullptr);
    ASSERT_NE(watch, nullptr);
    fs::path port = usb("1-5", "0403", "6015", "DN0", "FTDI", "FT231X");
    for (int i = 0; i < 100; ++i) {
        std::string name = "ttyUSB" + std::to_string(20 + i % 4);
        tty(name, port / name, "ftdi_sio");
        fs::remove(dev_ / name), fs::remove_all(port / name), fs::remove(sys_ / "class/tty" / name);
    }
    ASSERT_TRUE(wait_until_locked([] { return s_got.size() >= 200; }, 10s)) << shown().size();
    std::this_thread::sleep_for(100ms);
    os_main_lock();
    EXPECT_EQ(s_got.size(), 200u);
    std::map<std::string, const Got *> last;  // per name, its events alternate and a removal carries its appearance
    for (const Got &g : s_got) {
        const Got *&before = last[g.info.device];
        EXPECT_EQ(g.present, before == nullptr || !before->present) << g.info.device;
        EXPECT_TRUE(g.present || before == nullptr || memcmp(&g.info, &before->info, sizeof g.info) == 0);
        before = &g;
    }
    os_main_unlock();
    EXPECT_EQ(last.size(), 4u);
    EXPECT_EQ(os_comm_unwatch_ports(watch), 1);
}

// Events lost to a full inotify queue: the ports are listed again and the
// difference is told, so that no device stays present without its node.
TEST_F(Ports, OverflowedEventQueueIsMadeGoodByListingAgain) {
    start();
    os_comm_watch_t *watch = os_comm_watch_ports(record, nullptr);
    ASSERT_NE(watch, nullptr);
    // The watcher is held in its look at a new device, whose type it reads
    // from a FIFO, while more events come than its queue holds.
    fs::path type = sys_ / "devices/platform/uart1/tty/ttyAMA1/type";
    fs::create_directories(type.parent_path());
    ASSERT_EQ(mkfifo(type.c_str(), 0600), 0);
    tty("ttyAMA1", sys_ / "devices/platform/uart1", "uart-pl011");
    int max = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> max;
    for (int i = 0; i < max / 2 + 1024; ++i) put(dev_ / "noise", ""), fs::remove(dev_ / "noise");
    fs::remove(dev_ / "ttyACM0"), fs::remove(sys_ / "class/tty/ttyACM0");  // both lost
    tty("ttyAMA0", sys_ / "devices/platform/uart0", "uart-pl011");
    // The type is read once; every later look finds a file (or, blocked in
    // the FIFO meanwhile, its end).
    int fifo = open(type.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(write(fifo, "4\n", 2), 2);
    EXPECT_TRUE(wait_until([&] { int n = -1; return ioctl(fifo, FIONREAD, &n) == 0 && n == 0; }));
    put(root_ / "type", "4\n"), fs::rename(root_ / "type", type), close(fifo);
    EXPECT_TRUE(wait_until_locked([] { return s_got.size() >= 3; }, 20s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(shown(), (std::vector<std::string>{"+ /dev/ttyAMA1 uart-pl011 0000:0000 [||]  ", "- " + kAcm0,
                                                 "+ /dev/ttyAMA0 uart-pl011 0000:0000 [||]  "}));
    EXPECT_EQ(os_comm_unwatch_ports(watch), 1);
}

TEST_F(Ports, WatchEndedFromItsOwnCallbackCallsNoMore) {
    start();
    static std::atomic<os_comm_watch_t *> self{nullptr};
    self = os_comm_watch_ports(record, &self);
    ASSERT_NE(self.load(), nullptr);
    put(dev_ / "ttyACM7", ""), put(dev_ / "ttyACM8", "");  // serial by their form alone
    ASSERT_TRUE(wait_until_locked([] { return s_got.size() == 1; }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(shown().size(), 1u);
}

TEST_F(Ports, UnwatchWhileEventsAreQueued) {
    start();
    os_comm_watch_t *watch = os_comm_watch_ports(record, nullptr);
    ASSERT_NE(watch, nullptr);
    os_main_lock();  // the main thread runs nothing meanwhile
    for (const char *name : {"ttyACM3", "ttyACM4", "ttyS7"}) put(dev_ / name, "");
    std::this_thread::sleep_for(200ms);  // time for the watcher to post all three
    EXPECT_EQ(os_comm_unwatch_ports(watch), 1);
    os_main_unlock();
    EXPECT_TRUE(on_main_thread([] {})) << "the queued events have run";
    EXPECT_EQ(shown().size(), 0u);
}
