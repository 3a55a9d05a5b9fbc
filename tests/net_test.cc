// Address texts: classification, socket addresses, comparison and host-byte conversions.
#include <gtest/gtest.h>

#include "keel/os_net.h"
#include "net/net_internal.h"

using namespace keel::net;

TEST(Address, ClassifiesTextsAndBuildsSocketAddressesOfBothFamilies) {
    const struct { std::string text; int type; } cases[] = {
        {"10.0.0.1", 0}, {"", 0}, {"::1", 1}, {"fe80::1%3", 1}, {"fe80::1%eth0", 1}, {"localhost", -1},
        {"0000:0000:0000:0000:0000:0000:0000:0001", 1}, {"1.2.3.4%3", -1}, {std::string(200, '1'), -1}};
    for (const auto &c : cases) {
        EXPECT_EQ(get_valid_addr(c.text.c_str()), c.type) << c.text;
        EXPECT_EQ(os_get_ip_type(c.text.c_str()), c.text.empty() ? -1 : c.type) << c.text;
        EXPECT_TRUE(c.text.empty() || is_valid_ipv4_addr(c.text.c_str()) + 2 * is_valid_ipv6_addr(c.text.c_str()) ==
                                          c.type + 1) << c.text << ": each test gives 1 or 0";
    }
    EXPECT_EQ(get_valid_addr(nullptr) + os_get_ip_type(nullptr) + is_valid_ipv6_addr(nullptr), -2);
    struct sockaddr_storage ss;
    socklen_t len = 0;
    auto *sin = reinterpret_cast<sockaddr_in *>(&ss);
    auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    ASSERT_EQ(get_sock_addr_info(0, "", 5000, &ss, &len), 0);
    EXPECT_TRUE(len == 16 && sin->sin_family == AF_INET && sin->sin_port == htons(5000) && sin->sin_addr.s_addr == 0);
    const struct { const char *text; uint32_t scope; } v6[] = {
        {"fe80::1%3", 3}, {"fe80::1%x", 0}, {"fe80::1%-2", 0}, {"fe80::1%99999999999", 0}};
    for (const auto &c : v6) {
        ASSERT_EQ(get_sock_addr_info(1, c.text, 80, &ss, &len), 0) << c.text;
        EXPECT_TRUE(len == 28 && sin6->sin6_family == AF_INET6 && sin6->sin6_port == htons(80)) << c.text;
        EXPECT_EQ(sin6->sin6_scope_id, c.scope) << c.text;
    }
    EXPECT_TRUE(get_sock_addr_info(0, "::1", 1, &ss, &len) == -1 && len == 16) << "length set, text refused";
    char text[64];  // and back: dotted IPv4 is written by hand, octets of every width
    ASSERT_EQ(get_sock_addr_info(0, "0.10.100.255", 1, &ss, &len), 0);
    address_text(ss, text);
    EXPECT_STREQ(text, "0.10.100.255");
    EXPECT_EQ(get_sock_addr_info(2, "1.2.3.4", 1, &ss, &len) + get_sock_addr_info(0, nullptr, 1, &ss, &len) +
                  get_sock_addr_info(1, std::string(200, 'f').c_str(), 1, &ss, &len) +
                  ipv4_get_addr("1.2.3.4", nullptr) + ipv6_get_addr(nullptr, nullptr) +
                  ipv6_get_addr(std::string(200, 'f').c_str(), sin6), -5);  // cut to its working copy, refused
}

// Comparison is by value and scope, the loopback test by text; host-byte order has the first octet most significant.
TEST(Address, ComparesAndConvertsToHostByteOrder) {
    EXPECT_EQ(os_ip_is_lo("::1") + os_ip_is_lo("127.0.0.1"), 2);
    EXPECT_EQ(os_ip_is_lo("0:0:0:0:0:0:0:1") + os_ip_is_lo("127.0.0.2") + os_ip_is_lo(nullptr), 0);
    const struct { const char *a, *b; int same; } cases[] = {
        {"::1", "0:0:0:0:0:0:0:1", 1}, {"", "", 1}, {"fe80::1%3", "fe80::0:1%3", 1}, {"1.2.3.4", "1.2.3.4", 1},
        {"1.2.3.4", "::1", 0}, {"1.2.3.4", "1.2.3.5", 0}, {"fe80::1%3", "fe80::1%4", 0}, {"", "1.2.3.4", 0},
        {"bad", "worse", 0}, {nullptr, "::1", 0}, {"::1", nullptr, 0}};
    for (const auto &c : cases) EXPECT_EQ(os_ip_cmp(c.a, c.b), c.same) << c.a << " " << c.b;

    char buf[16];
    EXPECT_EQ(os_inet_ip_to_host_byte("1.2.3.4"), 0x01020304u);
    ASSERT_EQ(os_inet_host_byte_to_ip(os_inet_ip_to_host_byte("255.1.20.254"), buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "255.1.20.254");
    EXPECT_EQ(os_inet_ip_to_host_byte("") & os_inet_ip_to_host_byte(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(os_inet_host_byte_to_ip(0x7F000001, buf, 9) + os_inet_host_byte_to_ip(1, buf, -1) +
                  os_inet_host_byte_to_ip(1, nullptr, 16), 0);
}
