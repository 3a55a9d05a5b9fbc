// Small questions to the system: the local calendar time and where the
// running executable lives.
#include <climits>
#include <cstring>
#include <ctime>

#include "keel/os_proc.h"
#include "log/log_platform.h"
#include "proc/proc_internal.h"

extern "C" {

KEEL_API int os_get_localtime(os_localtime_t *t) {
    if (t == nullptr) return 1;
    struct tm tm = {};
    keel::log::platform_local_time(time(nullptr), &tm);
    t->year = static_cast<uint16_t>(tm.tm_year + 1900);
    t->month = static_cast<uint16_t>(tm.tm_mon + 1);
    t->day = static_cast<uint16_t>(tm.tm_mday);
    t->hour = static_cast<uint16_t>(tm.tm_hour);
    t->minute = static_cast<uint16_t>(tm.tm_min);
    t->second = static_cast<uint16_t>(tm.tm_sec);
    return 1;
}

// The executable's directory, not the current one: a program finds the files
// installed beside it wherever it was started from.
KEEL_API int os_get_work_path(char *buf, int size) {
    if (buf == nullptr || size <= 0) return 0;
    char path[PATH_MAX] = {0};
    read_exe_path(path, sizeof path);  // a failure leaves the path empty
    if (char *cut = strrchr(path, keel::log::kPathSeparator[0]); cut != nullptr) *cut = '\0';
    size_t n = strnlen(path, static_cast<size_t>(size) - 1);
    memcpy(buf, path, n);
    buf[n] = '\0';
    return 1;
}

}  // extern "C"
