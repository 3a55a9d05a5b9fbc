// Child processes started from one command line, without a shell: the checks,
// the splitting and the reports. Starting, polling and letting go of a child
// are the platform's (child_start, child_state, child_forget).
#include <cstdlib>

#include "keel/os_proc.h"
#include "log/report.h"
#include "proc/proc_internal.h"

namespace {

// Starts the child of cmdline into *child and reports the outcome. A line
// without a program fails here, the same way on every platform.
bool start_child(const char *cmdline, os_proc_t *child) {
    char **argv = split_command_line(cmdline);
    bool started = argv != nullptr && argv[0] != nullptr && keel::proc::child_start(cmdline, argv, child);
    free(argv);
    if (!started) {
        KEEL_INFO("process failed: %s", cmdline);
        return false;
    }
    KEEL_INFO("process success: %s", cmdline);
    return true;
}

}  // namespace

extern "C" {

KEEL_API int os_exec_process(const char *cmdline) {
    if (cmdline == nullptr) return 0;
    os_proc_t child = {};
    if (start_child(cmdline, &child)) keel::proc::child_forget(&child);
    return 1;
}

KEEL_API os_proc_t *os_exec_process_ex(const char *cmdline) {
    if (cmdline == nullptr) return nullptr;
    os_proc_t child = {};
    if (!start_child(cmdline, &child)) return nullptr;
    auto *pproc = static_cast<os_proc_t *>(calloc(1, sizeof(os_proc_t)));
    if (pproc == nullptr) KEEL_FATAL("pproc == NULL");
    *pproc = child;
    return pproc;
}

// The end is kept in the record, so every later query answers from there.
KEEL_API int os_exec_query(os_proc_t *pproc) {
    if (pproc == nullptr) return 0;
    int error = 0;
    int state = keel::proc::child_state(pproc, &error);
    if (state == 1) return 1;
    if (state == -1) {
        KEEL_INFO("GetExitCodeProcess failed : %d", error);
        return 0;
    }
    KEEL_INFO("process over: %d", pproc->exit_code);
    return 0;
}

KEEL_API int os_exec_destroy(os_proc_t *pproc) {
    if (pproc == nullptr) return 0;
    keel::proc::child_forget(pproc);
    free(pproc);
    return 0;
}

}  // extern "C"
