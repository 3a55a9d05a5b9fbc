// TLS on TCP records, between the settings (tls_settings.cc: the contexts
// made from the caller's files) and the connections (tls_link.cc: one session
// per connection, its handshake, and plaintext in and out; tls_socket.cc: the
// socket's side of them, the same on every platform). The TCP client
// and the dispatch call the functions below for a client whose `tls` bit is
// set; a plain client never reaches this file. Every call runs under the main
// lock. Linux's are over OpenSSL, in net/unix; Windows's over Schannel, in
// net/win. What both say of a peer is in tls_peer.cc.
#pragma once

#include <cstdint>
#include <string>

#include "keel/os_net.h"

// The settings of clients or of a server: OpenSSL's SSL_CTX on Linux, the
// Schannel credentials and trusted authorities on Windows (tls_settings.cc).
struct ssl_ctx_st;

namespace keel::net {

// A handshake ends within this time, or the connection with it.
constexpr int kTlsHandshakeMs = 10000;

/* the bounds of a connection, on every platform (tls_socket.cc, tls_link.cc) */

// A send encrypts at most this much plaintext at once, which bounds what a
// connection keeps when its socket is full (the caller sends the rest when
// the write callback comes).
constexpr int kSendSlice = 64 * 1024;
// Nothing more is read from a peer while more than this waits to be sent.
// A caller's send adds one slice at most, and only to an empty queue, so
// only what the session writes unasked (answers to the peer's key update
// requests) can go past it: a peer that asks and never reads.
constexpr size_t kUnsentMax = 2 * kSendSlice;
// Handshake messages after the handshake (session tickets, key updates) that
// a peer may send at any time, and one more for each kDataPerMessage bytes of
// data it sent; past that it floods, and the connection ends.
constexpr uint64_t kLateMessages = 64;
constexpr uint64_t kDataPerMessage = 16 * 1024;
// A socket whose connection we closed is kept until what was sent has been
// delivered, for this long at most, looked at every kLingerStepMs.
constexpr uint64_t kLingerMs = 10000;
constexpr uint32_t kLingerStepMs = 10;

/* peers (tls_peer.cc) */

// "address:port", as reports name the peer.
std::string tls_peer_text(const os_tcp_client_t *client);
// The name a client's server must prove, given the name the caller set
// (empty: none): `name` as reports give it, `checked` as the certificate
// must carry it, and whether it is an address.
struct TlsPeerName {
    std::string name, checked;
    bool address = false;
};
TlsPeerName tls_peer_name(const os_tcp_client_t *client, const std::string &given);

/* contexts (tls_settings.cc) */

// The context of clients trusting ca_file (nullptr: the system's store),
// shared by every client that names the same file and kept for the process;
// nullptr, reported, when the file cannot be used.
ssl_ctx_st *tls_client_context(const char *ca_file);
// The reason for the failure that OpenSSL reported last on this thread, or
// fallback when it reported none; the thread's error queue is emptied.
// (Schannel keeps no such queue: its reasons come with each call.)
std::string tls_reason(const char *fallback);
// The settings of a server, checked: nullptr, reported, when a file cannot
// be used.
ssl_ctx_st *tls_server_context(const char *cert_file, const char *key_file, const char *client_ca_file);
// Gives up a reference to settings (the last one frees them).
void tls_context_free(ssl_ctx_st *ctx);
// A server's record ends: its context goes with it.
void tls_server_free(os_tcp_server_t *server);

/* connections (tls_link.cc, tls_socket.cc) */

// Makes a client speak TLS from its next connect: ctx and the name to verify
// (empty: the host name set, else the remote address).
void tls_client_configure(os_tcp_client_t *client, ssl_ctx_st *ctx, const char *server_name);
// The TCP connect of a TLS client is done: the handshake starts, and the
// connect callback waits for its end.
void tls_client_connected(os_tcp_client_t *client);
// A connection the server accepted: its handshake starts, and the server's
// accept callback waits for its end. False when no session could be made (the
// client is then ended, unseen).
bool tls_server_accepted(os_tcp_server_t *server, os_tcp_client_t *client);
// The server closes: the handshakes of the connections it accepted end.
void tls_server_closed(const os_tcp_server_t *server);

// True while the client's handshake runs: its socket's events are the
// handshake's (tls_handshake_event), not the caller's.
bool tls_handshaking(const os_tcp_client_t *client);
// A socket event during the handshake; error is the event's socket error.
void tls_handshake_event(os_tcp_client_t *client, uint32_t event, int error);
// True when the client has a TLS session: read and send go through it.
bool tls_session(const os_tcp_client_t *client);
// Plaintext in and out, with the results of os_tcp_client_read and _send.
int tls_read(os_tcp_client_t *client, void *buffer, int len);
int tls_send(os_tcp_client_t *client, const void *data, int len);
// A read event of a connected TLS client: what a read would give now, 1
// plaintext, 0 nothing yet (a record not yet whole, or one without data, is
// no news to the caller), -1 the end (reported; reads give -1).
int tls_readable(os_tcp_client_t *client);
// The plaintext the client's reads have taken so far.
uint64_t tls_taken(const os_tcp_client_t *client);
// The socket told the peer's end while the session may still hold
// plaintext for the read callback; the end comes after it.
void tls_peer_ending(os_tcp_client_t *client);
bool tls_peer_ended(const os_tcp_client_t *client);
// True once the session refused its peer (a flood of handshake messages):
// the connection ends, whatever the read callback says.
bool tls_refused(const os_tcp_client_t *client);
// FD_WRITE of a connected TLS client: true when every encrypted byte went out
// and the caller's write callback may run.
bool tls_flush(os_tcp_client_t *client);
// The connection ends: a close_notify goes out when the handshake was done,
// and the session is freed. The settings stay. With keep_socket, a socket
// whose bytes are not all delivered yet is taken over and closed once they
// are (within 10 s), so that the close never throws them away: true then,
// and the caller leaves the socket alone.
bool tls_close(os_tcp_client_t *client, bool keep_socket = false);
// The record ends: the settings go too.
void tls_forget(os_tcp_client_t *client);

}  // namespace keel::net
