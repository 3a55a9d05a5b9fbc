// What Windows's TLS files share: the settings (tls_settings.cc) and the
// verification of a peer's certificate (tls_verify.cc), over Schannel.
#pragma once

#include <winsock2.h>
// The order matters: each needs the one before.
#include <windows.h>

#include <wincrypt.h>
#define SECURITY_WIN32
// The newer form of the credentials (SCH_CREDENTIALS), which needs
// UNICODE_STRING.
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>

#include <schannel.h>
#include <security.h>

#include <string>
#include <vector>

#include "net/tls.h"

// The settings of clients (one per CA file, kept for the process) or of a
// server (the server's, and every connection's it accepted).
struct ssl_ctx_st {
    CredHandle credentials{};
    bool has_credentials = false;
    bool server = false;
    int references = 1;
    PCCERT_CONTEXT cert = nullptr;  // a server's, with its key
    HCRYPTPROV provider = 0;        // the key's container, deleted with the settings
    std::wstring container;
    HCERTSTORE trusted = nullptr;  // the caller's authorities; nullptr: the system's
};

namespace keel::net {

// A reference more to settings (tls_context_free gives it up).
void tls_context_hold(ssl_ctx_st *ctx);
// The system's text for a status or error number, else fallback with it.
std::string tls_status_text(SECURITY_STATUS status, const char *fallback);
// The verdict on a peer's certificate, in the words reports use ("certificate
// has expired", "hostname mismatch"); empty when it passes. name: the name
// it must carry (nullptr: a client's, whose name is not checked).
std::string tls_verify(const ssl_ctx_st *settings, PCCERT_CONTEXT peer, const TlsPeerName *name);

}  // namespace keel::net
