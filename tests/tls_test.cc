// TLS on TCP servers and clients, against peers of three kinds: our own
// client and server, OpenSSL's s_server and s_client and curl as outside
// programs, and raw OpenSSL clients in this process for what a well-behaved
// peer never does. Every case ends with the descriptors it started with.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "echo_server.h"
#include "keel/log.h"
#include "test_support.h"
#include "tls_certs.h"

using namespace keel_test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A case that needs an outside program skips where it is missing.
#define SKIP_WITHOUT(program) \
    if (system("command -v " program " >/dev/null") != 0) GTEST_SKIP() << program " is not installed"

// An outside program: its output and errors go to a file, its input comes
// from a pipe of ours or /dev/null. Killed at the end if still running.
class Child {
public:
    Child(const std::vector<std::string> &args, std::string log, bool with_input = false) : log_(std::move(log)) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int in[2] = {-1, -1};
        if (with_input && pipe2(in, O_CLOEXEC) == 0) {
            posix_spawn_file_actions_adddup2(&actions, in[0], 0);
            input_ = in[1];
        } else {
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        }
        posix_spawn_file_actions_addopen(&actions, 1, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char *> argv;
        for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (in[0] >= 0) close(in[0]);
    }
    ~Child() {
        close_input();
        if (pid_ > 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
    }
    void signal(int sig) { kill(pid_, sig); }
    bool input(const std::string &text) { return write(input_, text.data(), text.size()) == ssize_t(text.size()); }
    void close_input() {
        if (input_ >= 0) close(input_);
        input_ = -1;
    }
    // True once it has ended (within the deadline); code() then tells how.
    bool exited(std::chrono::milliseconds deadline) {
        int status;
        if (pid_ > 0 && wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, deadline, 5ms)) {
            code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
        }
        return pid_ <= 0;
    }
    int code() const { return code_; }
    std::string output() const {
        std::ifstream in(log_);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string log_;
    pid_t pid_ = -1;
    int input_ = -1, code_ = -1;
};

uint16_t local_port(int fd) {
    Addr at;
    getsockname(fd, at.sa(), &at.len);
    return at.port();
}

// True when the peer ends the connection (close or reset) within timeout_ms,
// whatever it sends first (an alert, say).
bool ends_within(int fd, int timeout_ms = 5000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[4096];
    for (pollfd p{fd, POLLIN, 0};;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) != 1) return false;
        if (read(fd, buf, sizeof buf) <= 0) return true;
    }
}

// A client's first flight: the hello of a real handshake.
std::string client_hello() {
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    SSL *ssl = SSL_new(ctx);
    BIO *out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, BIO_new(BIO_s_mem()), out);
    SSL_connect(ssl);  // waits for the server's answer, the hello written
    char *data;
    long n = BIO_get_mem_data(out, &data);
    std::string hello(data, static_cast<size_t>(std::max(n, 0L)));
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    return hello;
}

// A blocking TLS client on OpenSSL itself, verifying "localhost", for what
// our own client never does: stop inside a record, or end without a
// close_notify. Each of its calls gives up after 10 s.
struct RawTls {
    int fd;
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    SSL *ssl = SSL_new(ctx);
    bool connected = false;

