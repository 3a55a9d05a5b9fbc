// Host names against servers on this machine only: /etc/hosts, dnsmasq without an upstream
// server, and a UDP socket that never answers. KEEL_DNS_SERVER is read once per process, so
// each case runs in its own, as ctest runs it. Every case ends with the descriptors it began with.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <set>

#include "echo_server.h"
#include "keel/log.h"
#ifndef _WIN32
#include "test_support.h"
#include "tls_certs.h"
#endif

using namespace keel_test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using V = std::vector<std::string>;

namespace {

#ifdef _WIN32
// The system's resolver takes no name server from a program: the cases that need dnsmasq's names skip there.
constexpr const char *kNoTestServer = "the system's resolver cannot be pointed at a test name server (dnsmasq)";
int setenv(const char *name, const char *value, int) { return _putenv_s(name, value); }
#else
// The case's name server: other names under keel.test are NXDOMAIN, and with slow_port the
// names under slow.keel.test go on to that port (a server that never answers).
struct Dns : Dnsmasq {
    explicit Dns(uint16_t slow_port = 0)
        : Dnsmasq("127.0.0.2 v4.keel.test\n::1 v6.keel.test\n::1 both.keel.test\n127.0.0.1 both.keel.test\n",
                  {"--local=/keel.test/", "--host-record=record.keel.test,127.0.0.3,::1",
                   "--cname=alias.keel.test,mid.keel.test", "--cname=mid.keel.test,v4.keel.test",
                   "--dns-forward-max=1000",
                   "--server=/slow.keel.test/127.0.0.1#" + std::to_string(slow_port ? slow_port : 9)}) {}
};
#endif

// A name server that takes every query and answers none.
struct Silent {
    Addr at{AF_INET};
    int fd = bound(SOCK_DGRAM, at);
    std::set<std::string> names;  // asked for so far, as far as queries() took them
    ~Silent() { close_socket(fd); }
    int queries() {
        unsigned char buf[512];
        int n = 0;
        for (pollfd p{as_socket(fd), POLLIN, 0}; poll(&p, 1, 0) == 1;) {
            auto len = recv(fd, reinterpret_cast<char *>(buf), sizeof buf, 0);
            if (len <= 0) break;
            ++n;
            std::string name;  // the labels after the 12 bytes of the header
            for (ssize_t at = 12; at < len && buf[at] != 0 && at + 1 + buf[at] <= len; at += 1 + buf[at])
                name.append(reinterpret_cast<char *>(buf) + at + 1, buf[at]).push_back('.');
            names.insert(name);
        }
        return n;
    }
};

struct Answer {
    std::string name, error;  // error: "(null)" when the callback gave NULL
    V addresses;
    bool on_main_thread;
};

std::mutex g_lock;
std::vector<Answer> g_answers;
pthread_t g_main_thread;

void record_answer(const char *name, const char *const *addresses, int count, const char *error, void *) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_answers.push_back({name, error != nullptr ? error : "(null)", {addresses, addresses + count},
                         pthread_equal(pthread_self(), g_main_thread) != 0});
}

[[maybe_unused]] size_t answers_so_far() { return std::lock_guard<std::mutex>(g_lock), g_answers.size(); }

Answer answer_for(const std::string &name, std::chrono::milliseconds deadline = 5s) {
    Answer found{};
    wait_until([&] {
        std::lock_guard<std::mutex> guard(g_lock);
        for (const Answer &a : g_answers)
            if (a.name == name) found = a;
        return !found.name.empty();
    }, deadline);
    return found;
}

Answer resolve(const std::string &name, std::chrono::milliseconds deadline = 5s) {
    EXPECT_EQ(os_resolve(name.c_str(), record_answer, nullptr), 1) << name;
    return answer_for(name, deadline);
}

[[maybe_unused]] int family_of(const std::string &address) {
    return address.find(':') != std::string::npos ? AF_INET6 : AF_INET;
}

