// The serial devices present: the entries of the kernel's tty class in sysfs
// that have a device behind them, and what each one is (its node, its driver,
// its USB identity and its stable names under serial/by-id and by-path).
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <tuple>

#include "log/report.h"
#include "serial/unix/ports_internal.h"

namespace {

std::string root_of(const char *variable, const char *fallback) {
    const char *set = getenv(variable);
    return set != nullptr && set[0] != '\0' ? set : fallback;
}

std::string class_entry(const std::string &sysfs, const char *name) { return sysfs + "/class/tty/" + name; }

// A sysfs attribute is read whole by one read; the USB strings, the longest,
// are at most 126 characters of up to three bytes each.
std::string read_text(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf);
    close(fd);
    std::string text(buf, n > 0 ? static_cast<size_t>(n) : 0);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

std::string resolved(const std::string &path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

// Text that does not fit is cut before a whole UTF-8 character. A path that
// does not fit is left out instead, as a cut one would name another file.
void put_text(char *field, size_t size, const std::string &text) {
    size_t n = std::min(text.size(), size - 1);
    if (n < text.size())
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    memcpy(field, text.data(), n);
    field[n] = '\0';
}
void put_path(char *field, size_t size, const std::string &path) {
    field[0] = '\0';
    if (path.size() < size) memcpy(field, path.c_str(), path.size() + 1);
}

uint16_t hex_id(const std::string &text) {
    char *end = nullptr;
    unsigned long id = strtoul(text.c_str(), &end, 16);
    return !text.empty() && *end == '\0' && id <= 0xFFFF ? static_cast<uint16_t>(id) : 0;
}

// The list is in the order of the names' stems, then of their trailing
// numbers by value, so that ttyS2 comes before ttyS10 (strcmp would put it
// after). The whole name breaks ties (ttyS01 and ttyS1).
bool name_before(const std::string &a, const std::string &b) {
    auto key = [](std::string_view s) {
        size_t digits = s.find_last_not_of("0123456789") + 1;  // npos + 1 is 0: all digits
        size_t value = std::min(s.find_first_not_of('0', digits), s.size());
        return std::tuple(s.substr(0, digits), s.size() - value, s.substr(value), s);
    };
    return key(a) < key(b);
}

// sysfs writes a node in a subdirectory of /dev with '!' for its '/'.
std::string node_of(const std::string &dev, const char *name) {
    std::string node = dev + "/" + name;
    std::replace(node.begin() + static_cast<std::ptrdiff_t>(dev.size()), node.end(), '!', '/');
    return node;
}

// The last part of what the link at path names; empty when it is no link.
std::string link_base(const std::string &path) {
    char target[PATH_MAX];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) return {};
    target[n] = '\0';
    const char *base = strrchr(target, '/');
    return base != nullptr ? base + 1 : target;
}

// The link in dir that resolves to the node target. Of several, the first by
// name, so that the answer does not depend on the directory's order.
std::string link_to(const std::string &dir, const std::string &target) {
    std::string found;
    DIR *d = target.empty() ? nullptr : opendir(dir.c_str());
    if (d == nullptr) return found;
    while (dirent *e = readdir(d)) {
        std::string path = dir + "/" + e->d_name;
        if (e->d_name[0] != '.' && (found.empty() || path < found) && resolved(path) == target) found = path;
    }
    closedir(d);
    return found;
}

}  // namespace

std::string ports_sysfs_root() { return root_of("KEEL_SYSFS_ROOT", "/sys"); }
std::string ports_dev_root() { return root_of("KEEL_DEV_ROOT", "/dev"); }