    RawTls(uint16_t port, const std::string &ca) : fd(plain_connect(port)) {
        timeval limit{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        SSL_CTX_load_verify_locations(ctx, ca.c_str(), nullptr);
        SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
        SSL_set_tlsext_host_name(ssl, "localhost");
        SSL_set1_host(ssl, "localhost");
        connected = fd >= 0 && SSL_set_fd(ssl, fd) == 1 && SSL_connect(ssl) == 1;
    }
    ~RawTls() {
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        if (fd >= 0) close(fd);
    }
    bool write(const std::string &s) { return SSL_write(ssl, s.data(), static_cast<int>(s.size())) == int(s.size()); }
};

// One connection as a caller drives it: what it saw, written on the main
// thread, and what it sends from its connect callback on, resumed by its
// write callback.
struct Conn {
    std::atomic<int> connects{0}, ends{0};
    std::string got, out;
    size_t sent = 0;
    int would_block = 0;
    int empty = 0;    // read callbacks that found nothing
    size_t bite = 0;  // set: a read callback takes this much, once, and leaves the rest
};

void conn_pump(os_tcp_client_t *c, void *arg) {
    auto *conn = static_cast<Conn *>(arg);
    while (conn->sent < conn->out.size()) {
        int n = os_tcp_client_send(c, conn->out.data() + conn->sent, uint32_t(conn->out.size() - conn->sent));
        if (n <= 0) return void(++conn->would_block);
        conn->sent += static_cast<size_t>(n);
    }
}

int conn_read(os_tcp_client_t *c, void *arg) {
    auto *conn = static_cast<Conn *>(arg);
    char buf[65536];
    int n = os_tcp_client_read(c, buf, conn->bite ? uint32_t(conn->bite) : sizeof buf);
    conn->empty += n == 0;
    while (n > 0) {
        conn->got.append(buf, size_t(n));
        n = conn->bite ? 0 : os_tcp_client_read(c, buf, sizeof buf);
    }
    return n < 0 ? -1 : 0;
}

void conn_bind(os_tcp_client_t *c, Conn *conn) {
    os_tcp_client_bind_connect(c, [](os_tcp_client_t *self, void *arg) {
        EXPECT_EQ(os_tcp_client_get_status(self), TCP_CLIENT_STATUS_CONNECT);
        ++static_cast<Conn *>(arg)->connects;
        conn_pump(self, arg);
    }, conn);
    os_tcp_client_bind_write(c, conn_pump, conn);
    os_tcp_client_bind_read(c, conn_read, conn);
    os_tcp_client_bind_disconnect(c, [](os_tcp_client_t *, void *arg) { ++static_cast<Conn *>(arg)->ends; }, conn);
}

// Sends more from the main thread, as a caller would once connected.
void conn_send(os_tcp_client_t *c, Conn *conn, const std::string &more) {
    on_main_thread([&] {
        conn->out += more;
        conn_pump(c, conn);
    });
}

// The line of `text` holding `needle`, lower-cased; "" when none.
std::string line_with(const std::string &text, const std::string &needle) {
    for (std::string line : lines_of(text))
        if (line.find(needle) != std::string::npos) {
            std::transform(line.begin(), line.end(), line.begin(), [](unsigned char ch) { return std::tolower(ch); });
            return line;
        }
    return "";
}

std::string handshake_failed(const std::string &address, uint16_t port) {
    return "TLS handshake with " + address + ":" + std::to_string(port) + " failed: ";
}

std::string truncated(uint16_t port) {
    return "TLS peer 127.0.0.1:" + std::to_string(port) + " ended without close_notify: the data may be truncated";
}

class Tls : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(certs_.ok()); }

    // With by_name, a resolution first starts the resolver thread, whose
    // descriptor stays for the process.
    void start(bool by_name = false) {
        log_start(0, LOG_LEVEL_DEBUG);
        ASSERT_TRUE(start_runtime(true));
        static std::atomic<bool> s_resolved{false};
        if (by_name) {
            auto done = [](const char *, const char *const *, int, const char *, void *) { s_resolved = true; };
            os_resolve("localhost", done, nullptr);
            ASSERT_TRUE(wait_until([] { return s_resolved.load(); }));
        }
        base_fds_ = fd_count();
    }

    os_tcp_server_t *tls_server(uint16_t *port, const TlsPair &pair, const char *client_ca = nullptr,
                                os_tcp_accept_cb accept = echo_accept, const char *local = "127.0.0.1") {
        os_tcp_server_t *s = os_tcp_server_create();
        os_tcp_server_set_local(s, local, *port = free_port());
        os_tcp_server_bind_accept(s, accept, nullptr);
        EXPECT_EQ(os_tcp_server_set_tls(s, pair.cert.c_str(), pair.key.c_str(), client_ca), 1);
        EXPECT_EQ(os_tcp_server_open(s), 1);
        return s;
    }

    os_tcp_client_t *tls_client(Conn *conn, uint16_t port, const char *name) {
        os_tcp_client_t *c = os_tcp_client_create();
        os_tcp_client_set_remote(c, "127.0.0.1", port);
        EXPECT_EQ(os_tcp_client_set_tls(c, name, certs_.ca.c_str()), 1);
        conn_bind(c, conn);
        return c;
    }

    void TearDown() override {
        if (base_fds_ < 0) return;
        EXPECT_TRUE(fd_count_returns_to(base_fds_)) << fd_count() << " descriptors, " << base_fds_ << " before";
        EXPECT_EQ(g_echo_late, 0) << "callbacks after a connection's end";
    }

    TlsCerts certs_;
    int base_fds_ = -1;
};

}  // namespace

// ---- data through the TLS layer -------------------------------------------------

