// Host names, resolved against servers on this machine only: /etc/hosts for
// "localhost", dnsmasq started by the case as a child on a port of its own
// (no upstream server, so no query ever leaves the machine), and a UDP socket
// that never answers. KEEL_DNS_SERVER points the resolver at one of them. The
// resolver reads its settings once per process, so each case needs a process
// of its own, as ctest gives it. Every case ends with the descriptors it
// started with.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "echo_server.h"
#include "keel/log.h"
#include "peers.h"
#include "test_support.h"
#include "tls_certs.h"

using namespace keel_test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// The names every case's dnsmasq knows. Anything else under keel.test is
// NXDOMAIN; a record with only one family answers the other with no data.
const char kHosts[] =
    "127.0.0.2 v4.keel.test\n"
    "::1 v6.keel.test\n"
    "::1 both.keel.test\n"
    "127.0.0.1 both.keel.test\n";

// The case's name server: kHosts and the options below; with slow_port,
// names under slow.keel.test go on to that port (a server that never answers).
struct Dns : Dnsmasq {
    explicit Dns(uint16_t slow_port = 0) : Dnsmasq(kHosts, options(slow_port)) {}
    static std::vector<std::string> options(uint16_t slow_port) {
        std::vector<std::string> o = {"--local=/keel.test/", "--host-record=record.keel.test,127.0.0.3,::1",
                                      "--cname=alias.keel.test,mid.keel.test", "--cname=mid.keel.test,v4.keel.test",
                                      "--dns-forward-max=1000"};
        if (slow_port != 0) o.push_back("--server=/slow.keel.test/127.0.0.1#" + std::to_string(slow_port));
        return o;
    }
};

// A name server that takes every query and answers none.
struct Silent {
    Addr at{AF_INET};
    int fd = bound(SOCK_DGRAM, at);
    std::set<std::string> names;  // asked for so far, as far as queries() took them
    ~Silent() { close(fd); }
    std::string server() const { return "127.0.0.1:" + std::to_string(at.port()); }
    // Takes the queries that wait, noting their names; how many there were.
    int queries() {
        unsigned char buf[512];
        int n = 0;
        for (ssize_t len; (len = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0; ++n) {
            std::string name;  // the labels after the 12 bytes of the header
            for (ssize_t at = 12; at < len && buf[at] != 0 && at + 1 + buf[at] <= len; at += 1 + buf[at])
                name.append(reinterpret_cast<char *>(buf) + at + 1, buf[at]).push_back('.');
            names.insert(name);
        }
        return n;
    }
};

struct Answer {
    std::string name;
    std::vector<std::string> addresses;
    std::string error;  // "(null)" when the callback gave NULL
    bool on_main_thread;
};

std::mutex g_lock;
std::vector<Answer> g_answers;
pthread_t g_main_thread;

void record_answer(const char *name, const char *const *addresses, int count, const char *error, void *) {
    Answer a{name, {addresses, addresses + count}, error != nullptr ? error : "(null)",
             pthread_equal(pthread_self(), g_main_thread) != 0};
    std::lock_guard<std::mutex> guard(g_lock);
    g_answers.push_back(a);
}

size_t answers_so_far() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_answers.size();
}

// The answer for name, once it came; an empty name when none came in time.
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

int family_of(const std::string &address) { return address.find(':') != std::string::npos ? AF_INET6 : AF_INET; }

// A stream socket of each family on one port: the first listening when
// asked, the second only bound, so that a connect to it is refused. A port
// free in one family may be another process's in the other; then another
// port is tried.
void same_port(Addr &first, bool listening, Addr &second, int fds[2]) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        first = Addr(first.ss.ss_family);
        fds[0] = bound(SOCK_STREAM, first, listening);
        second = Addr(second.ss.ss_family, first.port());
        fds[1] = socket(second.ss.ss_family, SOCK_STREAM, 0);
        if (bind(fds[1], second.sa(), second.len) == 0) return;
        close(fds[0]), close(fds[1]);
    }
    abort();
}

