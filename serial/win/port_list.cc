// The serial ports present, as the system lists them under
// HARDWARE\DEVICEMAP\SERIALCOMM (every port whose driver is loaded, COM1 to
// COM256), with the USB identity that the Ports device class gives for a port
// of a USB device. The watch waits for that key to change and then lists
// again and tells the differences: a port's coming and going changes that
// list, whatever bus it is on and whether or not its driver announces a
// device interface (many virtual ports' drivers announce none, and a device's
// arrival is announced before its driver has added the port to the list), and
// needs no window of its own.
// winsock2.h before windows.h, which the library's other headers may bring in again.
#include <winsock2.h>
// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "keel/os_comm.h"
#include "keel/os_runtime.h"
#include "keel/os_sync.h"
#include "log/report.h"
#include "serial/port_watch.h"

namespace {

constexpr char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

void put_text(char *field, size_t size, const std::string &text) {
    size_t n = std::min(text.size(), size - 1);
    memcpy(field, text.data(), n);
    field[n] = '\0';
}

// COM2 before COM10: by the name's length, then by the name.
bool name_before(const os_comm_port_info_t &a, const os_comm_port_info_t &b) {
    size_t la = strlen(a.device), lb = strlen(b.device);
    return la != lb ? la < lb : strcmp(a.device, b.device) < 0;
}

// The driver's device object, \Device\Serial0 or \Device\VCP0, names its
// driver's kind: the last part without its number.
std::string driver_of(const char *object) {
    const char *base = strrchr(object, '\\');
    std::string name = base != nullptr ? base + 1 : object;
    while (!name.empty() && name.back() >= '0' && name.back() <= '9') name.pop_back();
    return name;
}

std::string device_property(HDEVINFO set, SP_DEVINFO_DATA *device, DWORD property) {
    char text[256] = "";
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, property, nullptr, reinterpret_cast<BYTE *>(text),
                                           sizeof text - 1, nullptr))
        return {};
    return text;
}

// A USB device's instance id is USB\VID_vvvv&PID_pppp\<serial number>; a
// serial number the device does not give is made up by the system and holds
// an '&'.
void usb_identity(HDEVINFO set, SP_DEVINFO_DATA *device, os_comm_port_info_t *info) {
    char id[256] = "";
    if (!SetupDiGetDeviceInstanceIdA(set, device, id, sizeof id, nullptr)) return;
    unsigned vendor = 0, product = 0;
    const char *at = strstr(id, "VID_");
    if (at == nullptr || sscanf(at, "VID_%4x&PID_%4x", &vendor, &product) != 2) return;
    info->vendor_id = static_cast<uint16_t>(vendor);
    info->product_id = static_cast<uint16_t>(product);
    const char *serial = strrchr(id, '\\');
    if (serial != nullptr && strchr(serial, '&') == nullptr) put_text(info->serial, sizeof info->serial, serial + 1);
    put_text(info->manufacturer, sizeof info->manufacturer, device_property(set, device, SPDRP_MFG));
    put_text(info->product, sizeof info->product, device_property(set, device, SPDRP_DEVICEDESC));
}

// The Ports class's devices, by the port name each one's key holds.
void add_usb_identities(std::vector<os_comm_port_info_t> *ports) {
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char name[64] = "";
        DWORD size = sizeof name - 1, type = 0;
        bool named =
            RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE *>(name), &size) == ERROR_SUCCESS &&
            type == REG_SZ;
        RegCloseKey(key);
        for (os_comm_port_info_t &port : *ports)
            if (named && _stricmp(port.device, name) == 0) usb_identity(set, &device, &port);
    }
    SetupDiDestroyDeviceInfoList(set);
}

// False, after the report, when the list cannot be read. A machine without
// any serial port has no such key at all.
bool ports_present(std::vector<os_comm_port_info_t> *ports) {
    HKEY key;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_READ, &key);
    if (rc == ERROR_FILE_NOT_FOUND) return true;
    if (rc != ERROR_SUCCESS) {
        KEEL_ERROR("RegOpenKeyEx(HARDWARE\\DEVICEMAP\\SERIALCOMM) fail");
        return false;
    }
    for (DWORD i = 0;; ++i) {
        char object[256], name[64];
        DWORD object_size = sizeof object, size = sizeof name - 1, type = 0;
        rc = RegEnumValueA(key, i, object, &object_size, nullptr, &type, reinterpret_cast<BYTE *>(name), &size);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
        name[size] = '\0';
        os_comm_port_info_t info{};
        put_text(info.device, sizeof info.device, name);
        put_text(info.driver, sizeof info.driver, driver_of(object));
        ports->push_back(info);
    }
    RegCloseKey(key);
    add_usb_identities(ports);
    std::sort(ports->begin(), ports->end(), name_before);
    return true;
}

}  // namespace

