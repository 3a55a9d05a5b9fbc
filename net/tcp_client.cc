// The TCP client: one connection, made by the caller (connect) or by the
// library for an accepted socket (adopt). Its events are handled by the
// dispatch (dispatch.cc); the close paths they share are at the top of this
// file. A client set to a host name has it resolved by names.cc, which
// connects it to each address in turn through tcp_client_connect.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "keel/os_runtime.h"
#include "log/report.h"
#include "net/net_internal.h"
#include "net/records.h"
#include "net/resolver.h"
#include "net/tls.h"
#include "runtime/platform.h"

using namespace keel::net;
namespace rt = keel::rt;

namespace keel::net {
namespace {

struct FailBinding {
    os_tcp_fail_cb cb;
    void *arg;
};

// Few clients bind one, and the record has no room left: the bindings are
// kept here, keyed by the record (the main lock's, as the callbacks are).
std::unordered_map<const os_tcp_client_t *, FailBinding> &s_fail_bindings =
    *new std::unordered_map<const os_tcp_client_t *, FailBinding>;

}  // namespace

// Without a runtime (an adopted socket before os_startup) there is no main
// thread to leave the close to: close_later closes at once then.
// A client of a host name has no socket while its name is resolved.
// A TLS connection says goodbye (close_notify) before either, and may keep
// the socket until its last bytes are out.
void tcp_client_shut_down(os_tcp_client_t *client) {
    bool kept = client->tls && tls_close(client, true);
    unlist_client(client);
    if (client->connectfd == -1) return;
    if (!kept) close_later(client->connectfd);
    client->connectfd = -1;
}

void tcp_client_close_socket(os_tcp_client_t *client) {
    if (client->tls) tls_close(client);
    unlist_client(client);
    rt::sel_close(client->connectfd);
}

// A record the library owns is marked before its callback runs, so that the
// callback cannot open it again only to have it freed beneath the new socket.
// A host name the callback gave it goes with it (the record is only a key
// there, and may be freed already).
void tcp_client_end(os_tcp_client_t *client) {
    bool library_owned = !client->owned_by_caller;
    if (library_owned) client->free_pending = true;
    call_out(client, [&] {
        if (client->disconnect_cb != nullptr) client->disconnect_cb(client, client->disconnect_arg);
    });
    if (library_owned) host_forget(client);
}

// The client stays connecting, without a socket, as a refused connect has
// always left it: the caller closes it (from the callback too) and may open
// it again. The binding is copied first: the callback may destroy the record.
void tcp_client_failed(os_tcp_client_t *client, int error_no, const char *reason) {
    if (client->connectfd != -1) {
        tcp_client_close_socket(client);
        client->connectfd = -1;
    }
    if (!client->fail_bound) return;
    FailBinding bound = s_fail_bindings.at(client);
    call_out(client, [&] { bound.cb(client, error_no, reason, bound.arg); });
}

void free_record(os_tcp_client *client) {
    if (client->tls) tls_forget(client);
    if (client->fail_bound) s_fail_bindings.erase(client);
    free(client);
}

}  // namespace keel::net

