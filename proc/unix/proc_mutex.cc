// The per-executable mutex's hold on Linux. Linux has no named system mutexes,
// so a lock file named after the executable's path takes its place: flock ties the lock to an
// open file description, and the kernel drops it when the holder ends. Like
// the named mutex, which vanishes with its last handle, the file does not
// outlive a holder that ends normally.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "proc/proc_internal.h"

namespace keel::proc {

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

// The path of the lock file of name; false (errno set) when there is none.
bool lock_path(const char *name, char *path, size_t size) {
    char dir[PATH_MAX];
    if (!lock_dir(dir, sizeof dir)) return false;
    int n = snprintf(path, size, "%s/%s", dir, name);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

bool same_file(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// This process's hold: the descriptor, never closed while the process runs,
// and the file it locks, removed when the process ends normally.
int s_held_fd = -1;
pid_t s_held_pid = 0;
char s_held_path[PATH_MAX];

// The holder removes its lock file as it exits, the lock still held, so that
// nobody can take the lock of a file on its way out. A holder that is killed
// leaves the file behind, unlocked: the next process of that executable locks
// it and removes it in its turn.
void remove_lock_file() {
    struct stat held, named;
    if (s_held_fd == -1 || getpid() != s_held_pid) return;
    if (fstat(s_held_fd, &held) == 0 && stat(s_held_path, &named) == 0 && same_file(held, named))
        unlink(s_held_path);
}

// A child started by fork does not share the hold: only the process whose
// call returned 0 holds it (closing the child's copy leaves the parent's lock
// in place, and an exec'd child never gets one, the descriptor being
// close-on-exec).
void drop_hold_in_child() {
    if (s_held_fd != -1) close(s_held_fd);
    s_held_fd = -1;
}

// Locks the lock file at path. 0: taken, fd in *held; 1: another process
// holds it; -1: failed, errno set. The lock only counts while the path still
// names the locked file: a holder on its way out may have removed it between
// our open and our lock, and a fresh file is then made and tried (a few
// times: only someone removing the file again and again can exhaust them).
int take_lock(const char *path, int *held) {
    for (int attempt = 0; attempt < 64; ++attempt) {
        int fd = open(path, O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd == -1) return -1;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int error = errno;
            close(fd);
            errno = error;
            return error == EWOULDBLOCK ? 1 : -1;
        }
        struct stat locked, named;
        if (fstat(fd, &locked) == 0 && stat(path, &named) == 0 && same_file(locked, named)) {
            *held = fd;
            return 0;
        }
        close(fd);
    }
    errno = EAGAIN;
    return -1;
}

}  // namespace

int hold_named_mutex(const char *name, unsigned long *error) {
    char path[PATH_MAX];
    int fd = -1;
    int taken = lock_path(name, path, sizeof path) ? take_lock(path, &fd) : -1;
    if (taken == 0) {
        if (s_held_fd == -1) {  // a second hold (another lock directory) is kept, not removed
            memcpy(s_held_path, path, sizeof s_held_path);
            s_held_pid = getpid();
            s_held_fd = fd;
        }
        static bool s_hooks = [] {
            atexit(remove_lock_file);
            pthread_atfork(nullptr, nullptr, drop_hold_in_child);
            return true;
        }();
        (void)s_hooks;
    } else if (taken == -1) {
        *error = static_cast<unsigned long>(errno);
    }
    return taken;
}

}  // namespace keel::proc
