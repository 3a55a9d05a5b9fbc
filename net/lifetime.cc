// A socket's birth and end, shared by every socket record (see lifetime.h).
#include "net/lifetime.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log/report.h"
#include "runtime/platform.h"

namespace keel::net {

void set_nonblocking(int sock) {
    int on = 1;
    if (ioctl(sock, FIONBIO, &on) == -1) KEEL_FATAL("ioctlsocket(sock, FIONBIO, &ulArg) == SOCKET_ERROR");
}

void close_later(int fd) {
    rt::select_socket(fd, 0);
    shutdown(fd, SHUT_RDWR);
    if (!rt::queue_post(rt::WM_SOCKET_CLOSE, static_cast<uintptr_t>(fd), 0)) close(fd);
}

}  // namespace keel::net
