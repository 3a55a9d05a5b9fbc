// Address texts into platform socket addresses and back. These are the
// internal parsers behind the exported address functions and the socket
// records' bind and connect paths; they keep no state.

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/report.h"
#include "net/net_internal.h"

namespace keel::net {
namespace {

constexpr int kIpv6TextSize = 64;  // the working copy: 63 characters at most

// The decimal number after "%". Anything that is not a number in 0..INT_MAX
// (an interface name, a sign, an overflow) gives scope 0 rather than a
// wrapped value the kernel would take for some other link.
uint32_t scope_of(const char *digits) {
    int saved_errno = errno;
    char *end = nullptr;
    errno = 0;
    long value = strtol(digits, &end, 10);
    bool usable = end != digits && errno != ERANGE && value >= 0 && value <= INT_MAX;
    errno = saved_errno;
    return usable ? static_cast<uint32_t>(value) : 0;
}

}  // namespace

int ipv4_get_addr(const char *addr, struct sockaddr_in *out) {
    if (addr == nullptr || out == nullptr) {
        KEEL_INFO("ipv4_get_addr param is NULL");
        return -1;
    }
    int rc = inet_pton(AF_INET, addr[0] == '\0' ? "0.0.0.0" : addr, &out->sin_addr);
    if (rc < 1) return rc;
    memset(out->sin_zero, 0, sizeof out->sin_zero);
    return rc;
}

int ipv6_get_addr(const char *addr, struct sockaddr_in6 *out) {
    if (addr == nullptr || out == nullptr) {
        KEEL_INFO("ipv6_get_addr param is NULL");
        return -1;
    }
    char text[kIpv6TextSize] = {0};
    strncpy(text, addr[0] == '\0' ? "0:0:0:0:0:0:0:0" : addr, sizeof text - 1);
    if (char *percent = strchr(text, '%'); percent != nullptr) {
        out->sin6_scope_id = scope_of(percent + 1);
        *percent = '\0';
    }
    return inet_pton(AF_INET6, text, &out->sin6_addr);
}

int is_valid_ipv4_addr(const char *addr) {
    if (addr == nullptr) {
        KEEL_INFO("is_valid_ipv4_addr addr addr_ip is NULL.");
        return 0;
    }
    if (strnlen(addr, 16) >= 16) return 0;
    struct sockaddr_in sin = {};
    return ipv4_get_addr(addr, &sin) >= 1 ? 1 : 0;
}

int is_valid_ipv6_addr(const char *addr) {
    if (addr == nullptr) {
        KEEL_INFO("is_valid_ipv6_addr addr addr_ip is NULL.");
        return 0;
    }
    struct sockaddr_in6 sin6 = {};
    return ipv6_get_addr(addr, &sin6) >= 1 ? 1 : 0;
}

int get_sock_addr_info(int ip_type, const char *ip, uint16_t port, struct sockaddr_storage *out,
                       socklen_t *addr_len) {
    if (ip == nullptr || out == nullptr || addr_len == nullptr) {
        KEEL_INFO("get_sock_addr_info param is NULL.");
        return -1;
    }
    if (ip_type == 0) {
        *addr_len = sizeof(struct sockaddr_in);
        auto *sin = reinterpret_cast<struct sockaddr_in *>(out);
        memset(sin, 0, sizeof *sin);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(port);
        int rc = ipv4_get_addr(ip, sin);
        if (rc < 1) {
            KEEL_INFO("inet_pton ret[%d]", rc);
            return -1;
        }
        return 0;
    }
    if (ip_type == 1) {
        *addr_len = sizeof(struct sockaddr_in6);
        auto *sin6 = reinterpret_cast<struct sockaddr_in6 *>(out);
        memset(sin6, 0, sizeof *sin6);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(port);
        int rc = ipv6_get_addr(ip, sin6);
        if (rc < 1) {
            KEEL_INFO("ipv6_get_addr ret[%d]", rc);
            return -1;
        }
        return 0;
    }
    KEEL_INFO("get_sock_addr_info ip_type[%d] error.", ip_type);
    return -1;
}

bool ipv4_address(const char *text, in_addr *out) {
    out->s_addr = inet_addr(text);
    return out->s_addr != INADDR_NONE || strcmp(text, "255.255.255.255") == 0;
}

void address_text(const sockaddr_storage &ss, char *out) {
    if (ss.ss_family == AF_INET6) {
        const auto &sin6 = reinterpret_cast<const sockaddr_in6 &>(ss);
        inet_ntop(AF_INET6, &sin6.sin6_addr, out, kIpv6TextSize);
        if (sin6.sin6_scope_id != 0) {
            size_t used = strlen(out);
            snprintf(out + used, kIpv6TextSize - used, "%%%d", static_cast<int>(sin6.sin6_scope_id));
        }
    } else {
        // By hand: inet_ntop goes through sprintf, at more instructions than
        // the rest of an accepted connection's record, whose two addresses
        // are made this way.
        const auto *bytes = reinterpret_cast<const uint8_t *>(&reinterpret_cast<const sockaddr_in &>(ss).sin_addr);
        char *p = out;
        for (int i = 0; i < 4; ++i) {
            unsigned b = bytes[i];
            if (b >= 100) *p++ = static_cast<char>('0' + b / 100);
            if (b >= 10) *p++ = static_cast<char>('0' + b / 10 % 10);
            *p++ = static_cast<char>('0' + b % 10);
            *p++ = i < 3 ? '.' : '\0';
        }
    }
}

uint16_t port_of(const sockaddr_storage &ss) {
    return ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6 &>(ss).sin6_port
                                          : reinterpret_cast<const sockaddr_in &>(ss).sin_port);
}

}  // namespace keel::net
