// The log's system services on Windows.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "log/log_platform.h"

namespace keel::log {

// 'N': the handle is not inherited by the processes the caller starts.
const char *const kAppendMode = "aN";
const char *const kPathSeparator = "\\";

void write_stderr(const char *text) {
    fflush(stdout);
    _lock_file(stderr);
    fputs(text, stderr);
    fflush(stderr);
    _unlock_file(stderr);
}

// A debugger attached to the process, or a viewer of the system's debug
// strings, shows every line.
void write_debugger(const char *text) { OutputDebugStringA(text); }

void platform_local_time(time_t when, struct tm *out) { localtime_s(out, &when); }

// The library's socket calls leave Winsock's numbers (10000 and up) in errno:
// those are the system's to tell, the C library's own are strerror's.
const char *platform_error_text(int error, char *scratch, int size) {
    if (error >= 10000 && error < 12000) {
        DWORD len = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(error), 0, scratch, static_cast<DWORD>(size), nullptr);
        while (len > 0 && (scratch[len - 1] == '\n' || scratch[len - 1] == '\r' || scratch[len - 1] == ' ')) --len;
        if (len > 0) {
            scratch[len] = '\0';
            return scratch;
        }
    }
    if (strerror_s(scratch, static_cast<size_t>(size), error) != 0) snprintf(scratch, static_cast<size_t>(size), "error %d", error);
    return scratch;
}

namespace {

bool module_file(HMODULE module, char *out, size_t size) {
    DWORD len = GetModuleFileNameA(module, out, static_cast<DWORD>(size));
    return len > 0 && len < size;
}

}  // namespace

bool program_path(char *out, size_t size) { return module_file(nullptr, out, size); }

// The module that holds this function: the DLL, or the program it is linked into.
bool library_path(char *out, size_t size) {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&library_path), &self))
        return false;
    return module_file(self, out, size);
}

// Windows raises no signal for a write past a limit: the write fails.
void take_size_limit_signal() {}

}  // namespace keel::log
