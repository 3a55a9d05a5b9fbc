// The TCP read path under a peer that sends random bytes in random chunks, reads the echo at random moments,
// half-closes and resets. The echo server on the library reads with a per-connection size from the input; every
// byte it echoes comes back whole and in order, and every connection that ends gives exactly one disconnect.
#include "tests/fuzz/socket_peer.h"

static int g_peer = -1;

// A new peer, whose connection the server reads read_len bytes at a time: it takes the size when it accepts.
static void connect_peer(FuzzedDataProvider &in) {
    g_echo_read_len = in.ConsumeIntegralInRange<uint32_t>(1, 65536);
    long expected = g_echo_accepted + 1;
    g_peer = peer_connect();
    if (!wait_for([expected] { return g_echo_accepted >= expected; })) FUZZ_FAIL();
}

// Reads the echo: what came so far, or until `want` bytes are in; false when it ended or a read timed out.
static bool read_echo(std::string *echoed, size_t want, bool wait) {
    char buf[65536];
    while (echoed->size() < want || !wait) {
        ssize_t n = recv(g_peer, buf, sizeof buf, wait ? 0 : MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return !wait && n < 0 && errno == EAGAIN;
        echoed->append(buf, static_cast<size_t>(n));
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    if (g_peer < 0) connect_peer(in);
    std::string sent, echoed;
    while (in.remaining_bytes() > 0) {
        int step = in.ConsumeIntegralInRange(0, 9);
        if (step < 7) {
            std::string chunk = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 16384));
            if (!write_all(g_peer, chunk)) FUZZ_FAIL();
            sent += chunk;
        } else if (step == 7) {  // what came so far is the start of what was sent
            if (!read_echo(&echoed, 0, false) || sent.compare(0, echoed.size(), echoed) != 0) FUZZ_FAIL();
        } else {
            // 8: a reset in the middle of the transfer; 9: a half-close, after which the whole echo still arrives.
            if (step == 9 && (shutdown(g_peer, SHUT_WR) != 0 || !read_echo(&echoed, sent.size(), true) ||
                              echoed != sent || read_echo(&echoed, sent.size() + 1, true)))
                FUZZ_FAIL();
            step == 8 ? reset_close(g_peer) : void(close(g_peer));
            sent = echoed = "";
            connect_peer(in);
        }
    }
    if (!read_echo(&echoed, sent.size(), true) || echoed != sent || !all_ended(1)) FUZZ_FAIL();
    return 0;
}
