// What both platforms' TLS layers say of a client's peer: the text that names
// it in reports, and the name its certificate must carry.
#include <cstdio>

#include "net/records.h"
#include "net/resolver.h"
#include "net/tls.h"

namespace keel::net {

// Formatted by hand: std::to_string would put a template of the standard
// library among the shared library's exports in an unoptimised build.
std::string tls_peer_text(const os_tcp_client_t *client) {
    char text[MAX_IPV6_LEN + 8];
    snprintf(text, sizeof text, "%s:%u", client->remote_ip, static_cast<unsigned>(client->remote_port));
    return text;
}

// The name verified is the one the caller gave, else the host name the
// client connects to, else its address (a certificate may name addresses).
// An IPv6 address is checked without its scope ("fe80::1%2"), which names
// our own link, not the server.
TlsPeerName tls_peer_name(const os_tcp_client_t *client, const std::string &given) {
    TlsPeerName peer;
    peer.name = given;
    if (peer.name.empty() && host_name(client) != nullptr) peer.name = host_name(client);
    if (peer.name.empty()) peer.name = client->remote_ip;
    peer.address = os_get_ip_type(peer.name.c_str()) != -1;
    peer.checked = peer.address ? peer.name.substr(0, peer.name.find('%')) : peer.name;
    return peer;
}

}  // namespace keel::net
