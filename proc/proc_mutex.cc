// The per-executable mutex. Linux has no named system mutexes, so a lock file
// named after the executable's path takes its place: flock ties the lock to an
// open file description, and the kernel drops it when the holder ends.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "keel/os_proc.h"
#include "log/report.h"
#include "proc/proc_internal.h"

namespace {

// The user's runtime directory is private to the user and emptied at logout;
// without one, a directory of the user's own under /tmp serves, refused when
// someone else owns it.
bool lock_dir(char *dir, size_t size) {
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    int n = runtime != nullptr && runtime[0] == '/'
                ? snprintf(dir, size, "%s/keel", runtime)
                : snprintf(dir, size, "/tmp/keel-%u", static_cast<unsigned>(getuid()));
    if (n < 0 || static_cast<size_t>(n) >= size) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (mkdir(dir, 0700) == -1 && errno != EEXIST) return false;
    struct stat st;
    if (stat(dir, &st) == -1) return false;
    if (!S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
        errno = EACCES;
        return false;
    }
    return true;
}

// Opens the lock file of name. Returns the descriptor, or -1.
int open_lock(const char *name) {
    char dir[PATH_MAX];
    if (!lock_dir(dir, sizeof dir)) return -1;
    char path[PATH_MAX];
    int n = snprintf(path, sizeof path, "%s/%s", dir, name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return open(path, O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
}

// The descriptor that holds this process's lock. It is never closed: the lock
// lasts as long as the process.
int s_held_fd = -1;

}  // namespace

extern "C" {

KEEL_API int os_get_proc_mutex(void) {
    int result = -1;
    char exe[PATH_MAX] = {0};
    if (read_exe_path(exe, sizeof exe) < 0) {
        KEEL_INFO("os_get_proc_mutex GetModuleFileName() failed");
        return result;
    }
    char *name = proc_mutex_name(exe);
    if (name == nullptr) return result;
    int fd = open_lock(name);
    if (fd == -1) {
        KEEL_ERROR("os_get_proc_mutex hMutex == NULL CreateMutexA failed, errno: %lu",
                   static_cast<unsigned long>(errno));
    } else if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        s_held_fd = fd;
        result = 0;
        errno = 0;
        KEEL_ERROR("Mutex '%s' - Already exists: %s", name, "NO");
    } else if (errno == EWOULDBLOCK) {
        close(fd);
        result = 1;
        errno = EEXIST;  // the line's error text then names what it found
        KEEL_ERROR("Mutex '%s' - Already exists: %s", name, "YES");
    } else {
        KEEL_ERROR("os_get_proc_mutex hMutex == NULL CreateMutexA failed, errno: %lu",
                   static_cast<unsigned long>(errno));
        close(fd);
    }
    free(name);
    return result;
}

}  // extern "C"
