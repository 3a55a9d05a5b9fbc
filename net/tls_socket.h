// The socket's side of a TLS connection, the same on every platform
// (tls_socket.cc): the connection's record (Link), the queue of encrypted
// bytes the socket has not taken yet, the read events the session's
// plaintext needs, the handshake's deadline and failure, the reports of the
// end of the stream, and the close that lets the last bytes out. What the
// TLS library does (making records, reading them) is each platform's
// tls_link.cc, which provides the few calls declared at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "keel/os_net.h"
#include "keel/os_runtime.h"
#include "net/tls.h"

#if defined(_WIN32)
#include "net/win/tls_session.h"
#else
#include "net/unix/tls_session.h"
#endif

namespace keel::net {

// A connection's TLS record: the platform's session (TlsSession) and what
// the socket's side keeps beside it.
struct Link : TlsSession {
    int fd = -1;
    os_tcp_server_t *server = nullptr;  // an accepted connection's, until its accept callback
    os_timer_t *deadline = nullptr;     // while the handshake runs
    std::string unsent;                 // encrypted bytes the socket has not taken yet
    size_t unsent_at = 0;
    uint64_t taken = 0;          // plaintext the reads took
    uint64_t late_messages = 0;  // handshake messages since the handshake
    bool handshaking = false;
    bool ended = false;        // a read met the end of the stream (reported once)
    bool socket_eof = false;   // the socket's last read found the peer's end
    bool corked = false;       // records are gathered, to go out in one send
    bool read_posted = false;  // a read event of ours waits in the queue
    bool read_held = false;    // reading stopped while too much waited to be sent
    bool flooding = false;     // the peer sent more handshake messages than allowed
    bool peer_ended = false;   // the socket told the peer's end; plaintext may still wait
};

// The client's record, which must exist (link_of), or made (link_at).
Link &link_of(const os_tcp_client_t *client);
Link &link_at(const os_tcp_client_t *client);

size_t unsent_size(const Link &link);
// One read event at a time is enough to have the session's plaintext read.
void post_read(Link &link);
// Sends what waits; true when nothing is left.
bool send_unsent(Link &link);
// True, and reading held until the queue is short again, while more than
// kUnsentMax waits to be sent.
bool held_back(Link &link);
// Counts a handshake message that came after the handshake; true, and the
// peer refused, once they pass the bound.
bool late_message_floods(Link &link);

// The session ends (the platform's part with it); the settings stay.
void free_session(Link &link);
// The socket's part of a new session: the handshake starts, bounded by its
// deadline.
void begin_handshake(os_tcp_client_t *client, Link &link);
// The handshake is done: the caller hears of the connection. pending: bytes
// wait inside the session, where no socket event would announce them.
void handshake_done(os_tcp_client_t *client, Link &link, bool pending);
// A failed handshake, reported; cause: the error number (errno's) behind it,
// 0 when the TLS layer itself gave up (the report says "none").
void fail_handshake(os_tcp_client_t *client, const std::string &reason, int cause);

// How a stream ended, as its report says.
enum class End { CloseNotify, Truncated, Flood, Failed };
// The end of the stream, reported once: -1.
int end_of_stream(os_tcp_client_t *client, Link &link, End how, const std::string &reason = "");

/* what each platform's tls_link.cc provides */

// Frees the platform's session (the settings of an accepted connection go
// with it), leaving the record for the next connection.
void session_free(Link &link);
// The record ends: what the platform keeps of the settings goes.
void session_forget(Link &link);
// One step of the handshake, as far as the bytes that came allow.
void step_handshake(os_tcp_client_t *client);
// What a read would give now: 1 plaintext, 0 nothing yet, -1 the end.
int peek(os_tcp_client_t *client, Link &link);
// Encrypts a slice of the caller's plaintext (at most kSendSlice): its
// count, 0 when nothing could be taken, -1 on a failure (reported).
int send_slice(os_tcp_client_t *client, Link &link, const void *data, int slice);
// Writes the close_notify into the queue when a session runs; false when
// there is none to close.
bool close_session(Link &link);
// A socket error (a WSA_* number) as a failed handshake's report words it.
std::string socket_error_words(int error);

}  // namespace keel::net
