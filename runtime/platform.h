// The platform layer under the runtime: a message queue owned by the main
// thread, a one-second tick, a deadline for the precise timers, and socket
// readiness turned into queued (socket, event, error) messages. On Windows
// these are the system's own (runtime/win: a message-only window, a
// multimedia timer, a waitable timer, WSAAsyncSelect); elsewhere runtime/unix
// builds the same over epoll. Nothing else in the library waits on the system.
//
// Contract
//  - Messages are (number, wparam, lparam). queue_post() never blocks and may
//    be called from any thread once queue_open() has run; messages are taken
//    one at a time, in posting order, by queue_get() on the owning thread,
//    which sleeps (no polling) until a message or a socket event is there.
//  - tick_start() starts the tick, which posts WM_TIMER (0, 0) every 1000 ms
//    until the process ends; at most one WM_TIMER waits in the queue at a
//    time, so a main thread held up for ten seconds sees one tick, not ten.
//  - deadline_set(us) makes the owner take WM_DEADLINE (0, 0) once the
//    monotonic clock reaches us: exact, and nothing runs until then. A
//    WM_DEADLINE may also come a little early or after the deadline was
//    replaced; its handler looks at the clock.
//  - select_socket(fd, mask) registers a socket for the event codes in mask
//    (FD_READ 1, FD_WRITE 2, FD_ACCEPT 8, FD_CONNECT 16, FD_CLOSE 32) and makes
//    it non-blocking; mask 0 cancels, and messages already queued still
//    arrive. Each event is queued as WM_SOCKET_EVENT with the socket in wparam
//    and (event | error << 16 | generation << 32) in lparam, error being a
//    WSA_* number below. The generation names the registration: every
//    registration gets a new one, so an event queued for a socket that was
//    since cancelled (and whose number may already serve another socket) is
//    told apart with socket_event_is_current().
//  - Events are one-shot, re-enabled by the matching call made through the
//    sel_* wrappers below:
//      FD_READ     when data or a datagram waits; again only after a receive
//                  call, and then only if data still waits. A connection that
//                  was reset or aborted also reports FD_READ, so that the
//                  reader takes what arrived before and then meets the error;
//      FD_ACCEPT   when a connection waits; again only after an accept call;
//                  also for a socket registered before sel_listen();
//      FD_WRITE    once when a connected socket can send (after its connect,
//                  or at registration), then only after a send that would
//                  have blocked, once the socket takes data again. This holds
//                  after FD_CLOSE too, for a socket kept open after the
//                  peer's end of sending (the TCP client does not keep it:
//                  it closes on that FD_CLOSE);
//      FD_CONNECT  once when a connect started with sel_connect() ends,
//                  carrying the error when it failed;
//      FD_CLOSE    once, when the peer has closed and all its data was read;
//                  with the error at once only for a socket not registered
//                  for FD_READ.
//    Urgent data is received in line with the rest of the stream.
//  - The wrappers behave as the plain calls and set the last socket error
//    (sel_last_error(), a WSA_* number) of the calling thread.
#pragma once

#if defined(_WIN32)
// The system's headers name WM_TIMER and the event codes as macros: they must
// have the values below, and give way to them in the library's code.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
static_assert(WM_TIMER == 275 && FD_READ == 1 && FD_WRITE == 2 && FD_ACCEPT == 8 && FD_CONNECT == 16 && FD_CLOSE == 32);
#undef WM_TIMER
#undef FD_READ
#undef FD_WRITE
#undef FD_ACCEPT
#undef FD_CONNECT
#undef FD_CLOSE
#else
#include <sys/socket.h>
#include <sys/types.h>
#endif

#include <cstdint>

#include "runtime/socket_errors.h"