// A connection accepted on the listening socket lfd within the deadline, or -1.
int accept_within(int lfd, int timeout_ms = 5000) {
    pollfd p{lfd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1 ? accept(lfd, nullptr, nullptr) : -1;
}

struct Calls {
    std::atomic<int> connects{0}, disconnects{0};
};

os_tcp_client_t *client_of(const char *name, uint16_t port, Calls *calls) {
    os_tcp_client_t *c = os_tcp_client_create();
    os_tcp_client_bind_connect(c, [](os_tcp_client_t *, void *arg) { ++static_cast<Calls *>(arg)->connects; }, calls);
    os_tcp_client_bind_disconnect(c, [](os_tcp_client_t *, void *arg) { ++static_cast<Calls *>(arg)->disconnects; },
                                  calls);
    EXPECT_EQ(os_tcp_client_set_remote_host(c, name, port), 1) << name;
    return c;
}

std::string remote_of(os_tcp_client_t *c, uint16_t *port) {
    char ip[MAX_IPV6_LEN] = "";
    os_tcp_client_get_remote(c, ip, port);
    return ip;
}

class Resolve : public ::testing::Test {
protected:
    // Points the resolver at server and starts the runtime. "localhost"
    // (from /etc/hosts, asking no server) starts the resolver thread, whose
    // descriptor stays for the process, before the count is taken.
    void start(const std::string &server, int timeout_ms = 0) {
        setenv("KEEL_DNS_SERVER", server.c_str(), 1);
        if (timeout_ms > 0) setenv("KEEL_DNS_TIMEOUT_MS", std::to_string(timeout_ms).c_str(), 1);
        log_start(0, LOG_LEVEL_DEBUG);
        ASSERT_TRUE(start_runtime(true));
        ASSERT_TRUE(on_main_thread([] { g_main_thread = pthread_self(); }));
        ASSERT_FALSE(resolve("localhost").addresses.empty());
        base_fds_ = fd_count();
    }

    void TearDown() override {
        if (base_fds_ < 0) return;
        EXPECT_TRUE(fd_count_returns_to(base_fds_)) << fd_count() << " descriptors, " << base_fds_ << " before";
    }

    int base_fds_ = -1;
    Silent silent_;  // held through the count, for the cases that ask it
};

}  // namespace

// Refusals as documented, before and after os_startup.
TEST(ResolveRecords, BadArgumentsAreRefused) {
    log_start(0, LOG_LEVEL_DEBUG);
    int fds = fd_count();
    StderrCapture cap;
    EXPECT_EQ(os_resolve("localhost", record_answer, nullptr), 0) << "no runtime yet";
    std::string long_name(256, 'a'), longest(255, 'a');
    EXPECT_EQ(os_resolve(nullptr, record_answer, nullptr) + os_resolve("localhost", nullptr, nullptr) +
                  os_resolve(long_name.c_str(), record_answer, nullptr),
              0);
    os_tcp_client_t *c = os_tcp_client_create();
    EXPECT_EQ(os_tcp_client_set_remote_host(nullptr, "localhost", 1) + os_tcp_client_set_remote_host(c, nullptr, 1) +
                  os_tcp_client_set_remote_host(c, long_name.c_str(), 1),
              0);
    EXPECT_EQ(os_tcp_client_set_remote_host(c, longest.c_str(), 1), 1);
    EXPECT_EQ(os_tcp_client_open(c, -1), 0) << "no runtime yet";
    uint16_t lport;
    int lfd = bound(SOCK_STREAM, &lport), peer = plain_connect(lport), mine = accept(lfd, nullptr, nullptr);
    ASSERT_EQ(os_tcp_client_open(c, mine), 1) << "a named client adopts a socket as any other";
    EXPECT_EQ(os_tcp_client_set_remote_host(c, "localhost", 1), 0) << "connected";
    EXPECT_EQ(os_tcp_client_destroy(c), 1);
    close(peer), close(lfd);
    std::string text = cap.text();
    for (const char *report :
         {"os_is_startup() == 0", "name == NULL || cb == NULL", "strlen(name) >= 256",
          "client is null or name is null", "client->status != TCP_CLIENT_STATUS_DISCONN, status: 2"})
        EXPECT_NE(text.find(report), std::string::npos) << report;
    EXPECT_EQ(count_of(text, "strlen(name) >= 256"), 2);
    EXPECT_EQ(fd_count(), fds);
}

// "localhost" comes from /etc/hosts without a query (the only server never
// answers, and gets nothing), and an address text needs no server at all;
// every callback runs on the main thread.
TEST_F(Resolve, LocalhostFromEtcHostsAndAddressTexts) {
    start(silent_.server(), 3000);
    auto t0 = Clock::now();
    Answer local = resolve("localhost");
    EXPECT_LT(Clock::now() - t0, 1500ms) << "no server was waited for";
    EXPECT_NE(std::find(local.addresses.begin(), local.addresses.end(), "127.0.0.1"), local.addresses.end());
    for (const std::string &a : local.addresses) EXPECT_TRUE(a == "::1" || a.rfind("127.", 0) == 0) << a;
    EXPECT_EQ(local.error, "(null)");
    for (const char *text : {"::1", "192.0.2.7", "fe80::1%3"}) {
        Answer a = resolve(text);
        EXPECT_EQ(a.addresses, std::vector<std::string>{text});
        EXPECT_TRUE(a.on_main_thread);
    }
    EXPECT_TRUE(local.on_main_thread);
    EXPECT_EQ(silent_.queries(), 0);
}

