// A TLS server record under a peer that sends random bytes: from the first
// byte (a handshake that is garbage, or a valid prefix that stops), or after
// a real handshake and an echo checked byte for byte (records that are
// garbage, cut short, or followed by a reset). Whatever comes, the process
// lives, every connection that was handed to the accept callback ends once,
// and no descriptor is left behind once the peer is gone.
#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/prctl.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "keel/log.h"
#include "tests/echo_server.h"
#include "tests/net_support.h"

using namespace keel_test;

namespace {

uint16_t g_port;
SSL_CTX *g_client;
int g_base_sockets;

// The process's sockets. Other descriptors come and go with the sanitizer's
// symbolizer, which the fuzzer starts to name new code it reaches.
int socket_count() {
    int n = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error).string().rfind("socket:", 0) == 0) ++n;
    }
    return n;
}

bool wait_for(const std::function<bool()> &done) {
    return wait_until(done, std::chrono::seconds(10), std::chrono::microseconds(50));
}

// Writes all of data, retrying what the fuzzer's alarm interrupts; false when
// the server has closed the connection already (a fair outcome of garbage).
bool write_all(int fd, const std::string &data) {
    for (size_t off = 0; off < data.size();) {
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

// A handshake with the server, then one echo through it, checked.
void handshake_and_echo(int fd, const std::string &payload) {
    SSL *ssl = SSL_new(g_client);
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) != 1) abort();
    if (!payload.empty()) {
        if (SSL_write(ssl, payload.data(), static_cast<int>(payload.size())) != static_cast<int>(payload.size()))
            abort();
        std::string echoed(payload.size(), '\0');
        for (size_t got = 0; got < payload.size();) {
            int n = SSL_read(ssl, echoed.data() + got, static_cast<int>(payload.size() - got));
            if (n <= 0) abort();
            got += static_cast<size_t>(n);
        }
        if (echoed != payload) abort();
    }
    SSL_free(ssl);  // the socket stays, for the raw bytes that follow
    ERR_clear_error();
}

// A certificate of its own, made once by the openssl command.
std::string make_certificate() {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("keel_tls_fuzz_" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::string cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj /CN=localhost"
                      " -keyout " + (dir / "key.pem").string() + " -out " + (dir / "cert.pem").string() + " 2>/dev/null";
    if (system(cmd.c_str()) != 0) abort();
    return dir.string();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    prctl(PR_SET_TIMERSLACK, 1UL);
    log_start(0, 0);
    std::string dir = make_certificate();
    os_tcp_server_t *server;
    if (!start_runtime(true) || (server = open_server(g_port = free_port())) == nullptr) abort();
    if (os_tcp_server_set_tls(server, (dir + "/cert.pem").c_str(), (dir + "/key.pem").c_str(), nullptr) != 1) abort();
    std::filesystem::remove_all(dir);
    g_client = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(g_client, SSL_VERIFY_NONE, nullptr);
    g_base_sockets = socket_count();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    bool handshake = in.ConsumeBool();
    bool reset = in.ConsumeBool();
    long accepted = g_echo_accepted;
    int fd = plain_connect(g_port);
    if (fd < 0) abort();
    timeval limit{10, 0};  // no wait of the handshake may hang
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (handshake) handshake_and_echo(fd, in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 4096)));
    while (in.remaining_bytes() > 0 && write_all(fd, in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 4096)))) {
    }
    if (reset)
        reset_close(fd);
    else
        close(fd);
    if (handshake && !wait_for([accepted] { return g_echo_accepted == accepted + 1; })) abort();
    if (!wait_for([] { return g_echo_ended == g_echo_accepted && socket_count() == g_base_sockets; })) abort();
    if (g_echo_late != 0) abort();
    return 0;
}