int accept_within(int lfd, int timeout_ms = 5000) {
    pollfd p{as_socket(lfd), POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1 ? accept(lfd, nullptr, nullptr) : -1;
}

struct Calls { std::atomic<int> connects{0}, disconnects{0}; };

os_tcp_client_t *client_of(const char *name, uint16_t port, Calls *calls) {
    os_tcp_client_t *c = os_tcp_client_create();
    os_tcp_client_bind_connect(c, [](os_tcp_client_t *, void *arg) { ++static_cast<Calls *>(arg)->connects; }, calls);
    os_tcp_client_bind_disconnect(c, [](os_tcp_client_t *, void *arg) { ++static_cast<Calls *>(arg)->disconnects; },
                                  calls);
    EXPECT_EQ(os_tcp_client_set_remote_host(c, name, port), 1) << name;
    return c;
}

class Resolve : public ::testing::Test {
protected:
    // Points the resolver at server (dnsmasq's when empty) and starts the runtime; "localhost"
    // starts the resolver thread, whose descriptor stays, before the count.
    void start(std::string server = "", int timeout_ms = 0, [[maybe_unused]] uint16_t slow_port = 0) {
#ifndef _WIN32
        if (server.empty()) {
            dns_ = std::make_unique<Dns>(slow_port);
            ASSERT_TRUE(dns_->ready()) << dns_->log();
            server = dns_->server();
        }
#endif
        setenv("KEEL_DNS_SERVER", server.c_str(), 1);
        if (timeout_ms > 0) setenv("KEEL_DNS_TIMEOUT_MS", std::to_string(timeout_ms).c_str(), 1);
        log_start(0, LOG_LEVEL_DEBUG);
        ASSERT_TRUE(start_runtime(true) && on_main_thread([] { g_main_thread = pthread_self(); }));
        ASSERT_FALSE(resolve("localhost").addresses.empty());
        base_fds_ = fd_count();
    }
    void TearDown() override {
        EXPECT_TRUE(base_fds_ < 0 || fd_count_returns_to(base_fds_)) << fd_count() << " vs " << base_fds_;
    }
    int base_fds_ = -1;
    Silent silent_;  // held through the count, for the cases that ask it
#ifndef _WIN32
    std::unique_ptr<Dns> dns_;
#endif
};

}  // namespace

