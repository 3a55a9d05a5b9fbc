// The running executable's path, from the kernel's link to it.
#include <unistd.h>

#include "proc/proc_internal.h"

int read_exe_path(char *buf, size_t size) {
    if (buf == nullptr || size == 0) return -1;
    ssize_t n = readlink("/proc/self/exe", buf, size - 1);
    // A result that fills the buffer may have been cut.
    if (n < 0 || static_cast<size_t>(n) >= size - 1) {
        buf[0] = '\0';
        return -1;
    }
    buf[n] = '\0';
    return static_cast<int>(n);
}
