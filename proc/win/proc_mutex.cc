// The per-executable mutex's hold on Windows: a named system mutex. Nobody
// locks it; its existence is the signal, and it vanishes with the last handle,
// which the system closes when the holding process ends however it ends.
#include <windows.h>

#include <cerrno>

#include "proc/proc_internal.h"

namespace keel::proc {

int hold_named_mutex(const char *name, unsigned long *error) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    DWORD last = GetLastError();
    if (mutex == nullptr) {
        *error = last;
        // The name may belong to an object of another kind (an event, say).
        errno = last == ERROR_ACCESS_DENIED ? EACCES : last == ERROR_INVALID_HANDLE ? EEXIST : EINVAL;
        return -1;
    }
    if (last == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);  // only the handle this call opened
        return 1;
    }
    return 0;  // the handle stays open for the rest of the process's life
}

}  // namespace keel::proc