// Sends that meet a full socket resume on the write callback, through the
// TLS layer both ways: 16 MiB from our client through our echo server and
// back, in order. Nothing is taken before the handshake, and the client's
// close reaches the server as a close_notify: an end without the report.
TEST_F(Tls, SixteenMiBBothWaysBetweenOurClientAndServer) {
    start();
    uint16_t port;
    os_tcp_server_t *s = tls_server(&port, certs_.server);
    static Conn t;
    t.out = pattern(16 << 20, 11);
    os_tcp_client_t *c = tls_client(&t, port, nullptr);  // the address, checked as one
    StderrCapture cap;
    os_main_lock();  // no handshake can end before we look
    EXPECT_EQ(os_tcp_client_open(c, -1), 1);
    EXPECT_EQ(os_tcp_client_get_status(c), TCP_CLIENT_STATUS_CONNECTING);
    EXPECT_EQ(os_tcp_client_send(c, "x", 1), 0);
    os_main_unlock();
    EXPECT_TRUE(wait_until_locked([] { return t.got.size() >= t.out.size(); }, 60s))
        << t.got.size() << " of " << t.out.size() << ", sent " << t.sent;
    EXPECT_TRUE(wait_until_locked([] { return t.got == t.out; }, 0ms));
    EXPECT_GT(t.would_block, 0) << "the sends must meet a full socket at least once";
    EXPECT_EQ(t.connects, 1);
    EXPECT_LE(t.empty, 4) << "read callbacks that found nothing";
    os_tcp_client_destroy(c);
    EXPECT_TRUE(wait_until([] { return g_echo_ended == 1; }));
    os_tcp_server_destroy(s);
    std::string text = cap.text();
    EXPECT_EQ(count_of(text, "without close_notify") + count_of(text, "TLS handshake"), 0) << text;
    EXPECT_EQ(count_of(text, "do not happen"), 0) << text;
}

// The same 16 MiB both ways with a peer nobody here wrote, on each side:
// our client through socat's TLS echo, and socat's TLS client through our
// echo server, every byte checked in order.
TEST_F(Tls, SixteenMiBBothWaysThroughSocat) {
    SKIP_WITHOUT("socat");
    start();
    const std::string data = pattern(16 << 20, 17);
    uint16_t port = free_port();
    Child echo({"socat", "OPENSSL-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,verify=0,cert=" +
                             certs_.server.cert + ",key=" + certs_.server.key,
                "PIPE"},
               certs_.path("socat_echo.log"));
    // Listening once a bind of our own to its port is refused (a probe
    // connection would take the one connection it serves).
    ASSERT_TRUE(wait_until([&] {
        Addr at(AF_INET, port);
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        bool taken = bind(fd, at.sa(), at.len) != 0 && errno == EADDRINUSE;
        close(fd);
        return taken;
    }, 10s)) << echo.output();
    static Conn t;
    t.out = data;
    os_tcp_client_t *c = tls_client(&t, port, "localhost");
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    EXPECT_TRUE(wait_until([&] { return t.connects == 1; }, 10s)) << echo.output();
    EXPECT_TRUE(wait_until_locked([] { return t.got.size() >= t.out.size(); }, 60s)) << t.got.size();
    EXPECT_TRUE(wait_until_locked([&] { return t.got == data; }, 0ms));
    os_tcp_client_destroy(c);

    uint16_t server_port;
    os_tcp_server_t *s = tls_server(&server_port, certs_.server);
    std::string received = certs_.path("socat_client.out");
    Child client({"socat", "-b", "65536", "-",
                  "OPENSSL:127.0.0.1:" + std::to_string(server_port) + ",cafile=" + certs_.ca + ",commonname=localhost"},
                 received, true);
    // Written from a thread: socat takes stdin only as fast as the echo
    // returns. A socat that ends early breaks the pipe, which ends the write.
    signal(SIGPIPE, SIG_IGN);
    std::thread writer([&] { client.input(data); });
    bool all_back = wait_until([&] { return std::filesystem::file_size(received) >= data.size(); }, 60s);
    if (!all_back) client.signal(SIGKILL);
    writer.join();
    client.close_input();  // socat ends with a close_notify
    EXPECT_TRUE(all_back) << std::filesystem::file_size(received);
    EXPECT_TRUE(client.exited(10s));
    EXPECT_TRUE(client.output() == data) << "echoed bytes differ";
    EXPECT_TRUE(wait_until([] { return g_echo_ended == 1; }));
    os_tcp_server_destroy(s);
}

// An HTTPS responder on our server, fetched by curl: a body larger than the
// socket buffers arrives byte for byte over a chain curl verified.
TEST_F(Tls, CurlFetchesABodyByteForByte) {
    SKIP_WITHOUT("curl");
    start();
    static Conn h;
    const std::string body = pattern(32 << 20, 5);
    h.out = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    h.out += body;
    uint16_t port;
    os_tcp_server_t *s = tls_server(&port, certs_.server, nullptr, [](os_tcp_server_t *, os_tcp_client_t *c, void *) {
        os_tcp_client_bind_read(c, [](os_tcp_client_t *self, void *) {
            int n = conn_read(self, &h);
            if (h.sent == 0 && h.got.find("\r\n\r\n") != std::string::npos) conn_pump(self, &h);
            return n;
        }, nullptr);
        os_tcp_client_bind_write(c, conn_pump, &h);
        os_tcp_client_bind_disconnect(c, [](os_tcp_client_t *, void *) { ++h.ends; }, nullptr);
    });
    std::string fetched = certs_.path("body");
    // Whether curl ever leaves the server's sends waiting depends on the
    // speeds of both (the case of our own client checks that path).
    Child curl({"curl", "-sS", "-f", "--max-time", "40", "--cacert", certs_.ca, "-o", fetched,
                "https://127.0.0.1:" + std::to_string(port) + "/"},
               certs_.path("curl.log"));
    ASSERT_TRUE(curl.exited(50s));
    EXPECT_EQ(curl.code(), 0) << curl.output();
    EXPECT_TRUE(wait_until([] { return h.ends == 1; }));
    std::ifstream in(fetched, std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == body);
    EXPECT_EQ(h.got.rfind("GET / HTTP/1.1\r\n", 0), 0u) << h.got;
    os_tcp_server_destroy(s);
}

