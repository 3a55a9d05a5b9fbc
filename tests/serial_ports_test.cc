// Finding serial ports: the listing and the watch over a sysfs and a /dev built under a temporary directory
// (KEEL_SYSFS_ROOT, KEEL_DEV_ROOT), with relative links as sysfs has them and plain files for device nodes; on Windows
// over the system's own list, written as a port's driver writes it.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <malloc.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#endif

#include <filesystem>
#include <fstream>

#include "keel/os_runtime.h"
#include "serial_support.h"
#ifndef _WIN32
#include "test_support.h"
#endif

namespace fs = std::filesystem;
using namespace keel_test;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

static std::vector<std::pair<os_comm_port_info_t, int>> s_got;  // written on the main thread, read under the main lock
static void record(const os_comm_port_info_t *port, int present, void *) { s_got.emplace_back(*port, present); }

#ifdef _WIN32
// Ports in the order of their names (COM2 before COM10), each with its driver's kind, and the watch's comings and
// goings; first the refusals, with their reports. The ports are values of the system's list, as drivers add them.
TEST(Ports, ListsAndWatchesTheSystemsPorts) {
    StderrCapture cap;
    os_comm_port_info_t got[16];
    EXPECT_TRUE(os_comm_list_ports(nullptr, 1) + os_comm_list_ports(got, -1) == -2 &&
                !os_comm_watch_ports(record, nullptr) && !os_comm_watch_ports(nullptr, 0) && !os_comm_unwatch_ports(0));
    const std::string bad = "ports == NULL && max > 0 || max < 0";
    EXPECT_EQ(reports(cap.text()), (Lines{bad, bad, "os_is_startup() == 0", "cb == NULL", "watch == NULL"}));
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
    auto set = [key](const char *object, const char *name) {
        RegSetValueExA(key, object, 0, REG_SZ, reinterpret_cast<const BYTE *>(name), static_cast<DWORD>(strlen(name) + 1));
    };
    auto ours = [](const os_comm_port_info_t *ports, int n) {  // those of this case, not the machine's own
        Lines all;
        for (int i = 0; i < n; ++i)
            if (std::string name = ports[i].device; name == "COM2" || name == "COM9" || name == "COM10")
                all.push_back(name + " " + ports[i].driver);
        return all;
    };
    set("\\Device\\VCP10", "COM10"), set("\\Device\\Serial2", "COM2");
    EXPECT_EQ(ours(got, std::min(os_comm_list_ports(got, 16), 16)), (Lines{"COM2 Serial", "COM10 VCP"}));
    ASSERT_EQ(os_startup(0, 0), 1);
    os_comm_watch_t *watch = os_comm_watch_ports(record, nullptr);
    auto shown = [&](size_t count) {
        EXPECT_TRUE(wait_until_locked([&] { return s_got.size() >= count; }, 10s));
        Lines all;
        os_main_lock();
        for (const auto &[info, present] : s_got) all.push_back((present ? "+ " : "- ") + ours(&info, 1).at(0));
        os_main_unlock();
        return all;
    };
    RegDeleteValueA(key, "\\Device\\Serial2");
    EXPECT_EQ(shown(1), Lines{"- COM2 Serial"});
    set("\\Device\\USBSER000", "COM9");
    EXPECT_EQ(shown(2), (Lines{"- COM2 Serial", "+ COM9 USBSER"}));
    EXPECT_EQ(os_comm_unwatch_ports(watch), 1);
    RegDeleteValueA(key, "\\Device\\VCP10"), RegDeleteValueA(key, "\\Device\\USBSER000"), RegCloseKey(key);
}
#else