// Names of every kind from dnsmasq, asked all at once: each answered once,
// on the main thread, with the addresses of its records.
TEST_F(Resolve, NamesOfEveryKindFromALocalServer) {
    Dns dns;
    ASSERT_TRUE(dns.ready()) << dns.log();
    start(dns.server());
    size_t before = answers_so_far();
    const std::vector<std::string> names = {"v4.keel.test",    "v6.keel.test",     "both.keel.test",
                                            "record.keel.test", "alias.keel.test", "nx.keel.test"};
    for (const std::string &name : names) ASSERT_EQ(os_resolve(name.c_str(), record_answer, nullptr), 1);
    ASSERT_TRUE(wait_until([&] { return answers_so_far() == before + names.size(); })) << dns.log();
    auto sorted = [](std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(answer_for("v4.keel.test").addresses, V{"127.0.0.2"});
    EXPECT_EQ(answer_for("v6.keel.test").addresses, V{"::1"});
    EXPECT_EQ(sorted(answer_for("both.keel.test").addresses), (V{"127.0.0.1", "::1"}));
    EXPECT_EQ(sorted(answer_for("record.keel.test").addresses), (V{"127.0.0.3", "::1"}));
    EXPECT_EQ(answer_for("alias.keel.test").addresses, V{"127.0.0.2"}) << "alias -> mid -> v4";
    Answer nx = answer_for("nx.keel.test");
    EXPECT_TRUE(nx.addresses.empty());
    EXPECT_EQ(nx.error, "Domain name not found");
    std::lock_guard<std::mutex> guard(g_lock);
    for (const Answer &a : g_answers) EXPECT_TRUE(a.on_main_thread) << a.name;
    EXPECT_EQ(g_answers.size(), before + names.size()) << "one answer a name";
}

// A burst of requests is answered in full and in time: each lost query would
// cost c-ares's default wait of 5 s, and a socket that blocked would hold the
// resolver thread for good.
TEST_F(Resolve, ABurstIsAnsweredInFull) {
    Dns dns;
    ASSERT_TRUE(dns.ready()) << dns.log();
    start(dns.server());
    static std::atomic<int> s_answered{0};
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(os_resolve("both.keel.test", [](const char *, const char *const *, int count, const char *,
                                                  void *) { s_answered += count == 2; }, nullptr), 1);
    EXPECT_TRUE(wait_until([] { return s_answered == 500; }, 4s)) << s_answered << " of 500";
}

// A server that never answers: the name is given up after about
// KEEL_DNS_TIMEOUT_MS, tries included, with the resolver's reason.
TEST_F(Resolve, AServerThatNeverAnswersTimesOut) {
    start(silent_.server(), 300);
    auto t0 = Clock::now();
    Answer a = resolve("slow.keel.test", 10s);
    auto took = Clock::now() - t0;
    ASSERT_EQ(a.name, "slow.keel.test") << "no answer in 10 s";
    EXPECT_TRUE(a.addresses.empty());
    EXPECT_EQ(a.error, "Timeout while contacting DNS servers");
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 3s);
    EXPECT_GE(silent_.queries(), 2) << "asked the silent server, and tried again";
}

// Names that the server answers at once are not held up by 100 that it
// passes on to a server that never answers: each comes before any of those
// time out. (They used to wait behind 64 unanswered ones for their time-out.)
TEST_F(Resolve, FastNamesAreNotHeldUpBySlowOnes) {
    Dns dns(silent_.at.port());
    ASSERT_TRUE(dns.ready()) << dns.log();
    start(dns.server(), 2000);
    size_t before = answers_so_far();
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(os_resolve(("s" + std::to_string(i) + ".slow.keel.test").c_str(), record_answer, nullptr), 1);
    EXPECT_EQ(resolve("v4.keel.test", 10s).addresses, std::vector<std::string>{"127.0.0.2"});
    EXPECT_EQ(answers_so_far(), before + 1) << "the fast name came after the slow names' time-out";
    EXPECT_TRUE(wait_until([&] { return silent_.queries(), answers_so_far() == before + 101; }, 10s))
        << "every slow name times out";
    EXPECT_EQ(silent_.names.size(), 100u) << "dnsmasq passed every slow name on";
}