// Virtual consoles and pseudo-terminals have no device link. The legacy 8250
// driver registers a ttyS entry for every slot it was built with, found UART
// or not; serial core publishes the UART type, and 0 (PORT_UNKNOWN) says
// there is none behind the entry, whichever serial-core driver made it.
bool ports_is_serial(const std::string &sysfs, const char *name) {
    std::string entry = class_entry(sysfs, name);
    struct stat st;
    if (stat((entry + "/device").c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    return !ports_uart_absent(sysfs, name);
}

bool ports_uart_absent(const std::string &sysfs, const char *name) {
    return read_text(class_entry(sysfs, name) + "/type") == "0";
}

// The kernel takes a device apart node first: a class entry whose node is
// gone belongs to a device that is going, and whose departure a watch started
// just before may never see. Counted, it would stay present for good.
bool ports_present(const std::string &sysfs, const std::string &dev, std::vector<std::string> *names) {
    DIR *d = opendir((sysfs + "/class/tty").c_str());
    if (d == nullptr) return false;
    struct stat st;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.' && ports_is_serial(sysfs, e->d_name) &&
            lstat(node_of(dev, e->d_name).c_str(), &st) == 0)
            names->push_back(e->d_name);
    closedir(d);
    std::sort(names->begin(), names->end(), name_before);
    return true;
}

void ports_find_links(const std::string &dev, os_comm_port_info_t *info) {
    std::string node = resolved(info->device);
    put_path(info->by_id, sizeof info->by_id, link_to(dev + "/serial/by-id", node));
    put_path(info->by_path, sizeof info->by_path, link_to(dev + "/serial/by-path", node));
}

// The links are resolved with realpath, so a tree whose links are relative
// (as sysfs's own are) is followed inside a moved root as inside /sys.
void ports_describe(const std::string &sysfs, const std::string &dev, const char *name, os_comm_port_info_t *info) {
    *info = os_comm_port_info_t{};
    put_path(info->device, sizeof info->device, node_of(dev, name));

    // From kernel 6.5 on, a serial-core tty hangs below a port and a
    // controller of the serial-base bus (drivers "port" and "ctrl"): the
    // hardware and its driver are above them.
    std::string top = resolved(sysfs), at = resolved(class_entry(sysfs, name) + "/device");
    while (!at.empty() && link_base(at + "/subsystem") == "serial-base") at.erase(at.rfind('/'));
    put_text(info->driver, sizeof info->driver, link_base(at + "/driver"));

    // The USB device is the nearest ancestor with an idVendor and an
    // idProduct: the interface between them (and, for a USB adapter, its
    // port) has neither. The walk stays inside the sysfs root.
    while (!top.empty() && at.size() > top.size() && at.compare(0, top.size(), top) == 0) {
        std::string vendor = read_text(at + "/idVendor"), product = read_text(at + "/idProduct");
        if (!vendor.empty() && !product.empty()) {
            info->vendor_id = hex_id(vendor);
            info->product_id = hex_id(product);
            put_text(info->serial, sizeof info->serial, read_text(at + "/serial"));
            put_text(info->manufacturer, sizeof info->manufacturer, read_text(at + "/manufacturer"));
            put_text(info->product, sizeof info->product, read_text(at + "/product"));
            break;
        }
        at.erase(at.rfind('/'));
    }
    ports_find_links(dev, info);
}

extern "C" KEEL_API int os_comm_list_ports(os_comm_port_info_t *ports, int max) {
    if ((ports == nullptr && max > 0) || max < 0) {
        KEEL_INFO("ports == NULL && max > 0 || max < 0");
        return -1;
    }
    int count = -1;
    keel::grow_or_exit("port list", [&] {
        std::string sysfs = ports_sysfs_root(), dev = ports_dev_root();
        std::vector<std::string> names;
        if (!ports_present(sysfs, dev, &names)) {
            KEEL_ERROR("opendir(%s/class/tty) fail", sysfs.c_str());
            return;
        }
        for (size_t i = 0; i < names.size() && i < static_cast<size_t>(max); ++i)
            ports_describe(sysfs, dev, names[i].c_str(), &ports[i]);
        count = static_cast<int>(names.size());
    });
    return count;
}
