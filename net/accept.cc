// Accepting: a connection that waits on a listening socket becomes a TCP
// client the library owns, handed to the server's accept callback before any
// event of the connection is handled. Connections are taken on each tick
// (poll_accept), and, in the accept-at-once mode, on each accept event.
#include <cerrno>

#include "log/report.h"
#include "net/records.h"
#include "net/socket_calls.h"
#include "net/tls.h"
#include "runtime/net_hooks.h"

namespace keel::net {
namespace {

using namespace keel::rt;

// Bounds one tick's work for one server, so that a flood of connections
// cannot hold the main thread; the rest wait for the next tick.
constexpr int kAcceptsPerPoll = 4096;
// The same bound for one accept event, smaller: the other sockets' events
// wait behind it.
constexpr int kAcceptsPerEvent = 64;

// The peer's address as the accept gave it: no connection asks its socket.
struct Accepted {
    int sock;
    sockaddr_storage peer;
};

Accepted accept_next(os_tcp_server_t *server) {
    Accepted a;
    socklen_t len = sizeof a.peer;
    a.sock = sel_accept(server->listenfd, reinterpret_cast<sockaddr *>(&a.peer), &len);
    return a;
}

void adopt_accepted(os_tcp_server_t *server, const Accepted &accepted) {
    int sock = accepted.sock;
    os_tcp_client_t *client = os_tcp_client_create();
    client->owned_by_caller = 0;
    // A failed adoption leaves the socket ours to close; a failed
    // registration leaves it the client's, whose destroy closes it. Either
    // way the record, the library's own, is freed.
    if (!tcp_client_adopt(client, sock, accepted.peer,
                          server->accepted_local_known ? &server->accepted_local : nullptr)) {
        socket_close(sock);
        os_tcp_client_destroy(client);
        KEEL_INFO("os_tcp_client_open fail");
        return;
    }
    list_client(client);
    if (select_socket(sock, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE, SocketIs::Accepted) == -1) {
        int cause = errno;  // the registration's, not the destroy's
        os_tcp_client_destroy(client);
        errno = cause;
        KEEL_ERROR("WSAAsyncSelect fail");
        return;
    }
    // A TLS connection is handed over once its handshake is done.
    if (server->tls_ctx != nullptr) {
        tls_server_accepted(server, client);
        return;
    }
    if (server->accept_cb != nullptr) server->accept_cb(server, client, server->accept_arg);
}

}  // namespace

// The accept callback may destroy its server: freed once it has returned.
// Under a burst of connections the backlog holds more than the one the event
// announced: they are taken now, up to kAcceptsPerEvent, rather than one per
// trip through the loop, and an empty backlog ends the turn quietly. The
// system may have announced those taken ahead with events of their own
// (Windows does), which then find nothing: no failure either.
void accept_one(os_tcp_server_t *server) {
    Accepted first = accept_next(server);
    if (first.sock == -1) {
        if (sel_last_error() != WSAEWOULDBLOCK) KEEL_ERROR("new_fd == -1");
        return;
    }
    call_out(server, [&] {
        adopt_accepted(server, first);
        for (int n = 1; n < kAcceptsPerEvent && server->status == TCP_SERVER_STATUS_LISTEN; ++n) {
            Accepted next = accept_next(server);
            if (next.sock == -1) break;
            adopt_accepted(server, next);
        }
    });
}

}  // namespace keel::net

using namespace keel::net;

// Every waiting connection of every listening server. An accept callback may
// close or destroy any server, its own included: the walk's next node is
// moved past a server that leaves the list, and a destroyed server is freed
// only once its accepts are over.
void keel::rt::poll_accept() {
    if (s_ls_server == nullptr) return;
    adt_dlist_node_t *&next = server_walk_next();
    adt_dlist_lock(s_ls_server);
    for (adt_dlist_node_t *node = adt_dlist_head(s_ls_server); node != nullptr; node = next) {
        next = adt_dlist_next(node);
        auto *server = *static_cast<os_tcp_server_t **>(adt_dlist_getdata(node));
        call_out(server, [&] {
            for (int n = 0; n < kAcceptsPerPoll && server->status == TCP_SERVER_STATUS_LISTEN; ++n) {
                Accepted next = accept_next(server);
                if (next.sock == -1) break;
                adopt_accepted(server, next);
            }
        });
    }
    next = nullptr;
    adt_dlist_unlock(s_ls_server);
}
