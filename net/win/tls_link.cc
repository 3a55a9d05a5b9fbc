// One Schannel session per connection, kept beside the record (a plain
// connection pays nothing for it but a bit): the handshake, driven by the
// socket's events and bounded by a deadline, then plaintext in and out.
//
// Schannel only turns bytes into bytes; the socket is read and written here,
// through the platform's calls, so the one-shot events keep their rule: a
// read event again after each read of the socket, a write event again after
// a send that would have blocked. Records the socket does not take are kept
// (`unsent`) and sent on the next write event, so a record is never half
// taken back, and a send that returned a count has handed every one of those
// bytes to the connection. While bytes wait there, sends take nothing, and
// past a bound nothing is read either (see held_back). What the socket gave
// waits in `in` until it makes whole records; their plaintext in `plain`
// until the caller reads it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "keel/os_runtime.h"
#include "log/log_internal.h"
#include "log/report.h"
#include "net/records.h"
#include "net/socket_calls.h"
#include "net/win/tls_win.h"
#include "runtime/platform.h"

namespace keel::net {
namespace {

// One read of the socket: a whole record and then some.
constexpr size_t kReadSize = 32 * 1024;

constexpr DWORD kClientFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                               ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;
constexpr DWORD kServerFlags = ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT | ASC_REQ_CONFIDENTIALITY |
                               ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM;

struct Link {
    ssl_ctx_st *ctx = nullptr;  // the settings: a client's, or an accepted connection's server's (a reference)
    std::string server_name;    // a client's name to verify; empty: the host name or address
    TlsPeerName peer;           // the name a client verifies, while connected
    CtxtHandle session{};
    bool has_session = false;  // the context exists (after the first handshake call)
    bool active = false;       // a session runs (handshake or connected)
    int fd = -1;
    os_tcp_server_t *server = nullptr;  // an accepted connection's, until its accept callback
    os_timer_t *deadline = nullptr;     // while the handshake runs
    SecPkgContext_StreamSizes sizes{};
    std::string in;     // what the socket gave, not yet whole records
    std::string plain;  // plaintext not yet read
    size_t plain_at = 0;
    std::string unsent;  // encrypted bytes the socket has not taken yet
    size_t unsent_at = 0;
    uint64_t taken = 0;          // plaintext the reads took
    uint64_t late_messages = 0;  // handshake messages since the handshake
    bool handshaking = false;
    bool ended = false;         // a read met the end of the stream (reported once)
    bool socket_eof = false;    // the socket's last read found the peer's end
    bool close_notify = false;  // the peer's close_notify came
    bool corked = false;        // records are gathered, to go out in one send
    bool read_posted = false;   // a read event of ours waits in the queue
    bool read_held = false;     // reading stopped while too much waited to be sent
    bool flooding = false;      // the peer sent more handshake messages than allowed
    bool peer_ended = false;    // the socket told the peer's end; plaintext may still wait
};

std::unordered_map<const os_tcp_client_t *, Link> &s_links = *new std::unordered_map<const os_tcp_client_t *, Link>;

Link &link_of(const os_tcp_client_t *client) { return s_links.find(client)->second; }

size_t unsent_size(const Link &link) { return link.unsent.size() - link.unsent_at; }
size_t plain_size(const Link &link) { return link.plain.size() - link.plain_at; }

// One read event at a time is enough to have the session's plaintext read.
void post_read(Link &link) {
    if (link.read_posted) return;
    link.read_posted = true;
    rt::post_socket_event(link.fd, rt::FD_READ);
}

std::string error_string(int error) {
    char scratch[128];
    return log::error_text(error, scratch, sizeof scratch);
}

/* the socket through the platform's calls */

// Sends what waits; true when nothing is left. A short send is tried again,
// so that the socket is either drained of our bytes or reported full (which
// arms the write event); a failed socket drops them, and the next read meets
// its error. Reading held back for the queue's size resumes once it is below
// the bound again.
bool send_unsent(Link &link) {
    bool all = true;
    while (link.unsent_at < link.unsent.size()) {
        ssize_t sent =
            rt::sel_send(link.fd, link.unsent.data() + link.unsent_at, link.unsent.size() - link.unsent_at, 0);
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

// Records go out at once, unless the call that makes them gathers them (a
// handshake's flight goes in one send: sent one by one, a small record
// behind another still unacknowledged waits for the peer's delayed
// acknowledgement, Nagle's rule).
void put(Link &link, const void *data, size_t size) {
    link.unsent.append(static_cast<const char *>(data), size);
    if (!link.corked) send_unsent(link);
}

// The tokens a handshake call gave go out, and are freed.
void put_token(Link &link, SecBuffer &token) {
    if (token.pvBuffer == nullptr) return;
    put(link, token.pvBuffer, token.cbBuffer);
    FreeContextBuffer(token.pvBuffer);
    token.pvBuffer = nullptr;
}

// A peer that does not read what we send, while its own messages make the
// session write more, would have us queue without end: past the bound
// nothing more is read from it, and TCP's flow control holds it back.
bool held_back(Link &link) {
    if (unsent_size(link) <= kUnsentMax) return false;
    link.read_held = true;
    return true;
}

// Reads the socket into `in`: 1 bytes came, 0 none yet, -1 the socket
// failed (its error in *error), -2 the peer's end. Nothing is read for a
// peer that floods or while too much waits to be sent.
int take_in(Link &link, int *error) {
    if (link.flooding || held_back(link)) return 0;
    char buffer[kReadSize];
    ssize_t got = rt::sel_recv(link.fd, buffer, sizeof buffer, 0);
    if (got > 0) {
        link.in.append(buffer, static_cast<size_t>(got));
        return 1;
    }
    if (got == 0) {
        link.socket_eof = true;
        return -2;
    }
    *error = rt::sel_last_error();
    return *error == rt::WSAEWOULDBLOCK ? 0 : -1;
}

/* closes that let the last bytes out */

// A socket whose connection we closed, while the peer may still be writing
// (its own close_notify, data): data that reaches a closed socket, or one
// closed with data unread, makes the system answer with a reset, which
// throws away whatever the socket had not delivered yet. So the socket is
// kept, what comes is read and dropped, and it is closed once the peer has
// ended its side too (then all we sent has reached it), or it failed, or the
// bound has passed. A timer looks at every lingering socket in turn: the main
// thread never waits for one.
struct Lingering {
    int fd;
    std::string unsent;
    size_t unsent_at;
    uint64_t until_ms;
    bool shut;  // our end of the stream went out after the last byte
};

std::vector<Lingering> &s_lingering = *new std::vector<Lingering>;
os_timer_t *s_linger_timer = nullptr;

bool linger_over(Lingering &l) {
    SOCKET s = win::native(l.fd);
    while (l.unsent_at < l.unsent.size()) {
        int sent = send(s, l.unsent.data() + l.unsent_at, static_cast<int>(l.unsent.size() - l.unsent_at), 0);
        if (sent == SOCKET_ERROR && WSAGetLastError() == rt::WSAEWOULDBLOCK) break;
        if (sent <= 0) return true;  // the connection failed: nothing more can go
        l.unsent_at += static_cast<size_t>(sent);
    }
    if (!l.shut && l.unsent_at == l.unsent.size()) {
        l.shut = true;
        if (shutdown(s, SD_SEND) != 0) return true;  // the connection is gone
    }
    // Bounded, against a peer that sends as fast as we read: the rest waits
    // for the next look.
    char buffer[16384];
    int got = -1;
    for (int round = 0; round < 16 && (got = recv(s, buffer, sizeof buffer, 0)) > 0; ++round) {
    }
    if (got == SOCKET_ERROR && WSAGetLastError() != rt::WSAEWOULDBLOCK) return true;
    if (l.shut && got == 0) return true;
    return os_clock_ms() >= l.until_ms;
}

void linger_step(void *) {
    for (size_t i = 0; i < s_lingering.size();) {
        if (!linger_over(s_lingering[i])) {
            ++i;
            continue;
        }
        socket_close(s_lingering[i].fd);
        s_lingering[i] = std::move(s_lingering.back());
        s_lingering.pop_back();
    }
    if (s_lingering.empty() && s_linger_timer != nullptr) {
        os_timer_destroy(s_linger_timer);
        s_linger_timer = nullptr;
    }
}

// Takes fd over until unsent has gone out and the peer has ended; false when
// there is nothing to wait for (the caller closes it as any other).
bool linger(int fd, std::string unsent) {
    rt::select_socket(fd, 0);  // its events end here; the timer looks at it (the socket stays non-blocking)
    Lingering l{fd, std::move(unsent), 0, os_clock_ms() + kLingerMs, false};
    if (linger_over(l)) return false;
    if (s_linger_timer == nullptr) s_linger_timer = os_timer_create_ms(linger_step, kLingerStepMs, nullptr);
    if (s_linger_timer == nullptr) return false;
    s_lingering.push_back(std::move(l));
    return true;
}

/* sessions */

void free_session(Link &link) {
    if (link.deadline != nullptr) os_timer_destroy(link.deadline);
    link.deadline = nullptr;
    if (link.has_session) DeleteSecurityContext(&link.session);
    link.has_session = link.active = false;
    if (link.ctx != nullptr && link.ctx->server) {
        tls_context_free(link.ctx);  // an accepted connection's reference to its server's settings
        link.ctx = nullptr;
    }
    link.in.clear();
    link.plain.clear();
    link.plain_at = 0;
    link.unsent.clear();
    link.unsent_at = 0;
    link.taken = link.late_messages = 0;
    link.handshaking = link.ended = link.socket_eof = link.close_notify = false;
    link.read_posted = link.read_held = link.flooding = link.peer_ended = false;
    link.server = nullptr;
}

void on_deadline(void *arg);

void start_session(os_tcp_client_t *client, Link &link) {
    link.fd = client->connectfd;
    link.active = true;
    // Every send is whole records (a handshake's flight at once), so holding
    // a small one back for the peer's acknowledgement only delays it.
    int on = 1;
    socket_set(link.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    link.handshaking = true;
    link.deadline = os_timer_create_once(on_deadline, kTlsHandshakeMs, client);
}

// A failed handshake: a client of the caller's is left connecting without a
// socket, as a refused connect leaves it, and its failure callback runs; a
// connection the library accepted ends unseen. cause: the socket error
// behind the failure, 0 when the TLS layer itself gave up.
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
    tcp_client_failed(client, cause != 0 ? cause : rt::WSAECONNABORTED, reason.c_str());
}

void on_deadline(void *arg) {
    auto *client = static_cast<os_tcp_client_t *>(arg);
    Link &link = link_of(client);
    link.deadline = nullptr;  // freed by the runtime after this call
    errno = rt::WSAETIMEDOUT;
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

// One call of the handshake on what `in` holds (nothing for a client's
// first, or for the close_notify after a shutdown); its tokens go out, and
// what it left of `in` stays.
SECURITY_STATUS handshake_call(Link &link, bool server) {
    SecBuffer in[2] = {{static_cast<ULONG>(link.in.size()), SECBUFFER_TOKEN, link.in.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in};
    SecBufferDesc *input = link.in.empty() ? nullptr : &in_desc;  // a client's first call, a close's
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc out_desc{SECBUFFER_VERSION, 1, out};
    ULONG attributes = 0;
    CtxtHandle *current = link.has_session ? &link.session : nullptr;
    SECURITY_STATUS status;
    if (server) {
        DWORD flags = kServerFlags | (link.ctx->trusted != nullptr ? ASC_REQ_MUTUAL_AUTH : 0);
        status = AcceptSecurityContext(&link.ctx->credentials, current, input, flags, 0, &link.session, &out_desc,
                                       &attributes, nullptr);
    } else {
        bool first = !link.has_session;
        std::wstring target(link.peer.checked.begin(), link.peer.checked.end());
        SEC_WCHAR *name = first && !link.peer.address ? target.data() : nullptr;  // sent (SNI): never an address
        status = InitializeSecurityContextW(&link.ctx->credentials, current, name, kClientFlags, 0, 0, input, 0,
                                            &link.session, &out_desc, &attributes, nullptr);
    }
    // The first call makes the context, unless it failed or had too few bytes to begin.
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED || status == SEC_I_INCOMPLETE_CREDENTIALS)
        link.has_session = true;
    put_token(link, out[0]);
    // Too few bytes: they stay for the next call, with more. A server that
    // asks for a client certificate (we have none to give): the same bytes
    // go to the next call, which goes on without one.
    if (status == SEC_E_INCOMPLETE_MESSAGE || status == SEC_I_INCOMPLETE_CREDENTIALS) return status;
    if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0 && in[1].cbBuffer <= link.in.size())
        link.in.erase(0, link.in.size() - in[1].cbBuffer);
    else if (server || link.has_session)
        link.in.clear();
    return status;
}

// Verifies the peer once the handshake is done; the verdict, empty when it passes.
std::string verify_peer(Link &link, bool server) {
    PCCERT_CONTEXT peer = nullptr;
    if (server && link.ctx->trusted == nullptr) return "";  // no client certificate asked for
    if (QueryContextAttributesW(&link.session, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &peer) != SEC_E_OK || peer == nullptr)
        return server ? "peer did not return a certificate" : "the server sent no certificate";
    std::string verdict = tls_verify(link.ctx, peer, server ? nullptr : &link.peer);
    CertFreeCertificateContext(peer);
    return verdict.empty() ? verdict : "certificate verify failed: " + verdict;
}

// Runs the handshake as far as the bytes that came allow; at its end the
// caller hears of the connection.
void step_handshake(os_tcp_client_t *client) {
    Link &link = link_of(client);
    bool server = link.ctx->server;
    link.corked = true;
    SECURITY_STATUS status = SEC_I_CONTINUE_NEEDED;
    std::string failure;
    int cause = 0;
    for (;;) {
        // A client's first call has nothing to read; every other needs bytes.
        bool need_bytes = (link.has_session || server) && (link.in.empty() || status == SEC_E_INCOMPLETE_MESSAGE);
        if (need_bytes) {
            int got = take_in(link, &cause);
            if (got == 0) break;  // the next read event brings more
            if (got == -2) {
                failure = "the peer closed the connection";
                break;
            }
            if (got == -1) {
                failure = cause == rt::WSAECONNABORTED || cause == rt::WSAECONNRESET ? "the connection was reset"
                                                                                     : error_string(cause);
                break;
            }
        }
        status = handshake_call(link, server);
        if (status == SEC_E_OK) break;
        if (status != SEC_I_CONTINUE_NEEDED && status != SEC_E_INCOMPLETE_MESSAGE &&
            status != SEC_I_INCOMPLETE_CREDENTIALS) {
            failure = tls_status_text(status, "the peer broke off the handshake");
            break;
        }
    }
    link.corked = false;
    send_unsent(link);
    if (failure.empty() && status == SEC_E_OK) failure = verify_peer(link, server);
    if (!failure.empty()) return fail_handshake(client, failure, cause);
    if (status != SEC_E_OK) return;
    QueryContextAttributesW(&link.session, SECPKG_ATTR_STREAM_SIZES, &link.sizes);
    if (link.deadline != nullptr) os_timer_destroy(link.deadline);
    link.deadline = nullptr;
    link.handshaking = false;
    // Records that came with the last handshake message wait in `in`, where
    // no socket event would announce them.
    if (!link.in.empty()) post_read(link);
    if (os_tcp_server_t *server_record = link.server) {
        link.server = nullptr;  // the settings' reference stays with the connection
        if (server_record->accept_cb != nullptr)
            call_out(server_record,
                     [&] { server_record->accept_cb(server_record, client, server_record->accept_arg); });
        return;
    }
    set_status(client, TCP_CLIENT_STATUS_CONNECT);
    if (client->connect_cb != nullptr) call_out(client, [&] { client->connect_cb(client, client->connect_arg); });
}

// A handshake message after the handshake (a session ticket, a key update,
// a request to negotiate again): counted, and given to the session, whose
// answer goes out. False when the session refuses it.
bool late_message(Link &link, const char *data, size_t size) {
    if (++link.late_messages > kLateMessages + link.taken / kDataPerMessage) {
        link.flooding = true;
        return true;
    }
    link.in.assign(data, size);
    link.corked = true;
    SECURITY_STATUS status = handshake_call(link, link.ctx->server);
    link.corked = false;
    send_unsent(link);
    return status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE;
}

// Decrypts the records that are whole in `in` until plaintext comes; false,
// with the reason, when the session refuses what came. The peer's
// close_notify ends the session with SEC_I_CONTEXT_EXPIRED; wine's Schannel
// (8.0) takes it as a record without data instead, so an alert record the
// session came through whole is taken for the peer's close too (in TLS 1.2 a
// record's type is plain to see; a fatal alert fails the call).
bool open_records(Link &link, std::string *reason) {
    constexpr char kAlert = 21;
    while (!link.in.empty() && plain_size(link) == 0 && !link.close_notify && !link.flooding) {
        SecBuffer b[4] = {{static_cast<ULONG>(link.in.size()), SECBUFFER_DATA, link.in.data()},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
        bool alert = link.in[0] == kAlert;  // before the call, which decrypts in place
        SECURITY_STATUS status = DecryptMessage(&link.session, &desc, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) return true;
        std::string extra;
        for (const SecBuffer &buffer : b) {
            if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0 && status == SEC_E_OK) {
                link.plain.erase(0, link.plain_at);
                link.plain_at = 0;
                link.plain.append(static_cast<const char *>(buffer.pvBuffer), buffer.cbBuffer);
            }
            if (buffer.BufferType == SECBUFFER_EXTRA && buffer.cbBuffer > 0)
                extra.assign(static_cast<const char *>(buffer.pvBuffer), buffer.cbBuffer);
        }
        if (status == SEC_E_OK && !(alert && plain_size(link) == 0)) {
            link.in = std::move(extra);
        } else if (status == SEC_I_CONTEXT_EXPIRED || status == SEC_E_OK) {
            link.close_notify = true;
            link.in.clear();
        } else if (status == SEC_I_RENEGOTIATE) {
            if (!late_message(link, extra.data(), extra.size())) {
                *reason = "the peer's handshake message was refused";
                return false;
            }
        } else {
            *reason = tls_status_text(status, "failed");
            return false;
        }
    }
    return true;
}

enum class End { CloseNotify, Truncated, Flood, Failed };

// The end of the stream, reported once: -1.
int end_of_stream(os_tcp_client_t *client, Link &link, End how, const std::string &reason = "") {
    if (!link.ended) {
        std::string peer = tls_peer_text(client);
        if (how == End::CloseNotify)
            KEEL_INFO("TLS peer %s closed the connection (close_notify)", peer.c_str());
        else if (how == End::Truncated)
            KEEL_ERROR("TLS peer %s ended without close_notify: the data may be truncated", peer.c_str());
        else if (how == End::Flood)
            KEEL_ERROR("TLS peer %s floods the connection with handshake messages", peer.c_str());
        else
            KEEL_ERROR("TLS read from %s failed: %s", peer.c_str(), reason.c_str());
    }
    link.ended = true;
    return -1;
}

// What a read would give now: 1 plaintext, 0 nothing yet, -1 the end. The
// next record is decrypted (the socket read for it if need be) and kept for
// the read; a record without data gives nothing.
int fill(os_tcp_client_t *client, Link &link) {
    if (link.flooding) return end_of_stream(client, link, End::Flood);
    if (plain_size(link) > 0) return 1;
    if (link.ended) return -1;
    for (;;) {
        std::string reason;
        if (!open_records(link, &reason)) return end_of_stream(client, link, End::Failed, reason);
        if (link.flooding) return end_of_stream(client, link, End::Flood);
        if (plain_size(link) > 0) return 1;
        if (link.close_notify) return end_of_stream(client, link, End::CloseNotify);
        if (link.socket_eof) return end_of_stream(client, link, End::Truncated);
        int error = 0, got = take_in(link, &error);
        if (got == 0) return 0;
        if (got == -1) {
            errno = error;
            return end_of_stream(client, link, End::Failed, error_string(error));
        }
    }
}

}  // namespace

void tls_client_configure(os_tcp_client_t *client, ssl_ctx_st *ctx, const char *server_name) {
    Link &link = s_links[client];
    link.ctx = ctx;  // kept for the process
    link.server_name = server_name != nullptr ? server_name : "";
    client->tls = true;
}

void tls_client_connected(os_tcp_client_t *client) {
    Link &link = link_of(client);
    start_session(client, link);
    link.peer = tls_peer_name(client, link.server_name);
    in6_addr probe;
    if (link.peer.address && inet_pton(AF_INET, link.peer.checked.c_str(), &probe) != 1 &&
        inet_pton(AF_INET6, link.peer.checked.c_str(), &probe) != 1)
        return fail_handshake(client, "the name " + link.peer.name + " cannot be checked", 0);
    step_handshake(client);
}

bool tls_server_accepted(os_tcp_server_t *server, os_tcp_client_t *client) {
    Link &link = s_links[client];
    client->tls = true;
    link.ctx = server->tls_ctx;
    tls_context_hold(link.ctx);
    start_session(client, link);
    link.server = server;
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

bool tls_session(const os_tcp_client_t *client) { return link_of(client).active; }

// The end of the socket during the handshake is its failure; every other
// event is a step (a write event first sends what waits).
void tls_handshake_event(os_tcp_client_t *client, uint32_t event, int error) {
    Link &link = link_of(client);
    if (error != 0)
        return fail_handshake(client,
                              error == rt::WSAECONNABORTED || error == rt::WSAECONNRESET
                                  ? "the connection was reset"
                                  : "socket error " + error_string(error),
                              error);
    if (event == rt::FD_CLOSE) return fail_handshake(client, "the peer closed the connection", 0);
    if (event == rt::FD_WRITE && !send_unsent(link)) return;
    step_handshake(client);
}

int tls_read(os_tcp_client_t *client, void *buffer, int len) {
    Link &link = link_of(client);
    if (link.ended) return -1;
    int got = fill(client, link);
    if (got <= 0) return got;
    size_t n = plain_size(link) < static_cast<size_t>(len) ? plain_size(link) : static_cast<size_t>(len);
    memcpy(buffer, link.plain.data() + link.plain_at, n);
    link.plain_at += n;
    link.taken += n;
    // Plaintext the session holds beyond len waits where no socket event
    // would announce it: one read event is queued for it. Only a read that
    // took something asks, so a callback that stops reading is not called
    // again and again.
    if (!link.read_posted && (plain_size(link) > 0 || (!link.in.empty() && fill(client, link) != 0))) post_read(link);
    return static_cast<int>(n);
}

int tls_readable(os_tcp_client_t *client) {
    Link &link = link_of(client);
    link.read_posted = false;  // the event that asks has come
    return fill(client, link);
}

uint64_t tls_taken(const os_tcp_client_t *client) { return link_of(client).taken; }

void tls_peer_ending(os_tcp_client_t *client) { link_of(client).peer_ended = true; }

bool tls_peer_ended(const os_tcp_client_t *client) { return link_of(client).peer_ended; }

bool tls_refused(const os_tcp_client_t *client) { return link_of(client).flooding; }

// Each record carries at most the session's largest message; a send's slice
// goes out as one send of all its records.
int tls_send(os_tcp_client_t *client, const void *data, int len) {
    Link &link = link_of(client);
    if (!send_unsent(link)) return 0;
    if (len == 0) return 0;
    int slice = len < kSendSlice ? len : kSendSlice;
    const SecPkgContext_StreamSizes &sizes = link.sizes;
    std::string record;
    link.corked = true;
    for (int done = 0; done < slice;) {
        ULONG part = static_cast<ULONG>(slice - done);
        if (sizes.cbMaximumMessage != 0 && part > sizes.cbMaximumMessage) part = sizes.cbMaximumMessage;
        record.resize(sizes.cbHeader + part + sizes.cbTrailer);
        memcpy(record.data() + sizes.cbHeader, static_cast<const char *>(data) + done, part);
        SecBuffer b[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
                          {part, SECBUFFER_DATA, record.data() + sizes.cbHeader},
                          {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes.cbHeader + part},
                          {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
        SECURITY_STATUS status = EncryptMessage(&link.session, 0, &desc, 0);
        if (status != SEC_E_OK) {
            link.corked = false;
            KEEL_ERROR("TLS send to %s failed: %s", tls_peer_text(client).c_str(),
                       tls_status_text(status, "failed").c_str());
            if (done > 0) send_unsent(link);
            return done > 0 ? done : -1;
        }
        put(link, record.data(), b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer);
        done += static_cast<int>(part);
    }
    link.corked = false;
    send_unsent(link);
    return slice;
}

bool tls_flush(os_tcp_client_t *client) { return send_unsent(link_of(client)); }

// The close_notify goes out with whatever else waits. Kept, the socket
// lingers until all of it is out; else what the socket does not take now is
// dropped, reported. A peer refused for a flood is owed nothing.
bool tls_close(os_tcp_client_t *client, bool keep_socket) {
    Link &link = link_of(client);
    bool kept = false;
    if (link.has_session && link.active && !link.handshaking && !link.flooding) {
        DWORD type = SCHANNEL_SHUTDOWN;
        SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
        SecBufferDesc control_desc{SECBUFFER_VERSION, 1, &control};
        if (ApplyControlToken(&link.session, &control_desc) == SEC_E_OK) {
            link.in.clear();
            link.corked = true;
            handshake_call(link, link.ctx->server);  // its token is the close_notify
            link.corked = false;
        }
        send_unsent(link);
        if (keep_socket) {
            kept = linger(link.fd, link.unsent.substr(link.unsent_at));
        } else if (size_t left = unsent_size(link); left > 0) {
            KEEL_INFO("TLS %s: %lu encrypted bytes unsent at close", tls_peer_text(client).c_str(),
                      static_cast<unsigned long>(left));
        }
    }
    free_session(link);
    return kept;
}

void tls_forget(os_tcp_client_t *client) {
    auto found = s_links.find(client);
    if (found == s_links.end()) return;
    free_session(found->second);
    s_links.erase(found);
    client->tls = false;
}

}  // namespace keel::net
