// The exported address functions: classify, compare and convert address
// texts. Parsing itself is in sockaddr.cc; nothing here keeps state.

#include <cstring>

#include "keel/os_net.h"
#include "log/report.h"
#include "net/net_internal.h"

using namespace keel::net;

extern "C" {

// IPv4 is tried first, so "" (the unspecified IPv4 address) is type 0.
KEEL_API int get_valid_addr(const char *addr) {
    if (addr == nullptr) {
        KEEL_INFO("get_valid_addr addr == NULL");
        return -1;
    }
    if (is_valid_ipv4_addr(addr)) return 0;
    if (is_valid_ipv6_addr(addr)) return 1;
    return -1;
}

KEEL_API int os_get_ip_type(const char *addr) {
    if (addr == nullptr || addr[0] == '\0') {
        KEEL_INFO("get_ip_addr_type failed, addr == NULL || (strlen(addr) == 0)");
        return -1;
    }
    return get_valid_addr(addr);
}

// Only the two canonical loopback texts count; callers that need the whole
// loopback range compare by value instead.
KEEL_API int os_ip_is_lo(const char *ip) {
    if (ip == nullptr) return 0;
    return strcmp(ip, "127.0.0.1") == 0 || strcmp(ip, "::1") == 0 ? 1 : 0;
}

// Compared by value, so ::1 equals 0:0:0:0:0:0:0:1. For IPv6 the scope id is
// part of the address: fe80::1%3 and fe80::1%4 name hosts on different links.
KEEL_API int os_ip_cmp(const char *src_ip, const char *dst_ip) {
    if (src_ip == nullptr || dst_ip == nullptr) {
        KEEL_INFO("src_ip == NULL || dst_ip == NULL");
        return 0;
    }
    if (src_ip[0] == '\0' && dst_ip[0] == '\0') return 1;
    int type = os_get_ip_type(src_ip);
    if (type != os_get_ip_type(dst_ip)) return 0;
    if (type == 0) {
        struct sockaddr_in a = {}, b = {};
        ipv4_get_addr(src_ip, &a);
        ipv4_get_addr(dst_ip, &b);
        return memcmp(&a.sin_addr, &b.sin_addr, sizeof a.sin_addr) == 0 ? 1 : 0;
    }
    if (type == 1) {
        struct sockaddr_in6 a = {}, b = {};
        ipv6_get_addr(src_ip, &a);
        ipv6_get_addr(dst_ip, &b);
        return memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0 &&
                       a.sin6_scope_id == b.sin6_scope_id
                   ? 1
                   : 0;
    }
    KEEL_INFO("unkown os_ip_cmp ip_type: %d", type);
    return 0;
}

KEEL_API uint32_t os_inet_ip_to_host_byte(const char *ip) {
    struct in_addr addr = {};
    if (ip == nullptr || inet_pton(AF_INET, ip, &addr) != 1) return 0xFFFFFFFFu;
    return ntohl(addr.s_addr);
}

KEEL_API int os_inet_host_byte_to_ip(uint32_t host_ip, char *buf, int buf_len) {
    // A negative length would reach inet_ntop as a huge unsigned size.
    if (buf == nullptr || buf_len <= 0) return 0;
    struct in_addr addr = {};
    addr.s_addr = htonl(host_ip);
    return inet_ntop(AF_INET, &addr, buf, static_cast<socklen_t>(buf_len)) != nullptr ? 1 : 0;
}

}  // extern "C"