// Names of every kind, asked at once, are answered once each on the main thread; a burst of 500 in full and in time (a
// lost query cost 5 s, a blocked socket held the thread for good). A client by a name of ::1 and 127.0.0.1 connects
// quietly to whichever listens; when none does, the last error is reported once and it stays connecting; set_remote
// forgets the name. A failed connect calls the failure callback once per open, after its report (with the cause's own
// errno text, not a stale one), connecting without a socket; it may reopen and destroy.
TEST_F(Resolve, NamesClientsByNameAndFailedConnects) {
#ifdef _WIN32
    GTEST_SKIP() << kNoTestServer;
#else
    TlsCerts certs;
    ASSERT_TRUE(certs.ok());
    start();
    size_t before = answers_so_far();
    const std::pair<std::string, V> names[] = {
        {"v4.keel.test", {"127.0.0.2"}},         {"v6.keel.test", {"::1"}},
        {"both.keel.test", {"127.0.0.1", "::1"}}, {"record.keel.test", {"127.0.0.3", "::1"}},
        {"alias.keel.test", {"127.0.0.2"}},      {"nx.keel.test", {}}};  // alias -> mid -> v4
    for (const auto &name : names) ASSERT_EQ(os_resolve(name.first.c_str(), record_answer, nullptr), 1);
    ASSERT_TRUE(wait_until([&] { return answers_so_far() == before + std::size(names); })) << dns_->log();
    for (const auto &[name, want] : names) {
        Answer a = answer_for(name);
        std::sort(a.addresses.begin(), a.addresses.end());
        EXPECT_TRUE(a.addresses == want && a.on_main_thread) << name << ": " << ::testing::PrintToString(a.addresses);
    }
    EXPECT_EQ(answer_for("nx.keel.test").error, "Domain name not found");
    static std::atomic<int> s_answered{0};
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(os_resolve("both.keel.test", [](const char *, const char *const *, int count, const char *,
                                                  void *) { s_answered += count == 2; }, nullptr), 1);
    EXPECT_TRUE(wait_until([] { return s_answered == 500; }, 4s)) << s_answered << " of 500";
    EXPECT_EQ(answers_so_far(), before + std::size(names)) << "one answer a name";
    const V order = resolve("both.keel.test").addresses;
    ASSERT_EQ(order.size(), 2u);
    for (int listening : {1, 0, -1}) {
        // Both families on one port, the one at `listening` listening; a port free in one family
        // may be taken in the other (that aborted the case), so another is tried.
        int fds[2] = {-1, -1};
        Addr at[2];
        for (int attempt = 0; attempt < 50 && fds[1] < 0; ++attempt) {
            at[0] = Addr(family_of(order[0])), fds[0] = bound(SOCK_STREAM, at[0], listening == 0);
            at[1] = Addr(family_of(order[1]), at[0].port()), fds[1] = socket(at[1].ss.ss_family, SOCK_STREAM, 0);
            if (bind(fds[1], at[1].sa(), at[1].len) != 0 || (listening == 1 && listen(fds[1], 8) != 0))
                close(fds[0]), close(fds[1]), fds[1] = -1;
        }
        ASSERT_GE(fds[1], 0);
        StderrCapture cap;
        Calls calls;
        uint16_t port = 0;
        char ip[MAX_IPV6_LEN] = "";
        os_tcp_client_t *c = client_of("both.keel.test", at[0].port(), &calls);
        ASSERT_EQ(os_tcp_client_open(c, -1), 1);
        EXPECT_TRUE(wait_until([&] {
            return listening < 0 ? count_of(cap.so_far(), "socket err: 10061") == 1 : calls.connects == 1;
        })) << cap.so_far();
        if (listening < 0) std::this_thread::sleep_for(100ms);  // for anything more to come
        on_main_thread([&] { EXPECT_EQ(os_tcp_client_get_remote(c, ip, &port), 1); });
        EXPECT_TRUE(ip == order[listening < 0 ? 1 : listening] && port == at[0].port())
            << ip << ":" << port << ": not the one listening, or the last address tried";
        if (listening >= 0) {
            int peer = accept_within(fds[listening]);
            on_main_thread([&] { EXPECT_EQ(os_tcp_client_send(c, "hi", 2), 2); });
            EXPECT_EQ(read_exact(peer, 2), "hi");
            close(peer);
        } else {
            EXPECT_EQ(os_tcp_client_get_status(c), TCP_CLIENT_STATUS_CONNECTING);
            EXPECT_TRUE(os_tcp_client_close(c) == 1 && calls.disconnects == 1);
            close(fds[0]);  // set_remote forgets the name: the client connects to an address not its
            Addr other(AF_INET);
            reinterpret_cast<sockaddr_in &>(other.ss).sin_addr.s_addr = inet_addr("127.0.0.2");
            fds[0] = bound(SOCK_STREAM, other);
            ASSERT_TRUE(os_tcp_client_set_remote(c, "127.0.0.2", other.port()) == 1 && os_tcp_client_open(c, -1) == 1);
            EXPECT_TRUE(wait_until([&] { return calls.connects == 1; }));
            close(accept_within(fds[0]));
        }
        ASSERT_TRUE(on_main_thread([] {}) && os_tcp_client_destroy(c) == 1);
        EXPECT_EQ(calls.connects * 10 + calls.disconnects, 11 + (listening < 0));
        close(fds[0]), close(fds[1]);
        EXPECT_EQ(count_of(cap.text(), "socket err"), listening < 0 ? 1 : 0) << "a refused address is passed over quietly";
    }
    uint16_t tls_port = free_port(), refusing = free_port();
    os_tcp_server_t *tls = open_server(tls_port);
    ASSERT_EQ(os_tcp_server_set_tls(tls, certs.other_name.cert.c_str(), certs.other_name.key.c_str(), nullptr), 1);
    static const std::string kLongLabel = std::string(64, 'a') + ".keel.test";  // a label is at most 63
    const struct {
        const char *remote;
        int by_name, tls, port, error_no;
        std::string reason, errno_text, line;
    } cases[] = {
        {"127.0.0.1", false, false, refusing, 10061, "Connection refused", "Connection refused", "socket err: 10061"},
        {"nx.keel.test", true, false, 9, 11001, "Domain name not found", "none", "resolve nx.keel.test fail"},
        {"no.upstream", true, false, 9, 10061, "Could not contact DNS servers", "Connection refused",
         "resolve no.upstream fail"},  // dnsmasq has no server for it
        {kLongLabel.c_str(), true, false, 9, 11003, "Misformatted domain name", "none", "resolve " + kLongLabel + " fail"},
        {"127.0.0.1", false, true, tls_port, 10053, "certificate verify failed: hostname mismatch", "none",
         "TLS handshake with 127.0.0.1:" + std::to_string(tls_port) + " failed"},
    };
    for (const auto &k : cases) {
        StderrCapture cap;
        int fds = fd_count();
        V seen;  // each call's number, status and reason; after the first, whether it reopened
        os_tcp_client_t *c = os_tcp_client_create();
        ASSERT_EQ((k.by_name ? os_tcp_client_set_remote_host : os_tcp_client_set_remote)(c, k.remote, k.port), 1);
        ASSERT_TRUE(!k.tls || os_tcp_client_set_tls(c, "localhost", certs.ca.c_str()) == 1);
        int bound = os_tcp_client_bind_fail(c, [](os_tcp_client_t *self, int error_no, const char *reason, void *arg) {
            auto *seen = static_cast<V *>(arg);
            seen->push_back(std::to_string(error_no) + " " + std::to_string(os_tcp_client_get_status(self)) + " " +
                            reason);
            if (seen->size() > 1) return void(os_tcp_client_destroy(self));
            seen->push_back(os_tcp_client_close(self) == 1 && os_tcp_client_open(self, -1) == 1 ? "reopened" : "");
        }, &seen);
        ASSERT_TRUE(bound == 1 && os_tcp_client_open(c, -1) == 1);
        EXPECT_TRUE(wait_until_locked([&] { return seen.size() == 3; }, 10s) && on_main_thread([] {})) << cap.so_far();
        std::string call =
            std::to_string(k.error_no) + " " + std::to_string(TCP_CLIENT_STATUS_CONNECTING) + " " + k.reason;
        EXPECT_EQ(seen, (V{call, "reopened", call})) << k.line;
        EXPECT_TRUE(fd_count_returns_to(fds)) << k.line << ": no socket is kept";
        std::string text = cap.text();
        EXPECT_EQ(count_of(text, "err: " + k.errno_text + " " + k.line), 2) << text;
    }
    os_tcp_server_destroy(tls);
#endif
}