// Our client against OpenSSL's s_server, which sends each line back
// reversed. Its "CLOSE" ends with a close_notify, read as a plain end; a
// second connection, whose server is then killed, ends without one, and
// that is reported.
TEST_F(Tls, ClientAgainstOpensslServer) {
    SKIP_WITHOUT("openssl");
    start();
    uint16_t port = free_port();
    Child server({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert", certs_.server.cert,
                  "-key", certs_.server.key, "-rev"},
                 certs_.path("s_server.log"));
    ASSERT_TRUE(wait_until([&] { return server.output().find("ACCEPT") != std::string::npos; }, 10s))
        << server.output();
    static Conn t;
    std::string want;
    std::mt19937 gen(3);
    for (int i = 0; i < 300; ++i) {
        std::string line(1 + gen() % 3000, ' ');
        for (char &ch : line) ch = static_cast<char>('a' + gen() % 26);
        t.out += line + "\n";
        want += std::string(line.rbegin(), line.rend()) + "\n";
    }
    os_tcp_client_t *c = tls_client(&t, port, "localhost");
    StderrCapture cap;
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    EXPECT_TRUE(wait_until_locked([&] { return t.got.size() >= want.size(); }, 20s)) << t.got.size();
    EXPECT_TRUE(wait_until_locked([&] { return t.got == want; }, 0ms));
    conn_send(c, &t, "CLOSE\n");
    EXPECT_TRUE(wait_until([] { return t.ends == 1; })) << server.output();
    EXPECT_EQ(count_of(cap.so_far(), "without close_notify"), 0) << "a close_notify is a plain end: " << cap.so_far();

    on_main_thread([] { t.got.clear(), t.out.clear(), t.sent = 0; });
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    conn_send(c, &t, "ping\n");
    ASSERT_TRUE(wait_until_locked([] { return t.got == "gnip\n"; })) << "the server read all we sent";
    server.signal(SIGKILL);
    EXPECT_TRUE(wait_until([] { return t.ends == 2; }));
    EXPECT_EQ(t.connects, 2);
    os_tcp_client_destroy(c);
    std::string text = cap.text();
    EXPECT_EQ(count_of(text, truncated(port)), 1) << text;
}

// ---- verification and failed handshakes ---------------------------------------------

