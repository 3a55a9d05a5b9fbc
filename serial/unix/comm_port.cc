// The device behind a port number and its line settings on termios: which
// path a COM number names, the exclusive open, and the settings text turned
// into a termios frame that is applied and read back.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/serial_internal.h"

namespace {

struct Rate {
    int baud;
    speed_t speed;
};

constexpr Rate kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool speed_of(int baud, speed_t *speed) {
    for (const Rate &r : kRates)
        if (r.baud == baud) {
            *speed = r.speed;
            return true;
        }
    return false;
}

}  // namespace

// Unix98 pseudo-terminal slaves. Their driver keeps no frame of its own and
// always reads back 8 data bits without parity.
bool comm_is_pty(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    unsigned int m = major(st.st_rdev);
    return m >= 136 && m <= 143;
}

int comm_device_path(int comport, char *path, size_t size) {
    char name[16];
    snprintf(name, sizeof name, "KEEL_COM%d", comport);
    const char *set = getenv(name);
    int n;
    if (set != nullptr && set[0] != '\0')
        n = snprintf(path, size, "%s", set);
    else if (comport >= 1)
        n = snprintf(path, size, "/dev/ttyS%d", comport - 1);
    else
        return 0;
    return n > 0 && static_cast<size_t>(n) < size ? 1 : 0;
}

// TIOCEXCL keeps later opens out, but not root's (CI runs as root), so the
// hold is also an advisory lock on the open file: a second client, in this
// process or another, fails its flock. Both kinds of refusal read EBUSY.
int comm_device_open(const os_comm_client *client, int *err) {
    char path[4096];
    if (client->device != nullptr) {
        snprintf(path, sizeof path, "%s", client->device);  // its length was checked at create
    } else if (!comm_device_path(client->comport, path, sizeof path)) {
        *err = ENOENT;
        return -1;
    }
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *err = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        return -1;
    }
    if (ioctl(fd, TIOCEXCL) != 0) {  // ENOTTY: the path is no terminal
        *err = errno;
        close(fd);
        return -1;
    }
    return fd;
}

void comm_device_close(int fd) {
    // The exclusive flag belongs to the terminal, not to this descriptor:
    // clear it, or the device stays closed to others after us.
    ioctl(fd, TIOCNXCL);
    close(fd);
}

int comm_build_settings(const char *text, struct termios *tio, bool any_rate, int *custom_baud) {
    int baud = 0, data_bits = 0, used = 0;
    char parity = 0, stop[8] = {0};
    if (sscanf(text, "%*[^:]:%d,%c,%d,%7[0-9.]%n", &baud, &parity, &data_bits, stop, &used) != 4 ||
        text[used] != '\0')
        return EINVAL;

    speed_t speed;
    if (custom_baud != nullptr) *custom_baud = 0;
    if (!speed_of(baud, &speed)) {
        if (!any_rate || baud < 1 || custom_baud == nullptr) return EINVAL;
        speed = B38400;  // a placeholder: the rate itself goes through comm_set_any_rate
        *custom_baud = baud;
    }
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    if (data_bits < 5 || data_bits > 8) return EINVAL;
    tcflag_t frame = kSizes[data_bits - 5];
    switch (parity) {
        case 'N': case 'n': break;
        case 'E': case 'e': frame |= PARENB; break;
        case 'O': case 'o': frame |= PARENB | PARODD; break;
        case 'M': case 'm': frame |= PARENB | CMSPAR | PARODD; break;  // the bit always 1
        case 'S': case 's': frame |= PARENB | CMSPAR; break;           // the bit always 0
        default: return EINVAL;
    }
    // termios knows one or two stop bits; 1.5 (used with 5 data bits) is
    // sent as 2, which every receiver set for 1.5 accepts.
    if (strcmp(stop, "1.5") == 0 || strcmp(stop, "2") == 0)
        frame |= CSTOPB;
    else if (strcmp(stop, "1") != 0)
        return EINVAL;

    // Raw bytes both ways: no echo, no line editing, no signals, no
    // translation of CR or NL, no software or hardware flow control. The
    // modem lines are ignored, so a port without carrier still reads.
    cfmakeraw(tio);
    tio->c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    tio->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio->c_cflag |= frame | CLOCAL | CREAD;
    tio->c_cc[VMIN] = 1;
    tio->c_cc[VTIME] = 0;
    cfsetispeed(tio, speed);
    cfsetospeed(tio, speed);
    return 0;
}

// tcsetattr succeeds when any part of the change was taken, so the settings
// are read back: a device that dropped the speed, the frame or a parity mode
// it lacks (many lack mark and space) is refused rather than run wrong.
int comm_apply_settings(int fd, const struct termios *tio) {
    if (tcsetattr(fd, TCSANOW, tio) != 0) return errno;
    struct termios got;
    if (tcgetattr(fd, &got) != 0) return errno;
    tcflag_t checked = CSTOPB | PARODD | CMSPAR;
    if (!comm_is_pty(fd)) checked |= CSIZE | PARENB;
    if ((got.c_cflag & checked) != (tio->c_cflag & checked) ||
        cfgetospeed(&got) != cfgetospeed(tio) || cfgetispeed(&got) != cfgetispeed(tio))
        return EINVAL;
    return 0;
}
