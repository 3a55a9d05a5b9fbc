// One TLS session per connection, kept beside the record (a plain connection
// pays nothing for it but a bit): the handshake, driven by the socket's
// events and bounded by a deadline, then plaintext in and out.
//
// OpenSSL reads and writes the socket through a small BIO of our own that
// calls the platform's wrappers, so the one-shot events keep their rule: a
// read event again after each read of the socket, a write event again after
// a send that would have blocked. The BIO never makes OpenSSL wait to write:
// what the socket does not take is kept (`unsent`) and sent on the next
// write event, so a record OpenSSL made is never half taken back, and a send
// that returned a count has handed every one of those bytes to the
// connection. While bytes wait there, sends take nothing, and past a bound
// nothing is read either (see held_back in tls_socket.cc, which keeps the
// socket's side of every platform's sessions).
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "keel/os_runtime.h"
#include "log/report.h"
#include "net/records.h"
#include "net/tls_socket.h"
#include "runtime/platform.h"

namespace keel::net {
namespace {

/* the BIO: the socket through the platform's calls */

// A record goes straight from OpenSSL's buffer to the socket when nothing
// waits before it; only what the socket refuses, or a record of a corked
// call, is copied.
int bio_write(BIO *bio, const char *data, int len) {
    Link &link = *static_cast<Link *>(BIO_get_data(bio));
    size_t size = static_cast<size_t>(len), sent = 0;
    if (link.unsent.empty() && !link.corked) {
        while (sent < size) {
            ssize_t n = rt::sel_send(link.fd, data + sent, size - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                continue;
            }
            // A failed socket drops the bytes; the next read meets its error.
            if (n == 0 || rt::sel_last_error() != rt::WSAEWOULDBLOCK) sent = size;
            break;
        }
    }
    if (sent < size) link.unsent.append(data + sent, size - sent);
    return len;
}

// Nothing is read for a peer that floods: its messages would be worked
// through, one after another, for as long as it sends them.
int bio_read(BIO *bio, char *buffer, int len) {
    Link &link = *static_cast<Link *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (link.flooding || held_back(link)) {
        BIO_set_retry_read(bio);
        return -1;
    }
    ssize_t got = rt::sel_recv(link.fd, buffer, static_cast<size_t>(len), 0);
    if (got < 0 && rt::sel_last_error() == rt::WSAEWOULDBLOCK) BIO_set_retry_read(bio);
    link.socket_eof = got == 0;
    return static_cast<int>(got);
}

// OpenSSL asks BIO_CTRL_EOF to tell a peer that ended the stream in the
// middle of the session (a truncation) from a failed read.
long bio_ctrl(BIO *bio, int cmd, long, void *) {
    if (cmd == BIO_CTRL_EOF) return static_cast<Link *>(BIO_get_data(bio))->socket_eof ? 1 : 0;
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD *socket_method() {
    static BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "keel socket");
        BIO_meth_set_write(m, bio_write);
        BIO_meth_set_read(m, bio_read);
        BIO_meth_set_ctrl(m, bio_ctrl);
        return m;
    }();
    return method;
}

/* sessions */

// Counts the handshake messages that come after the handshake (OpenSSL
// calls this for every message and record header, both ways).
void count_message(int write_p, int, int content_type, const void *, size_t, SSL *, void *arg) {
    if (write_p != 0 || content_type != SSL3_RT_HANDSHAKE) return;
    late_message_floods(*static_cast<Link *>(arg));
}

// Runs an OpenSSL call whose records go out in one send at its end. A
// handshake writes a flight of several records (and a server its session
// tickets after the client's last message); sent one by one, a small record
// behind another still unacknowledged waits for the peer's delayed
// acknowledgement (Nagle's rule), some 40 ms a handshake.
template <class Call>
int corked_call(Link &link, Call call) {
    link.corked = true;
    int result = call();
    int cause = errno;  // the call's, for its failure's report
    link.corked = false;
    send_unsent(link);
    errno = cause;
    return result;
}

// The session of the client's connection; false, reported, when OpenSSL
// could make none.
bool start_session(os_tcp_client_t *client, Link &link, SSL_CTX *ctx) {
    ERR_clear_error();
    link.ssl = SSL_new(ctx);
    BIO *bio = link.ssl != nullptr ? BIO_new(socket_method()) : nullptr;
    if (bio == nullptr) {
        KEEL_ERROR("TLS handshake with %s failed: %s", tls_peer_text(client).c_str(), tls_reason("no session").c_str());
        free_session(link);
        return false;
    }
    BIO_set_data(bio, &link);
    BIO_set_init(bio, 1);
    SSL_set_bio(link.ssl, bio, bio);
    begin_handshake(client, link);
    return true;
}

// What a failed handshake says: the verification's verdict when the peer's
// certificate was refused, else OpenSSL's reason or the socket's.
std::string handshake_failure(const Link &link, int ssl_error) {
    long verdict = SSL_get_verify_result(link.ssl);
    if (verdict != X509_V_OK) {
        ERR_clear_error();
        return std::string("certificate verify failed: ") + X509_verify_cert_error_string(verdict);
    }
    if (ssl_error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
        return errno != 0 ? strerror(errno) : "the peer closed the connection";
    return tls_reason("the peer broke off the handshake");
}

// What a read or a peek gave, as tls_read gives it: the count, 0 while
// nothing is there yet, or -1 once the stream has ended, which is reported
// once (a peek may meet the end before the read that gives it).
int read_result(os_tcp_client_t *client, Link &link, int result) {
    if (link.flooding) {
        end_of_stream(client, link, End::Flood);
        ERR_clear_error();
        return -1;
    }
    if (result > 0) return result;
    int error = SSL_get_error(link.ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return 0;
    if (error == SSL_ERROR_ZERO_RETURN) return end_of_stream(client, link, End::CloseNotify);
    if ((error == SSL_ERROR_SSL && ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) ||
        (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && link.socket_eof)) {
        ERR_clear_error();
        return end_of_stream(client, link, End::Truncated);
    }
    std::string reason = error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0
                             ? (errno != 0 ? strerror(errno) : "the connection ended")
                             : tls_reason("failed");
    return end_of_stream(client, link, End::Failed, reason);
}

}  // namespace

/* what the socket's side asks of the session (tls_socket.h) */

// What a read would give now: 1 plaintext, 0 nothing yet, -1 the end. The
// next record is decrypted (the socket read for it if need be) and kept for
// the read; a record without data (a session ticket, a key update) is
// worked through and gives nothing.
int peek(os_tcp_client_t *client, Link &link) {
    if (link.ended) return -1;
    if (SSL_pending(link.ssl) > 0) return 1;
    char byte;
    ERR_clear_error();
    errno = 0;
    int got = read_result(client, link, corked_call(link, [&] { return SSL_peek(link.ssl, &byte, 1); }));
    return got > 0 ? 1 : got;
}

// One step of the handshake; at its end the caller hears of the connection.
void step_handshake(os_tcp_client_t *client) {
    Link &link = link_of(client);
    ERR_clear_error();
    errno = 0;
    int done = corked_call(link, [&] { return SSL_do_handshake(link.ssl); });
    if (done != 1) {
        int error = SSL_get_error(link.ssl, done);
        int cause = error == SSL_ERROR_SYSCALL ? errno : 0;
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
            fail_handshake(client, handshake_failure(link, error), cause);
        return;
    }
    SSL_set_msg_callback(link.ssl, count_message);
    SSL_set_msg_callback_arg(link.ssl, &link);
    // Plaintext that came with the last handshake message waits inside the
    // session, where no socket event would announce it.
    handshake_done(client, link, SSL_has_pending(link.ssl));
}

/* the calls of the records (net/tls.h) */

void tls_client_configure(os_tcp_client_t *client, SSL_CTX *ctx, const char *server_name) {
    Link &link = link_at(client);
    if (link.ctx != nullptr) SSL_CTX_free(link.ctx);
    SSL_CTX_up_ref(ctx);
    link.ctx = ctx;
    link.server_name = server_name != nullptr ? server_name : "";
    client->tls = true;
}

// A name check that cannot be set up fails the handshake before it starts:
// without it any certificate of a trusted authority, for any name, would
// pass (tls_peer_name tells which name).
void tls_client_connected(os_tcp_client_t *client) {
    Link &link = link_of(client);
    if (!start_session(client, link, link.ctx)) {
        tcp_client_close_socket(client);
        client->connectfd = -1;
        tcp_client_failed(client, rt::WSAECONNABORTED, "no TLS session could be made");
        return;
    }
    TlsPeerName peer = tls_peer_name(client, link.server_name);
    const std::string &name = peer.name;
    X509_VERIFY_PARAM *param = SSL_get0_param(link.ssl);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    bool checked;
    if (peer.address) {
        checked = X509_VERIFY_PARAM_set1_ip_asc(param, peer.checked.c_str()) == 1;  // no SNI
    } else {
        checked = X509_VERIFY_PARAM_set1_host(param, name.c_str(), 0) == 1 &&
                  SSL_set_tlsext_host_name(link.ssl, name.c_str()) == 1;
    }
    if (!checked) {
        ERR_clear_error();
        return fail_handshake(client, "the name " + name + " cannot be checked", 0);
    }
    SSL_set_connect_state(link.ssl);
    step_handshake(client);
}

bool tls_server_accepted(os_tcp_server_t *server, os_tcp_client_t *client) {
    Link &link = link_at(client);
    client->tls = true;
    if (!start_session(client, link, server->tls_ctx)) {
        os_tcp_client_destroy(client);
        return false;
    }
    link.server = server;
    SSL_set_accept_state(link.ssl);
    step_handshake(client);
    return true;
}

bool tls_session(const os_tcp_client_t *client) { return link_of(client).ssl != nullptr; }

int tls_read(os_tcp_client_t *client, void *buffer, int len) {
    Link &link = link_of(client);
    if (link.ended) return -1;
    ERR_clear_error();
    errno = 0;
    int got = read_result(client, link, corked_call(link, [&] { return SSL_read(link.ssl, buffer, len); }));
    if (got <= 0) return got;
    link.taken += static_cast<uint64_t>(got);
    // Plaintext the session holds beyond len waits where no socket event
    // would announce it: one read event is queued for it. A record not yet
    // whole is left to the socket's own events. Only a read that took
    // something asks, so a callback that stops reading is not called again
    // and again.
    if (!link.read_posted && (SSL_pending(link.ssl) > 0 || (SSL_has_pending(link.ssl) && peek(client, link) != 0)))
        post_read(link);
    return got;
}

/* the rest of what the socket's side asks of the session */

int send_slice(os_tcp_client_t *client, Link &link, const void *data, int slice) {
    ERR_clear_error();
    errno = 0;
    int sent = SSL_write(link.ssl, data, slice);
    if (sent > 0) return sent;
    int error = SSL_get_error(link.ssl, sent);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return 0;
    KEEL_ERROR("TLS send to %s failed: %s", tls_peer_text(client).c_str(), tls_reason("failed").c_str());
    return -1;
}

bool close_session(Link &link) {
    if (link.ssl == nullptr) return false;
    ERR_clear_error();
    SSL_shutdown(link.ssl);
    ERR_clear_error();
    return true;
}

void session_free(Link &link) {
    if (link.ssl != nullptr) SSL_free(link.ssl);  // frees the BIO too
    link.ssl = nullptr;
}

void session_forget(Link &link) {
    if (link.ctx != nullptr) SSL_CTX_free(link.ctx);
}

std::string socket_error_words(int error) {
    char text[16];
    snprintf(text, sizeof text, "%d", error);
    return text;
}

}  // namespace keel::net