// A client by a name that resolves to ::1 and 127.0.0.1 where one address
// refuses: whichever of the two comes first, the client connects to the one
// that listens, with one connect callback and no report.
TEST_F(Resolve, AClientByNameConnectsToTheAddressThatAnswers) {
    Dns dns;
    ASSERT_TRUE(dns.ready()) << dns.log();
    start(dns.server());
    const std::vector<std::string> order = resolve("both.keel.test").addresses;
    ASSERT_EQ(order.size(), 2u);
    for (size_t listening : {1, 0}) {
        const std::string &open_one = order[listening], &refusing = order[1 - listening];
        Addr at(family_of(open_one)), shut(family_of(refusing));
        int fds[2];
        same_port(at, true, shut, fds);
        int lfd = fds[0], closed = fds[1];
        StderrCapture cap;
        Calls calls;
        os_tcp_client_t *c = client_of("both.keel.test", at.port(), &calls);
        ASSERT_EQ(os_tcp_client_open(c, -1), 1);
        EXPECT_TRUE(wait_until([&] { return calls.connects == 1; })) << cap.so_far();
        int peer = accept_within(lfd);
        ASSERT_GE(peer, 0);
        uint16_t port = 0;
        EXPECT_EQ(remote_of(c, &port), open_one);
        EXPECT_EQ(port, at.port());
        EXPECT_EQ(os_tcp_client_send(c, "hi", 2), 2);
        EXPECT_EQ(read_exact(peer, 2), "hi");
        ASSERT_TRUE(on_main_thread([] {}));
        EXPECT_EQ(calls.connects, 1);
        EXPECT_EQ(os_tcp_client_destroy(c), 1);
        EXPECT_EQ(calls.disconnects, 1);
        close(peer), close(lfd), close(closed);
        EXPECT_EQ(count_of(cap.text(), "socket err"), 0) << "the refused address is passed over quietly";
    }
}

// When no address answers, the last one's error is reported once, as for an
// address, and the client stays connecting until closed.
TEST_F(Resolve, NoAddressAnswersReportsTheLastError) {
    Dns dns;
    ASSERT_TRUE(dns.ready()) << dns.log();
    start(dns.server());
    const std::vector<std::string> order = resolve("both.keel.test").addresses;
    ASSERT_EQ(order.size(), 2u);
    Addr first(family_of(order[0])), second(family_of(order[1]));
    int fds[2];
    same_port(first, false, second, fds);
    int a = fds[0], b = fds[1];
    StderrCapture cap;
    Calls calls;
    os_tcp_client_t *c = client_of("both.keel.test", first.port(), &calls);
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), "socket err: 10061") == 1; }));
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(on_main_thread([] {}));
    EXPECT_EQ(count_of(cap.so_far(), "socket err"), 1);
    EXPECT_EQ(os_tcp_client_get_status(c), TCP_CLIENT_STATUS_CONNECTING);
    uint16_t port;
    EXPECT_EQ(remote_of(c, &port), order[1]) << "the last address tried";
    EXPECT_EQ(calls.connects, 0);
    EXPECT_EQ(os_tcp_client_close(c), 1);
    EXPECT_EQ(calls.disconnects, 1);
    EXPECT_EQ(os_tcp_client_get_status(c), TCP_CLIENT_STATUS_DISCONN);
    os_tcp_client_destroy(c);
    close(a), close(b);
}

