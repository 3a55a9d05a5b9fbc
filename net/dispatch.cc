// Socket events to callbacks, on the main thread with s_main_mutex held:
// which record an event is for, and what each event does to it. Accepting
// is accept.cc's.
//
//   TCP client   FD_READ     read_cb, or drain; read_cb -1 or a drained end: read close
//                            (TLS: only when a read would give something)
//                FD_WRITE    write_cb (TLS: once the encrypted bytes that wait went out)
//                FD_CONNECT  connecting -> connected, connect_cb; failed: a host name's
//                            next address (names.cc), else the socket goes and
//                            the failure callback runs (the client stays connecting);
//                            TLS: the handshake starts, connect_cb at its end
//                any event   while a TLS handshake runs: its next step (tls_link.cc)
//                FD_CLOSE    close at once, disconnect_cb (TLS: the session's last
//                            plaintext to read_cb first, and its end told)
//                error 10053 close at once (reset), disconnect_cb; other errors: report only
//   TCP server   FD_ACCEPT   accept one connection (accept-at-once mode only)
//                FD_CLOSE    stop listening, no callback
//   UDP client   FD_READ     read_cb, or drain
//                FD_WRITE    write_cb while open
//
// Every report of an event's error or of a connection's end carries that
// cause in errno (none for the peer's close), never what errno held before.
#include <cerrno>
#include <cstring>

#include "log/log_internal.h"
#include "log/report.h"
#include "net/records.h"
#include "net/resolver.h"
#include "net/tls.h"
#include "runtime/net_hooks.h"
#include "runtime/runtime_internal.h"

namespace keel::net {
namespace {

using namespace keel::rt;

// 8,096 bytes a read: the drain's size since the library's first days. Any
// size would do; the rounds below bound the work of one event.
constexpr int kDrainSize = 8096;
// Bounds one event's work, so that a peer that never stops sending cannot
// hold the main thread: whatever is left raises the next read event.
constexpr int kDrainRounds = 64;

// Reads and drops what waits. True when the connection is over, with its
// cause in errno (0 for the peer's close).
bool drain_stream(int sock, long reported_socket) {
    char buffer[kDrainSize];
    ssize_t got = 0;
    for (int round = 0; round < kDrainRounds && (got = sel_recv(sock, buffer, sizeof buffer, 0)) > 0; ++round) {
    }
    if (got > 0) return false;
    int error = got < 0 ? sel_last_error() : 0;
    if (got < 0 && error == WSAEWOULDBLOCK) return false;
    KEEL_ERROR("&&&&&&&&&& recv error, socket:%ld, ret:%d, error_no:%d != WSAEWOULDBLOCK:%d", reported_socket,
               static_cast<int>(got), error, WSAEWOULDBLOCK);
    return true;
}

// The same through a TLS session, whose end (close_notify or not) is told
// only by reading through it.
bool drain_tls(os_tcp_client_t *client) {
    char buffer[kDrainSize];
    int got = 0;
    for (int round = 0; round < kDrainRounds && (got = tls_read(client, buffer, sizeof buffer)) > 0; ++round) {
    }
    return got < 0;
}

void drain_datagrams(int sock) {
    char buffer[kDrainSize];
    for (int round = 0; round < kDrainRounds && sel_recv(sock, buffer, sizeof buffer, 0) > 0; ++round) {
    }
}

// The read close: shut down now, closed by the main thread later. Its report
// carries the error of the read that ended the connection (none for the
// peer's end, or for a read callback that asked for the close), not whatever
// the shutdown and the callbacks left in errno.
void read_close(os_tcp_client_t *client, int cause) {
    set_status(client, TCP_CLIENT_STATUS_DISCONN);
    tcp_client_shut_down(client);
    tcp_client_end(client);
    errno = cause;
    KEEL_ERROR("dispath_client:disconnect");
}

// The FD_CLOSE close and the reset close: the socket is closed at once.
// cause: the errno of the reset; none for the peer's close.
void close_at_once(os_tcp_client_t *client, const char *what, int cause = 0) {
    tcp_client_close_socket(client);
    set_status(client, TCP_CLIENT_STATUS_DISCONN);
    errno = cause;
    KEEL_ERROR("&&&&&&&&&& %s, delete socket:%ld, from s_ls_client, s_wsa_errno:%d", what,
               static_cast<long>(client->connectfd), s_wsa_errno);
    client->connectfd = -1;
    tcp_client_end(client);
}

// A TLS session's read event may bring only part of a record, or a record
// without data: the callback hears only of what a read would give.
void on_client_read(int sock, os_tcp_client_t *client) {
    if (client->status != TCP_CLIENT_STATUS_CONNECT || client->refuse_read) return;
    bool tls = client->tls && tls_session(client);
    if (tls && tls_readable(client) == 0) return;
    if (client->read_cb != nullptr) {
        int verdict = 0;
        client->read_error = 0;
        if (!call_out(client, [&] { verdict = client->read_cb(client, client->read_arg); }))
            return;  // destroyed by its own callback
        if (tls && tls_refused(client)) verdict = -1;  // a flood ends the connection whatever the callback says
        // A callback that closed its client itself has ended it already; its
        // -1 asks for nothing more.
        if (verdict != -1 || client->status == TCP_CLIENT_STATUS_DISCONN) return;
        errno = error_of_byte(client->read_error);
    } else if (client->tls && tls_session(client)) {
        if (!drain_tls(client)) return;
    } else if (!drain_stream(sock, client->connectfd)) {
        return;
    }
    read_close(client, errno);
}

// The peer's end of a TLS connection: the socket has been read to its end,
// but the session may still hold plaintext. That is offered to the read
// callback first, as any data is, for as long as the callback takes some;
// one that stops reading leaves the connection open until a read event
// comes again (after os_tcp_client_set_refuse_read, say), as a plain socket
// holds its end back until its data is read. Then reading through the
// session to the end tells a close_notify from a truncation (tls_read
// reports which) before the connection closes as a plain one does.
void tls_peer_end(int sock, os_tcp_client_t *client) {
    tls_peer_ending(client);
    while (client->read_cb != nullptr && tls_readable(client) > 0) {
        uint64_t taken = tls_taken(client);
        if (!call_out(client, [&] { on_client_read(sock, client); })) return;
        if (client->status == TCP_CLIENT_STATUS_DISCONN || tls_taken(client) == taken) return;
    }
    drain_tls(client);
    close_at_once(client, "FD_CLOSE");
}

// Calls a connect or write callback; the record may be gone afterwards.
void notify(os_tcp_client_t *client, os_tcp_client_cb cb, void *arg) {
    if (cb != nullptr) call_out(client, [&] { cb(client, arg); });
}

// A TLS handshake takes every event of its socket; afterwards a write event
// first sends the encrypted bytes that wait.
void dispatch_client(int sock, os_tcp_client_t *client, uint32_t event) {
    if (client->tls && tls_handshaking(client)) return tls_handshake_event(client, event, 0);
    switch (event) {
        case FD_READ:
            if (client->tls && tls_session(client) && tls_peer_ended(client))
                tls_peer_end(sock, client);
            else
                on_client_read(sock, client);
            break;
        case FD_WRITE:
            if (client->status == TCP_CLIENT_STATUS_CONNECT && (!client->tls || !tls_session(client) || tls_flush(client)))
                notify(client, client->write_cb, client->write_arg);
            break;
        case FD_CONNECT:
            // A connect that completed inside os_tcp_client_open was announced there.
            if (client->status == TCP_CLIENT_STATUS_CONNECTING && client->tls) {
                tls_client_connected(client);
            } else if (client->status == TCP_CLIENT_STATUS_CONNECTING) {
                set_status(client, TCP_CLIENT_STATUS_CONNECT);
                notify(client, client->connect_cb, client->connect_arg);
            }
            break;
        case FD_CLOSE:
            if (client->status == TCP_CLIENT_STATUS_DISCONN) break;
            if (client->tls && tls_session(client))
                tls_peer_end(sock, client);
            else
                close_at_once(client, "FD_CLOSE");
            break;
        default:
            break;
    }
}

void dispatch_server(int sock, os_tcp_server_t *server, uint32_t event) {
    if (event == FD_ACCEPT) {
        accept_one(server);
    } else if (event == FD_CLOSE && server->status != TCP_SERVER_STATUS_CLOSED) {
        unlist_server(server);
        sel_close(sock);
        set_status(server, TCP_SERVER_STATUS_CLOSED);
    }
}

void dispatch_udp_client(int sock, os_udp_client_t *client, uint32_t event) {
    os_udp_client_cb cb = nullptr;
    void *arg = nullptr;
    if (event == FD_READ) {
        if (client->read_cb == nullptr) return drain_datagrams(sock);
        cb = client->read_cb;
        arg = client->read_arg;
    } else if (event == FD_WRITE && client->status == UDP_CLIENT_STATUS_OPEN) {
        // Announced once after the open and after each send that would have
        // blocked, once the socket takes datagrams again.
        cb = client->write_cb;
        arg = client->write_arg;
    }
    if (cb != nullptr) call_out(client, [&] { cb(client, arg); });
}

}  // namespace
}  // namespace keel::net

