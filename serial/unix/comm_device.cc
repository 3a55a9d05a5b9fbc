// The port as a terminal device: the exclusive open and the line settings of
// open, the eventfd that wakes the I/O thread, and the non-blocking reads and
// writes of the I/O thread's steps.
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "log/report.h"
#include "serial/serial_internal.h"

int64_t comm_now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

void comm_port_reset(os_comm_client *client) {
    client->com = -1;
    client->wake_fd = -1;
}

bool comm_port_open(os_comm_client *client) {
    int err = 0;
    client->com = comm_device_open(client, &err);
    if (client->com == -1) {
        KEEL_INFO("client->com == INVALID_HANDLE_VALUE, errno: %d", err);
        return false;
    }
    client->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (client->wake_fd == -1) {
        KEEL_INFO("client->wake_fd == -1, errno: %d", errno);
        return false;
    }
    return true;
}

// The port's timeouts and event mask have nothing to set here: the
// descriptor never blocks, and the I/O thread waits in poll for received
// bytes, room to write, and its wake-up descriptor.
bool comm_port_setup(os_comm_client *client, const char *settings) {
    struct termios tio;
    if (tcgetattr(client->com, &tio) != 0) {
        KEEL_INFO("!GetCommState, %d", errno);
        return false;
    }
    int err, custom_baud = 0;  // a client of a path takes any rate its driver does
    if ((err = comm_build_settings(settings, &tio, client->device != nullptr, &custom_baud)) != 0) {
        KEEL_INFO("!BuildCommDCB, %d", err);
        return false;
    }
    if ((err = comm_apply_settings(client->com, &tio)) != 0 ||
        (custom_baud != 0 && (err = comm_set_any_rate(client->com, custom_baud)) != 0)) {
        KEEL_INFO("!SetCommState, %d", err);
        return false;
    }
    // RTS raised; a pseudo-terminal has no modem lines and refuses, harmlessly.
    int rts = TIOCM_RTS;
    ioctl(client->com, TIOCMBIS, &rts);
    if (tcflush(client->com, TCIOFLUSH) != 0) {
        KEEL_INFO("!PurgeComm, %d", errno);
        return false;
    }
    return true;
}

void comm_port_release(os_comm_client *client) {
    if (client->com != -1) {
        comm_device_close(client->com);
        client->com = -1;
    }
    if (client->wake_fd != -1) {
        close(client->wake_fd);
        client->wake_fd = -1;
    }
}

// Both the stop request and a new send wake the I/O thread through the one
// eventfd; the thread tells them apart by the running flag.
void comm_wake(os_comm_client *client) {
    uint64_t one = 1;
    ssize_t n = write(client->wake_fd, &one, sizeof one);
    (void)n;  // only fails when the counter is already far from zero: awake anyway
}

void comm_drain_wakeups(os_comm_client *client) {
    uint64_t count;
    ssize_t n = read(client->wake_fd, &count, sizeof count);
    (void)n;  // EAGAIN: nothing was pending
}

// A terminal that was hung up reads as end of file.
int comm_port_take(os_comm_client *client, unsigned char *into, size_t room, int *err) {
    for (;;) {
        ssize_t n = read(client->com, into, room);
        if (n > 0) return static_cast<int>(n);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return 0;
        *err = n == 0 ? EIO : errno;
        return -1;
    }
}

int comm_port_put(os_comm_client *client, const unsigned char *data, size_t len, int *err) {
    for (;;) {
        ssize_t n = write(client->com, data, len);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return 0;  // the rest goes when poll finds room
        *err = errno;
        return -1;
    }
}

bool comm_port_write_pending(const os_comm_client *) { return false; }

// Only the input side: a finished write() leaves its bytes in the kernel's
// output queue, and flushing that would drop the earlier items.
void comm_port_flush_input(os_comm_client *client) { tcflush(client->com, TCIFLUSH); }

bool comm_port_gone(int err) { return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE; }
