// The TCP read path under a peer that sends random bytes in random chunk
// sizes, reads the echo at random moments, half-closes and resets. The echo
// server on the library reads with a per-connection buffer size taken from
// the input; every byte it echoes must come back whole and in order, and
// every connection that ends gives exactly one disconnect.
#include <fuzzer/FuzzedDataProvider.h>

#include <sys/prctl.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "keel/log.h"
#include "tests/echo_server.h"
#include "tests/net_support.h"

using namespace keel_test;

namespace {

int g_peer = -1;
uint16_t g_port;

// The fuzzer's alarm signal may interrupt any wait of the harness (and of
// the library's threads, which must carry on): every call here retries.

// Short polls: the harness waits for an accept with most inputs, and the
// kernel's default timer slack (50 us) would make each wait cost far more
// than the accept itself (see LLVMFuzzerInitialize).
bool wait_for(const std::function<bool()> &done) {
    return wait_until(done, std::chrono::seconds(10), std::chrono::microseconds(5));
}

// A new peer; the server reads its connection read_len bytes at a time.
void connect_peer(uint32_t read_len) {
    g_echo_read_len = read_len;
    long expected = g_echo_accepted + 1;
    if ((g_peer = plain_connect(g_port)) < 0) abort();
    // The read size belongs to this connection: wait until it is taken.
    if (!wait_for([expected] { return g_echo_accepted >= expected; })) abort();
}

// Reads what the echo sent so far (without waiting), or until `want` bytes
// are in (with a deadline). False when the connection ended.
bool read_echo(std::string *echoed, size_t want, bool wait) {
    char buf[65536];
    while (echoed->size() < want || !wait) {
        pollfd p{g_peer, POLLIN, 0};
        int ready = poll(&p, 1, wait ? 10000 : 0);
        if (ready < 0 && errno == EINTR) continue;
        if (ready != 1) return !wait;
        ssize_t n = read(g_peer, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        echoed->append(buf, static_cast<size_t>(n));
    }
    return true;
}

void end_peer(bool reset) {
    if (reset)
        reset_close(g_peer);
    else
        close(g_peer);
    g_peer = -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    prctl(PR_SET_TIMERSLACK, 1UL);  // this thread's sleeps end on time
    log_start(0, 0);
    // The corpus paths stay relative to the directory we came from.
    if (!start_runtime(true) || open_server(g_port = free_port()) == nullptr) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    if (g_peer < 0) connect_peer(in.ConsumeIntegralInRange<uint32_t>(1, 65536));
    std::string sent, echoed;
    bool ended_one = false;
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange(0, 9)) {
            case 7:
                if (!read_echo(&echoed, 0, false)) abort();
                break;
            case 8:  // a reset in the middle of the transfer
                end_peer(true);
                ended_one = true;
                sent.clear();
                echoed.clear();
                connect_peer(in.ConsumeIntegralInRange<uint32_t>(1, 65536));
                break;
            case 9:  // half-close: the whole echo still arrives, then the end
                shutdown(g_peer, SHUT_WR);
                if (!read_echo(&echoed, sent.size(), true) || echoed != sent) abort();
                if (read_echo(&echoed, sent.size() + 1, true)) abort();
                end_peer(false);
                ended_one = true;
                sent.clear();
                echoed.clear();
                connect_peer(in.ConsumeIntegralInRange<uint32_t>(1, 65536));
                break;
            default: {
                std::string chunk = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 16384));
                for (size_t off = 0; off < chunk.size();) {
                    ssize_t n = write(g_peer, chunk.data() + off, chunk.size() - off);
                    if (n < 0 && errno == EINTR) continue;
                    if (n <= 0) abort();
                    off += static_cast<size_t>(n);
                }
                sent += chunk;
            }
        }
        if (echoed.size() > sent.size() || sent.compare(0, echoed.size(), echoed) != 0) abort();
    }
    if (!read_echo(&echoed, sent.size(), true) || echoed != sent) abort();
    // Every connection that ended was seen to end, once.
    if (ended_one && !wait_for([] { return g_echo_accepted - g_echo_ended == 1; })) abort();
    return 0;
}