// A fast name is not held up behind 100 slow ones (it waited behind 64 for their time-out).
// 200 clients ended while their names wait are never asked for, and hold up no fresh client
// (their queries went out all the same and held fresh clients up by seconds).
TEST_F(Resolve, SlowNamesHoldUpNoFastNameAndEndedClientsCancelTheirQueries) {
#ifdef _WIN32
    GTEST_SKIP() << kNoTestServer;
#else
    start("", 2000, silent_.at.port());
    size_t before = answers_so_far();
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(os_resolve(("s" + std::to_string(i) + ".slow.keel.test").c_str(), record_answer, nullptr), 1);
    EXPECT_EQ(resolve("v4.keel.test", 10s).addresses, V{"127.0.0.2"});
    EXPECT_EQ(answers_so_far(), before + 1) << "the fast name came after the slow names' time-out";
    EXPECT_TRUE(wait_until([&] { return silent_.queries(), answers_so_far() == before + 101; }, 10s))
        << "every slow name times out";
    EXPECT_EQ(silent_.names.size(), 100u) << "dnsmasq passed every slow name on";
    before = answers_so_far();
    ASSERT_EQ(os_resolve("first.slow.keel.test", record_answer, nullptr), 1);  // answered at the time-out
    Calls ended, fresh;
    std::vector<os_tcp_client_t *> clients;
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(os_tcp_client_open(
                      clients.emplace_back(client_of(("c" + std::to_string(i) + ".slow.keel.test").c_str(), 9, &ended)),
                      -1), 1);
    char ip[MAX_IPV6_LEN];
    uint16_t port;
    EXPECT_EQ(os_tcp_client_get_remote(clients[0], ip, &port), 0) << "no address while the name is resolved";
    for (size_t i = 0; i < clients.size(); ++i)
        i % 2 ? os_tcp_client_destroy(clients[i]) : os_tcp_client_close(clients[i]);
    Addr at(AF_INET);
    reinterpret_cast<sockaddr_in &>(at.ss).sin_addr.s_addr = inet_addr("127.0.0.2");  // v4.keel.test
    int lfd = bound(SOCK_STREAM, at);
    static std::atomic<long> s_answers_at_connect{-1};
    os_tcp_client_t *c = client_of("v4.keel.test", at.port(), &fresh);
    os_tcp_client_bind_connect(c, [](os_tcp_client_t *, void *) { s_answers_at_connect = long(answers_so_far()); },
                               nullptr);
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    EXPECT_TRUE(wait_until([&] { return silent_.queries(), s_answers_at_connect >= 0; }, 10s));
    EXPECT_EQ(s_answers_at_connect, long(before)) << "connected after the first slow name's time-out";
    EXPECT_TRUE(wait_until([&] { return silent_.queries(), answers_so_far() > before; }, 10s));
    EXPECT_EQ(answer_for("first.slow.keel.test", 0ms).error, "Timeout while contacting DNS servers");
    EXPECT_LT(std::count_if(silent_.names.begin(), silent_.names.end(), [](const std::string &n) { return n[0] == 'c'; }),
              100) << "the names of ended clients were asked for";
    for (size_t i = 0; i < clients.size(); i += 2) os_tcp_client_destroy(clients[i]);
    EXPECT_EQ(ended.connects * 1000 + ended.disconnects, 200);
    os_tcp_client_destroy(c), close(lfd);
#endif
}

