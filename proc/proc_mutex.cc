// The per-executable mutex: its name from the executable's path, the answer
// and its reports. The hold itself is the platform's (hold_named_mutex).
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "keel/os_proc.h"
#include "log/report.h"
#include "proc/proc_internal.h"

extern "C" {

KEEL_API int os_get_proc_mutex(void) {
    char exe[PATH_MAX] = {0};
    if (read_exe_path(exe, sizeof exe) < 0) {
        KEEL_INFO("os_get_proc_mutex GetModuleFileName() failed");
        return -1;
    }
    char *name = proc_mutex_name(exe);
    if (name == nullptr) return -1;
    unsigned long error = 0;
    int result = keel::proc::hold_named_mutex(name, &error);
    if (result == -1) {
        KEEL_ERROR("os_get_proc_mutex hMutex == NULL CreateMutexA failed, errno: %lu", error);
    } else {
        // The line's error text then names what was found.
        errno = result == 1 ? EEXIST : 0;
        KEEL_ERROR("Mutex '%s' - Already exists: %s", name, result == 1 ? "YES" : "NO");
    }
    free(name);
    return result;
}

}  // extern "C"
