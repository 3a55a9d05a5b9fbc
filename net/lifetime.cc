// A socket's birth and end, shared by every socket record (see lifetime.h).
#include "net/lifetime.h"

#include "log/report.h"
#include "net/socket_calls.h"
#include "runtime/platform.h"

namespace keel::net {

void set_nonblocking(int sock) {
    if (!socket_nonblocking(sock)) KEEL_FATAL("ioctlsocket(sock, FIONBIO, &ulArg) == SOCKET_ERROR");
}

void close_later(int fd) {
    rt::select_socket(fd, 0);
    socket_shutdown(fd);
    if (!rt::queue_post(rt::WM_SOCKET_CLOSE, static_cast<uintptr_t>(fd), 0)) socket_close(fd);
}

}  // namespace keel::net