namespace {

bool refuse_null(const os_tcp_client_t *client, const char *report = "client == NULL") {
    if (client != nullptr) return false;
    KEEL_INFO("%s", report);
    return true;
}

// The checks that set_remote and set_local share.
bool address_settable(const os_tcp_client_t *client, const char *ip) {
    if (client == nullptr || ip == nullptr) {
        KEEL_INFO("client is null or ip is null");
        return false;
    }
    if (strnlen(ip, MAX_IPV6_LEN) >= MAX_IPV6_LEN) {
        KEEL_INFO("strlen(ip) >= MAX_IPV6_LEN");
        return false;
    }
    if (client->status != TCP_CLIENT_STATUS_DISCONN) {
        KEEL_INFO("client->status != TCP_CLIENT_STATUS_DISCONN, status: %d", client->status);
        return false;
    }
    return true;
}

// A TLS session is the main thread's, as every callback is: a read or send
// from another thread waits for the main lock. A client set to TLS that
// adopted a socket has no session and moves bytes as they are.
template <class Call>
bool tls_call(os_tcp_client_t *client, int *result, Call call) {
    os_main_lock();
    bool session = tls_session(client);
    if (session) *result = call();
    os_main_unlock();
    return session;
}

// A failed open keeps no socket: the record is as it was before the call.
int fail_connect(os_tcp_client_t *client) {
    socket_close(client->connectfd);
    client->connectfd = -1;
    set_status(client, TCP_CLIENT_STATUS_DISCONN);
    return 0;
}

int open_connect(os_tcp_client_t *client) {
    if (client->ip_type != 0 && client->ip_type != 1) {
        KEEL_INFO("os_tcp_client_open ip_type[%d]error.", client->ip_type);
        return 0;
    }
    int type = static_cast<int>(client->ip_type);
    // Both addresses are built before anything is registered, so that a bad
    // one fails the open instead of leaving a connect that never starts.
    sockaddr_storage local{}, remote{};
    socklen_t local_len = 0, remote_len = 0;
    bool bind_local = client->local_port != 0 || client->local_ip[0] != '\0';
    if ((bind_local && get_sock_addr_info(type, client->local_ip, client->local_port, &local, &local_len) != 0) ||
        get_sock_addr_info(type, client->remote_ip, client->remote_port, &remote, &remote_len) != 0) {
        KEEL_INFO("get addr fail");
        return 0;
    }
    // Running out of descriptors is no reason to end the process.
    client->connectfd = socket_open(type == 1 ? AF_INET6 : AF_INET, SOCK_STREAM);
    if (client->connectfd == -1) {
        KEEL_ERROR("client->connectfd == -1");
        return 0;
    }
    set_nonblocking(client->connectfd);
    linger no_linger{0, 0};
    if (socket_set(client->connectfd, SOL_SOCKET, SO_LINGER, &no_linger, sizeof no_linger) != 0)
        KEEL_INFO("setsockopt(client->connectfd, SOL_SOCKET, SO_DONTLINGER, (char*)&no_linger, sizeof(BOOL)) == SOCKET_ERROR");
    if (bind_local && socket_bind(client->connectfd, reinterpret_cast<sockaddr *>(&local), local_len) != 0) {
        KEEL_ERROR("bind fail");
        return fail_connect(client);
    }
    set_status(client, TCP_CLIENT_STATUS_CONNECTING);
    rt::select_socket(client->connectfd, rt::FD_READ | rt::FD_WRITE | rt::FD_CONNECT | rt::FD_CLOSE);
    list_client(client);
    if (rt::sel_connect(client->connectfd, reinterpret_cast<sockaddr *>(&remote), remote_len) == 0) {
        if (client->tls) {
            tls_client_connected(client);
            return 1;
        }
        set_status(client, TCP_CLIENT_STATUS_CONNECT);
        if (client->connect_cb != nullptr) call_out(client, [&] { client->connect_cb(client, client->connect_arg); });
    }
    return 1;
}

}  // namespace

// A host name's addresses are tried through here, each becoming the record's
// remote address, so that get_remote tells the one in use.
int keel::net::tcp_client_connect(os_tcp_client_t *client, const char *remote) {
    if (remote != client->remote_ip) {
        snprintf(client->remote_ip, sizeof client->remote_ip, "%s", remote);
        client->ip_type = static_cast<uint8_t>(os_get_ip_type(remote));
    }
    return open_connect(client);
}

