/* Keel address texts: classify, validate, compare and convert them.
 *
 * Rules of this interface:
 *  - An address is dotted IPv4 text ("192.168.1.10") or IPv6 text ("fe80::1"),
 *    the latter optionally followed by "%" and a decimal scope number
 *    ("fe80::1%3"). Interface names after "%" give scope 0.
 *  - An ip type is 0 for IPv4, 1 for IPv6 and -1 for neither.
 *  - Ports and 32-bit IPv4 numbers are in host order everywhere: the text
 *    1.2.3.4 is the number 0x01020304.
 *  - Every function works on its arguments only and may be called from any
 *    thread, before or after os_startup.
 */
#ifndef KEEL_OS_NET_H
#define KEEL_OS_NET_H

#include <stdint.h>

#include "keel/export.h"

KEEL_BEGIN_DECLS

/* Size of every address text field of the socket records: at most 63
 * characters and the terminator. */
#define MAX_IPV6_LEN 64

/* The ip type of addr; NULL and "" are reported and give -1. */
KEEL_API int os_get_ip_type(const char *addr);
/* The same, except that "" is taken as the unspecified IPv4 address: 0. */
KEEL_API int get_valid_addr(const char *addr);

/* 1 for exactly "127.0.0.1" or "::1", 0 for any other text or NULL. */
KEEL_API int os_ip_is_lo(const char *ip);
/* 1 when both texts denote the same address (and, for IPv6, the same scope),
 * 1 for two empty texts, 0 otherwise. */
KEEL_API int os_ip_cmp(const char *src_ip, const char *dst_ip);

/* The IPv4 address in host order, or 0xFFFFFFFF for bad text (which makes
 * 255.255.255.255 indistinguishable from an error). */
KEEL_API uint32_t os_inet_ip_to_host_byte(const char *ip);
/* Writes the dotted text of a host-order address into buf (16 bytes always
 * suffice). Returns 1, or 0 for a null or too small buffer. */
KEEL_API int os_inet_host_byte_to_ip(uint32_t host_ip, char *buf, int buf_len);

KEEL_END_DECLS

#endif /* KEEL_OS_NET_H */