// "localhost", address texts and a misformed name ask no server; a name the silent server is asked for times out
// after about KEEL_DNS_TIMEOUT_MS, tries included. Close or destroy during resolution drops the late answer, also for a
// client reopened meanwhile.
TEST_F(Resolve, LocalNamesNeedNoServerASilentOneTimesOutAndAnEndCancels) {
    start("127.0.0.1:" + std::to_string(silent_.at.port()), 600);
    Answer local = resolve("localhost");
    EXPECT_NE(std::find(local.addresses.begin(), local.addresses.end(), "127.0.0.1"), local.addresses.end());
    for (const std::string &a : local.addresses) EXPECT_TRUE(a == "::1" || a.rfind("127.", 0) == 0) << a;
    EXPECT_TRUE(local.error == "(null)" && local.on_main_thread);
    for (const char *text : {"::1", "192.0.2.7", "fe80::1%3"}) {
        Answer a = resolve(text);
        EXPECT_TRUE(a.addresses == V{text} && a.on_main_thread) << text;
    }
    static std::atomic<int> s_local{0};  // asked from four threads at once: each answered once
    std::vector<std::thread> askers(4);
    auto count = [](const char *, const char *const *, int n, const char *, void *) { s_local += n > 0; };
    for (std::thread &t : askers)
        t = std::thread([&] { for (int i = 0; i < 50; ++i) os_resolve("localhost", count, nullptr); });
    for (std::thread &t : askers) t.join();
    EXPECT_TRUE(wait_until([] { return s_local == 200; })) << s_local;
    const std::string misformed = std::string(64, 'a') + ".keel.test";  // a label is at most 63
    EXPECT_EQ(resolve(misformed).error, "Misformatted domain name");
    EXPECT_EQ(silent_.queries(), 0);
    StderrCapture cap;
    Calls calls;  // of every client
    // A misformed name fails a client's open as a name no server knows does.
    os_tcp_client_t *bad = client_of(misformed.c_str(), 9, &calls);
    ASSERT_EQ(os_tcp_client_open(bad, -1), 1);
    const std::string failed = "err: none resolve " + misformed + " fail: Misformatted domain name";
    EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), failed) == 1; })) << cap.so_far();
    EXPECT_TRUE(os_tcp_client_get_status(bad) == TCP_CLIENT_STATUS_CONNECTING && os_tcp_client_destroy(bad) == 1);
    // An address text's answer is queued, and localhost's on its way: a close or destroy under the main lock comes
    // before either, and the answer is dropped (a freed client's too).
    uint16_t lport;
    int lfd = bound(SOCK_STREAM, &lport);
    os_tcp_client_t *quick = client_of("127.0.0.1", lport, &calls), *gone = client_of("localhost", lport, &calls);
    os_main_lock();
    EXPECT_EQ(os_tcp_client_open(quick, -1) + os_tcp_client_close(quick) + os_tcp_client_open(gone, -1) +
                  os_tcp_client_destroy(gone), 4);
    os_main_unlock();
    EXPECT_EQ(calls.disconnects, 3);