namespace {

// The addresses come from the socket itself, so a caller's IPv6 socket is
// read as IPv6 whatever the record said before. A caller's socket whose peer
// is already gone fails the adoption; it never ends the process. A socket
// just accepted brings the addresses its accept gave: if its peer has gone
// since, its registration reports the end.
// Nothing of the record changes until every check has passed: a refused
// socket stays the caller's.
int open_adopt(os_tcp_client_t *client, int fd, const sockaddr_storage *known_self = nullptr,
               const sockaddr_storage *known_peer = nullptr) {
    if (client->connectfd != -1) {
        KEEL_INFO("client->connectfd != -1");
        return 0;
    }
    sockaddr_storage peer{}, self{};
    if (known_peer != nullptr) {
        peer = *known_peer;
    } else if (socket_peer(fd, &peer) != 0) {
        KEEL_ERROR("getpeername fail");
        return 0;
    }
    if (peer.ss_family != AF_INET && peer.ss_family != AF_INET6) {
        KEEL_INFO("ip_type[%d] error.", -1);
        return 0;
    }
    if (known_self != nullptr) {
        self = *known_self;
    } else if (socket_local(fd, &self) != 0) {
        KEEL_ERROR("getsockname fail");
        return 0;
    }
    client->connectfd = fd;
    set_status(client, TCP_CLIENT_STATUS_CONNECT);
    client->ip_type = peer.ss_family == AF_INET6 ? 1 : 0;
    address_text(peer, client->remote_ip);
    client->remote_port = port_of(peer);
    address_text(self, client->local_ip);
    client->local_port = port_of(self);
    return 1;
}

}  // namespace

int keel::net::tcp_client_adopt(os_tcp_client_t *client, int fd, const sockaddr_storage &peer,
                                const sockaddr_storage *self) {
    return open_adopt(client, fd, self, &peer);
}

