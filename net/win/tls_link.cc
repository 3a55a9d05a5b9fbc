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
// past a bound nothing is read either (see held_back in tls_socket.cc, which
// keeps the socket's side of every platform's sessions). What the socket gave
// waits in `in` until it makes whole records; their plaintext in `plain`
// until the caller reads it.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "keel/os_runtime.h"
#include "log/log_internal.h"
#include "log/report.h"
#include "net/records.h"
#include "net/tls_socket.h"
#include "runtime/platform.h"

namespace keel::net {
namespace {

// One read of the socket: a whole record and then some.
constexpr size_t kReadSize = 32 * 1024;

constexpr DWORD kClientFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                               ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;
constexpr DWORD kServerFlags = ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT | ASC_REQ_CONFIDENTIALITY |
                               ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM;

size_t plain_size(const Link &link) { return link.plain.size() - link.plain_at; }

std::string error_string(int error) {
    char scratch[128];
    return log::error_text(error, scratch, sizeof scratch);
}

/* the socket through the platform's calls */

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

/* sessions */

void start_session(os_tcp_client_t *client, Link &link) {
    link.active = true;
    begin_handshake(client, link);
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

// A handshake message after the handshake (a session ticket, a key update,
// a request to negotiate again): counted, and given to the session, whose
// answer goes out. False when the session refuses it.
bool late_message(Link &link, const char *data, size_t size) {
    if (late_message_floods(link)) return true;
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

}  // namespace

/* what the socket's side asks of the session (tls_socket.h) */

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
    // Records that came with the last handshake message wait in `in`, where
    // no socket event would announce them. (An accepted connection keeps its
    // reference to the settings.)
    handshake_done(client, link, !link.in.empty());
}

// What a read would give now: 1 plaintext, 0 nothing yet, -1 the end. The
// next record is decrypted (the socket read for it if need be) and kept for
// the read; a record without data gives nothing.
int peek(os_tcp_client_t *client, Link &link) {
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

/* the calls of the records (net/tls.h) */

void tls_client_configure(os_tcp_client_t *client, ssl_ctx_st *ctx, const char *server_name) {
    Link &link = link_at(client);
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
    Link &link = link_at(client);
    client->tls = true;
    link.ctx = server->tls_ctx;
    tls_context_hold(link.ctx);
    start_session(client, link);
    link.server = server;
    step_handshake(client);
    return true;
}

bool tls_session(const os_tcp_client_t *client) { return link_of(client).active; }

int tls_read(os_tcp_client_t *client, void *buffer, int len) {
    Link &link = link_of(client);
    if (link.ended) return -1;
    int got = peek(client, link);
    if (got <= 0) return got;
    size_t n = plain_size(link) < static_cast<size_t>(len) ? plain_size(link) : static_cast<size_t>(len);
    memcpy(buffer, link.plain.data() + link.plain_at, n);
    link.plain_at += n;
    link.taken += n;
    // Plaintext the session holds beyond len waits where no socket event
    // would announce it: one read event is queued for it. Only a read that
    // took something asks, so a callback that stops reading is not called
    // again and again.
    if (!link.read_posted && (plain_size(link) > 0 || (!link.in.empty() && peek(client, link) != 0))) post_read(link);
    return static_cast<int>(n);
}

// Each record carries at most the session's largest message; a send's slice
// goes out as one send of all its records.
int send_slice(os_tcp_client_t *client, Link &link, const void *data, int slice) {
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

bool close_session(Link &link) {
    if (!link.has_session || !link.active) return false;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc control_desc{SECBUFFER_VERSION, 1, &control};
    if (ApplyControlToken(&link.session, &control_desc) == SEC_E_OK) {
        link.in.clear();
        link.corked = true;
        handshake_call(link, link.ctx->server);  // its token is the close_notify
        link.corked = false;
    }
    return true;
}

void session_free(Link &link) {
    if (link.has_session) DeleteSecurityContext(&link.session);
    link.has_session = link.active = false;
    if (link.ctx != nullptr && link.ctx->server) {
        tls_context_free(link.ctx);  // an accepted connection's reference to its server's settings
        link.ctx = nullptr;
    }
    link.in.clear();
    link.plain.clear();
    link.plain_at = 0;
    link.close_notify = false;
}

// A client's settings are kept for the process.
void session_forget(Link &) {}

std::string socket_error_words(int error) { return error_string(error); }

}  // namespace keel::net
