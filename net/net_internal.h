// Internals of the networking folder: address parsing into socket addresses
// and the one socket routine shared by the socket records and the runtime.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

/* addresses */

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
int get_sock_addr_info(int ip_type, const char *ip, uint16_t port, struct sockaddr_storage *out,
                       socklen_t *addr_len);

/* sockets */

// Makes sock non-blocking; a failure ends the process.
void set_nonblocking(int sock);
