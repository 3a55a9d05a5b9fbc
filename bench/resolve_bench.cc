// Host names at scale: a burst of names resolved at once from a local dnsmasq
// (started here as a child, answering from a hosts file of its own and asking
// no one else), every answer counted; and the main thread's responsiveness
// meanwhile, as the round trip of a posted function (os_post_func from another
// thread until the function runs), during the burst and without it.
//
//   resolve_bench [names] [rounds]      default 1000 5
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "keel/log.h"
#include "keel/os_net.h"
#include "keel/os_runtime.h"
#include "spread.h"

namespace fs = std::filesystem;

namespace {

// dnsmasq on 127.0.0.1:port with names n0.keel.test ... as IPv4 loopback
// addresses; no upstream server. Returns its pid once its port is taken, or -1.
pid_t start_dnsmasq(const fs::path &dir, int names, uint16_t *port) {
    std::ofstream hosts(dir / "hosts");
    for (int i = 0; i < names; ++i) hosts << "127.1." << i / 256 << '.' << i % 256 << " n" << i << ".keel.test\n";
    hosts.close();
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof at;
    int probe = socket(AF_INET, SOCK_DGRAM, 0);
    bind(probe, reinterpret_cast<sockaddr *>(&at), len);
    getsockname(probe, reinterpret_cast<sockaddr *>(&at), &len);
    close(probe);
    *port = ntohs(at.sin_port);
    const passwd *self = getpwuid(geteuid());
    std::vector<std::string> args = {
        "dnsmasq", "--no-resolv", "--no-hosts", "--bind-interfaces", "--listen-address=127.0.0.1",
        "--port=" + std::to_string(*port), "--keep-in-foreground", "--conf-file=/dev/null", "--pid-file",
        "--log-facility=/dev/null", std::string("--user=") + (self != nullptr ? self->pw_name : "root"),
        "--addn-hosts=" + (dir / "hosts").string(), "--local=/keel.test/"};
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const char *program = access("/usr/sbin/dnsmasq", X_OK) == 0 ? "/usr/sbin/dnsmasq" : "dnsmasq";
    pid_t pid;
    if (posix_spawnp(&pid, program, nullptr, nullptr, argv.data(), environ) != 0) return -1;
    for (int tries = 0; tries < 500; ++tries) {  // 5 s
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        bool taken = bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 && errno == EADDRINUSE;
        close(fd);
        if (taken) return pid;
        if (waitpid(pid, nullptr, WNOHANG) == pid) return -1;
        os_sleep(10);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

std::atomic<int> g_answered{0}, g_failed{0};

void count_answer(const char *, const char *const *, int count, const char *, void *) {
    ++(count > 0 ? g_answered : g_failed);
}

// Posts one function at a time from its own thread, every 200 us, and keeps
// each round trip in microseconds while `recording` is set.
struct Probe {
    std::atomic<bool> stop{false}, recording{false};
    std::atomic<uint64_t> ran_at{0};
    std::mutex lock;
    std::vector<double> us;
    std::thread thread{[this] {
        while (!stop) {
            ran_at = 0;
            uint64_t t0 = os_clock_us();
            os_post_func([](void *self) { static_cast<Probe *>(self)->ran_at = os_clock_us(); }, this);
            while (ran_at == 0) std::this_thread::yield();
            if (recording) {
                std::lock_guard<std::mutex> guard(lock);
                us.push_back(static_cast<double>(ran_at - t0));
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }};
    ~Probe() {
        stop = true;
        thread.join();
    }
    // The samples taken while fn ran.
    std::vector<double> during(const std::function<void()> &fn) {
        recording = true;
        fn();
        recording = false;
        std::lock_guard<std::mutex> guard(lock);
        return std::move(us);
    }
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char **argv) {
    int names = argc > 1 ? atoi(argv[1]) : 1000, rounds = argc > 2 ? atoi(argv[2]) : 5;
    fs::path dir = fs::temp_directory_path() / ("keel_resolve_bench_" + std::to_string(getpid()));
    fs::create_directories(dir);
    uint16_t port;
    pid_t dns = -1;
    // Another program may hold the port for TCP: then again on another.
    for (int attempt = 0; attempt < 5 && dns < 0; ++attempt) dns = start_dnsmasq(dir, names, &port);
    if (dns < 0) {
        fprintf(stderr, "resolve_bench: dnsmasq did not start (scripts/setup.sh installs it)\n");
        return 1;
    }
    std::string server = "127.0.0.1:" + std::to_string(port);
    setenv("KEEL_DNS_SERVER", server.c_str(), 1);
    log_start(0, LOG_LEVEL_ERROR);
    os_startup(0, 0);
    printf("resolve_bench: %d names at once from dnsmasq on %s, %d rounds\n", names, server.c_str(), rounds);
    printf("%5s %9s %7s %9s %10s | %21s | %21s\n", "round", "answered", "failed", "burst ms", "names/s",
           "post p50 / p99 idle us", "p50 / p99 in burst us");
    std::vector<double> rates, idle50, idle99, burst50, burst99;
    int all_answered = 1;
    {
        Probe probe;
        for (int round = 1; round <= rounds; ++round) {
            std::vector<double> idle = probe.during([] { os_sleep(500); });
            g_answered = g_failed = 0;
            double ms = 0;
            std::vector<double> busy = probe.during([&] {
                uint64_t t0 = os_clock_us();
                char name[32];
                for (int i = 0; i < names; ++i) {
                    snprintf(name, sizeof name, "n%d.keel.test", i);
                    os_resolve(name, count_answer, nullptr);
                }
                // Each name is answered once; a round that ran out of time
                // leaves its stragglers to the next one's count.
                while (g_answered + g_failed < names && os_clock_us() - t0 < 60000000) os_sleep(1);
                ms = static_cast<double>(os_clock_us() - t0) / 1000;
            });
            all_answered &= g_answered == names;
            rates.push_back(names / ms * 1000);
            idle50.push_back(percentile(idle, 0.5)), idle99.push_back(percentile(idle, 0.99));
            burst50.push_back(percentile(busy, 0.5)), burst99.push_back(percentile(busy, 0.99));
            printf("%5d %9d %7d %9.1f %10.0f | %10.1f / %8.1f | %10.1f / %8.1f\n", round, g_answered.load(),
                   g_failed.load(), ms, rates.back(), idle50.back(), idle99.back(), burst50.back(), burst99.back());
        }
    }
    auto median = [](const std::vector<double> &v) { return spread_of(v).median; };
    printf("median %24.0f names/s | %10.1f / %8.1f | %10.1f / %8.1f\n", median(rates), median(idle50),
           median(idle99), median(burst50), median(burst99));
    kill(dns, SIGTERM);
    waitpid(dns, nullptr, 0);
    fs::remove_all(dir);
    return all_answered ? 0 : 1;
}
