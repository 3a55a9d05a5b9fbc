// Any rate a driver takes, through the kernel's termios2 and BOTHER. Kept in
// a file of its own because the kernel's termios header cannot share one
// with the C library's <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdlib>

// Declared in serial_internal.h, which brings <termios.h> with it.
int comm_set_any_rate(int fd, int baud);

// Drivers keep the rate they could actually make, which a divisor may put
// a little off the one asked for; within 1% a receiver reads every bit.
int comm_set_any_rate(int fd, int baud) {
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0) return errno;
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = tio.c_ospeed = static_cast<speed_t>(baud);
    if (ioctl(fd, TCSETS2, &tio) != 0) return errno;
    if (ioctl(fd, TCGETS2, &tio) != 0) return errno;
    auto off = [baud](speed_t kept) { return std::labs(static_cast<long>(kept) - baud) * 100 > baud; };
    if (off(tio.c_ospeed) || (tio.c_ispeed != 0 && off(tio.c_ispeed))) return EINVAL;
    return 0;
}