namespace keel::rt {

// Runtime message numbers.
constexpr uint32_t WM_TIMER = 275;
constexpr uint32_t WM_SOCKET_EVENT = 11025;
constexpr uint32_t WM_SOCKET_CLOSE = 11026;
constexpr uint32_t WM_POSTED_FUNC = 11027;
// The library's own: the timers' deadline passed (deadline_set).
constexpr uint32_t WM_DEADLINE = 11028;
// The library's own: a watched signal arrived; its number in wparam (signal_watch).
constexpr uint32_t WM_SIGNAL = 11029;

// Socket event codes.
constexpr uint32_t FD_READ = 1;
constexpr uint32_t FD_WRITE = 2;
constexpr uint32_t FD_ACCEPT = 8;
constexpr uint32_t FD_CONNECT = 16;
constexpr uint32_t FD_CLOSE = 32;

// The parameters are wide enough for what the runtime puts in them whatever
// the width of a pointer: a descriptor in wparam, and in lparam the 64-bit
// event word below, which a pointer-sized lparam would cut in half on a
// 32-bit machine (and with it every event's generation).
using LParam = int64_t;
struct Message {
    uint32_t number;
    uintptr_t wparam;
    LParam lparam;
};

// A WM_SOCKET_EVENT taken apart.
struct SocketEvent {
    int sock;
    uint32_t event;
    int error;
    uint32_t generation;
};

// The lparam of a WM_SOCKET_EVENT: the event code in bits 0-15, the error
// number in bits 16-31 and the registration's generation in bits 32-63.
inline LParam socket_event_word(uint32_t event, int error, uint32_t generation) {
    uint64_t bits = (event & 0xFFFF) | (static_cast<uint64_t>(static_cast<uint16_t>(error)) << 16) |
                    (static_cast<uint64_t>(generation) << 32);
    return static_cast<LParam>(bits);
}

inline SocketEvent socket_event_of(const Message &msg) {
    auto bits = static_cast<uint64_t>(msg.lparam);
    return SocketEvent{static_cast<int>(msg.wparam), static_cast<uint32_t>(bits & 0xFFFF),
                       static_cast<int>((bits >> 16) & 0xFFFF), static_cast<uint32_t>(bits >> 32)};
}

// Creates the queue; the calling thread becomes its owner. False on failure.
bool queue_open();
// Queues a message; false when the queue does not exist.
bool queue_post(uint32_t number, uintptr_t wparam, LParam lparam);
// Owner only: waits for the next message. 1 with a message, -1 on failure.
int queue_get(Message *out);
// The same with a limit: 0 when timeout_ms (-1: none) passed without one.
// For the tests of the layer over epoll.
int queue_get_for(Message *out, int timeout_ms);

// The monotonic clock, in microseconds from an arbitrary start.
int64_t monotonic_us();

// Why signo cannot be watched here, or nullptr when it can.
const char *signal_refusal(int signo);
// Starts (on) or stops watching signo; any thread. While watched, each
// arrival queues WM_SIGNAL (signo, 0), and the signal takes no other action;
// the calling thread blocks it. Stopped, it has its default action again, in
// the calling thread too. False when the system refused.
bool signal_watch(int signo, bool on);

// Starts the periodic WM_TIMER thread. False when it could not be started.
bool tick_start();
// Queues WM_DEADLINE once the monotonic clock reaches due_us (microseconds,
// the clock of os_clock_us); a later call replaces the deadline, 0 cancels
// it. Any thread. False when the queue does not exist.
bool deadline_set(int64_t due_us);

// What the caller knows of a stream socket it registers. Left to guess, the
// layer asks the socket itself; an accepted socket whose peer is already gone
// would then pass for one never connected, and never be reported. Accepted:
// returned by sel_accept, so connected, and set up as registration needs.
enum class SocketIs { Guess, Accepted };

// Registers (mask != 0) or cancels (mask 0). 0 on success, -1 on failure.
int select_socket(int fd, uint32_t mask, SocketIs known = SocketIs::Guess);
// True while fd is registered under the generation an event carries.
bool socket_event_is_current(int fd, uint32_t generation);
// Queues event (no error) for fd under its current registration, as if the
// system had reported it. False when fd is not registered.
bool post_socket_event(int fd, uint32_t event);
// Cancels the registration, then closes the socket.
int sel_close(int fd);

// The calls that re-enable events. They return what the system call returns.
ssize_t sel_recv(int fd, void *buf, size_t len, int flags);
ssize_t sel_recvfrom(int fd, void *buf, size_t len, int flags, sockaddr *from, socklen_t *fromlen);
ssize_t sel_send(int fd, const void *buf, size_t len, int flags);
ssize_t sel_sendto(int fd, const void *buf, size_t len, int flags, const sockaddr *to,
                   socklen_t tolen);
// The socket it returns is non-blocking and closed on exec.
int sel_accept(int fd, sockaddr *addr, socklen_t *addrlen);
// Every connection the socket accepts then reads urgent data in line.
int sel_listen(int fd, int backlog);
int sel_connect(int fd, const sockaddr *addr, socklen_t addrlen);

// Tests only: called on the owner thread between epoll_wait and the handling
// of what it returned, to stage the races that happen there.
extern void (*g_after_epoll_wait)();

// The calling thread's last socket error as a WSA_* number (0: none).
int sel_last_error();

}  // namespace keel::rt
