// Address texts of any shape: classification, comparison, conversion and the socket addresses built from them never
// crash, never read past the text, and agree with each other.
#include <cstring>

#include "keel/os_net.h"
#include "net/net_internal.h"
#include "tests/fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::string a = in.ConsumeRandomLengthString(200), b = in.ConsumeRandomLengthString(200);
    a.resize(strlen(a.c_str()));  // the functions see texts up to their first NUL
    int type = os_get_ip_type(a.c_str()), valid = get_valid_addr(a.c_str());
    if (type != -1 && type != valid) FUZZ_FAIL();  // they differ on "" only
    if (os_ip_cmp(a.c_str(), a.c_str()) != (type != -1 || a.empty() ? 1 : 0)) FUZZ_FAIL();
    os_ip_cmp(a.c_str(), b.c_str());
    os_ip_is_lo(a.c_str());
    uint32_t host = os_inet_ip_to_host_byte(a.c_str());
    char text[16];
    int room = in.ConsumeIntegralInRange<int>(-1, 16);
    if (host != 0xFFFFFFFFu && os_inet_host_byte_to_ip(host, text, 16) == 1 && os_inet_ip_to_host_byte(text) != host)
        FUZZ_FAIL();  // the dotted text reads back as the same number
    os_inet_host_byte_to_ip(in.ConsumeIntegral<uint32_t>(), text, room);
    sockaddr_storage ss;
    socklen_t len = 0;
    int asked = in.ConsumeIntegralInRange<int>(-1, 2);
    int rc = keel::net::get_sock_addr_info(asked, a.c_str(), in.ConsumeIntegral<uint16_t>(), &ss, &len);
    if (rc == 0 && !((asked == 0 && len == 16 && ss.ss_family == AF_INET) ||
                     (asked == 1 && len == 28 && ss.ss_family == AF_INET6)))
        FUZZ_FAIL();
    return 0;
}
