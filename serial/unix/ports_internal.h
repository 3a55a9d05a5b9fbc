// Internals shared by the listing of serial devices and their watch: where
// sysfs and the device directory are, which entries of the tty class are
// serial devices, and what can be read about one.
#pragma once

#include <string>
#include <vector>

#include "keel/os_comm.h"

// $KEEL_SYSFS_ROOT, else /sys; $KEEL_DEV_ROOT, else /dev.
std::string ports_sysfs_root();
std::string ports_dev_root();

// True for an entry of the tty class with a device behind it, unless it is a
// serial-core port whose UART was not found (its type reads 0).
bool ports_is_serial(const std::string &sysfs, const char *name);
// True for a serial-core port of the tty class without a UART (type 0).
bool ports_uart_absent(const std::string &sysfs, const char *name);
// The names of the serial devices present (serial by ports_is_serial, and
// with their node under dev), in the list's order; false when the tty class
// cannot be read (errno tells why).
bool ports_present(const std::string &sysfs, const std::string &dev, std::vector<std::string> *names);
// Everything sysfs and the device directory tell about the device name.
void ports_describe(const std::string &sysfs, const std::string &dev, const char *name, os_comm_port_info_t *info);
// Looks up info's serial/by-id and serial/by-path links again.
void ports_find_links(const std::string &dev, os_comm_port_info_t *info);
