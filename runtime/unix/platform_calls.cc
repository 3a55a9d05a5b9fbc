// The socket calls that re-enable events (platform.h): each behaves as the
// plain call, notes the socket error of a failure for sel_last_error(), and
// tells the readiness state machine what the call showed.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/unix/platform_internal.h"

namespace keel::rt {
namespace {

__attribute__((tls_model("initial-exec"))) thread_local int t_last_error = 0;

// Runs a call, lets `then` see (and, for a read, amend) its result and errno,
// and hands the caller errno as the call left it, whatever `then` did meanwhile.
template <class Call, class Then>
auto tracked(Call call, Then then) {
    auto result = call();
    int err = errno;
    then(result, err);
    if (result < 0) t_last_error = wsa_error_from_errno(err);
    errno = err;
    return result;
}

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

}  // namespace

// The peer's end is no error, so errno names none after it; a connection
// whose connect completed with a reset already taken meets that reset here.
ssize_t sel_recv(int fd, void *buf, size_t len, int flags) {
    EdgesBefore before = edges_before(fd);
    return tracked([&] { return recv(fd, buf, len, flags); },
                   [&](ssize_t &n, int &err) {
                       if (n == 0) err = len > 0 ? held_error_of(fd) : 0;
                       if (n == 0 && err != 0) n = -1;
                       after_read(fd, n, len, err, before);
                   });
}

ssize_t sel_recvfrom(int fd, void *buf, size_t len, int flags, sockaddr *from, socklen_t *fromlen) {
    EdgesBefore before = edges_before(fd);
    return tracked([&] { return recvfrom(fd, buf, len, flags, from, fromlen); },
                   [&](ssize_t n, int err) { after_read(fd, n, len, err, before); });
}

// Sends never raise SIGPIPE: a closed peer is an error result, not a signal
// that would end the caller's process.
ssize_t sel_send(int fd, const void *buf, size_t len, int flags) {
    EdgesBefore before = edges_before(fd);
    return tracked([&] { return send(fd, buf, len, flags | MSG_NOSIGNAL); },
                   [&](ssize_t n, int err) {
                       if (n < 0 && would_block(err)) after_blocked_send(fd, before);
                   });
}

ssize_t sel_sendto(int fd, const void *buf, size_t len, int flags, const sockaddr *to, socklen_t tolen) {
    EdgesBefore before = edges_before(fd);
    return tracked([&] { return sendto(fd, buf, len, flags | MSG_NOSIGNAL, to, tolen); },
                   [&](ssize_t n, int err) {
                       if (n < 0 && would_block(err)) after_blocked_send(fd, before);
                   });
}

// After a failure for lack of descriptors or memory the listener stays quiet:
// the connection still waits, and re-enabling at once would report it again
// and again. The next accept call (the tick polls every second) re-enables.
int sel_accept(int fd, sockaddr *addr, socklen_t *addrlen) {
    return tracked([&] { return accept4(fd, addr, addrlen, SOCK_CLOEXEC | SOCK_NONBLOCK); },
                   [&](int s, int err) {
                       bool starved = s < 0 && (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM);
                       if (!starved) after_read(fd, 0, 0, 0, EdgesBefore{});
                   });
}

// A connection takes its socket options from its listener as it is
// accepted: set here once, the option costs no connection a system call.
int sel_listen(int fd, int backlog) {
    inline_urgent_data(fd);
    return tracked([&] { return listen(fd, backlog); },
                   [&](int rc, int) {
                       if (rc == 0) after_listen(fd);
                   });
}

int sel_connect(int fd, const sockaddr *addr, socklen_t addrlen) {
    return tracked([&] { return connect(fd, addr, addrlen); }, [&](int rc, int err) { after_connect(fd, rc, err); });
}

int sel_close(int fd) {
    forget_before_close(fd);
    return close(fd);
}

int sel_last_error() { return t_last_error; }

}  // namespace keel::rt
