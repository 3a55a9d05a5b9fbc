// The log's system services on Windows.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log/log_platform.h"

namespace keel::log {

// 'N': the handle is not inherited by the processes the caller starts.
const char *const kAppendMode = "aN";
const char *const kPathSeparator = "\\";

void write_stderr(const char *text, size_t len) {
    fflush(stdout);
    _lock_file(stderr);
    fwrite(text, 1, len, stderr);
    fflush(stderr);
    _unlock_file(stderr);
}

bool stderr_is_journal() { return false; }  // a journal of that kind is Linux's

// A debugger attached to the process, or a viewer of the system's debug
// strings, shows every line.
void write_debugger(const char *text) { OutputDebugStringA(text); }

void platform_local_time(time_t when, struct tm *out) { localtime_s(out, &when); }

namespace {

// The C library has texts for the classic error numbers only: the POSIX
// numbers beside them (from 100 on, the network's among them) would all read
// "Unknown error". They read as on Linux.
struct ErrorText {
    int error;
    const char *text;
};
constexpr ErrorText kPosixTexts[] = {
    {EADDRINUSE, "Address already in use"}, {EADDRNOTAVAIL, "Cannot assign requested address"},
    {EAFNOSUPPORT, "Address family not supported by protocol"}, {EALREADY, "Operation already in progress"},
    {EBADMSG, "Bad message"}, {ECANCELED, "Operation canceled"}, {ECONNABORTED, "Software caused connection abort"},
    {ECONNREFUSED, "Connection refused"}, {ECONNRESET, "Connection reset by peer"},
    {EDESTADDRREQ, "Destination address required"}, {EHOSTUNREACH, "No route to host"}, {EIDRM, "Identifier removed"},
    {EINPROGRESS, "Operation now in progress"}, {EISCONN, "Transport endpoint is already connected"},
    {ELOOP, "Too many levels of symbolic links"}, {EMSGSIZE, "Message too long"}, {ENETDOWN, "Network is down"},
    {ENETRESET, "Network dropped connection on reset"}, {ENETUNREACH, "Network is unreachable"},
    {ENOBUFS, "No buffer space available"}, {ENODATA, "No data available"}, {ENOLINK, "Link has been severed"},
    {ENOMSG, "No message of desired type"}, {ENOPROTOOPT, "Protocol not available"},
    {ENOSR, "Out of streams resources"}, {ENOSTR, "Device not a stream"},
    {ENOTCONN, "Transport endpoint is not connected"}, {ENOTRECOVERABLE, "State not recoverable"},
    {ENOTSOCK, "Socket operation on non-socket"}, {ENOTSUP, "Operation not supported"},
    {EOPNOTSUPP, "Operation not supported"}, {EOVERFLOW, "Value too large for defined data type"},
    {EOWNERDEAD, "Owner died"}, {EPROTO, "Protocol error"}, {EPROTONOSUPPORT, "Protocol not supported"},
    {EPROTOTYPE, "Protocol wrong type for socket"}, {ETIME, "Timer expired"}, {ETIMEDOUT, "Connection timed out"},
    {ETXTBSY, "Text file busy"}, {EWOULDBLOCK, "Resource temporarily unavailable"},
};

}  // namespace

const char *platform_error_text(int error, char *scratch, int size) {
    for (const ErrorText &known : kPosixTexts)
        if (known.error == error) return known.text;
    // The library's socket calls leave Winsock's numbers (10000 and up) in
    // errno: those are the system's to tell.
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
