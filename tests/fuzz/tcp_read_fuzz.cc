// The TCP read path under a peer that sends random bytes in random chunk
// sizes, reads the echo at random moments, half-closes and resets. The echo
// server on the library reads with a per-connection buffer size taken from
// the input; every byte it echoes must come back whole and in order, and
// every connection that ends gives exactly one disconnect.
#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <thread>

#include "keel/log.h"
#include "keel/os_net.h"
#include "keel/os_runtime.h"

namespace {

struct Conn {
    std::string pending;
    uint32_t read_len;
};

std::atomic<uint32_t> g_next_read_len{1};
std::atomic<int> g_accepted{0}, g_ended{0};
uint16_t g_port;
int g_peer = -1;

void flush(os_tcp_client_t *c) {
    auto *conn = static_cast<Conn *>(os_tcp_client_get_udata(c));
    while (!conn->pending.empty()) {
        int n = os_tcp_client_send(c, conn->pending.data(), static_cast<uint32_t>(conn->pending.size()));
        if (n <= 0) return;
        conn->pending.erase(0, static_cast<size_t>(n));
    }
}

int on_read(os_tcp_client_t *c, void *) {
    auto *conn = static_cast<Conn *>(os_tcp_client_get_udata(c));
    char buf[65536];
    int n;
    while ((n = os_tcp_client_read(c, buf, conn->read_len)) > 0) conn->pending.append(buf, static_cast<size_t>(n));
    flush(c);
    return n < 0 ? -1 : 0;
}

void on_write(os_tcp_client_t *c, void *) { flush(c); }

void on_end(os_tcp_client_t *c, void *) {
    delete static_cast<Conn *>(os_tcp_client_get_udata(c));
    os_tcp_client_set_udata(c, nullptr);
    ++g_ended;
}

void on_accept(os_tcp_server_t *, os_tcp_client_t *c, void *) {
    os_tcp_client_set_udata(c, new Conn{{}, g_next_read_len.load()});
    os_tcp_client_bind_read(c, on_read, nullptr);
    os_tcp_client_bind_write(c, on_write, nullptr);
    os_tcp_client_bind_disconnect(c, on_end, nullptr);
    ++g_accepted;
}

bool wait_for(const std::function<bool()> &done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return true;
}

void connect_peer(uint32_t read_len) {
    g_next_read_len = read_len;
    int expected = g_accepted + 1;
    g_peer = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(g_port);
    if (connect(g_peer, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) abort();
    // The read size belongs to this connection: wait until it is taken.
    if (!wait_for([expected] { return g_accepted >= expected; })) abort();
}

// Reads what the echo sent so far (without waiting), or until `want` bytes
// are in (with a deadline). False when the connection ended.
bool read_echo(std::string *echoed, size_t want, bool wait) {
    char buf[65536];
    while (echoed->size() < want || !wait) {
        pollfd p{g_peer, POLLIN, 0};
        if (poll(&p, 1, wait ? 10000 : 0) != 1) return !wait;
        ssize_t n = read(g_peer, buf, sizeof buf);
        if (n <= 0) return false;
        echoed->append(buf, static_cast<size_t>(n));
    }
    return true;
}

void end_peer(bool reset) {
    if (reset) {
        linger hard{1, 0};
        setsockopt(g_peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    close(g_peer);
    g_peer = -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    log_start(0, 0);
    namespace fs = std::filesystem;
    // The accept marker is looked for in the current directory at start-up;
    // the fuzzer's corpus paths are relative to the one we came from.
    fs::path home = fs::current_path();
    fs::path dir = fs::temp_directory_path() / ("keel_fuzz_" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::current_path(dir);
    std::ofstream("select_config.json");  // accept each connection at once
    if (os_startup(0, 0) != 1) abort();
    fs::current_path(home);
    fs::remove_all(dir);
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(probe, reinterpret_cast<sockaddr *>(&a), len);
    getsockname(probe, reinterpret_cast<sockaddr *>(&a), &len);
    close(probe);
    g_port = ntohs(a.sin_port);
    os_tcp_server_t *server = os_tcp_server_create();
    os_tcp_server_set_local(server, "127.0.0.1", g_port);
    os_tcp_server_bind_accept(server, on_accept, nullptr);
    if (os_tcp_server_open(server) != 1) abort();
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
    if (ended_one && !wait_for([] { return g_accepted - g_ended == 1; })) abort();
    return 0;
}
