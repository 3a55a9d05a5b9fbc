// The socket records behind the opaque handles of os_net.h, the lists that
// hold the open ones, and the pieces of their life that the event dispatch
// shares with the exported calls. How a record lives and dies is lifetime.h.
#pragma once

#include "net/socket_calls.h"

#include <cstdint>

struct ssl_ctx_st;  // OpenSSL's SSL_CTX

#include "keel/adt_dlist.h"
#include "keel/os_net.h"
#include "net/lifetime.h"

// Every record begins with its kind, so that a record found by its socket
// alone (the registry below keeps one pointer per descriptor) tells what it is.
enum : uint8_t { kKindServer = 0, kKindTcpClient = 1, kKindUdpClient = 4 };

struct os_tcp_server {
    uint8_t kind;  // kKindServer
    char local_ip[MAX_IPV6_LEN];  // dotted IPv4, or IPv6 text
    uint32_t local_port;
    int32_t status;
    os_tcp_accept_cb accept_cb;
    void *accept_arg;
    int listenfd;
    adt_dlist_node_t *node;  // in s_ls_server while listening
    uint32_t busy;           // library frames inside accept_cb
    bool free_pending;
    ssl_ctx_st *tls_ctx;  // set: every connection accepted speaks TLS (tls_settings.cc)
    // Listening on one address (no wildcard), every connection it accepts
    // has that local address: known from the open, no connection asks for it.
    bool accepted_local_known;
    sockaddr_storage accepted_local;
};

// Every open connection has one, so it is laid out to fit an allocation of
// 224 bytes (216 of fields and the allocator's word): the small fields share
// the first word, and nothing is left to padding.
struct os_tcp_client {
    uint8_t kind;             // kKindTcpClient
    uint8_t owned_by_caller;  // 0: accepted, freed by the library when it ends
    uint8_t status;           // TCP_CLIENT_STATUS_*
    uint8_t ip_type;          // 0 IPv4, 1 IPv6
    uint8_t read_error;       // errno of the read that met the connection's end; 0: the peer's close
    bool refuse_read : 1;     // read events are dropped
    bool listed : 1;          // found by its socket (in the registry) while registered
    bool free_pending : 1;    // destroyed inside one of its callbacks
    bool tls : 1;             // set for TLS: its session and settings are in tls_link.cc
    bool fail_bound : 1;      // has a failure callback (kept in tcp_client.cc)
    uint16_t busy;            // library frames inside one of its callbacks
    uint16_t remote_port;
    uint16_t local_port;
    int connectfd;
    char remote_ip[MAX_IPV6_LEN];
    char local_ip[MAX_IPV6_LEN];
    void *udata;
    os_tcp_client_cb connect_cb;
    void *connect_arg;
    os_tcp_client_cb disconnect_cb;
    void *disconnect_arg;
    os_tcp_read_cb read_cb;
    void *read_arg;
    os_tcp_client_cb write_cb;
    void *write_arg;
};
static_assert(sizeof(os_tcp_client) <= 216, "an open connection's record outgrew its allocation");



struct os_udp_client {
    uint8_t kind;  // kKindUdpClient
    char local_ip[MAX_IPV6_LEN];
    uint16_t local_port;
    int32_t status;
    void *udata;
    os_udp_client_cb read_cb;
    void *read_arg;
    os_udp_client_cb write_cb;
    void *write_arg;
    int fd;
    adt_dlist_node_t *node;  // in s_ls_udp_client while open
    int32_t connected;
    uint32_t busy;
    bool free_pending;
};

namespace keel::net {

/* status: written under the main lock, read by any thread */

// A caller may watch a status from another thread without the main lock
// (waiting for a connect, say): every write is atomic, and so is the read
// that the status query makes. The library's own reads hold the main lock.
template <class Record, class Value>
inline void set_status(Record *r, Value v) {
    __atomic_store_n(&r->status, static_cast<decltype(r->status)>(v), __ATOMIC_RELAXED);
}
template <class Record>
inline auto status_of(const Record *r) {
    return __atomic_load_n(&r->status, __ATOMIC_RELAXED);
}

/* the registries: an index by descriptor of every open record, and lists of
   the servers and UDP clients, which the tick and os_cleanup walk */

// TCP clients are only ever found by their socket, never walked, so the index
// alone is their registry: a list node each would cost every connection an
// allocation of 32 bytes.
extern adt_dlist_t *s_ls_server;      // listening servers
extern adt_dlist_t *s_ls_udp_client;  // open UDP clients
// 1: each connection is accepted the moment it arrives (the marker file was
// there at start-up); 0: all that wait are accepted on the next tick.
extern int s_accept_by_select;

void list_server(os_tcp_server_t *server);
void unlist_server(os_tcp_server_t *server);
void list_client(os_tcp_client_t *client);
void unlist_client(os_tcp_client_t *client);
void list_udp_client(os_udp_client_t *client);
void unlist_udp_client(os_udp_client_t *client);

// The record registered for a socket, whatever its kind, in O(1) and one
// look: an event's dispatch asks once, then reads the kind. Each accessor is
// NULL for a record of another kind or none.
struct SocketRecord {
    void *record = nullptr;
    os_tcp_server_t *server() const { return as<os_tcp_server_t>(kKindServer); }
    os_tcp_client_t *client() const { return as<os_tcp_client_t>(kKindTcpClient); }
    os_udp_client_t *udp() const { return as<os_udp_client_t>(kKindUdpClient); }

  private:
    template <class Record>
    Record *as(uint8_t kind) const {
        return record != nullptr && *static_cast<const uint8_t *>(record) == kind ? static_cast<Record *>(record)
                                                                                  : nullptr;
    }
};
SocketRecord find_record(int sock);

// The server the accept poll visits next; unlist_server() moves it past a
// server that an accept callback closes.
adt_dlist_node_t *&server_walk_next();

/* accepting (accept.cc) */

// FD_ACCEPT on a listening socket: one waiting connection becomes a client.
void accept_one(os_tcp_server_t *server);

/* TCP client ends, shared by the close calls and the dispatch */

// Shuts the socket down now and has the main thread close it after every
// message queued before.
void tcp_client_shut_down(os_tcp_client_t *client);
// Closes the socket at once.
void tcp_client_close_socket(os_tcp_client_t *client);
// The ending of a closed connection: the disconnect callback, then the free
// of a record the library owns.
void tcp_client_end(os_tcp_client_t *client);
// A connect attempt ended without a connection (refused, unreachable, a name
// that did not resolve, a failed TLS handshake): the socket goes, the client
// stays connecting, and its failure callback is called once. error_no is a
// socket error number; the record may be gone afterwards.
void tcp_client_failed(os_tcp_client_t *client, int error_no, const char *reason);
// os_tcp_client_open of a socket just accepted, whose peer the accept gave;
// self, when not NULL, is its local address, known without asking the socket.
int tcp_client_adopt(os_tcp_client_t *client, int fd, const sockaddr_storage &peer, const sockaddr_storage *self);

}  // namespace keel::net
