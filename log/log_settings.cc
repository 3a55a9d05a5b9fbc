// Where the log file lies and how it is named: the directory, the process
// name part, the naming attributes, and the default directory (the one the
// library itself was loaded from).
#include <strings.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "keel/log.h"
#include "log/log_files.h"
#include "log/log_platform.h"
#include "log/report.h"

namespace keel::log {

char s_log_path[kMaxPath];
char s_proc_name[20];
log_v3_attr_t s_log_v3_attr;
char s_log_filename[kMaxPath];
char s_log_name_part[20];
uint32_t s_log_pid = 0;

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Fills s_log_name_part from the set process name, or from the executable's
// file name without a trailing ".exe".
bool get_proc_name() {
    if (s_proc_name[0] != '\0') {
        snprintf(s_log_name_part, sizeof s_log_name_part, "%s", s_proc_name);
        return true;
    }
    char exe[kMaxPath];
    if (!program_path(exe, sizeof exe)) {
        KEEL_INFO("get_proc_name GetModuleFileName() failed");
        return false;
    }
    const char *slash = strrchr(exe, kPathSeparator[0]);  // the system gives its own separator
    if (slash == nullptr) {
        KEEL_INFO("get_proc_name _tcsrchr failed process_path:%s", exe);
        return false;
    }
    char name[kMaxPath];
    snprintf(name, sizeof name, "%s", slash + 1);
    size_t n = strlen(name);
    if (n >= 4 && strcasecmp(name + n - 4, ".exe") == 0) name[n - 4] = '\0';
    snprintf(s_log_name_part, sizeof s_log_name_part, "_%.18s", name);
    return true;
}

// Appends a piece; false once the name no longer fits below kMaxPath.
bool append_piece(char *area, size_t *len, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
bool append_piece(char *area, size_t *len, const char *fmt, ...) {
    size_t room = kMaxPath - *len;
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(area + *len, room, fmt, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= room) {
        *len = kMaxPath;
        return false;
    }
    *len += static_cast<size_t>(n);
    return true;
}

}  // namespace

void log_default_path() {
    // The library's own file.
    char module[kMaxPath * 2];
    size_t len = library_path(module, sizeof module) ? strlen(module) : 0;
    if (len == 0 || len > MAX_PATH_LEN) {
        KEEL_INFO("len == 0 || len > MAX_PATH_LEN");
        return;
    }
    char path[kMaxPath + 2];
    memcpy(path, module, len + 1);
    char *slash = strrchr(path, kPathSeparator[0]);
    if (slash != nullptr) *slash = '\0';
    strcat(path, kPathSeparator);
    size_t path_len = strlen(path);
    if (path_len >= kMaxPath) {
        KEEL_INFO("strlen(path) >= MAX_PATH");
        return;
    }
    memcpy(s_log_path, path, path_len + 1);
}

bool log_make_filename(const struct tm &tm) {
    if (s_log_path[0] == '\0') log_default_path();
    if (s_log_name_part[0] == '\0') get_proc_name();
    if (s_log_pid == 0) s_log_pid = static_cast<uint32_t>(getpid());

    char name[kMaxPath];
    size_t len = 0;
    bool fits = append_piece(name, &len, "%.259s", s_log_path);
    if (s_log_v3_attr.single_file)
        fits = fits && append_piece(name, &len, "log%s", s_log_v3_attr.large ? "_large" : "");
    else
        fits = fits && append_piece(name, &len, "log_%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    fits = fits && append_piece(name, &len, "%s", s_log_name_part);
    if (s_log_v3_attr.with_pid) fits = fits && append_piece(name, &len, "_%u", s_log_pid);
    fits = fits && append_piece(name, &len, ".log");
    if (!fits) {
        fputs("log filename too long...\n", stderr);
        return false;
    }
    memcpy(s_log_filename, name, len + 1);
    return true;
}

}  // namespace keel::log

using namespace keel::log;

extern "C" {

KEEL_API void log_set_path(char *path) {
    if (path == nullptr) return;
    size_t len = strlen(path);
    if (len < 1 || len > MAX_PATH_LEN) {
        KEEL_INFO("len > MAX_PATH_LEN");
        return;
    }
    // The caller's string gains the separator it lacks. Either separator is
    // accepted from the caller; the stored directory uses '/' throughout.
    if (!is_separator(path[len - 1])) {
        path[len] = '/';
        path[len + 1] = '\0';
        ++len;
    }
    char normal[kMaxPath];
    for (size_t i = 0; i <= len; ++i) normal[i] = path[i] == '\\' ? '/' : path[i];
    os_mutex_lock(file_lock());
    if (strcmp(s_log_path, normal) != 0) {
        close_file_locked();
        memcpy(s_log_path, normal, len + 1);
    }
    os_mutex_unlock(file_lock());
}

KEEL_API void log_get_path(char *out) {
    if (out == nullptr) return;
    os_mutex_lock(file_lock());
    memcpy(out, s_log_path, strlen(s_log_path) + 1);
    os_mutex_unlock(file_lock());
}

KEEL_API void log_set_proc_name(const char *name) {
    if (name == nullptr) return;
    os_mutex_lock(file_lock());
    snprintf(s_proc_name, sizeof s_proc_name, "%s", name);
    os_mutex_unlock(file_lock());
}

KEEL_API void log_set_v3_attr(const log_v3_attr_t *attr) {
    if (attr == nullptr) return;
    os_mutex_lock(file_lock());
    if (memcmp(attr, &s_log_v3_attr, sizeof s_log_v3_attr) != 0) {
        close_file_locked();
        memcpy(&s_log_v3_attr, attr, sizeof s_log_v3_attr);
        s_log_v3_attr.size = sizeof s_log_v3_attr;
    }
    os_mutex_unlock(file_lock());
}

// A size outside 0..16 is clamped to the record: nothing beyond it is ever
// written.
KEEL_API void log_get_v3_attr(log_v3_attr_t *attr) {
    if (attr == nullptr) return;
    int size = attr->size;
    if (size <= 0) return;
    if (size > static_cast<int>(sizeof(log_v3_attr_t))) size = sizeof(log_v3_attr_t);
    os_mutex_lock(file_lock());
    memcpy(attr, &s_log_v3_attr, static_cast<size_t>(size));
    os_mutex_unlock(file_lock());
}

KEEL_API int log_set_log_with_pid(int with_pid) {
    (void)with_pid;
    return 0;
}

KEEL_API int log_get_filename(void *unused) {
    (void)unused;
    return 0;
}

}  // extern "C"