static void put(const fs::path &file, const std::string &text = "") {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

// A relative link, as sysfs's and udev's are.
static void link(const fs::path &at, const fs::path &to) {
    fs::create_directories(at.parent_path());
    if (!fs::is_symlink(at)) fs::create_symlink(fs::relative(to, at.parent_path()), at);
}

// A machine with a USB adapter (ttyUSB0, with its udev links), a CDC ACM device, three UARTs and a slot without one
// (ttyS1) below the serial-base bus (as from kernel 6.5 on), and a virtual console.
class Ports : public ::testing::Test {
protected:
    void SetUp() override {
        char tmp[] = "/tmp/keel_ports_XXXXXX";
        ASSERT_NE(mkdtemp(tmp), nullptr);
        root_ = tmp, sys_ = root_ / "sys", dev_ = root_ / "dev";
        setenv("KEEL_SYSFS_ROOT", sys_.c_str(), 1), setenv("KEEL_DEV_ROOT", dev_.c_str(), 1);
        tty("ttyUSB0", usb("1-1", "0403:6001", "A1B2C3", "FTDI", "FT232R USB UART") / "ttyUSB0", "ftdi_sio");
        link(dev_ / "serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0", dev_ / "ttyUSB0");
        link(dev_ / "serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0", dev_ / "ttyUSB0");
        tty("ttyACM0", usb("1-2", "2341:0043", "7573530", "Arduino (www.arduino.cc)", ""), "cdc_acm");
        fs::path ctrl = sys_ / "devices/platform/serial8250/serial8250:0";
        link(ctrl.parent_path() / "driver", sys_ / "bus/drivers/serial8250");
        for (auto [name, type] : {std::pair{"ttyS0", "4"}, {"ttyS1", "0"}, {"ttyS2", "4"}, {"ttyS10", "4"}}) {
            fs::path port = ctrl / ("serial8250:0." + std::string(name + 4));
            tty(name, port, "port", type);
            link(port / "subsystem", sys_ / "bus/serial-base"), link(ctrl / "subsystem", sys_ / "bus/serial-base");
        }
        tty("tty0", "");
        fds_ = fd_count();
    }
    void TearDown() override { EXPECT_TRUE(fs::remove_all(root_) > 0 && fd_count() == fds_) << "descriptors leaked"; }
    // A USB device at a bus position, with its ids and strings ("": none); the path of its first interface.
    fs::path usb(const std::string &at, std::string ids, std::string serial, std::string maker, std::string product) {
        fs::path device = sys_ / "devices/pci0000:00/0000:00:14.0/usb1" / at;
        for (auto [file, text] : {std::pair{"idVendor", ids.substr(0, 4)}, {"idProduct", ids.substr(5)},
                                  {"serial", serial}, {"manufacturer", maker}, {"product", product}})
            if (!text.empty()) put(device / file, text + "\n");
        return device / (at + ":1.0");
    }
    // The tty class entry `name` of device (none: a virtual one) bound to driver, then its node.
    void tty(const std::string &name, const fs::path &device, const std::string &driver = "", const char *type = "") {
        fs::path entry = (device.empty() ? sys_ / "devices/virtual" : device) / "tty" / name;
        fs::create_directories(entry);
        if (!device.empty()) link(entry / "device", device), link(device / "driver", sys_ / "bus/drivers" / driver);
        if (*type != '\0') put(entry / "type", type);
        link(sys_ / "class/tty" / name, entry);
        put(dev_ / name);
    }
    // Every field, the temporary root taken out of the paths.
    std::string show(const os_comm_port_info_t &p) {
        char ids[16];
        snprintf(ids, sizeof ids, "%04x:%04x", p.vendor_id, p.product_id);
        std::string all = std::string(p.device) + " " + p.driver + " " + ids + " [" + p.serial + "|" + p.manufacturer +
                          "|" + p.product + "] " + p.by_id + " " + p.by_path;
        return std::regex_replace(all, std::regex(root_.string()), "");
    }
    // The events once `count` came (and any one too many after them).
    Lines shown(size_t count) {
        EXPECT_TRUE(wait_until_locked([&] { return s_got.size() >= count; }, 20s));
        std::this_thread::sleep_for(100ms);
        Lines out;
        os_main_lock();
        for (const auto &[info, present] : s_got) out.push_back((present ? "+ " : "- ") + show(info));
        os_main_unlock();
        return out;
    }
    fs::path root_, sys_, dev_;
    int fds_ = -1;
};

static const std::string kAcm0 = "/dev/ttyACM0 cdc_acm 2341:0043 [7573530|Arduino (www.arduino.cc)|]  ";

// In the order of the names (ttyS2 before ttyS10), every field; texts too long are cut before a whole character. And
// the refusals, with their reports.
TEST_F(Ports, ListsTheDevicesInNameOrderWithEveryField) {
    std::string euros = std::regex_replace(std::string(50, 'e'), std::regex("e"), "\u20ac");
    fs::path iface = usb("1-9", "1234:abcd", std::string(200, 's'), "", euros);
    put(iface / "idVendor", "ffff\n"), tty("ttyACM9", iface, "cdc_acm");  // half the ids make no USB device: walk on
    os_comm_port_info_t got[8];
    ASSERT_EQ(os_comm_list_ports(got, 8), 6) << "neither ttyS1 (no UART) nor tty0 (no device)";
    Lines all;
    for (int i = 0; i < 6; ++i) all.push_back(show(got[i]));
    std::string acm9 = "/dev/ttyACM9 cdc_acm 1234:abcd [" + std::string(127, 's') + "||" + euros.substr(0, 126) + "]  ",
                uart = " serial8250 0000:0000 [||]  ";
    EXPECT_EQ(all, (Lines{kAcm0, acm9, "/dev/ttyS0" + uart, "/dev/ttyS2" + uart, "/dev/ttyS10" + uart,
                          "/dev/ttyUSB0 ftdi_sio 0403:6001 [A1B2C3|FTDI|FT232R USB UART] /dev/serial/by-id/usb-FTDI_"
                          "FT232R_USB_UART_A1B2C3-if00-port0 /dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0"}));
    memset(got, 0x5a, sizeof got);
    EXPECT_EQ(os_comm_list_ports(got, 2) + os_comm_list_ports(nullptr, 0), 12) << "the count of all, room for two";
    EXPECT_TRUE(show(got[1]) == acm9 && got[2].device[0] == 0x5a) << "nothing written past max";
    StderrCapture cap;
    EXPECT_EQ(os_comm_list_ports(nullptr, 1) + os_comm_list_ports(got, -1), -2);
    EXPECT_TRUE(!os_comm_watch_ports(record, nullptr) && !os_comm_watch_ports(nullptr, 0) && !os_comm_unwatch_ports(0));
    setenv("KEEL_SYSFS_ROOT", "/nonexistent", 1);
    EXPECT_EQ(os_comm_list_ports(got, 1), -1);
    const std::string bad = "ports == NULL && max > 0 || max < 0";
    EXPECT_EQ(reports(cap.text()), (Lines{bad, bad, "os_is_startup() == 0", "cb == NULL", "watch == NULL", "err: " +
                                          std::string(strerror(ENOENT)) + " opendir(/nonexistent/class/tty) fail"}));
}

// The watch's ghost device: one taken apart (node first) as the watch started stayed present for good. An appearance
// waits for the links udev makes a moment after the node; a departure carries what was known at the appearance.
TEST_F(Ports, WatchReportsComingsAndGoingsWithWhatWasKnown) {
    ASSERT_EQ(os_startup(0, 0), 1);
    fds_ = fd_count();
    fs::remove_all(dev_ / "serial");  // udev has named nothing yet
    size_t used = mallinfo2().uordblks;  // each watch holds what it knows of five ports, all freed by unwatch
    for (int i = 0; i < 20; ++i)  // no serial/ to watch yet
        ASSERT_EQ(os_comm_unwatch_ports(os_comm_watch_ports(record, nullptr)), 1);
    EXPECT_LT(mallinfo2().uordblks - used, 20000u) << "watches kept after unwatch";
    put(dev_ / "serial/by-path"), fs::remove(dev_ / "ttyACM0");  // a by-path that is no directory; ttyACM0 node first
    os_comm_port_info_t before[8];
    ASSERT_EQ(os_comm_list_ports(before, 8), 4);
    errno = EBADF;  // left over from an earlier call: the watch goes by what its own calls return
    os_comm_watch_t *watch = os_comm_watch_ports(record, nullptr);
    ASSERT_NE(watch, nullptr);
    fs::remove(sys_ / "class/tty/ttyACM0");
    put(dev_ / "sda1"), put(dev_ / "tty5");           // neither is serial
    fs::remove(dev_ / "ttyS1"), put(dev_ / "ttyS1");  // a slot without a UART
    tty("ttyUSB1", usb("1-3", "10c4:ea60", "0001", "Silicon Labs", "CP2102") / "ttyUSB1", "cp210x");
    fs::remove(dev_ / "serial/by-path"), fs::create_directory(dev_ / "serial/by-id");  // udev: the directories first
    fs::create_directory(dev_ / "serial/by-path"), std::this_thread::sleep_for(50ms);  // and the links a moment later
    link(dev_ / "serial/by-id/usb-Silicon_Labs_CP2102_0001-if00-port0", dev_ / "ttyUSB1");
    link(dev_ / "serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0", dev_ / "ttyUSB1");
    ASSERT_TRUE(wait_until_locked([] { return s_got.size() == 1; }, 800ms)) << "not woken by its links: at 1 s";
    fs::remove(dev_ / "ttyUSB1"), fs::remove_all(dev_ / "serial"), fs::remove(sys_ / "class/tty/ttyUSB1");
    fs::remove(dev_ / "ttyUSB0");                                                     // present at the start
    tty("ttyACM1", usb("1-4", "2341:8036", "", "Arduino LLC", "Leonardo"), "cdc_acm");  // never gets links
    tty("ttyACM0", usb("1-2", "2341:0043", "7573530", "Arduino (www.arduino.cc)", ""), "cdc_acm");  // back
    std::string usb1 = "/dev/ttyUSB1 cp210x 10c4:ea60 [0001|Silicon Labs|CP2102] /dev/serial/by-id/usb-Silicon_Labs_"
                       "CP2102_0001-if00-port0 /dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0";
    put(dev_ / "ttyACM7");  // serial by its name alone
    EXPECT_EQ(shown(6), (Lines{"+ " + usb1, "- " + usb1, "- " + show(before[3]),
                               "+ /dev/ttyACM1 cdc_acm 2341:8036 [|Arduino LLC|Leonardo]  ", "+ " + kAcm0,
                               "+ /dev/ttyACM7  0000:0000 [||]  "}));
    EXPECT_EQ(os_comm_unwatch_ports(watch), 1);
}

// Events lost to a full inotify queue: the ports are listed again and the difference told, so that no device stays
// present without its node. The watcher is held reading a new device's type from a FIFO while more events come than
// its queue holds.
TEST_F(Ports, OverflowedEventQueueIsMadeGoodByListingAgain) {
    ASSERT_EQ(os_startup(0, 0), 1);
    fds_ = fd_count();
    s_got.clear();
    os_comm_watch_t *watch = os_comm_watch_ports(record, nullptr);
    ASSERT_NE(watch, nullptr);
    fs::path type = sys_ / "devices/platform/uart1/tty/ttyAMA1/type";
    fs::create_directories(type.parent_path());
    ASSERT_EQ(mkfifo(type.c_str(), 0600), 0);
    tty("ttyAMA1", sys_ / "devices/platform/uart1", "uart-pl011");
    int max = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> max;
    for (int i = 0; i < max / 2 + 1024; ++i) put(dev_ / "noise"), fs::remove(dev_ / "noise");
    fs::remove(dev_ / "ttyACM0"), fs::remove(sys_ / "class/tty/ttyACM0");  // both lost
    tty("ttyAMA0", sys_ / "devices/platform/uart0", "uart-pl011");
    int fifo = open(type.c_str(), O_RDWR | O_CLOEXEC);  // the type is read once; later looks find a file
    ASSERT_EQ(write(fifo, "4\n", 2), 2);
    EXPECT_TRUE(wait_until([&] { int n = -1; return ioctl(fifo, FIONREAD, &n) == 0 && n == 0; }));
    put(root_ / "type", "4\n"), fs::rename(root_ / "type", type), close(fifo);
    const std::string amba = " uart-pl011 0000:0000 [||]  ";
    EXPECT_EQ(shown(3), (Lines{"+ /dev/ttyAMA1" + amba, "- " + kAcm0, "+ /dev/ttyAMA0" + amba}));
    EXPECT_EQ(os_comm_unwatch_ports(watch), 1);
}
#endif
