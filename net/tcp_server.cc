// The TCP server: one listening socket, IPv4 or IPv6 by its address text
// ("::" takes both families). Here the record is made, opened and closed;
// accepting is accept.cc's.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "keel/os_runtime.h"
#include "log/report.h"
#include "net/net_internal.h"
#include "net/records.h"
#include "net/tls.h"
#include "runtime/platform.h"

using namespace keel::net;
using keel::rt::FD_ACCEPT;
using keel::rt::FD_CLOSE;
using keel::rt::FD_READ;
using keel::rt::FD_WRITE;

void keel::net::free_record(os_tcp_server *server) {
    tls_server_free(server);
    free(server);
}

namespace {

bool refuse_null(const os_tcp_server_t *server) {
    if (server != nullptr) return false;
    KEEL_INFO("server == NULL");
    return true;
}

// A failed open keeps no socket: the next open starts from nothing.
int fail_open(os_tcp_server_t *server) {
    socket_close(server->listenfd);
    server->listenfd = -1;
    return 0;
}

int start_listening(os_tcp_server_t *server) {
    int type = os_get_ip_type(server->local_ip) == 1 ? 1 : 0;
    sockaddr_storage address{};
    socklen_t address_len = 0;
    if (get_sock_addr_info(type, server->local_ip, static_cast<uint16_t>(server->local_port), &address,
                           &address_len) != 0) {
        KEEL_INFO("get addr fail");
        return 0;
    }
    // Running out of descriptors is no reason to end the process: the open
    // fails like any other.
    server->listenfd = socket_open(type == 1 ? AF_INET6 : AF_INET, SOCK_STREAM);
    if (server->listenfd == -1) {
        KEEL_ERROR("server->listenfd == -1");
        return 0;
    }
    set_nonblocking(server->listenfd);
    linger no_linger{0, 0};
    if (socket_set(server->listenfd, SOL_SOCKET, SO_LINGER, &no_linger, sizeof no_linger) != 0)
        KEEL_INFO("setsockopt(server->listenfd, SOL_SOCKET, SO_DONTLINGER, (char*)&no_linger, sizeof(BOOL)) == SOCKET_ERROR");
    socket_allow_rebinding(server->listenfd);
    // "::" is both families' every address, whatever the system's default
    // for IPv6 sockets says.
    int v6only = 0;
    if (type == 1 && IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<sockaddr_in6 &>(address).sin6_addr))
        socket_set(server->listenfd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    if (socket_bind(server->listenfd, reinterpret_cast<sockaddr *>(&address), address_len) != 0) {
        KEEL_ERROR("bind fail");
        return fail_open(server);
    }
    if (keel::rt::sel_listen(server->listenfd, INT_MAX) != 0) {
        KEEL_ERROR("listen fail");
        return fail_open(server);
    }
    bool wildcard = type == 1 ? IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<sockaddr_in6 &>(address).sin6_addr)
                              : reinterpret_cast<sockaddr_in &>(address).sin_addr.s_addr == htonl(INADDR_ANY);
    server->accepted_local_known = !wildcard && socket_local(server->listenfd, &server->accepted_local) == 0;
    set_status(server, TCP_SERVER_STATUS_LISTEN);
    list_server(server);
    if (s_accept_by_select)
        keel::rt::select_socket(server->listenfd, FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE);
    return 1;
}

}  // namespace

extern "C" {

KEEL_API os_tcp_server_t *os_tcp_server_create(void) {
    auto *server = static_cast<os_tcp_server_t *>(calloc(1, sizeof(os_tcp_server_t)));
    if (server == nullptr) KEEL_FATAL("malloc fail, server == NULL");
    server->kind = kKindServer;
    strcpy(server->local_ip, "0.0.0.0");
    server->listenfd = -1;
    return server;
}

KEEL_API int os_tcp_server_destroy(os_tcp_server_t *server) {
    if (refuse_null(server)) return 0;
    os_main_lock();
    os_tcp_server_close(server);
    release(server);
    os_main_unlock();
    return 1;
}

// The port is stored first, so it changes even when the text is refused.
// Any text inet_addr takes is an IPv4 address, but only the dotted forms fit
// the 16 bytes that get_local hands back for one; IPv6 text fits its 64, and
// a longer text fits no field at all, whatever it names.
KEEL_API int os_tcp_server_set_local(os_tcp_server_t *server, const char *ip, uint16_t port) {
    if (refuse_null(server)) return 0;
    server->local_port = port;
    if (ip == nullptr) return 1;
    if (strnlen(ip, MAX_IPV6_LEN) >= MAX_IPV6_LEN) {
        KEEL_INFO("strlen(ip) >= %d", MAX_IPV6_LEN);
        return 0;
    }
    bool v6 = os_get_ip_type(ip) == 1;
    if (!v6 && inet_addr(ip) == INADDR_NONE) {
        KEEL_INFO("inet_addr(ip) == INADDR_NONE");
        return 0;
    }
    if (strnlen(ip, MAX_IPV6_LEN) >= (v6 ? MAX_IPV6_LEN : 16u)) {
        KEEL_INFO("strlen(ip) >= %d", v6 ? MAX_IPV6_LEN : 16);
        return 0;
    }
    strcpy(server->local_ip, ip);
    return 1;
}

KEEL_API int os_tcp_server_get_local(os_tcp_server_t *server, char *ip_out, uint16_t *port_out) {
    if (refuse_null(server)) return 0;
    if (ip_out == nullptr || port_out == nullptr) {
        KEEL_INFO("ip_out == NULL || port_out == NULL");
        return 0;
    }
    strcpy(ip_out, server->local_ip);
    *port_out = static_cast<uint16_t>(server->local_port);
    return 1;
}

KEEL_API int os_tcp_server_get_status(os_tcp_server_t *server) {
    if (refuse_null(server)) return -1;
    return status_of(server);
}

KEEL_API int os_tcp_server_bind_accept(os_tcp_server_t *server, os_tcp_accept_cb accept_cb, void *accept_arg) {
    if (refuse_null(server)) return 0;
    server->accept_cb = accept_cb;
    server->accept_arg = accept_arg;
    return 1;
}

// Taken under the main lock, so that the main thread sees the server listed
// and registered at once, never one without the other.
KEEL_API int os_tcp_server_open(os_tcp_server_t *server) {
    if (refuse_null(server)) return 0;
    if (!os_is_startup()) {
        KEEL_INFO("os_is_startup() == 0");
        return 0;
    }
    os_main_lock();
    int result = server->status == TCP_SERVER_STATUS_CLOSED ? start_listening(server) : 0;
    os_main_unlock();
    return result;
}

KEEL_API int os_tcp_server_close(os_tcp_server_t *server) {
    if (refuse_null(server)) return 0;
    os_main_lock();
    tls_server_closed(server);
    if (server->status == TCP_SERVER_STATUS_LISTEN) {
        set_status(server, TCP_SERVER_STATUS_CLOSED);
        unlist_server(server);
        close_later(server->listenfd);
        server->listenfd = -1;
    }
    os_main_unlock();
    return 1;
}

}  // extern "C"
