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
// nothing is read either (see held_back).
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "keel/os_runtime.h"
#include "log/report.h"
#include "net/records.h"
#include "net/resolver.h"
#include "net/tls.h"
#include "runtime/platform.h"

namespace keel::net {
namespace {

struct Link {
    SSL_CTX *ctx = nullptr;   // a client's settings; nullptr for an accepted connection
    std::string server_name;  // a client's name to verify; empty: the host name or address
    SSL *ssl = nullptr;       // while connected
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
    bool corked = false;       // records are gathered, to go out in one send (see corked_call)
    bool read_posted = false;  // a read event of ours waits in the queue
    bool read_held = false;    // reading stopped while too much waited to be sent
    bool flooding = false;     // the peer sent more handshake messages than allowed
    bool peer_ended = false;   // the socket told the peer's end; plaintext may still wait
};

std::unordered_map<const os_tcp_client_t *, Link> &s_links = *new std::unordered_map<const os_tcp_client_t *, Link>;

Link &link_of(const os_tcp_client_t *client) { return s_links.find(client)->second; }

size_t unsent_size(const Link &link) { return link.unsent.size() - link.unsent_at; }

// One read event at a time is enough to have the session's plaintext read.
void post_read(Link &link) {
    if (link.read_posted) return;
    link.read_posted = true;
    rt::post_socket_event(link.fd, rt::FD_READ);
}

/* the BIO: the socket through the platform's calls */

// Sends what waits; true when nothing is left. A short send is tried again,
// so that the socket is either drained of our bytes or reported full (which
// arms the write event); a failed socket drops them, and the next read meets
// its error. Reading held back for the queue's size resumes once it is
// below the bound again.
bool send_unsent(Link &link) {
    bool all = true;
    while (link.unsent_at < link.unsent.size()) {
        ssize_t sent = rt::sel_send(link.fd, link.unsent.data() + link.unsent_at, link.unsent.size() - link.unsent_at,
                                    MSG_NOSIGNAL);
        if (sent > 0) {
            link.unsent_at += static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && rt::sel_last_error() == rt::WSAEWOULDBLOCK) {
            all = false;
            break;
        }
        link.unsent_at = link.unsent.size();
    }
    if (all) {
        link.unsent.clear();
        link.unsent_at = 0;
    }
    if (link.read_held && unsent_size(link) <= kUnsentMax) {
        link.read_held = false;
        post_read(link);
    }
    return all;
}

// A peer that does not read what we send, while its own messages make the
// session write more (a key update asked for is answered), would have us
// queue without end: past the bound nothing more is read from it, and TCP's
// flow control holds it back until it reads.
bool held_back(Link &link) {
    if (unsent_size(link) <= kUnsentMax) return false;
    link.read_held = true;
    return true;
}

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

/* closes that let the last bytes out */

// A socket whose connection we closed, while what was sent on it is not
// all delivered. The peer may still be writing (its session tickets, its
// own close_notify, data), and data that reaches a closed socket, or one
// closed with data unread, makes the system answer with a reset, which
// throws away whatever the socket had not delivered yet. So the socket is
// kept, what comes is read and dropped, and it is closed once everything
// sent has been acknowledged, or the peer has gone, or the bound has passed.
// A timer looks at every lingering socket in turn: the main thread never
// waits for one.
struct Lingering {
    int fd;
    std::string unsent;  // encrypted bytes the socket has not taken yet
    size_t unsent_at;
    uint64_t until_ms;
    bool shut;  // our end of the stream went out after the last byte
};

std::vector<Lingering> &s_lingering = *new std::vector<Lingering>;
os_timer_t *s_linger_timer = nullptr;

// One look at a lingering socket; true when it is done with.
bool linger_over(Lingering &l) {
    while (l.unsent_at < l.unsent.size()) {
        ssize_t sent = send(l.fd, l.unsent.data() + l.unsent_at, l.unsent.size() - l.unsent_at, MSG_NOSIGNAL);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (sent <= 0) return true;  // the connection failed: nothing more can go
        l.unsent_at += static_cast<size_t>(sent);
    }
    if (!l.shut && l.unsent_at == l.unsent.size()) {
        l.shut = true;
        if (shutdown(l.fd, SHUT_WR) != 0) return true;  // the connection is gone
    }
    // Bounded, against a peer that sends as fast as we read: the rest waits
    // for the next look.
    char buffer[16384];
    ssize_t got = -1;
    for (int round = 0; round < 16 && (got = recv(l.fd, buffer, sizeof buffer, 0)) > 0; ++round) {
    }
    if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return true;
    int queued = -1;
    if (l.shut && (got == 0 || (ioctl(l.fd, SIOCOUTQ, &queued) == 0 && queued == 0))) return true;
    return os_clock_ms() >= l.until_ms;
}

void linger_step(void *) {
    for (size_t i = 0; i < s_lingering.size();) {
        if (!linger_over(s_lingering[i])) {
            ++i;
            continue;
        }
        close(s_lingering[i].fd);
        s_lingering[i] = std::move(s_lingering.back());
        s_lingering.pop_back();
    }
    if (s_lingering.empty() && s_linger_timer != nullptr) {
        os_timer_destroy(s_linger_timer);
        s_linger_timer = nullptr;
    }
}

// Takes fd over until unsent and what the socket holds have gone out; false
// when there is nothing to wait for (the caller closes it as any other).
bool linger(int fd, std::string unsent) {
    Lingering l{fd, std::move(unsent), 0, os_clock_ms() + kLingerMs, false};
    if (linger_over(l)) return false;
    if (s_linger_timer == nullptr) s_linger_timer = os_timer_create_ms(linger_step, kLingerStepMs, nullptr);
    if (s_linger_timer == nullptr) return false;
    rt::select_socket(fd, 0);  // its events end here; the timer looks at it
    s_lingering.push_back(std::move(l));
    return true;
}

/* sessions */

std::string number_text(int error) {
    char text[16];
    snprintf(text, sizeof text, "%d", error);
    return text;
}

void free_session(Link &link) {
    if (link.deadline != nullptr) os_timer_destroy(link.deadline);
    link.deadline = nullptr;
    if (link.ssl != nullptr) SSL_free(link.ssl);  // frees the BIO too
    link.ssl = nullptr;
    link.unsent.clear();
    link.unsent_at = 0;
    link.taken = link.late_messages = 0;
    link.handshaking = link.ended = link.socket_eof = false;
    link.read_posted = link.read_held = link.flooding = link.peer_ended = false;
    link.server = nullptr;
}

// Counts the handshake messages that come after the handshake (OpenSSL
// calls this for every message and record header, both ways).
void count_message(int write_p, int, int content_type, const void *, size_t, SSL *, void *arg) {
    if (write_p != 0 || content_type != SSL3_RT_HANDSHAKE) return;
    Link &link = *static_cast<Link *>(arg);
    if (++link.late_messages > kLateMessages + link.taken / kDataPerMessage) link.flooding = true;
}

void on_deadline(void *arg);

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

// The session of a connection whose socket is fd; false, reported, when
// OpenSSL could make none.
bool start_session(os_tcp_client_t *client, Link &link, SSL_CTX *ctx) {
    ERR_clear_error();
    link.fd = client->connectfd;
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
    // Every send is whole records (a corked call's at once), so holding a
    // small one back for the peer's acknowledgement only delays it: a reply
    // behind the session tickets waited some 40 ms for a delayed ack.
    int on = 1;
    setsockopt(link.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    link.handshaking = true;
    link.deadline = os_timer_create_once(on_deadline, kTlsHandshakeMs, client);
    return true;
}

// A failed handshake: a client of the caller's is left connecting without a
// socket, as a refused connect leaves it, and its failure callback runs; a
// connection the library accepted ends unseen. cause: the errno behind the
// failure, 0 when the TLS layer itself gave up (the report says "none").
void fail_handshake(os_tcp_client_t *client, const std::string &reason, int cause) {
    Link &link = link_of(client);
    errno = cause;
    KEEL_ERROR("TLS handshake with %s failed: %s", tls_peer_text(client).c_str(), reason.c_str());
    bool accepted = link.server != nullptr;
    free_session(link);
    if (accepted) {
        os_tcp_client_destroy(client);
        return;
    }
    tcp_client_close_socket(client);
    client->connectfd = -1;
    tcp_client_failed(client, cause != 0 ? rt::wsa_error_from_errno(cause) : rt::WSAECONNABORTED, reason.c_str());
}

void on_deadline(void *arg) {
    auto *client = static_cast<os_tcp_client_t *>(arg);
    Link &link = link_of(client);
    link.deadline = nullptr;  // freed by the runtime after this call
    errno = ETIMEDOUT;
    KEEL_ERROR("TLS handshake with %s took longer than %d ms", tls_peer_text(client).c_str(), kTlsHandshakeMs);
    bool accepted = link.server != nullptr;
    free_session(link);
    if (accepted) {
        os_tcp_client_destroy(client);
    } else {
        tcp_client_close_socket(client);
        client->connectfd = -1;
        tcp_client_failed(client, rt::WSAETIMEDOUT, "the TLS handshake took longer than 10000 ms");
    }
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
        if (!link.ended)
            KEEL_ERROR("TLS peer %s floods the connection with handshake messages", tls_peer_text(client).c_str());
        link.ended = true;
        ERR_clear_error();
        return -1;
    }
    if (result > 0) return result;
    int error = SSL_get_error(link.ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return 0;
    link.ended = true;
    std::string peer = tls_peer_text(client);
    if (error == SSL_ERROR_ZERO_RETURN) {
        KEEL_INFO("TLS peer %s closed the connection (close_notify)", peer.c_str());
    } else if ((error == SSL_ERROR_SSL && ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) ||
               (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && link.socket_eof)) {
        ERR_clear_error();
        KEEL_ERROR("TLS peer %s ended without close_notify: the data may be truncated", peer.c_str());
    } else {
        std::string reason = error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0
                                 ? (errno != 0 ? strerror(errno) : "the connection ended")
                                 : tls_reason("failed");
        KEEL_ERROR("TLS read from %s failed: %s", peer.c_str(), reason.c_str());
    }
    return -1;
}

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
    if (link.deadline != nullptr) os_timer_destroy(link.deadline);
    link.deadline = nullptr;
    link.handshaking = false;
    SSL_set_msg_callback(link.ssl, count_message);
    SSL_set_msg_callback_arg(link.ssl, &link);
    // Plaintext that came with the last handshake message waits inside the
    // session, where no socket event would announce it.
    if (SSL_has_pending(link.ssl)) post_read(link);
    if (os_tcp_server_t *server = link.server) {
        link.server = nullptr;
        if (server->accept_cb != nullptr)
            call_out(server, [&] { server->accept_cb(server, client, server->accept_arg); });
        return;
    }
    set_status(client, TCP_CLIENT_STATUS_CONNECT);
    if (client->connect_cb != nullptr) call_out(client, [&] { client->connect_cb(client, client->connect_arg); });
}

}  // namespace

void tls_client_configure(os_tcp_client_t *client, SSL_CTX *ctx, const char *server_name) {
    Link &link = s_links[client];
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
    Link &link = s_links[client];
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

// A handshake ended here destroys its record, which leaves the table: the
// records to end are gathered first.
void tls_server_closed(const os_tcp_server_t *server) {
    std::vector<os_tcp_client_t *> ending;
    for (auto &[client, link] : s_links)
        if (link.server == server) ending.push_back(const_cast<os_tcp_client_t *>(client));
    for (os_tcp_client_t *client : ending) {
        free_session(link_of(client));
        os_tcp_client_destroy(client);
    }
}

bool tls_handshaking(const os_tcp_client_t *client) { return link_of(client).handshaking; }

bool tls_session(const os_tcp_client_t *client) { return link_of(client).ssl != nullptr; }

// The end of the socket during the handshake is its failure; every other
// event is a step (a write event first sends what waits).
void tls_handshake_event(os_tcp_client_t *client, uint32_t event, int error) {
    Link &link = link_of(client);
    if (error != 0)
        return fail_handshake(client, error == rt::WSAECONNABORTED || error == rt::WSAECONNRESET
                                          ? "the connection was reset"
                                          : "socket error " + number_text(error),
                              rt::errno_from_wsa_error(error));
    if (event == rt::FD_CLOSE) return fail_handshake(client, "the peer closed the connection", 0);
    if (event == rt::FD_WRITE && !send_unsent(link)) return;
    step_handshake(client);
}

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

int tls_readable(os_tcp_client_t *client) {
    Link &link = link_of(client);
    link.read_posted = false;  // the event that asks has come
    return peek(client, link);
}

uint64_t tls_taken(const os_tcp_client_t *client) { return link_of(client).taken; }

void tls_peer_ending(os_tcp_client_t *client) { link_of(client).peer_ended = true; }

bool tls_peer_ended(const os_tcp_client_t *client) { return link_of(client).peer_ended; }

bool tls_refused(const os_tcp_client_t *client) { return link_of(client).flooding; }

int tls_send(os_tcp_client_t *client, const void *data, int len) {
    Link &link = link_of(client);
    if (!send_unsent(link)) return 0;
    if (len == 0) return 0;
    ERR_clear_error();
    errno = 0;
    int sent = SSL_write(link.ssl, data, len < kSendSlice ? len : kSendSlice);
    if (sent > 0) return sent;
    int error = SSL_get_error(link.ssl, sent);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return 0;
    KEEL_ERROR("TLS send to %s failed: %s", tls_peer_text(client).c_str(), tls_reason("failed").c_str());
    return -1;
}

bool tls_flush(os_tcp_client_t *client) { return send_unsent(link_of(client)); }

// The close_notify goes out with whatever else waits. Kept, the socket
// lingers until all of it is out; else what the socket does not take now is
// dropped, reported. A peer refused for a flood is owed nothing.
bool tls_close(os_tcp_client_t *client, bool keep_socket) {
    Link &link = link_of(client);
    bool kept = false;
    if (link.ssl != nullptr && !link.handshaking && !link.flooding) {
        ERR_clear_error();
        SSL_shutdown(link.ssl);
        ERR_clear_error();
        send_unsent(link);
        if (keep_socket) {
            kept = linger(link.fd, link.unsent.substr(link.unsent_at));
        } else if (size_t left = unsent_size(link); left > 0) {
            KEEL_INFO("TLS %s: %zu encrypted bytes unsent at close", tls_peer_text(client).c_str(), left);
        }
    }
    free_session(link);
    return kept;
}

void tls_forget(os_tcp_client_t *client) {
    auto found = s_links.find(client);
    if (found == s_links.end()) return;
    free_session(found->second);
    if (found->second.ctx != nullptr) SSL_CTX_free(found->second.ctx);
    s_links.erase(found);
    client->tls = false;
}

}  // namespace keel::net
