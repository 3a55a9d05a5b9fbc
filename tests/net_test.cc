// Address texts: classification (and the two views of ""), socket addresses
// with scope ids and host-order ports, comparison by value, and conversions.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "keel/log.h"
#include "keel/os_net.h"
#include "net/net_internal.h"
#include "test_support.h"

using keel_test::StderrCapture;

TEST(AddressType, ClassifiesTextsAndTreatsEmptyTextPerFunction) {
    const struct { std::string text; int type; } cases[] = {
        {"10.0.0.1", 0}, {"::1", 1}, {"fe80::1%3", 1}, {"fe80::1%eth0", 1},
        {"0000:0000:0000:0000:0000:0000:0000:0001", 1}, {"localhost", -1}, {"1.2.3.4%3", -1},
        {std::string(200, '1'), -1}};
    for (const auto &c : cases) EXPECT_EQ(get_valid_addr(c.text.c_str()), c.type) << c.text;
    log_start(0, 1);
    StderrCapture cap;
    EXPECT_EQ(get_valid_addr(""), 0) << "the empty text is the unspecified IPv4 address";
    EXPECT_EQ(os_get_ip_type(""), -1);
    EXPECT_EQ(get_valid_addr(nullptr) + is_valid_ipv4_addr(nullptr) + is_valid_ipv6_addr(nullptr), -1);
    std::string text = cap.text();
    EXPECT_EQ(keel_test::lines_of(text).size(), 4u) << text;
    EXPECT_NE(text.find("get_ip_addr_type failed, addr == NULL || (strlen(addr) == 0)"), std::string::npos);
}

TEST(SockAddr, BuildsBothFamiliesWithNetworkOrderPortAndScope) {
    struct sockaddr_storage ss;
    socklen_t len = 0;
    auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    ASSERT_EQ(get_sock_addr_info(1, "fe80::1%3", 80, &ss, &len), 0);
    EXPECT_TRUE(len == 28 && sin6->sin6_family == AF_INET6 && sin6->sin6_port == htons(80));
    EXPECT_EQ(sin6->sin6_scope_id, 3u);
    for (const char *no_scope : {"fe80::1%x", "fe80::1%-2", "fe80::1%99999999999"}) {
        ASSERT_EQ(get_sock_addr_info(1, no_scope, 80, &ss, &len), 0);
        EXPECT_EQ(sin6->sin6_scope_id, 0u) << no_scope;
    }
    auto *sin = reinterpret_cast<sockaddr_in *>(&ss);
    ASSERT_EQ(get_sock_addr_info(0, "", 5000, &ss, &len), 0);
    EXPECT_TRUE(len == 16 && sin->sin_family == AF_INET && sin->sin_port == htons(5000));
    EXPECT_EQ(sin->sin_addr.s_addr, htonl(INADDR_ANY));
    // The text is cut at 63 characters: the scope's last digit falls off.
    std::string cut = "0:0:0:0:0:0:0:1%" + std::string(46, '0') + "79";
    ASSERT_EQ(ipv6_get_addr(cut.c_str(), sin6), 1);
    EXPECT_EQ(sin6->sin6_scope_id, 7u);
}

TEST(SockAddr, RefusesBadTypeTextAndNullsWithReports) {
    log_start(0, 1);
    struct sockaddr_storage ss;
    socklen_t len = 0;
    StderrCapture cap;
    EXPECT_EQ(get_sock_addr_info(2, "1.2.3.4", 1, &ss, &len), -1);
    EXPECT_EQ(get_sock_addr_info(0, "::1", 1, &ss, &len), -1);
    EXPECT_EQ(len, 16u) << "the length is set before the parse";
    EXPECT_EQ(get_sock_addr_info(1, std::string(200, 'f').c_str(), 1, &ss, &len), -1);
    EXPECT_EQ(get_sock_addr_info(0, nullptr, 1, &ss, &len), -1);
    EXPECT_EQ(ipv4_get_addr("1.2.3.4", nullptr) + ipv6_get_addr(nullptr, nullptr), -2);
    std::string text = cap.text();
    for (const char *msg : {"get_sock_addr_info ip_type[2] error.", "inet_pton ret[0]", "ipv6_get_addr ret[0]",
                            "get_sock_addr_info param is NULL.", "ipv4_get_addr param is NULL"})
        EXPECT_NE(text.find(msg), std::string::npos) << msg;
}

TEST(Compare, ByValueAndScopeWhileLoopbackTestIsByText) {
    EXPECT_EQ(os_ip_is_lo("::1") + os_ip_is_lo("127.0.0.1"), 2);
    EXPECT_EQ(os_ip_is_lo("0:0:0:0:0:0:0:1") + os_ip_is_lo("127.0.0.2") + os_ip_is_lo(nullptr), 0);
    EXPECT_EQ(os_ip_cmp("::1", "0:0:0:0:0:0:0:1") + os_ip_cmp("", "") + os_ip_cmp("fe80::1%3", "fe80::0:1%3"), 3);
    EXPECT_EQ(os_ip_cmp("1.2.3.4", "::1") + os_ip_cmp("1.2.3.4", "1.2.3.5") + os_ip_cmp("fe80::1%3", "fe80::1%4"), 0);
    log_start(0, 1);
    StderrCapture cap;
    EXPECT_EQ(os_ip_cmp("", "1.2.3.4") + os_ip_cmp("bad", "worse") + os_ip_cmp(nullptr, "::1"), 0);
    std::string text = cap.text();
    EXPECT_NE(text.find("(strlen(addr) == 0)"), std::string::npos);
    EXPECT_NE(text.find("unkown os_ip_cmp ip_type: -1"), std::string::npos);
    EXPECT_NE(text.find("src_ip == NULL || dst_ip == NULL"), std::string::npos);
}

TEST(HostByte, FirstOctetIsMostSignificantAndBuffersAreBounded) {
    EXPECT_EQ(os_inet_ip_to_host_byte("1.2.3.4"), 0x01020304u);
    EXPECT_EQ(os_inet_ip_to_host_byte("") & os_inet_ip_to_host_byte(nullptr), 0xFFFFFFFFu);
    char buf[16];
    ASSERT_EQ(os_inet_host_byte_to_ip(0x7F000001, buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "127.0.0.1");
    EXPECT_EQ(os_inet_host_byte_to_ip(0x7F000001, buf, 9) + os_inet_host_byte_to_ip(1, buf, -1) +
                  os_inet_host_byte_to_ip(1, nullptr, 16), 0);
}

TEST(SetNonblocking, SwitchesTheSocketAndEndsTheProcessOnFailure) {
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    set_nonblocking(sock);
    EXPECT_TRUE(fcntl(sock, F_GETFL) & O_NONBLOCK);
    close(sock);
    EXPECT_EXIT(set_nonblocking(-1), testing::ExitedWithCode(1), "ioctlsocket\\(sock, FIONBIO, &ulArg\\) == SOCKET_ERROR");
}
