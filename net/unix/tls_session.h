// What a TLS connection keeps of OpenSSL's (net/tls_socket.h puts the
// socket's side beside it).
#pragma once

#include <string>

struct ssl_st;
struct ssl_ctx_st;

namespace keel::net {

struct TlsSession {
    ssl_ctx_st *ctx = nullptr;  // a client's settings; nullptr for an accepted connection
    std::string server_name;    // a client's name to verify; empty: the host name or address
    ssl_st *ssl = nullptr;      // while connected
};

}  // namespace keel::net
