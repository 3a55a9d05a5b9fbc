// The running executable's path: the file name of the process's own module
// (the program, not this library).
#include <windows.h>

#include "proc/proc_internal.h"

int read_exe_path(char *buf, size_t size) {
    if (buf == nullptr || size == 0) return -1;
    DWORD n = GetModuleFileNameA(nullptr, buf, static_cast<DWORD>(size));
    // A path cut to fit fills the whole buffer, its terminator included.
    if (n == 0 || n >= size) {
        buf[0] = '\0';
        return -1;
    }
    return static_cast<int>(n);
}
