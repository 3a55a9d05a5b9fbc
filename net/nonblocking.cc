// The one socket routine that the socket records and the runtime's accept path
// share: switching a socket to non-blocking mode.
#include <sys/ioctl.h>

#include "log/report.h"
#include "net/net_internal.h"

// Every socket of the library is served from one event loop, so a socket that
// could block would stall every other one: failing here ends the process.
void set_nonblocking(int sock) {
    int on = 1;
    if (ioctl(sock, FIONBIO, &on) == -1)
        KEEL_FATAL("ioctlsocket(sock, FIONBIO, &ulArg) == SOCKET_ERROR");
}