// Our client checks the server's chain, dates and name: the name given, else
// the host name it connects to, else the address itself. A failure is
// reported with OpenSSL's reason and leaves the client connecting without a
// socket or a connect callback until it is closed; the same client goes on
// to the next server.
TEST_F(Tls, ClientVerifiesChainDatesAndNameOrAddress) {
    start(true);
    uint16_t port;
    os_tcp_server_t *s = tls_server(&port, certs_.server, nullptr, echo_accept, "::");
    const char *ca = certs_.ca.c_str();
    struct Case {
        const TlsPair &pair;
        const char *remote;
        bool by_host;
        const char *name, *ca, *reason;  // reason nullptr: it connects
    } cases[] = {
        {certs_.server, "127.0.0.1", false, nullptr, ca, nullptr},
        {certs_.server, "::1", false, nullptr, ca, nullptr},
        {certs_.by_name, "localhost", true, nullptr, ca, nullptr},
        {certs_.by_name, "127.0.0.1", false, "localhost", ca, nullptr},
        {certs_.server, "::1%1", false, nullptr, ca, nullptr},
        {certs_.by_name, "127.0.0.1", false, nullptr, ca, "ip address mismatch"},
        // A scope is no reason to skip the check of an address.
        {certs_.other_name, "::1%1", false, nullptr, ca, "ip address mismatch"},
        {certs_.other_name, "127.0.0.1", false, "::1%1", ca, "ip address mismatch"},
        {certs_.other_name, "127.0.0.1", false, "::1%lo", ca, "ip address mismatch"},
        {certs_.other_name, "127.0.0.1", false, "fe80::1%2", ca, "ip address mismatch"},
        {certs_.other_name, "127.0.0.1", false, "localhost", ca, "hostname mismatch"},
        {certs_.rogue, "127.0.0.1", false, "localhost", ca, "unable to get local issuer certificate"},
        {certs_.server, "127.0.0.1", false, "localhost", nullptr, "unable to get local issuer certificate"},
        {certs_.expired, "127.0.0.1", false, "localhost", ca, "certificate has expired"},
    };
    static Conn t;
    os_tcp_client_t *c = os_tcp_client_create();
    conn_bind(c, &t);
    int connects = 0;
    for (const Case &k : cases) {
        std::string what = k.pair.cert + " for " + k.remote + " as " + (k.name ? k.name : "(default)") + ": ";
        ASSERT_EQ(os_tcp_server_set_tls(s, k.pair.cert.c_str(), k.pair.key.c_str(), nullptr), 1) << what;
        auto set_remote = k.by_host ? os_tcp_client_set_remote_host : os_tcp_client_set_remote;
        ASSERT_EQ(set_remote(c, k.remote, port), 1) << what;
        ASSERT_EQ(os_tcp_client_set_tls(c, k.name, k.ca), 1) << what;
        EXPECT_TRUE(wait_until([] { return g_echo_ended == g_echo_accepted; })) << "the last connection's end";
        // Both ends of the connection before have closed their sockets, once
        // all they sent was delivered: only the server's listening one is left.
        EXPECT_TRUE(fd_count_returns_to(base_fds_ + 1)) << what;
        on_main_thread([] {});
        StderrCapture cap;
        int fds = fd_count();
        ASSERT_EQ(os_tcp_client_open(c, -1), 1) << what;
        if (k.reason == nullptr) {
            EXPECT_TRUE(wait_until([&] { return t.connects == connects + 1; })) << what << cap.so_far();
            conn_send(c, &t, "ping");
            EXPECT_TRUE(wait_until_locked([] { return t.got == "ping"; })) << what;
            on_main_thread([] { t.got.clear(), t.out.clear(), t.sent = 0; });
            connects = t.connects;
        } else {
            std::string failed = handshake_failed(k.remote, port);
            EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), failed) == 1; })) << what << cap.so_far();
            EXPECT_NE(line_with(cap.so_far(), failed).find(k.reason), std::string::npos) << what << cap.so_far();
            EXPECT_TRUE(fd_count_returns_to(fds)) << what << "no socket is kept";
            EXPECT_EQ(os_tcp_client_get_status(c), TCP_CLIENT_STATUS_CONNECTING) << what;
            EXPECT_EQ(t.connects, connects) << what;
        }
        os_tcp_client_close(c);
        EXPECT_EQ(os_tcp_client_get_status(c), TCP_CLIENT_STATUS_DISCONN);
        on_main_thread([] {});  // the events queued for the socket before its close
        std::string text = cap.text();
        EXPECT_EQ(count_of(text, handshake_failed(k.remote, port)), k.reason ? 1 : 0) << what << text;
        EXPECT_EQ(count_of(text, "do not happen"), 0) << what << "events of a closed socket are expected: " << text;
    }
    os_tcp_client_destroy(c);
    EXPECT_TRUE(wait_until([] { return g_echo_ended == 5; }));
    os_tcp_server_destroy(s);
}

// The server closes a peer that does not speak TLS at once, and one that
// stops inside its hello once the 10 s deadline passes, without spinning
// meanwhile; a good client is served all the while, and neither failure
// reaches the accept callback. A server's destroy ends its handshakes.
TEST_F(Tls, ServerDropsPlaintextAndStalledHandshakes) {
    start();
    uint16_t port, port2;
    os_tcp_server_t *s = tls_server(&port, certs_.server), *s2 = tls_server(&port2, certs_.server);
    const std::string hello = client_hello();
    ASSERT_GT(hello.size(), 100u);
    StderrCapture cap;
    auto began = Clock::now();
    int stalled = plain_connect(port), cut = plain_connect(port2);
    const ssize_t half = static_cast<ssize_t>(hello.size() / 2);
    for (int fd : {stalled, cut}) ASSERT_EQ(send(fd, hello.data(), size_t(half), MSG_NOSIGNAL), half);
    std::this_thread::sleep_for(200ms);
    os_tcp_server_destroy(s2);
    EXPECT_TRUE(ends_within(cut, 2000)) << "a destroyed server ends its handshakes";
    close(cut);

    int plain = plain_connect(port);
    ASSERT_EQ(write(plain, "GET / HTTP/1.0\r\n\r\n", 18), 18);
    EXPECT_TRUE(ends_within(plain));
    std::string failed = handshake_failed("127.0.0.1", local_port(plain));
    EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), failed) == 1; })) << cap.so_far();
    EXPECT_NE(line_with(cap.so_far(), failed).find("http request"), std::string::npos) << cap.so_far();
    close(plain);

    static Conn t;
    os_tcp_client_t *c = tls_client(&t, port, "localhost");
    t.out = "while one waits";
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    EXPECT_TRUE(wait_until_locked([] { return t.got == t.out; }));
    os_tcp_client_destroy(c);
    EXPECT_TRUE(wait_until([] { return g_echo_ended == 1; }));

    double cpu = cpu_ms();
    EXPECT_TRUE(ends_within(stalled, 13000));
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
    EXPECT_LT(cpu_ms() - cpu, 500) << "the wait for the deadline must not spin";
    EXPECT_GE(waited, 9500);
    EXPECT_EQ(count_of(cap.so_far(), "TLS handshake with 127.0.0.1:" + std::to_string(local_port(stalled)) +
                                         " took longer than 10000 ms"), 1) << cap.so_far();
    close(stalled);
    EXPECT_EQ(g_echo_accepted, 1);
    os_tcp_server_destroy(s);
}

