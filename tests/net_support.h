// Helpers free of the library, header-only so that the stress program and the fuzz harnesses share them with the tests:
// plain sockets on the loopback addresses and the process's descriptor count (the wait with a deadline is test_core.h's).
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "test_core.h"

namespace keel_test {

#ifdef _WIN32  // Winsock's handles fit an int, and it wants starting before a socket is made
using pollfd = WSAPOLLFD;
inline int poll(pollfd *fds, unsigned n, int timeout_ms) { return WSAPoll(fds, n, timeout_ms); }
inline int close_socket(int fd) { return closesocket(fd); }
inline SOCKET as_socket(int fd) { return static_cast<SOCKET>(fd); }
inline int read_some(int fd, char *buf, size_t n) { return recv(fd, buf, static_cast<int>(n), 0); }
inline const bool kWinsockStarted = [] { WSADATA d; return WSAStartup(MAKEWORD(2, 2), &d) == 0; }();
#else
inline int close_socket(int fd) { return close(fd); }
inline int as_socket(int fd) { return fd; }
inline ssize_t read_some(int fd, char *buf, size_t n) { return read(fd, buf, n); }  // a socket's, a pty's or a pipe's
#endif

// A loopback address of either family; port 0 until a bind fills it in.
struct Addr {
    sockaddr_storage ss{};
    socklen_t len;
    explicit Addr(int family = AF_INET, uint16_t port = 0) {
        ss.ss_family = static_cast<decltype(ss.ss_family)>(family);
        reinterpret_cast<sockaddr_in &>(ss).sin_port = htons(port);  // where both families keep it
        if (family == AF_INET) reinterpret_cast<sockaddr_in &>(ss).sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (family == AF_INET6) reinterpret_cast<sockaddr_in6 &>(ss).sin6_addr = in6addr_loopback;
        len = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    }
    sockaddr *sa() { return reinterpret_cast<sockaddr *>(&ss); }
    uint16_t port() const { return ntohs(reinterpret_cast<const sockaddr_in &>(ss).sin_port); }
};

// A socket bound to `at`, whose port the bind fills in; a stream socket listens unless told not to. Set-up that fails
// ends the program.
inline int bound(int type, Addr &at, bool listening = true) {
    int fd = socket(at.ss.ss_family, type, 0);
    if (fd < 0 || bind(fd, at.sa(), at.len) != 0 || (type == SOCK_STREAM && listening && listen(fd, 128) != 0) ||
        getsockname(fd, at.sa(), &at.len) != 0)
        abort();
    return fd;
}
inline int bound(int type, uint16_t *port, int family = AF_INET) {
    Addr at(family);
    int fd = bound(type, at);
    *port = at.port();
    return fd;
}

inline uint16_t free_port(int type = SOCK_STREAM) {  // of 127.0.0.1, that nobody holds right now
    uint16_t port;
    close_socket(bound(type, &port));
    return port;
}
inline int plain_connect(uint16_t port) {  // a blocking plain client of 127.0.0.1:port, or -1
    Addr to(AF_INET, port);
    int fd = socket(AF_INET, SOCK_STREAM, 0), rc, err = 0;
    if (connect(fd, to.sa(), to.len) == 0) return fd;
    if (errno == EINTR) {  // a signal (the fuzzer's alarm) cut the wait short; the connect goes on
        pollfd p{as_socket(fd), POLLOUT, 0};
        socklen_t len = sizeof err;
        while ((rc = poll(&p, 1, 10000)) < 0 && errno == EINTR) continue;
        if (rc == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err), &len) == 0 && err == 0)
            return fd;
    }
    close_socket(fd);
    return -1;
}

// Reads until n bytes came, the peer ended, or a wait of timeout_ms passed.
inline std::string read_exact(int fd, size_t n, int timeout_ms = 5000) {
    std::string got;
    char buf[65536];
    pollfd p{as_socket(fd), POLLIN, 0};
    for (ssize_t k = 1; k > 0 && got.size() < n && poll(&p, 1, timeout_ms) == 1;)
        if ((k = read_some(fd, buf, std::min(sizeof buf, n - got.size()))) > 0) got.append(buf, static_cast<size_t>(k));
    return got;
}

// True when the peer ends the connection, by a close or a reset, within timeout_ms.
inline bool peer_ended(int fd, int timeout_ms = 5000) {
    pollfd p{as_socket(fd), POLLIN, 0};
    char byte;
    return poll(&p, 1, timeout_ms) == 1 && read_some(fd, &byte, 1) <= 0;
}
inline void reset_close(int fd) {  // a reset instead of a close
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<char *>(&hard), sizeof hard);
    close_socket(fd);
}
// How many descriptors the process holds, less the one the count itself opens. On Windows, how many sockets: a
// process's handles cannot be counted under wine, and the sockets are what the network tests leak or not.
#ifdef _WIN32
constexpr bool kCountsSocketsOnly = true;
#else
constexpr bool kCountsSocketsOnly = false;
#endif
inline int fd_count() {
#ifdef _WIN32
    int sockets = 0, type;
    for (uintptr_t handle = 4; handle < 1 << 16; handle += 4) {
        int len = sizeof type;
        sockets += getsockopt(static_cast<SOCKET>(handle), SOL_SOCKET, SO_TYPE, reinterpret_cast<char *>(&type), &len) == 0;
    }
    return sockets;
#else
    std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<int>(std::distance(begin(fds), end(fds))) - 1;
#endif
}
// Waits until the process holds `count` descriptors again (a socket closes on the main thread, a little after the
// call).
inline bool fd_count_returns_to(int count) {
    return wait_until([count] { return fd_count() == count; });
}

// True when the tests run under qemu-user, as a cross build's ctest runs them (it sets KEEL_TEST_EMULATOR). A few
// system calls behave differently there; a case that meets one of those is skipped there alone, naming the limit.
inline bool under_emulation() { return getenv("KEEL_TEST_EMULATOR") != nullptr; }
#define KEEL_SKIP_UNDER_EMULATION(limit) \
    if (keel_test::under_emulation()) GTEST_SKIP() << "under qemu-user, which " << (limit)

}  // namespace keel_test
