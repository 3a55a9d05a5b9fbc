// The line on a terminal: each call is an ioctl of the terminal's driver on
// the open device; a driver without the feature refuses and the refusal is
// reported. A pseudo-terminal has no line at all: its driver would take a
// break without sending anything, so it is refused here.
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <time.h>

#include <cerrno>

#include "log/report.h"
#include "serial/serial_internal.h"

namespace {

// The driver's answer: 1, or 0 with the report of what it refused.
int driver_answer(int rc, const char *what) {
    if (rc == 0) return 1;
    KEEL_ERROR("%s, %d", what, errno);
    return 0;
}

}  // namespace

uint32_t comm_lines_of(int bits) {
    uint32_t lines = 0;
    if (bits & TIOCM_DTR) lines |= OS_COMM_LINE_DTR;
    if (bits & TIOCM_RTS) lines |= OS_COMM_LINE_RTS;
    if (bits & TIOCM_CTS) lines |= OS_COMM_LINE_CTS;
    if (bits & TIOCM_DSR) lines |= OS_COMM_LINE_DSR;
    if (bits & TIOCM_CAR) lines |= OS_COMM_LINE_DCD;
    if (bits & TIOCM_RNG) lines |= OS_COMM_LINE_RI;
    return lines;
}

int comm_line_set(os_comm_client *client, uint32_t line, bool on) {
    int bits = line == OS_COMM_LINE_DTR ? TIOCM_DTR : TIOCM_RTS;
    return driver_answer(ioctl(client->com, on ? TIOCMBIS : TIOCMBIC, &bits), "TIOCMBIS/TIOCMBIC");
}

int comm_line_get(os_comm_client *client, uint32_t *lines) {
    int bits = 0;
    if (!driver_answer(ioctl(client->com, TIOCMGET, &bits), "TIOCMGET")) return 0;
    *lines = comm_lines_of(bits);
    return 1;
}

// TIOCSBRK and TIOCCBRK around a sleep of the caller's own give the length
// to the millisecond; tcsendbreak would round it to tenths of a second.
int comm_line_break(os_comm_client *client, uint32_t ms) {
    if (comm_is_pty(client->com)) {
        errno = ENOTTY;
        return driver_answer(-1, "TIOCSBRK");
    }
    if (!driver_answer(ioctl(client->com, TIOCSBRK), "TIOCSBRK")) return 0;
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return driver_answer(ioctl(client->com, TIOCCBRK), "TIOCCBRK");
}

int comm_line_rs485(os_comm_client *client, bool enable, bool rts_on_send, uint32_t delay_before_ms,
                    uint32_t delay_after_ms) {
    serial_rs485 rs485{};
    if (enable) {
        rs485.flags = SER_RS485_ENABLED | (rts_on_send ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND);
        rs485.delay_rts_before_send = delay_before_ms;
        rs485.delay_rts_after_send = delay_after_ms;
    }
    return driver_answer(ioctl(client->com, TIOCSRS485, &rs485), "TIOCSRS485");
}