// A peer that resets its connection inside a record, after the handshake:
// the half record waits without the server spinning or reading anything,
// and the reset ends the connection once, reported.
TEST_F(Tls, ResetInsideARecordEndsTheConnectionOnce) {
    start();
    static std::atomic<int> s_accepts{0}, s_reads{0}, s_bytes{0}, s_ends{0};
    uint16_t port;
    os_tcp_server_t *s = tls_server(&port, certs_.server, nullptr, [](os_tcp_server_t *, os_tcp_client_t *c, void *) {
        ++s_accepts;
        os_tcp_client_bind_read(c, [](os_tcp_client_t *self, void *) {
            ++s_reads;
            char buf[8192];
            int n;
            while ((n = os_tcp_client_read(self, buf, sizeof buf)) > 0) s_bytes += n;
            return n < 0 ? -1 : 0;
        }, nullptr);
        os_tcp_client_bind_disconnect(c, [](os_tcp_client_t *, void *) { ++s_ends; }, nullptr);
    });
    StderrCapture cap;
    RawTls peer(port, certs_.ca);
    ASSERT_TRUE(peer.connected);
    ASSERT_TRUE(wait_until([] { return s_accepts == 1; }));
    std::string half = std::string("\x17\x03\x03\x10\x00", 5) + pattern(2048, 9);  // 4096 bytes announced
    ASSERT_EQ(send(peer.fd, half.data(), half.size(), MSG_NOSIGNAL), ssize_t(half.size()));
    int reads = s_reads;
    double cpu = cpu_ms();
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(cpu_ms() - cpu, 150) << "a record that is not complete must not keep the server busy";
    EXPECT_LE(s_reads - reads, 2);
    reset_close(peer.fd);
    peer.fd = -1;
    EXPECT_TRUE(wait_until([] { return s_ends == 1; })) << cap.so_far();
    on_main_thread([] {});
    EXPECT_EQ(s_ends, 1);
    EXPECT_EQ(s_bytes, 0);
    std::string text = cap.text();
    EXPECT_GE(count_of(text, "Connection reset by peer") + count_of(text, "10054"), 1) << text;
    os_tcp_server_destroy(s);
}

// A server that requires client certificates: s_client with one by the
// authority is served; without one, over TLS 1.3 and 1.2, it is refused and
// reported, and never reaches the accept callback.
TEST_F(Tls, ServerRequiresClientCertificates) {
    SKIP_WITHOUT("openssl");
    start();
    uint16_t port;
    os_tcp_server_t *s = tls_server(&port, certs_.server, certs_.ca.c_str());
    const std::vector<std::string> s_client = {"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(port),
                                               "-CAfile", certs_.ca, "-servername", "localhost",
                                               "-verify_return_error", "-brief"};
    {
        StderrCapture cap;
        std::vector<std::string> args = s_client;
        args.insert(args.end(), {"-cert", certs_.client.cert, "-key", certs_.client.key});
        Child peer(args, certs_.path("s_client.log"), true);
        peer.input("K\n");  // s_client's command for a key update, with one asked in return
        EXPECT_TRUE(wait_until([&] { return peer.output().find("KEYUPDATE") != std::string::npos; }, 10s));
        peer.input("echo of keel tls\n");  // a line of its own: s_client drops what follows a command
        EXPECT_TRUE(wait_until([&] { return peer.output().find("echo of keel tls") != std::string::npos; }, 10s))
            << peer.output();
        peer.close_input();  // s_client then ends with a close_notify
        ASSERT_TRUE(peer.exited(10s));
        EXPECT_EQ(peer.code(), 0) << peer.output();
        EXPECT_TRUE(wait_until([] { return g_echo_ended == 1; }));
        std::string text = cap.text();
        EXPECT_EQ(count_of(text, "without close_notify") + count_of(text, "TLS handshake"), 0) << text;
    }
    for (const char *version : {"-tls1_3", "-tls1_2"}) {
        StderrCapture cap;
        std::vector<std::string> args = s_client;
        args.push_back(version);
        Child peer(args, certs_.path("s_client.log"), true);
        ASSERT_TRUE(peer.exited(10s)) << version;
        EXPECT_NE(peer.code(), 0) << version << ": " << peer.output();
        EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), "TLS handshake with 127.0.0.1:") == 1; }))
            << version << ": " << cap.so_far();
        std::string line = line_with(cap.text(), "TLS handshake with 127.0.0.1:");
        EXPECT_NE(line.find("failed: "), std::string::npos) << line;
        EXPECT_NE(line.find("peer did not return a certificate"), std::string::npos) << line;
    }
    EXPECT_EQ(g_echo_accepted, 1);
    os_tcp_server_destroy(s);
}

