// Sockets on WSAAsyncSelect. The system posts each event once and re-enables
// it with the matching call, as platform.h describes, so the sel_* calls here
// are the plain ones. What it does not give is the registration's generation,
// which tells an event of a closed socket from one of a new socket that got
// the same number: that travels in the message number. Each registration
// asks for its own number, one of kGenerations past kSocketMessageBase, and
// the owner turns it back into WM_SOCKET_EVENT with its generation as it
// takes the message (socket_message).
#include <winsock2.h>  // before windows.h, which would bring the older socket header
#include <windows.h>

#include <cerrno>
#include <mutex>
#include <unordered_map>

#include "runtime/platform.h"
#include "runtime/win/platform_win.h"

namespace keel::rt {
namespace {

constexpr UINT kSocketMessageBase = WM_APP;  // 0x8000; the range ends before 0xC000, where registered names begin
constexpr uint32_t kGenerations = 0x3FFF;

// Made once and never destroyed, as the main thread may still use them while
// the process runs its exit-time destructors.
std::mutex &s_lock = *new std::mutex;
std::unordered_map<int, uint32_t> &s_generation = *new std::unordered_map<int, uint32_t>;  // under s_lock
uint32_t s_last_generation = 0;  // under s_lock

SOCKET native(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }

// A failed call leaves its error where the shared code looks for it: in
// errno, as on every platform, and in the thread's last socket error.
template <class Result>
Result noted(Result result) {
    if (result == SOCKET_ERROR) errno = WSAGetLastError();
    return result;
}

// Sockets are not handed down to child processes: the library's children
// would otherwise hold its connections open.
void keep_from_children(int fd) {
    SetHandleInformation(reinterpret_cast<HANDLE>(native(fd)), HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

bool socket_message(const MSG &msg, Message *out) {
    if (msg.message <= kSocketMessageBase || msg.message > kSocketMessageBase + kGenerations) return false;
    *out = Message{WM_SOCKET_EVENT, msg.wParam,
                   socket_event_word(WSAGETSELECTEVENT(msg.lParam), WSAGETSELECTERROR(msg.lParam),
                                     msg.message - kSocketMessageBase)};
    return true;
}

// An accepted socket's events up to its own registration came under its
// listener's (see sel_accept) and were dropped, an end of its peer's among
// them, which registering again does not report a second time: its reader
// is told to look once, and finds the data, the end, or nothing.
int select_socket(int fd, uint32_t mask, SocketIs known) {
    std::lock_guard<std::mutex> guard(s_lock);
    HWND window = worker_window();
    if (mask == 0) {
        s_generation.erase(fd);
        return window != nullptr ? noted(WSAAsyncSelect(native(fd), window, 0, 0)) : 0;
    }
    if (window == nullptr) return -1;
    s_last_generation = s_last_generation % kGenerations + 1;
    s_generation[fd] = s_last_generation;
    keep_from_children(fd);
    UINT message = kSocketMessageBase + s_last_generation;
    if (noted(WSAAsyncSelect(native(fd), window, message, static_cast<long>(mask))) == SOCKET_ERROR) return -1;
    if (known == SocketIs::Accepted && (mask & FD_READ) != 0)
        PostMessageA(window, message, static_cast<WPARAM>(native(fd)), WSAMAKESELECTREPLY(FD_READ, 0));
    return 0;
}

bool socket_event_is_current(int fd, uint32_t generation) {
    std::lock_guard<std::mutex> guard(s_lock);
    auto it = s_generation.find(fd);
    return it != s_generation.end() && it->second == generation;
}

bool post_socket_event(int fd, uint32_t event) {
    std::lock_guard<std::mutex> guard(s_lock);
    auto it = s_generation.find(fd);
    return it != s_generation.end() &&
           PostMessageA(worker_window(), kSocketMessageBase + it->second, static_cast<WPARAM>(native(fd)),
                        WSAMAKESELECTREPLY(event, 0)) != 0;
}

int sel_close(int fd) {
    select_socket(fd, 0);
    return noted(closesocket(native(fd)));
}

// The peer's end is no error, so errno names none after it.
ssize_t sel_recv(int fd, void *buf, size_t len, int flags) {
    int n = noted(recv(native(fd), static_cast<char *>(buf), static_cast<int>(len), flags));
    if (n == 0) errno = 0;
    return n;
}

// A datagram longer than the room fills it and loses the rest, as elsewhere;
// the system calls that an error and tells nothing of its length, so the
// result is one more than the room: longer.
ssize_t sel_recvfrom(int fd, void *buf, size_t len, int flags, sockaddr *from, socklen_t *fromlen) {
    int n = recvfrom(native(fd), static_cast<char *>(buf), static_cast<int>(len), flags, from, fromlen);
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE) return static_cast<ssize_t>(len) + 1;
    return noted(n);
}

ssize_t sel_send(int fd, const void *buf, size_t len, int flags) {
    return noted(send(native(fd), static_cast<const char *>(buf), static_cast<int>(len), flags));
}

ssize_t sel_sendto(int fd, const void *buf, size_t len, int flags, const sockaddr *to, socklen_t tolen) {
    return noted(sendto(native(fd), static_cast<const char *>(buf), static_cast<int>(len), flags, to, tolen));
}

// The accepted socket shares its listener's registration until the caller
// registers it: what that posts meanwhile carries the listener's generation
// and is dropped (select_socket makes up for it).
int sel_accept(int fd, sockaddr *addr, socklen_t *addrlen) {
    SOCKET s = accept(native(fd), addr, addrlen);
    if (s == INVALID_SOCKET) {
        errno = WSAGetLastError();
        return -1;
    }
    keep_from_children(static_cast<int>(s));
    return static_cast<int>(s);
}

// Urgent data reads in line with the stream; accepted sockets take it from
// their listener.
int sel_listen(int fd, int backlog) {
    BOOL on = TRUE;
    setsockopt(native(fd), SOL_SOCKET, SO_OOBINLINE, reinterpret_cast<const char *>(&on), sizeof on);
    return noted(listen(native(fd), backlog));
}

int sel_connect(int fd, const sockaddr *addr, socklen_t addrlen) {
    BOOL on = TRUE;
    setsockopt(native(fd), SOL_SOCKET, SO_OOBINLINE, reinterpret_cast<const char *>(&on), sizeof on);
    return noted(connect(native(fd), addr, addrlen));
}

int sel_last_error() { return WSAGetLastError(); }

}  // namespace keel::rt
