// What a TLS connection keeps of Schannel's (net/tls_socket.h puts the
// socket's side beside it). What the socket gave waits in `in` until it makes
// whole records; their plaintext in `plain` until the caller reads it.
#pragma once

#include <string>

#include "net/win/tls_win.h"

namespace keel::net {

struct TlsSession {
    ssl_ctx_st *ctx = nullptr;  // the settings: a client's, or an accepted connection's server's (a reference)
    std::string server_name;    // a client's name to verify; empty: the host name or address
    TlsPeerName peer;           // the name a client verifies, while connected
    CtxtHandle session{};
    bool has_session = false;  // the context exists (after the first handshake call)
    bool active = false;       // a session runs (handshake or connected)
    SecPkgContext_StreamSizes sizes{};
    std::string in;     // what the socket gave, not yet whole records
    std::string plain;  // plaintext not yet read
    size_t plain_at = 0;
    bool close_notify = false;  // the peer's close_notify came
};

}  // namespace keel::net