using namespace keel::net;

// An event for a socket closed since it was queued finds no record, also
// when the number already serves a new socket: the generation tells them
// apart. Such an event is expected (every close may leave some behind) and
// dropped. One that names no registration at all (0 is never given), or
// finds no record for the current one, should not happen and is reported.
void keel::rt::dispatch_socket_event(const SocketEvent &ev) {
    bool current = socket_event_is_current(ev.sock, ev.generation);
    if (!current && ev.generation != 0) return;
    SocketRecord found = current ? find_record(ev.sock) : SocketRecord{};
    if (ev.error != 0) {
        int cause = errno_from_wsa_error(ev.error);
        if (os_tcp_client_t *client = found.client()) {
            if (client->tls && tls_handshaking(client)) return tls_handshake_event(client, ev.event, ev.error);
            bool connect_failed = ev.event == FD_CONNECT && client->status == TCP_CLIENT_STATUS_CONNECTING;
            // A failed connect to one of a host name's addresses is no failure
            // yet while another address is left to try.
            if (connect_failed && host_try_next(client)) return;
            errno = cause;
            KEEL_ERROR("socket err: %d", ev.error);
            char reason[128];
            if (connect_failed)
                return tcp_client_failed(client, ev.error, keel::log::error_text(cause, reason, sizeof reason));
            if (ev.error == WSAECONNABORTED) close_at_once(client, "SOCKET_RST", cause);
        } else if (found.server() != nullptr || found.udp() != nullptr) {
            errno = cause;
            KEEL_ERROR("socket err: %d", ev.error);
        } else {
            KEEL_INFO("WSAGETSELECTERROR do not happen, sock:%ld", static_cast<long>(ev.sock));
        }
        return;
    }
    if (os_tcp_server_t *server = found.server()) {
        if (s_accept_by_select) dispatch_server(ev.sock, server, ev.event);
    } else if (os_tcp_client_t *client = found.client()) {
        dispatch_client(ev.sock, client, ev.event);
    } else if (os_udp_client_t *udp = found.udp()) {
        dispatch_udp_client(ev.sock, udp, ev.event);
    } else {
        KEEL_INFO("!WSAGETSELECTERROR do not happen, sock:%ld", static_cast<long>(ev.sock));
    }
}
