// The TLS settings of clients and servers: OpenSSL contexts made from the
// caller's files, checked when they are set, so that a file that cannot be
// used is reported by the call that names it, not by every connection later.
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstring>
#include <map>
#include <string>

#include "log/report.h"
#include "net/records.h"
#include "net/resolver.h"
#include "net/tls.h"

namespace keel::net {
namespace {

// What every context shares: TLS 1.2 and 1.3 only, and no renegotiation,
// which no peer of ours needs and which has been a door for attacks. Reading
// ahead takes what the socket holds in one call instead of a header and a
// body per record; what it takes beyond a read is announced by tls_read.
SSL_CTX *new_context(const SSL_METHOD *method) {
    SSL_CTX *ctx = SSL_CTX_new(method);
    if (ctx == nullptr) return nullptr;
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_read_ahead(ctx, 1);
    return ctx;
}

// Keyed by the CA file ("" for the system's store): reading the system's
// store costs milliseconds, and a program makes many clients with one file.
std::map<std::string, SSL_CTX *> &s_client_contexts = *new std::map<std::string, SSL_CTX *>;

bool trust(SSL_CTX *ctx, const char *ca_file) {
    return ca_file != nullptr ? SSL_CTX_load_verify_locations(ctx, ca_file, nullptr) == 1
                              : SSL_CTX_set_default_verify_paths(ctx) == 1;
}

}  // namespace

SSL_CTX *tls_server_context(const char *cert_file, const char *key_file, const char *client_ca_file) {
    ERR_clear_error();
    SSL_CTX *ctx = new_context(TLS_server_method());
    if (ctx == nullptr) {
        KEEL_ERROR("TLS certificate %s cannot be used: %s", cert_file, tls_reason("no context").c_str());
        return nullptr;
    }
    const char *failed = nullptr;
    if (SSL_CTX_use_certificate_chain_file(ctx, cert_file) != 1) {
        KEEL_ERROR("TLS certificate %s cannot be used: %s", cert_file, tls_reason("unreadable").c_str());
        failed = cert_file;
    } else if (SSL_CTX_use_PrivateKey_file(ctx, key_file, SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
        KEEL_ERROR("TLS key %s cannot be used: %s", key_file, tls_reason("unreadable").c_str());
        failed = key_file;
    } else if (client_ca_file != nullptr) {
        STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(client_ca_file);
        if (names == nullptr || !trust(ctx, client_ca_file)) {
            if (names != nullptr) sk_X509_NAME_pop_free(names, X509_NAME_free);
            KEEL_ERROR("TLS CA file %s cannot be used: %s", client_ca_file, tls_reason("unreadable").c_str());
            failed = client_ca_file;
        } else {
            SSL_CTX_set_client_CA_list(ctx, names);
            SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
            // A resumed session must come from a server that verified it.
            static const unsigned char kContext[] = "keel";
            SSL_CTX_set_session_id_context(ctx, kContext, sizeof kContext - 1);
        }
    }
    if (failed == nullptr) return ctx;
    SSL_CTX_free(ctx);
    return nullptr;
}

// The first error queued is the cause ("No such file or directory"); those
// after it only say which layer passed it on ("system lib").
std::string tls_reason(const char *fallback) {
    unsigned long code = ERR_peek_error();
    std::string reason = fallback;
    if (code != 0) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        // "error:0A000086:SSL routines::certificate verify failed": the part
        // after the last colon is the reason.
        const char *last = strrchr(text, ':');
        reason = last != nullptr && last[1] != '\0' ? last + 1 : text;
    }
    ERR_clear_error();
    return reason;
}

void tls_context_free(SSL_CTX *ctx) { SSL_CTX_free(ctx); }

void tls_server_free(os_tcp_server_t *server) {
    if (server->tls_ctx != nullptr) SSL_CTX_free(server->tls_ctx);
}

SSL_CTX *tls_client_context(const char *ca_file) {
    std::string key = ca_file != nullptr ? ca_file : "";
    if (auto found = s_client_contexts.find(key); found != s_client_contexts.end()) return found->second;
    ERR_clear_error();
    SSL_CTX *ctx = new_context(TLS_client_method());
    if (ctx == nullptr || !trust(ctx, ca_file)) {
        KEEL_ERROR("TLS CA file %s cannot be used: %s", ca_file != nullptr ? ca_file : "(the system's store)",
                   tls_reason("no context").c_str());
        if (ctx != nullptr) SSL_CTX_free(ctx);
        return nullptr;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    s_client_contexts[key] = ctx;
    return ctx;
}

}  // namespace keel::net
