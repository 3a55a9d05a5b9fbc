// The rate a terminal holds, as the kernel's termios2 gives it: the C
// library's tcgetattr knows only the standard table. A file of its own,
// because the kernel's termios header cannot share one with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace keel_test {

// The output rate of the terminal open at fd, or -1.
long tty_rate(int fd) {
    struct termios2 tio;
    return ioctl(fd, TCGETS2, &tio) == 0 ? static_cast<long>(tio.c_ospeed) : -1;
}

}  // namespace keel_test
