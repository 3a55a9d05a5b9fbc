// The UDP client: one IPv4 datagram socket, made at create, bound and
// registered by open. Its read and write events are handled by the dispatch
// (dispatch.cc).
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "keel/os_runtime.h"
#include "log/report.h"
#include "net/net_internal.h"
#include "net/records.h"
#include "runtime/platform.h"

using namespace keel::net;
namespace rt = keel::rt;

namespace {

bool refuse_null(const os_udp_client_t *client, const char *report = "client is null") {
    if (client != nullptr) return false;
    KEEL_INFO("%s", report);
    return true;
}

int clamp_length(uint32_t len) { return len > INT_MAX ? INT_MAX : static_cast<int>(len); }

// Would-block is 0, any other failure -1.
int result_of(ssize_t n) {
    if (n >= 0) return static_cast<int>(n);
    return rt::sel_last_error() == rt::WSAEWOULDBLOCK ? 0 : -1;
}

// A port unreachable that an earlier send met can come as the failure of a
// later read (as it does on Windows): reported as the event would have been,
// and the client goes on.
int read_failed(ssize_t n) {
    int error = rt::sel_last_error();
    if (error != rt::WSAECONNREFUSED && error != rt::WSAECONNRESET) return result_of(n);
    KEEL_ERROR("socket err: %d", error);
    return 0;
}

// The local address that set_local asked for; false (reported) for a text
// that is no IPv4 address.
bool local_address(const os_udp_client_t *client, sockaddr_in *out) {
    *out = sockaddr_in{};
    out->sin_family = AF_INET;
    out->sin_port = htons(client->local_port);
    out->sin_addr.s_addr = htonl(INADDR_ANY);
    if (client->local_ip[0] != '\0' && !ipv4_address(client->local_ip, &out->sin_addr)) {
        KEEL_INFO("inet_addr(client->local_ip) == INADDR_NONE");
        return false;
    }
    return true;
}

// Binds the socket to the local address set so far. The system binds an
// unbound socket by itself at its first send or connect, to any address and
// a port of its choosing: those calls before open bind it here first, so that
// the address the caller set is the one used. A socket bound already keeps
// its binding when it agrees with what is asked now; a local address set
// after it was bound, and differing, is refused.
bool bind_local(os_udp_client_t *client) {
    sockaddr_in want, have{};
    if (!local_address(client, &want)) return false;
    if (socket_local(client->fd, reinterpret_cast<sockaddr_storage *>(&have)) == 0 && have.sin_port != 0) {
        if ((want.sin_port == 0 || want.sin_port == have.sin_port) &&
            (want.sin_addr.s_addr == htonl(INADDR_ANY) || want.sin_addr.s_addr == have.sin_addr.s_addr))
            return true;
        KEEL_INFO("local address %s:%u differs from the one an earlier send or connect bound",
                  client->local_ip, static_cast<unsigned>(client->local_port));
        return false;
    }
    if (socket_bind(client->fd, reinterpret_cast<sockaddr *>(&want), sizeof want) != 0) {
        KEEL_ERROR("bind fail");
        return false;
    }
    return true;
}

// Before open, the first send or connect binds the local address set so far.
bool bound_for_use(os_udp_client_t *client) {
    return status_of(client) != UDP_CLIENT_STATUS_CLOSED || client->fd == -1 || bind_local(client);
}

}  // namespace