extern "C" {

KEEL_API os_tcp_client_t *os_tcp_client_create(void) {
    auto *client = static_cast<os_tcp_client_t *>(calloc(1, sizeof(os_tcp_client_t)));
    if (client == nullptr) KEEL_FATAL("malloc fail, client == NULL");
    client->kind = kKindTcpClient;
    client->owned_by_caller = 1;
    client->connectfd = -1;
    return client;
}

// A client the library owns is freed here as well: destroying it ends it.
// Marked first, so that a disconnect callback cannot open it again.
KEEL_API int os_tcp_client_destroy(os_tcp_client_t *client) {
    if (refuse_null(client)) return 0;
    os_main_lock();
    client->free_pending = true;
    call_out(client, [&] { os_tcp_client_close(client); });
    host_forget(client);
    os_main_unlock();
    return 1;
}

KEEL_API int os_tcp_client_set_remote(os_tcp_client_t *client, const char *ip, uint16_t port) {
    if (!address_settable(client, ip)) return 0;
    int type = os_get_ip_type(ip);
    if (type == -1) {
        KEEL_INFO("get_ip_addr_type() failed, ip:%s", ip);
        return 0;
    }
    strcpy(client->remote_ip, ip);
    client->remote_port = port;
    client->ip_type = static_cast<uint8_t>(type);
    os_main_lock();  // the table of names is the main thread's
    host_forget(client);
    os_main_unlock();
    return 1;
}

// The address in use is known only once a connect to one starts.
KEEL_API int os_tcp_client_set_remote_host(os_tcp_client_t *client, const char *name, uint16_t port) {
    if (client == nullptr || name == nullptr) {
        KEEL_INFO("client is null or name is null");
        return 0;
    }
    if (strnlen(name, kHostNameMax) >= kHostNameMax) {
        KEEL_INFO("strlen(name) >= 256");
        return 0;
    }
    if (client->status != TCP_CLIENT_STATUS_DISCONN) {
        KEEL_INFO("client->status != TCP_CLIENT_STATUS_DISCONN, status: %d", client->status);
        return 0;
    }
    os_main_lock();
    bool named = host_set(client, name);
    os_main_unlock();
    if (!named) return 0;
    client->remote_ip[0] = '\0';
    client->remote_port = port;
    return 1;
}

// The text is not checked here: it is read with the remote address's type
// when the socket is bound, and "" means any address.
KEEL_API int os_tcp_client_set_local(os_tcp_client_t *client, const char *ip, uint16_t port) {
    if (!address_settable(client, ip)) return 0;
    strcpy(client->local_ip, ip);
    client->local_port = port;
    return 1;
}

KEEL_API int os_tcp_client_get_remote(os_tcp_client_t *client, char *ip, uint16_t *port) {
    if (client == nullptr || ip == nullptr || port == nullptr) {
        KEEL_INFO("client is null or ip is null or port is NULL");
        return 0;
    }
    size_t size = client->ip_type == 1 ? MAX_IPV6_LEN : client->ip_type == 0 ? 16 : 0;
    if (size == 0) {
        KEEL_INFO("ip type[%d] error", client->ip_type);
        return 0;
    }
    // A new client, or one whose host name is still to be resolved, has none.
    if (client->remote_ip[0] == '\0') {
        KEEL_INFO("strlen(client->remote_ip) == 0");
        return 0;
    }
    memset(ip, 0, size);
    memcpy(ip, client->remote_ip, strnlen(client->remote_ip, size - 1));
    *port = client->remote_port;
    return 1;
}

KEEL_API int os_tcp_client_get_local(os_tcp_client_t *client, char *ip, uint16_t *port) {
    if (client == nullptr || ip == nullptr || port == nullptr) {
        KEEL_INFO("client is null or ip is null or port is NULL");
        return 0;
    }
    memcpy(ip, client->local_ip, MAX_IPV6_LEN);
    *port = client->local_port;
    return 1;
}

KEEL_API int os_tcp_client_get_status(os_tcp_client_t *client) {
    if (refuse_null(client)) return -1;
    return static_cast<int>(status_of(client));
}

// Taken under the main lock, so that no event of the new connection is
// handled before the record is listed and the open has returned.
KEEL_API int os_tcp_client_open(os_tcp_client_t *client, int fd) {
    if (refuse_null(client)) return 0;
    if (client->free_pending) {
        KEEL_INFO("client is being destroyed");
        return 0;
    }
    if (client->status != TCP_CLIENT_STATUS_DISCONN) return 0;
    if (fd < -1) {
        KEEL_INFO("fd[%d] error.", fd);
        return 0;
    }
    if (fd != -1) return open_adopt(client, fd);
    if (!os_is_startup()) {
        KEEL_INFO("os_is_startup() == 0");
        return 0;
    }
    os_main_lock();
    int result = host_named(client) ? host_open(client) : open_connect(client);
    os_main_unlock();
    return result;
}

KEEL_API int os_tcp_client_close(os_tcp_client_t *client) {
    if (refuse_null(client)) return 0;
    os_main_lock();
    host_stop(client);
    if (client->status != TCP_CLIENT_STATUS_DISCONN) {
        set_status(client, TCP_CLIENT_STATUS_DISCONN);
        tcp_client_shut_down(client);
        tcp_client_end(client);
    }
    os_main_unlock();
    return 1;
}

KEEL_API int os_tcp_client_send(os_tcp_client_t *client, const void *data, uint32_t len) {
    if (refuse_null(client, "client is null")) return -1;
    if (data == nullptr) {
        KEEL_INFO("data is null");
        return -1;
    }
    if (client->status == TCP_CLIENT_STATUS_CONNECTING) return 0;
    if (client->status != TCP_CLIENT_STATUS_CONNECT) return -1;
    int result;
    if (client->tls && tls_call(client, &result, [&] { return tls_send(client, data, len > INT_MAX ? INT_MAX : len); }))
        return result;
    // The count must fit the int result.
    ssize_t sent = rt::sel_send(client->connectfd, data, len > INT_MAX ? INT_MAX : len, 0);
    if (sent >= 0) return static_cast<int>(sent);
    return rt::sel_last_error() == rt::WSAEWOULDBLOCK ? 0 : -1;
}

KEEL_API int os_tcp_client_read(os_tcp_client_t *client, void *buffer, uint32_t len) {
    if (refuse_null(client, "os_tcp_client_read client == NULL")) return -1;
    if (buffer == nullptr) {
        KEEL_INFO("os_tcp_client_read data == NULL");
        return -1;
    }
    if (client->status != TCP_CLIENT_STATUS_CONNECT) {
        KEEL_INFO("client->status != TCP_CLIENT_STATUS_CONNECT, status: %d", client->status);
        return -1;
    }
    // recv into no room returns 0, which would read as the peer's end.
    if (len == 0) {
        KEEL_INFO("os_tcp_client_read len == 0");
        return 0;
    }
    // The read that meets the connection's end leaves its cause with the
    // record, for the close that the read callback's -1 then asks for.
    int result;
    if (client->tls && tls_call(client, &result, [&] {
            int got = tls_read(client, buffer, len > INT_MAX ? INT_MAX : len);
            if (got < 0) client->read_error = error_byte(errno);
            return got;
        }))
        return result;
    ssize_t got = rt::sel_recv(client->connectfd, buffer, len > INT_MAX ? INT_MAX : len, 0);
    if (got > 0) return static_cast<int>(got);
    int error = got < 0 ? rt::sel_last_error() : 0;
    if (got < 0 && error == rt::WSAEWOULDBLOCK) return 0;
    client->read_error = error_byte(errno);  // 0 after the peer's close
    KEEL_ERROR("&&&&&&&&&& os_tcp_client_read error, socket:%ld, ret:%d, error_no:%d != WSAEWOULDBLOCK:%d",
               static_cast<long>(client->connectfd), static_cast<int>(got), error, rt::WSAEWOULDBLOCK);
    return -1;
}

KEEL_API int os_tcp_client_set_udata(os_tcp_client_t *client, void *udata) {
    if (refuse_null(client)) return 0;
    client->udata = udata;
    return 1;
}

KEEL_API void *os_tcp_client_get_udata(os_tcp_client_t *client) {
    if (refuse_null(client)) return nullptr;
    return client->udata;
}

KEEL_API int os_tcp_client_bind_connect(os_tcp_client_t *client, os_tcp_client_cb cb, void *arg) {
    if (refuse_null(client)) return 0;
    client->connect_cb = cb;
    client->connect_arg = arg;
    return 1;
}

KEEL_API int os_tcp_client_bind_disconnect(os_tcp_client_t *client, os_tcp_client_cb cb, void *arg) {
    if (refuse_null(client)) return 0;
    client->disconnect_cb = cb;
    client->disconnect_arg = arg;
    return 1;
}

KEEL_API int os_tcp_client_bind_read(os_tcp_client_t *client, os_tcp_read_cb cb, void *arg) {
    if (refuse_null(client)) return 0;
    client->read_cb = cb;
    client->read_arg = arg;
    return 1;
}

KEEL_API int os_tcp_client_bind_write(os_tcp_client_t *client, os_tcp_client_cb cb, void *arg) {
    if (refuse_null(client, "client is null")) return 0;
    client->write_cb = cb;
    client->write_arg = arg;
    return 1;
}

KEEL_API int os_tcp_client_bind_fail(os_tcp_client_t *client, os_tcp_fail_cb cb, void *arg) {
    if (refuse_null(client)) return 0;
    os_main_lock();  // the table is the main thread's
    if (cb != nullptr)
        s_fail_bindings[client] = FailBinding{cb, arg};
    else
        s_fail_bindings.erase(client);
    client->fail_bound = cb != nullptr;
    os_main_unlock();
    return 1;
}

// A non-zero length also resumes reading: the read event it queues lets the
// data that waited meanwhile reach the read callback.
KEEL_API int os_tcp_client_set_rcvbuf_len(os_tcp_client_t *client, uint32_t len) {
    if (refuse_null(client)) return 0;
    int size = len > INT_MAX ? INT_MAX : static_cast<int>(len);
    if (socket_set(client->connectfd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
        KEEL_ERROR("setsockopt fail");
        return 0;
    }
    if (len != 0) {
        client->refuse_read = 0;
        rt::post_socket_event(client->connectfd, rt::FD_READ);
    } else {
        client->refuse_read = 1;
    }
    return 1;
}

// Clearing the flag resumes reading at once, as a non-zero receive buffer
// length does: a read event refused meanwhile is not raised again until a
// read, and nothing else would ever read again.
KEEL_API int os_tcp_client_set_refuse_read(os_tcp_client_t *client, uint32_t flag) {
    if (refuse_null(client)) return 0;
    bool was = client->refuse_read != 0;
    client->refuse_read = flag != 0;
    if (was != 0 && flag == 0) rt::post_socket_event(client->connectfd, rt::FD_READ);
    return 1;
}

}  // extern "C"
