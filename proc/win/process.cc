// Child processes on Windows, by CreateProcessA. The command line goes to the
// child as it was given: the child's own run-time library splits it, by the
// rule the shared splitter follows, and the system finds the program from its
// first token. The system keeps no zombies: once both handles are closed, an
// ended child is gone.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "proc/proc_internal.h"

namespace keel::proc {

namespace {

// The caller's standard input, output and error, as inheritable copies of
// their own, and no other handle of the caller's: the attribute list names
// the only handles the child inherits. Missing streams (a program without a
// console) are left out. A caller's thread that starts a child of its own
// meanwhile, inheriting every inheritable handle, may get these copies too,
// until they are closed right after the start.
struct StandardHandles {
    HANDLE copies[3] = {};
    HANDLE inherited[3] = {};
    DWORD count = 0;
    LPPROC_THREAD_ATTRIBUTE_LIST list = nullptr;

    StandardHandles() {
        const DWORD streams[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
        HANDLE self = GetCurrentProcess();
        for (int i = 0; i < 3; ++i) {
            HANDLE stream = GetStdHandle(streams[i]);
            if (stream == nullptr || stream == INVALID_HANDLE_VALUE ||
                !DuplicateHandle(self, stream, self, &copies[i], 0, TRUE, DUPLICATE_SAME_ACCESS))
                copies[i] = nullptr;
            else
                inherited[count++] = copies[i];
        }
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(HeapAlloc(GetProcessHeap(), 0, size));
        if (list != nullptr && !InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            HeapFree(GetProcessHeap(), 0, list);
            list = nullptr;
        }
        if (list != nullptr && count > 0 &&
            !UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                       count * sizeof(HANDLE), nullptr, nullptr))
            count = 0;
    }
    ~StandardHandles() {
        if (list != nullptr) {
            DeleteProcThreadAttributeList(list);
            HeapFree(GetProcessHeap(), 0, list);
        }
        for (HANDLE copy : copies)
            if (copy != nullptr) CloseHandle(copy);
    }
    StandardHandles(const StandardHandles &) = delete;
    StandardHandles &operator=(const StandardHandles &) = delete;

    // Whether the child gets the streams; without the list it would inherit
    // every inheritable handle, so it then inherits none.
    bool usable() const { return list != nullptr && count > 0; }
};

}  // namespace

bool child_start(const char *cmdline, char **, os_proc_t *child) {
    // The system may write into the line it is given: it gets a copy.
    size_t len = strlen(cmdline);
    auto *line = static_cast<char *>(malloc(len + 1));
    if (line == nullptr) return false;
    memcpy(line, cmdline, len + 1);
    StandardHandles handles;
    STARTUPINFOEXA info = {};
    info.StartupInfo.cb = sizeof info;
    // A program with a main window starts with it hidden.
    info.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
    info.StartupInfo.wShowWindow = SW_HIDE;
    DWORD flags = 0;
    if (handles.usable()) {
        info.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
        info.StartupInfo.hStdInput = handles.copies[0];
        info.StartupInfo.hStdOutput = handles.copies[1];
        info.StartupInfo.hStdError = handles.copies[2];
        info.lpAttributeList = handles.list;
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    PROCESS_INFORMATION started = {};
    BOOL ok = CreateProcessA(nullptr, line, nullptr, nullptr, handles.usable(), flags, nullptr, nullptr,
                             &info.StartupInfo, &started);
    free(line);
    if (!ok) return false;
    child->hprocess = started.hProcess;
    child->hthread = started.hThread;
    return true;
}

// The process object tells its end by being signalled, so an exit code of
// STILL_ACTIVE (259) is an end like any other.
int child_state(os_proc_t *child, int *error) {
    if (child->ended) return 0;
    DWORD waited = WaitForSingleObject(child->hprocess, 0);
    if (waited == WAIT_TIMEOUT) return 1;
    DWORD code = 0;
    if (waited != WAIT_OBJECT_0 || !GetExitCodeProcess(child->hprocess, &code)) {
        *error = static_cast<int>(GetLastError());
        return -1;
    }
    child->ended = 1;
    child->exit_code = static_cast<int32_t>(code);
    return 0;
}

void child_forget(os_proc_t *child) {
    CloseHandle(child->hprocess);
    CloseHandle(child->hthread);
}

}  // namespace keel::proc