// ---- ends -------------------------------------------------------------------------

// A peer's close_notify makes a plain end, answered by one of the server's;
// a peer that ends its stream without one has the read give all it sent,
// then -1 with the report. Either end comes after the last byte, also for a
// read callback that takes 100 bytes a call (the session's rest was lost).
TEST_F(Tls, ServerReportsPeersThatEndWithoutCloseNotify) {
    start();
    static Conn got[2];
    static std::atomic<int> s_accepts{0};
    uint16_t port;
    os_tcp_server_t *s = tls_server(&port, certs_.server, nullptr, [](os_tcp_server_t *, os_tcp_client_t *c, void *) {
        conn_bind(c, &got[s_accepts++]);
    });
    const std::string words = pattern(65536, 13);
    for (int notify : {1, 0}) {
        Conn &conn = got[1 - notify];
        conn.bite = 100;
        StderrCapture cap;
        RawTls peer(port, certs_.ca);
        ASSERT_TRUE(peer.connected);
        ASSERT_TRUE(peer.write(words));
        EXPECT_EQ(notify ? SSL_shutdown(peer.ssl) : 0, 0);  // the close_notify, then the stream's end
        shutdown(peer.fd, SHUT_WR);
        EXPECT_EQ(notify ? SSL_shutdown(peer.ssl) : 1, 1) << "the server answers with a close_notify of its own";
        EXPECT_TRUE(ends_within(peer.fd)) << notify;
        EXPECT_TRUE(wait_until([&] { return conn.ends == 1; })) << notify;
        EXPECT_TRUE(wait_until_locked([&] { return conn.got == words; }, 0ms)) << notify << ": " << conn.got.size();
        std::string text = cap.text();
        EXPECT_EQ(count_of(text, truncated(local_port(peer.fd))), 1 - notify) << text;
        EXPECT_EQ(count_of(text, "without close_notify"), 1 - notify) << text;
    }
    os_tcp_server_destroy(s);
}

// A client that sends what its socket takes and closes at once: every byte
// its sends took reaches the server, then its close_notify. The server's
// session tickets, which came after the close, made it a reset, which threw
// away what was in flight.
TEST_F(Tls, CloseLetsEverySentByteGoOut) {
    start();
    static Conn got, t;
    uint16_t port;
    os_tcp_server_t *s = tls_server(&port, certs_.server, nullptr,
                                    [](os_tcp_server_t *, os_tcp_client_t *c, void *) { conn_bind(c, &got); });
    t.out = pattern(1 << 20, 21);
    os_tcp_client_t *c = tls_client(&t, port, "localhost");
    os_tcp_client_bind_connect(
        c, [](os_tcp_client_t *self, void *) { conn_pump(self, &t), os_tcp_client_close(self); }, nullptr);
    StderrCapture cap;
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    EXPECT_TRUE(wait_until([] { return got.ends == 1; }));
    EXPECT_TRUE(wait_until_locked([] { return t.sent > 0 && got.got == t.out.substr(0, t.sent); }, 0ms))
        << got.got.size() << " of " << t.sent;
    std::string text = cap.text();
    EXPECT_EQ(count_of(text, "without close_notify") + count_of(text, "unsent"), 0) << text;
    os_tcp_client_destroy(c);
    os_tcp_server_destroy(s);
}

// A peer that asks for a key update before each byte and never reads: the
// server ends the connection, reported, instead of queueing its answers
// without bound.
TEST_F(Tls, KeyUpdateFloodEndsTheConnection) {
    start();
    uint16_t port;
    os_tcp_server_t *s = tls_server(&port, certs_.server);
    StderrCapture cap;
    RawTls peer(port, certs_.ca);
    ASSERT_TRUE(peer.connected);
    signal(SIGPIPE, SIG_IGN);
    int updates = 0;
    while (updates < 20000 && SSL_key_update(peer.ssl, SSL_KEY_UPDATE_REQUESTED) == 1 && peer.write("x")) ++updates;
    EXPECT_LT(updates, 20000) << "the server took every request";
    EXPECT_TRUE(wait_until([] { return g_echo_ended == 1; }));
    const std::string flood =
        "TLS peer 127.0.0.1:" + std::to_string(local_port(peer.fd)) + " floods the connection with handshake messages";
    EXPECT_EQ(count_of(cap.text(), flood), 1);
    os_tcp_server_destroy(s);
}

