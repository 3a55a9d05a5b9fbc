// What serial/unix holds beneath the shared serial client: the device behind
// a port number and its line settings on termios.
#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdint>

struct os_comm_client;

/* device */

// Writes the device path of port comport into path: $KEEL_COM<n>, else
// /dev/ttyS<n-1>. 0 when there is none (COM0 without its variable) or the
// path does not fit.
int comm_device_path(int comport, char *path, size_t size);
// Opens the client's device (its path, or its port's) for exclusive use:
// non-blocking, close-on-exec, no controlling terminal. The descriptor, or -1
// with *err set (EBUSY when another client holds it).
int comm_device_open(const os_comm_client *client, int *err);
// Gives up the exclusive hold and closes fd.
void comm_device_close(int fd);
// True for a pseudo-terminal: it has no line, so no modem lines, no break and
// no parity or word size of its own.
bool comm_is_pty(int fd);

/* line settings */

// Sets tio from a settings text: speed, frame, raw mode, no flow control.
// 0, or EINVAL for a text the terminal interface cannot take. With any_rate,
// a rate outside the standard table is left to comm_set_any_rate: tio then
// carries a placeholder speed and *custom_baud the rate (0 otherwise).
int comm_build_settings(const char *text, struct termios *tio, bool any_rate = false, int *custom_baud = nullptr);
// Applies tio to fd and reads it back: 0 when the device kept the speed and
// the frame, otherwise an errno value (EINVAL for a setting it dropped).
int comm_apply_settings(int fd, const struct termios *tio);
// Sets baud, any rate, in both directions and reads it back: 0 when the
// driver kept it (within 1%), otherwise an errno value (EINVAL: it did not).
int comm_set_any_rate(int fd, int baud);

// The OS_COMM_LINE_ bits of a TIOCMGET answer.
uint32_t comm_lines_of(int bits);