#ifndef _WIN32  // see kNoTestServer
    auto t0 = Clock::now();
    Answer slow = resolve("slow.keel.test", 10s);
    auto took = Clock::now() - t0;
    EXPECT_TRUE(slow.name == "slow.keel.test" && slow.addresses.empty() &&
                slow.error == "Timeout while contacting DNS servers") << "in 10 s: " << slow.error;
    EXPECT_TRUE(took >= 550ms && took < 3s) << (took / 1ms) << " ms";
    EXPECT_GE(silent_.queries(), 2) << "asked the silent server, and tried again";
    os_tcp_client_t *closed = client_of("slow.keel.test", 9, &calls);
    os_tcp_client_t *destroyed = client_of("slow.keel.test", 9, &calls);
    ASSERT_EQ(os_tcp_client_open(closed, -1) + os_tcp_client_open(destroyed, -1), 2);
    EXPECT_TRUE(os_tcp_client_close(closed) + os_tcp_client_destroy(destroyed) == 2 && calls.disconnects == 5);
    std::this_thread::sleep_for(300ms);  // half the first resolution's time
    t0 = Clock::now();
    ASSERT_EQ(os_tcp_client_open(closed, -1), 1) << "again, while the first answer is on its way";
    EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), "resolve slow.keel.test fail"); }, 5s));
    EXPECT_GE(Clock::now() - t0, 450ms) << "the first resolution's answer was taken for the second's";
    EXPECT_EQ(count_of(cap.so_far(), "resolve slow.keel.test fail: Timeout while contacting DNS servers"), 1);
    EXPECT_EQ(os_tcp_client_get_status(closed), TCP_CLIENT_STATUS_CONNECTING);
    os_tcp_client_destroy(closed);
#endif
    std::this_thread::sleep_for(300ms);  // for anything more to come
    ASSERT_TRUE(on_main_thread([] {}));
    EXPECT_EQ(accept_within(lfd, 0), -1) << "a dropped answer made a connect";
    EXPECT_TRUE(calls.connects == 0 && s_local == 200);
    os_tcp_client_destroy(quick), close_socket(lfd);
#ifdef _WIN32
    GTEST_SKIP() << "the slow names' half: " << kNoTestServer << ", nor at one that never answers";
#endif
}
