// The socket calls of socket_calls.h over the system's own, which already
// have that form: each is the plain call.
#pragma once

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace keel::net {

// A new socket, closed on exec so that children do not hold it open.
inline int socket_open(int family, int type) { return socket(family, type | SOCK_CLOEXEC, 0); }

inline int socket_close(int fd) { return close(fd); }

inline bool socket_nonblocking(int fd) {
    int on = 1;
    return ioctl(fd, FIONBIO, &on) != -1;
}

inline int socket_set(int fd, int level, int name, const void *value, socklen_t len) {
    return setsockopt(fd, level, name, value, len);
}

inline int socket_get(int fd, int level, int name, void *value, socklen_t *len) {
    return getsockopt(fd, level, name, value, len);
}

inline int socket_bind(int fd, const sockaddr *address, socklen_t len) { return bind(fd, address, len); }

inline int socket_local(int fd, sockaddr_storage *out) {
    socklen_t len = sizeof *out;
    return getsockname(fd, reinterpret_cast<sockaddr *>(out), &len);
}

inline int socket_peer(int fd, sockaddr_storage *out) {
    socklen_t len = sizeof *out;
    return getpeername(fd, reinterpret_cast<sockaddr *>(out), &len);
}

// Both directions.
inline int socket_shutdown(int fd) { return shutdown(fd, SHUT_RDWR); }

// The plain calls of a socket no longer registered: they leave the
// registration as it is (only the sel_* wrappers re-enable events).
inline ssize_t socket_send(int fd, const void *data, size_t len) { return send(fd, data, len, MSG_NOSIGNAL); }
inline ssize_t socket_recv(int fd, void *buffer, size_t len) { return recv(fd, buffer, len, 0); }
inline int socket_shutdown_send(int fd) { return shutdown(fd, SHUT_WR); }
constexpr bool kPlainCallsRearm = false;

// True once the peer has acknowledged every byte sent on the socket.
inline bool socket_all_acknowledged(int fd) {
    int queued = -1;
    return ioctl(fd, SIOCOUTQ, &queued) == 0 && queued == 0;
}

// A restarted server may bind its port while old connections of it wait out
// their time; a port that another socket listens on stays refused.
inline void socket_allow_rebinding(int fd) {
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

// The system caps a receive buffer at its own maximum; a process allowed to
// go past it (CAP_NET_ADMIN) gets the size it asked for.
inline void socket_force_receive_buffer(int fd, int size) {
    int got = 0;
    socklen_t got_len = sizeof got;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &got, &got_len) == 0 && got / 2 < size)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
}

// An error number kept in a byte (a connection's record holds one): an errno
// value fits as it is.
inline uint8_t error_byte(int error) { return static_cast<uint8_t>(error); }
inline int error_of_byte(uint8_t byte) { return byte; }

// A datagram read tells its whole length, also when it was cut to the room.
constexpr int kWholeLength = MSG_TRUNC;

}  // namespace keel::net
