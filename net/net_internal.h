// Internals of the networking folder: address texts parsed into socket
// addresses and back, shared by the exported address functions and the
// socket records.
#pragma once

#include <cstdint>

#include "net/socket_calls.h"

namespace keel::net {

// 1 when addr parses as IPv4 ("" counts, as 0.0.0.0); texts of 16 or more
// characters never do.
int is_valid_ipv4_addr(const char *addr);
// 1 when addr parses as IPv6, with or without a "%scope" suffix.
int is_valid_ipv6_addr(const char *addr);

// Parse into the address part of out ("" is 0.0.0.0); family and port stay as
// they are. The parser's result: 1 parsed, 0 bad text; -1 for a null argument.
int ipv4_get_addr(const char *addr, struct sockaddr_in *out);
// As above for IPv6 ("" is ::). The text is cut at 63 characters; a "%n"
// suffix sets the scope id.
int ipv6_get_addr(const char *addr, struct sockaddr_in6 *out);

// Builds the socket address for bind or connect: ip_type 0 or 1, port in host
// order. *addr_len gets 16 or 28 even when the text does not parse.
// Returns 0 on success, -1 on failure.
int get_sock_addr_info(int ip_type, const char *ip, uint16_t port, struct sockaddr_storage *out, socklen_t *addr_len);

// The IPv4 address of a dotted text as inet_addr reads it ("" and NULL are
// not texts here); false for a text that names no address. inet_addr's own
// failure value is the broadcast address, so that text alone is taken at
// its word.
bool ipv4_address(const char *text, in_addr *out);

// "a.b.c.d", or IPv6 text with "%scope" when the scope is set; out holds 64
// characters.
void address_text(const sockaddr_storage &ss, char *out);
// The port of either family, in host order.
uint16_t port_of(const sockaddr_storage &ss);

}  // namespace keel::net
