// Child processes on Linux, by posix_spawn. A child that nobody polls any
// more is collected by a small detached thread, so an ended child never
// lingers as a zombie.
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "log/report.h"
#include "proc/proc_internal.h"
#include "sync/sync_internal.h"

extern char **environ;

namespace keel::proc {

namespace {

constexpr size_t kReaperStack = 64 * 1024;

// The shell's convention, so that a caller sees a killed child as failed.
int exit_code_of(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

void *reap(void *arg) {
    keel::sync::block_raised_signals();
    auto pid = static_cast<pid_t>(reinterpret_cast<intptr_t>(arg));
    while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
    }
    return nullptr;
}

// Hands the child to a detached thread that waits for its end. Should the
// thread not start, the child is left to the caller's own collection.
void reap_later(pid_t pid) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, kReaperStack);
    pthread_t thread;
    if (pthread_create(&thread, &attr, reap, reinterpret_cast<void *>(static_cast<intptr_t>(pid))) != 0)
        KEEL_INFO("no thread to collect child %d", static_cast<int>(pid));
    pthread_attr_destroy(&attr);
}

// The child inherits only standard input, output and error, with default
// signal handling and nothing blocked: what a freshly started program expects
// even when the caller ignores SIGPIPE or blocks signals in this thread.
int spawn(char *const argv[], pid_t *pid) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if (posix_spawn_file_actions_init(&actions) != 0) return ENOMEM;
    if (posix_spawnattr_init(&attr) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return ENOMEM;
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    int rc = posix_spawnp(pid, argv[0], &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

}  // namespace

bool child_start(const char *, char **argv, os_proc_t *child) {
    // A program path written with "\" (bin\tool) means the same as with "/".
    for (char *c = argv[0]; *c != '\0'; ++c)
        if (*c == '\\') *c = '/';
    pid_t pid = -1;
    if (spawn(argv, &pid) != 0) return false;
    child->hprocess = pid;
    child->hthread = pid;
    return true;
}

// Collecting the child's end frees its process id for reuse, so the exit code
// is kept in the record.
int child_state(os_proc_t *child, int *error) {
    if (child->ended) return 0;
    int status = 0;
    pid_t rc;
    while ((rc = waitpid(child->hprocess, &status, WNOHANG)) == -1 && errno == EINTR) {
    }
    if (rc == 0) return 1;
    if (rc == -1) {
        *error = errno;
        return -1;
    }
    child->ended = 1;
    child->exit_code = exit_code_of(status);
    return 0;
}

void child_forget(os_proc_t *child) {
    if (!child->ended && waitpid(child->hprocess, nullptr, WNOHANG) == 0) reap_later(child->hprocess);
}

}  // namespace keel::proc