extern "C" {

KEEL_API os_udp_client_t *os_udp_client_create(void) {
    int fd = socket_open(AF_INET, SOCK_DGRAM);
    if (fd == -1) {
        KEEL_INFO("fd == -1");
        return nullptr;
    }
    set_nonblocking(fd);
    auto *client = static_cast<os_udp_client_t *>(calloc(1, sizeof(os_udp_client_t)));
    if (client == nullptr) KEEL_FATAL("malloc fail, client == NULL");
    client->kind = kKindUdpClient;
    client->fd = fd;
    return client;
}

// The socket is released also when the client was never opened, or its open
// failed: destroy leaves nothing behind.
KEEL_API int os_udp_client_destroy(os_udp_client_t *client) {
    if (refuse_null(client, "client == NULL")) return 0;
    os_main_lock();
    os_udp_client_close(client);
    if (client->fd != -1) {
        socket_close(client->fd);
        client->fd = -1;
    }
    release(client);
    os_main_unlock();
    return 1;
}

KEEL_API int os_udp_client_set_local(os_udp_client_t *client, const char *ip, uint16_t port) {
    if (client == nullptr || ip == nullptr) {
        KEEL_INFO("client is null or ip is null");
        return 0;
    }
    if (strnlen(ip, MAX_IPV6_LEN) >= MAX_IPV6_LEN) {
        KEEL_INFO("ip length out");
        return 0;
    }
    strcpy(client->local_ip, ip);
    client->local_port = port;
    return 1;
}

// With port 0 the port is the one the system chose at open.
KEEL_API int os_udp_client_get_local(os_udp_client_t *client, char *ip_out, uint16_t *port_out) {
    if (client == nullptr || ip_out == nullptr || port_out == nullptr) {
        KEEL_INFO("client is null or ip is null or port is null");
        return 0;
    }
    strcpy(ip_out, client->local_ip);
    *port_out = client->local_port;
    if (client->local_port != 0) return 1;
    sockaddr_storage address{};
    if (socket_local(client->fd, &address) != 0) {
        KEEL_INFO("getsockname failed!");
        return 0;
    }
    *port_out = port_of(address);
    return 1;
}

KEEL_API int os_udp_client_get_status(os_udp_client_t *client) {
    if (refuse_null(client)) return -1;
    return status_of(client);
}

// A second open fails at the bind, which the system refuses for a socket
// bound already, and an open after close fails there too (there is no socket
// then): both are reported with the system's reason. Taken under the main
// lock, so that the main thread sees the client listed and registered at once.
KEEL_API int os_udp_client_open(os_udp_client_t *client) {
    if (refuse_null(client)) return 0;
    if (!os_is_startup()) {
        KEEL_INFO("os_is_startup() == 0");
        return 0;
    }
    os_main_lock();
    int result = 0;
    sockaddr_in again{};
    again.sin_family = AF_INET;
    if (client->status != UDP_CLIENT_STATUS_CLOSED) {
        if (socket_bind(client->fd, reinterpret_cast<sockaddr *>(&again), sizeof again) != 0) KEEL_ERROR("bind fail");
    } else if (bind_local(client)) {
        list_udp_client(client);
        rt::select_socket(client->fd, rt::FD_READ | rt::FD_WRITE);
        set_status(client, UDP_CLIENT_STATUS_OPEN);
        result = 1;
    }
    os_main_unlock();
    return result;
}

KEEL_API int os_udp_client_close(os_udp_client_t *client) {
    if (refuse_null(client, "client == NULL")) return 0;
    os_main_lock();
    if (client->status != UDP_CLIENT_STATUS_CLOSED) {
        set_status(client, UDP_CLIENT_STATUS_CLOSED);
        unlist_udp_client(client);
        close_later(client->fd);
        client->fd = -1;
    }
    os_main_unlock();
    return 1;
}

KEEL_API int os_udp_client_send(os_udp_client_t *client, const void *data, uint32_t len, const char *ip,
                                uint16_t port) {
    if (refuse_null(client)) return -1;
    if (data == nullptr) {
        KEEL_INFO("data is null");
        return -1;
    }
    if (ip == nullptr) {
        KEEL_INFO("ip is null");
        return -1;
    }
    if (client->connected) return result_of(rt::sel_send(client->fd, data, clamp_length(len), 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (!ipv4_address(ip, &address.sin_addr)) {
        KEEL_INFO("inet_addr(ip) == INADDR_NONE");
        return -1;
    }
    if (!bound_for_use(client)) return -1;
    return result_of(rt::sel_sendto(client->fd, data, clamp_length(len), 0, reinterpret_cast<sockaddr *>(&address),
                                    sizeof address));
}

// One call takes one datagram. A datagram longer than len fills the buffer;
// the system discards the rest of it, and the cut is reported.
KEEL_API int os_udp_client_read(os_udp_client_t *client, void *data, uint32_t len, char *ip_out,
                                uint16_t *port_out) {
    if (client == nullptr || data == nullptr || ip_out == nullptr || port_out == nullptr) {
        KEEL_INFO("client is null or data is null or ip is null or port is null");
        return -1;
    }
    // recvfrom into no room would take a whole datagram and keep nothing.
    if (len == 0) {
        KEEL_INFO("os_udp_client_read len == 0");
        return 0;
    }
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    int size = clamp_length(len);
    ssize_t got = rt::sel_recvfrom(client->fd, data, static_cast<size_t>(size), kWholeLength,
                                   reinterpret_cast<sockaddr *>(&from), &from_len);
    if (got == 0) return -1;
    if (got < 0) return read_failed(got);
    if (got > size) {
        if (kWholeLength != 0)
            KEEL_INFO("datagram of %ld bytes cut to %d", static_cast<long>(got), size);
        else
            KEEL_INFO("datagram cut to %d bytes", size);
        got = size;
    }
    *port_out = ntohs(from.sin_port);
    inet_ntop(AF_INET, &from.sin_addr, ip_out, 16);
    return static_cast<int>(got);
}

KEEL_API int os_udp_client_set_udata(os_udp_client_t *client, void *udata) {
    if (refuse_null(client)) return 0;
    client->udata = udata;
    return 1;
}

KEEL_API void *os_udp_client_get_udata(os_udp_client_t *client) {
    if (refuse_null(client)) return nullptr;
    return client->udata;
}

KEEL_API int os_udp_client_bind_read(os_udp_client_t *client, os_udp_client_cb read_cb, void *read_arg) {
    if (refuse_null(client)) return 0;
    client->read_cb = read_cb;
    client->read_arg = read_arg;
    return 1;
}

KEEL_API int os_udp_client_bind_write(os_udp_client_t *client, os_udp_client_cb write_cb, void *write_arg) {
    if (refuse_null(client)) return 0;
    client->write_cb = write_cb;
    client->write_arg = write_arg;
    return 1;
}

// The system caps the size at its own maximum; a process allowed to go past
// it (CAP_NET_ADMIN) gets what it asked for.
KEEL_API int os_udp_client_set_rcvbuf_len(os_udp_client_t *client, uint32_t len) {
    if (refuse_null(client, "client == NULL")) return 0;
    int size = clamp_length(len);
    if (socket_set(client->fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
        KEEL_ERROR("setsockopt fail");
        return 0;
    }
    socket_force_receive_buffer(client->fd, size);
    return 1;
}

KEEL_API int os_udp_client_set_multicast(os_udp_client_t *client, const char *group_addr,
                                         const char *interface_addr) {
    if (client == nullptr || group_addr == nullptr) {
        errno = EINVAL;  // reported at the error level: the cause is the argument
        KEEL_ERROR("client == NULL || interface_addr == NULL");
        return 0;
    }
    int on = 1;
    if (socket_set(client->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        KEEL_ERROR("SOCKET_ERROR == setsockopt(client->fd, SOL_SOCKET, SO_REUSEADDR, &ttl, sizeof(ttl))");
    int ttl = 64;
    if (socket_set(client->fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0)
        KEEL_ERROR("SOCKET_ERROR == setsockopt(client->fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl))");
    ip_mreq mreq{};
    mreq.imr_multiaddr.s_addr = inet_addr(group_addr);
    mreq.imr_interface.s_addr = interface_addr != nullptr ? inet_addr(interface_addr) : htonl(INADDR_ANY);
    if (socket_set(client->fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
        KEEL_ERROR("SOCKET_ERROR == setsockopt(client->fd,IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq))");
        return 0;
    }
    // Datagrams this client sends to a group leave by the same interface, so
    // that a sender and a receiver that name it meet there (the loopback
    // interface, for one, is never the system's default for multicast).
    if (interface_addr != nullptr &&
        socket_set(client->fd, IPPROTO_IP, IP_MULTICAST_IF, &mreq.imr_interface, sizeof mreq.imr_interface) != 0)
        KEEL_ERROR("SOCKET_ERROR == setsockopt(client->fd, IPPROTO_IP, IP_MULTICAST_IF, &mreq.imr_interface, sizeof(mreq.imr_interface))");
    return 1;
}

// A connect the system refuses fails the call and leaves the client sending
// to whatever address each send names.
KEEL_API int os_udp_client_connect_remote(os_udp_client_t *client, const char *ip, uint16_t port) {
    if (client == nullptr || ip == nullptr || ip[0] == '\0' || port == 0) {
        KEEL_INFO("client == NULL || (ip == NULL || strlen(ip) == 0) || port <= 0");
        return 0;
    }
    int type = os_get_ip_type(ip);
    if (type < 0) {
        KEEL_INFO("os_get_ip_addr_type() failed, ip_type:%d", type);
        return 0;
    }
    sockaddr_storage address{};
    socklen_t len = 0;
    if (get_sock_addr_info(type, ip, port, &address, &len) != 0) {
        KEEL_INFO("get addr fail");
        return 0;
    }
    if (!bound_for_use(client)) return 0;
    if (rt::sel_connect(client->fd, reinterpret_cast<sockaddr *>(&address), len) != 0) {
        KEEL_ERROR("udp connect fail %s %d", ip, port);
        return 0;
    }
    client->connected = 1;
    return 1;
}

}  // extern "C"