// A connect that ends without a connection calls the failure callback once
// per open, after its report, with the cause's number and text, and leaves
// the client connecting without a socket; that callback may open the client
// again (after a close) and destroy it. The report carries the cause's own
// errno text. (A failed connect told nobody, and its line carried an errno
// left over from elsewhere: "Operation now in progress", "Resource
// temporarily unavailable", "Success".) A handshake past its deadline takes
// the same path after 10 s, which tls_test waits out for a server.
TEST_F(Resolve, FailedConnectsCallTheFailureCallbackOnce) {
    TlsCerts certs;
    ASSERT_TRUE(certs.ok());
    Dns dns;
    ASSERT_TRUE(dns.ready()) << dns.log();
    start(dns.server());
    uint16_t tls_port = free_port(), refusing = free_port();
    os_tcp_server_t *tls = open_server(tls_port);
    ASSERT_EQ(os_tcp_server_set_tls(tls, certs.other_name.cert.c_str(), certs.other_name.key.c_str(), nullptr), 1);
    const std::string tls_line = "TLS handshake with 127.0.0.1:" + std::to_string(tls_port) + " failed";
    const struct {
        const char *remote;
        bool by_name, tls;
        uint16_t port;
        int error_no;
        std::string reason, errno_text, line;
    } cases[] = {
        {"127.0.0.1", false, false, refusing, 10061, "Connection refused", "Connection refused", "socket err: 10061"},
        {"nx.keel.test", true, false, 9, 11001, "Domain name not found", "none", "resolve nx.keel.test fail"},
        {"127.0.0.1", false, true, tls_port, 10053, "certificate verify failed: hostname mismatch", "none", tls_line},
    };
    struct Seen {
        std::vector<int> numbers, statuses;
        std::vector<std::string> reasons;
        bool reopened = false;
    };
    for (const auto &k : cases) {
        StderrCapture cap;
        int fds = fd_count();
        Seen seen;
        os_tcp_client_t *c = os_tcp_client_create();
        auto set_remote = k.by_name ? os_tcp_client_set_remote_host : os_tcp_client_set_remote;
        ASSERT_EQ(set_remote(c, k.remote, k.port), 1);
        if (k.tls) {
            ASSERT_EQ(os_tcp_client_set_tls(c, "localhost", certs.ca.c_str()), 1);
        }
        os_tcp_client_bind_fail(c, [](os_tcp_client_t *self, int error_no, const char *reason, void *arg) {
            auto *seen = static_cast<Seen *>(arg);
            seen->numbers.push_back(error_no);
            seen->reasons.push_back(reason);
            seen->statuses.push_back(os_tcp_client_get_status(self));
            if (seen->numbers.size() == 1)
                seen->reopened = os_tcp_client_close(self) == 1 && os_tcp_client_open(self, -1) == 1;
            else
                os_tcp_client_destroy(self);
        }, &seen);
        ASSERT_EQ(os_tcp_client_open(c, -1), 1);
        EXPECT_TRUE(wait_until_locked([&] { return seen.numbers.size() == 2; }, 10s)) << k.line << cap.so_far();
        ASSERT_TRUE(on_main_thread([] {}));
        EXPECT_EQ(seen.numbers, std::vector<int>(2, k.error_no)) << k.line;
        EXPECT_EQ(seen.reasons, std::vector<std::string>(2, k.reason)) << k.line;
        EXPECT_EQ(seen.statuses, std::vector<int>(2, TCP_CLIENT_STATUS_CONNECTING)) << k.line;
        EXPECT_TRUE(seen.reopened) << k.line;
        EXPECT_TRUE(fd_count_returns_to(fds)) << k.line << ": no socket is kept";
        EXPECT_EQ(count_of(cap.text(), "err: " + k.errno_text + " " + k.line), 2) << k.line;
    }
    os_tcp_server_destroy(tls);
}

// A name that does not resolve is reported with the resolver's reason and
// leaves the client connecting; set_remote forgets the name again.
TEST_F(Resolve, ANameThatDoesNotResolveIsReported) {
    Dns dns;
    ASSERT_TRUE(dns.ready()) << dns.log();
    start(dns.server());
    StderrCapture cap;
    Calls calls;
    os_tcp_client_t *c = client_of("nx.keel.test", 9, &calls);
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    EXPECT_EQ(os_tcp_client_get_status(c), TCP_CLIENT_STATUS_CONNECTING);
    EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), "resolve nx.keel.test fail: Domain name not found"); }));
    EXPECT_EQ(os_tcp_client_get_status(c), TCP_CLIENT_STATUS_CONNECTING);
    EXPECT_EQ(os_tcp_client_close(c), 1);
    EXPECT_EQ(calls.disconnects, 1);
    uint16_t lport;
    int lfd = bound(SOCK_STREAM, &lport);
    ASSERT_EQ(os_tcp_client_set_remote(c, "127.0.0.1", lport), 1);
    ASSERT_EQ(os_tcp_client_open(c, -1), 1);
    EXPECT_TRUE(wait_until([&] { return calls.connects == 1; })) << "connects to the address, not the name";
    int peer = accept_within(lfd);
    EXPECT_GE(peer, 0);
    EXPECT_EQ(os_tcp_client_destroy(c), 1);
    close(peer), close(lfd);
    EXPECT_EQ(count_of(cap.text(), "resolve nx.keel.test fail"), 1);
}