// ---- settings ------------------------------------------------------------------------

// Refused settings change nothing: each is reported with the argument, or
// the file and OpenSSL's reason; the server keeps its certificate and the
// client its authority. NULL files turn the server back to plain TCP, where
// a TLS client's handshake fails.
TEST_F(Tls, RefusedSettingsAreReportedAndChangeNothing) {
    start();
    const std::string missing = certs_.path("missing.pem"), garbage = certs_.path("garbage.pem");
    std::ofstream(garbage) << "not a PEM file\n";
    const char *cert = certs_.server.cert.c_str(), *key = certs_.server.key.c_str();
    uint16_t port;
    os_tcp_server_t *s = tls_server(&port, certs_.server);
    StderrCapture cap;
    EXPECT_EQ(os_tcp_server_set_tls(nullptr, cert, key, nullptr), 0);
    EXPECT_EQ(os_tcp_server_set_tls(s, nullptr, key, nullptr) + os_tcp_server_set_tls(s, cert, nullptr, nullptr), 0);
    struct {
        std::string cert, key;
        const char *ca;
        std::string report;
    } bad[] = {
        {missing, key, nullptr, "TLS certificate " + missing + " cannot be used: "},
        {garbage, key, nullptr, "TLS certificate " + garbage + " cannot be used: "},
        {cert, missing, nullptr, "TLS key " + missing + " cannot be used: "},
        {cert, certs_.client.key, nullptr, "TLS key " + certs_.client.key + " cannot be used: "},  // not its key
        {cert, key, missing.c_str(), "TLS CA file " + missing + " cannot be used: "},
        {cert, key, garbage.c_str(), "TLS CA file " + garbage + " cannot be used: "},
    };
    for (const auto &b : bad) {
        EXPECT_EQ(os_tcp_server_set_tls(s, b.cert.c_str(), b.key.c_str(), b.ca), 0) << b.report;
        EXPECT_EQ(count_of(cap.so_far(), b.report), 1) << cap.so_far();
    }
    static Conn t;
    os_tcp_client_t *c = tls_client(&t, port, "localhost");
    EXPECT_EQ(os_tcp_client_set_tls(nullptr, "localhost", nullptr), 0);
    EXPECT_EQ(os_tcp_client_set_tls(c, std::string(256, 'a').c_str(), nullptr), 0);
    EXPECT_EQ(os_tcp_client_set_tls(c, "other.example", missing.c_str()), 0);
    EXPECT_EQ(os_tcp_client_set_tls(c, "other.example", garbage.c_str()), 0);
    t.out = "still TLS";
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    EXPECT_TRUE(wait_until_locked([] { return t.got == t.out; })) << cap.so_far();
    EXPECT_EQ(os_tcp_client_set_tls(c, nullptr, nullptr), 0) << "connected";
    os_tcp_client_close(c);
    std::string text = cap.text();
    for (const char *report : {"server == NULL", "client is null", "strlen(server_name) >= 256",
                               "client->status != TCP_CLIENT_STATUS_DISCONN, status: 2"})
        EXPECT_EQ(count_of(text, report), 1) << report << " in " << text;
    EXPECT_EQ(count_of(text, "cert_file is null or key_file is null"), 2);
    EXPECT_EQ(count_of(text, "TLS CA file " + missing + " cannot be used: "), 2);
    EXPECT_EQ(count_of(text, "TLS CA file " + garbage + " cannot be used: "), 2);
    EXPECT_NE(line_with(text, "TLS key " + certs_.client.key).find("mismatch"), std::string::npos) << text;
    EXPECT_NE(line_with(text, "TLS certificate " + missing).find("no such file or directory"), std::string::npos)
        << "the cause, not the layer that passed it on: " << text;
    EXPECT_EQ(count_of(text, "TLS handshake"), 0) << text;

    ASSERT_EQ(os_tcp_server_set_tls(s, nullptr, nullptr, nullptr), 1);
    int plain = plain_connect(port);
    ASSERT_EQ(write(plain, "plain", 5), 5);
    EXPECT_EQ(read_exact(plain, 5), "plain");
    close(plain);
    StderrCapture cap2;
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    EXPECT_TRUE(wait_until([&] { return count_of(cap2.so_far(), handshake_failed("127.0.0.1", port)) == 1; }))
        << cap2.so_far();
    EXPECT_EQ(t.connects, 1);
    os_tcp_client_destroy(c);
    EXPECT_TRUE(wait_until([] { return g_echo_ended == 3; }));
    os_tcp_server_destroy(s);
}
