// The socket calls of socket_calls.h over Winsock, whose sockets are handles,
// whose options are char pointers and whose errors are WSAGetLastError()'s.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cerrno>
#include <cstdint>

#include "runtime/socket_errors.h"

#include <cstdint>

namespace keel::net {

namespace win {
inline SOCKET native(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }
inline int noted(int rc) {
    if (rc == SOCKET_ERROR) errno = WSAGetLastError();
    return rc;
}
}  // namespace win

// A new socket, not inherited, so that children do not hold it open.
inline int socket_open(int family, int type) {
    SOCKET s = WSASocketW(family, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        errno = WSAGetLastError();
        return -1;
    }
    return static_cast<int>(s);
}

inline int socket_close(int fd) { return win::noted(closesocket(win::native(fd))); }

inline bool socket_nonblocking(int fd) {
    u_long on = 1;
    return win::noted(ioctlsocket(win::native(fd), FIONBIO, &on)) != SOCKET_ERROR;
}

inline int socket_set(int fd, int level, int name, const void *value, socklen_t len) {
    return win::noted(setsockopt(win::native(fd), level, name, static_cast<const char *>(value), len));
}

inline int socket_get(int fd, int level, int name, void *value, socklen_t *len) {
    return win::noted(getsockopt(win::native(fd), level, name, static_cast<char *>(value), len));
}

inline int socket_bind(int fd, const sockaddr *address, socklen_t len) {
    return win::noted(bind(win::native(fd), address, len));
}

inline int socket_local(int fd, sockaddr_storage *out) {
    socklen_t len = sizeof *out;
    return win::noted(getsockname(win::native(fd), reinterpret_cast<sockaddr *>(out), &len));
}

inline int socket_peer(int fd, sockaddr_storage *out) {
    socklen_t len = sizeof *out;
    return win::noted(getpeername(win::native(fd), reinterpret_cast<sockaddr *>(out), &len));
}

// Both directions.
inline int socket_shutdown(int fd) { return win::noted(shutdown(win::native(fd), SD_BOTH)); }

// The plain calls of a socket. Winsock re-enables a registered socket's
// messages after these too, so a socket is taken out of the registration
// before they are made (kPlainCallsRearm).
inline ssize_t socket_send(int fd, const void *data, size_t len) {
    return win::noted(send(win::native(fd), static_cast<const char *>(data), static_cast<int>(len), 0));
}
inline ssize_t socket_recv(int fd, void *buffer, size_t len) {
    return win::noted(recv(win::native(fd), static_cast<char *>(buffer), static_cast<int>(len), 0));
}
inline int socket_shutdown_send(int fd) { return win::noted(shutdown(win::native(fd), SD_SEND)); }
constexpr bool kPlainCallsRearm = true;

// Whether the peer has acknowledged every byte sent cannot be asked here:
// false, and the caller waits for the peer's end instead.
inline bool socket_all_acknowledged(int) { return false; }

// A restarted server may bind its port while old connections of it wait out
// their time: Windows allows that as it stands. Its SO_REUSEADDR would also
// let a port that another socket listens on be taken, so it stays off.
inline void socket_allow_rebinding(int) {}

// A receive buffer has the size asked for: there is no cap to go past.
inline void socket_force_receive_buffer(int, int) {}

// An error number kept in a byte (a connection's record holds one): a
// socket's errors run from WSABASEERR, so the byte holds what lies past it.
inline uint8_t error_byte(int error) { return static_cast<uint8_t>(error == 0 ? 0 : error - rt::WSABASEERR); }
inline int error_of_byte(uint8_t byte) { return byte == 0 ? 0 : byte + rt::WSABASEERR; }

// A datagram read cannot tell the whole length of one cut to the room: the
// read gives the room's worth (runtime/win's sel_recvfrom).
constexpr int kWholeLength = 0;

}  // namespace keel::net