// Close and destroy while the name is resolved: the answer that comes later
// is dropped (no callback, no report, no connect), also for a client opened
// again meanwhile, which waits for its own answer.
TEST_F(Resolve, CloseOrDestroyDuringResolutionCancels) {
    start(silent_.server(), 600);
    StderrCapture cap;
    Calls closed_calls, destroyed_calls, quick_calls;
    os_tcp_client_t *closed = client_of("slow.keel.test", 9, &closed_calls);
    os_tcp_client_t *destroyed = client_of("slow.keel.test", 9, &destroyed_calls);
    ASSERT_EQ(os_tcp_client_open(closed, -1) + os_tcp_client_open(destroyed, -1), 2);
    EXPECT_EQ(os_tcp_client_close(closed), 1);
    EXPECT_EQ(os_tcp_client_destroy(destroyed), 1);
    EXPECT_EQ(closed_calls.disconnects + destroyed_calls.disconnects, 2);
    // An address text is answered through the main thread's queue: a close
    // made under the main lock right after the open comes before it.
    uint16_t lport;
    int lfd = bound(SOCK_STREAM, &lport);
    os_tcp_client_t *quick = client_of("127.0.0.1", lport, &quick_calls);
    os_main_lock();
    EXPECT_EQ(os_tcp_client_open(quick, -1), 1);
    EXPECT_EQ(os_tcp_client_close(quick), 1);
    os_main_unlock();
    std::this_thread::sleep_for(300ms);  // half the first resolution's time
    auto t0 = Clock::now();
    ASSERT_EQ(os_tcp_client_open(closed, -1), 1) << "again, while the first answer is on its way";
    EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), "resolve slow.keel.test fail"); }, 5s));
    EXPECT_GE(Clock::now() - t0, 450ms) << "the first resolution's answer was taken for the second's";
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(on_main_thread([] {}));
    EXPECT_EQ(count_of(cap.text(), "resolve slow.keel.test fail: Timeout while contacting DNS servers"), 1);
    EXPECT_EQ(accept_within(lfd, 0), -1) << "the dropped answer made no connect";
    EXPECT_EQ(closed_calls.connects + destroyed_calls.connects + quick_calls.connects, 0);
    EXPECT_EQ(closed_calls.disconnects + destroyed_calls.disconnects + quick_calls.disconnects, 3);
    EXPECT_EQ(os_tcp_client_get_status(closed), TCP_CLIENT_STATUS_CONNECTING);
    os_tcp_client_destroy(closed), os_tcp_client_destroy(quick);
    close(lfd);
}

// The names of 200 clients closed or destroyed while their names wait behind
// a burst are never asked for, and a fresh client is not held up behind
// them: it connects before the first slow name times out. (Their queries
// went out all the same and held up fresh clients by seconds.)
TEST_F(Resolve, EndedClientsCancelTheirQueries) {
    Dns dns(silent_.at.port());
    ASSERT_TRUE(dns.ready()) << dns.log();
    start(dns.server(), 2000);
    size_t before = answers_so_far();
    ASSERT_EQ(os_resolve("first.slow.keel.test", record_answer, nullptr), 1);  // answered at the time-out
    Calls ended, fresh;
    std::vector<os_tcp_client_t *> clients;
    for (int i = 0; i < 200; ++i) {
        clients.push_back(client_of(("c" + std::to_string(i) + ".slow.keel.test").c_str(), 9, &ended));
        ASSERT_EQ(os_tcp_client_open(clients.back(), -1), 1);
    }
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
    // The silent server's queries are taken as they come, so that none is lost.
    EXPECT_TRUE(wait_until([&] { return silent_.queries(), s_answers_at_connect >= 0; }, 10s));
    EXPECT_EQ(s_answers_at_connect, long(before)) << "connected after the first slow name's time-out";
    EXPECT_TRUE(wait_until([&] { return silent_.queries(), answers_so_far() > before; }, 10s));
    EXPECT_EQ(answer_for("first.slow.keel.test", 0ms).error, "Timeout while contacting DNS servers");
    EXPECT_LT(silent_.names.size(), 100u) << "the names of ended clients were asked for";
    EXPECT_EQ(ended.connects, 0);
    for (size_t i = 0; i < clients.size(); i += 2) os_tcp_client_destroy(clients[i]);
    EXPECT_EQ(ended.disconnects, 200);
    os_tcp_client_destroy(c);
    close(lfd);
}