extern "C" KEEL_API int os_comm_list_ports(os_comm_port_info_t *ports, int max) {
    if ((ports == nullptr && max > 0) || max < 0) {
        KEEL_INFO("ports == NULL && max > 0 || max < 0");
        return -1;
    }
    std::vector<os_comm_port_info_t> present;
    if (!ports_present(&present)) return -1;
    for (size_t i = 0; i < present.size() && i < static_cast<size_t>(max); ++i) ports[i] = present[i];
    return static_cast<int>(present.size());
}

// A watch's lifetime is every platform's (serial/port_watch.h); the stop
// event is its own.
struct os_comm_watch : PortWatchBase {
    HANDLE stop = nullptr;
    os_thread_t thread{};
    std::map<std::string, os_comm_port_info_t> known;  // the watcher thread's own

    ~os_comm_watch() override {
        if (stop != nullptr) CloseHandle(stop);
    }
};

namespace {

// While the list's key is not there (no serial driver has started since the
// system did), the watch looks for it this often.
constexpr DWORD kLookMs = 500;

// Departures first, then arrivals, each in the list's order. A list that
// cannot be read tells nothing, rather than that every port went.
void look(os_comm_watch_t *watch) {
    std::vector<os_comm_port_info_t> here;
    if (!ports_present(&here)) return;
    std::vector<std::string> went;
    for (const auto &[name, info] : watch->known)
        if (std::none_of(here.begin(), here.end(), [&](const auto &p) { return name == p.device; }))
            went.push_back(name);
    for (const std::string &name : went) {
        port_watch_post(watch, watch->known[name], false);
        watch->known.erase(name);
    }
    for (const os_comm_port_info_t &port : here)
        if (watch->known.emplace(port.device, port).second) port_watch_post(watch, port, true);
}

// The key's change notice is asked for again before each look, so that no
// change falls between a look and the wait. A notice also comes when the key
// itself goes; asking again then fails, and the watch looks for the key.
uint32_t watch_thread(void *arg) {
    auto *watch = static_cast<os_comm_watch_t *>(arg);
    HANDLE changed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HKEY key = nullptr;
    for (;;) {
        if (key == nullptr && RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_NOTIFY, &key) != ERROR_SUCCESS)
            key = nullptr;
        bool notified = key != nullptr && changed != nullptr &&
                        RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                                changed, TRUE) == ERROR_SUCCESS;
        if (!notified && key != nullptr) RegCloseKey(key), key = nullptr;
        look(watch);
        HANDLE waits[] = {watch->stop, changed};
        if (WaitForMultipleObjects(notified ? 2 : 1, waits, FALSE, notified ? INFINITE : kLookMs) == WAIT_OBJECT_0)
            break;
    }
    if (key != nullptr) RegCloseKey(key);
    if (changed != nullptr) CloseHandle(changed);
    return 0;
}

}  // namespace

extern "C" KEEL_API os_comm_watch_t *os_comm_watch_ports(os_comm_port_cb cb, void *arg) {
    if (cb == nullptr) {
        KEEL_INFO("cb == NULL");
        return nullptr;
    }
    if (os_is_startup() == 0) {
        KEEL_INFO("os_is_startup() == 0");
        return nullptr;
    }
    auto *watch = new (std::nothrow) os_comm_watch_t;
    if (watch == nullptr) KEEL_FATAL("watch == NULL");
    watch->cb = cb;
    watch->arg = arg;
    std::vector<os_comm_port_info_t> here;
    ports_present(&here);  // none when the list cannot be read: all then count as new
    for (const os_comm_port_info_t &port : here) watch->known.emplace(port.device, port);
    watch->stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (watch->stop != nullptr && os_thread_create(&watch->thread, 0, watch_thread, watch) != 0) return watch;
    KEEL_INFO("!os_thread_create");
    delete watch;
    return nullptr;
}

extern "C" KEEL_API int os_comm_unwatch_ports(os_comm_watch_t *watch) {
    if (watch == nullptr) {
        KEEL_INFO("watch == NULL");
        return 0;
    }
    port_watch_end(watch);
    SetEvent(watch->stop);
    os_thread_join(&watch->thread);
    port_watch_drop(watch);
    return 1;
}
