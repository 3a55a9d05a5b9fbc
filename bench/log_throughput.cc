// Log lines per second and per-call latency with file logging on and standard
// error sent to /dev/null, from 1 and from 10 threads; next to an asynchronous
// file logger of another project (block policy) when it is available.
//
//   log_throughput [lines_per_thread]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "keel/log.h"

#ifdef KEEL_BENCH_HAVE_SPDLOG
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

using Clock = std::chrono::steady_clock;

namespace {

struct Figures {
    double lines_per_s;
    double p50_ns;
    double p99_ns;
};

// Each thread writes `each` lines; every 16th call is timed on its own.
Figures run(int threads, long each, const std::function<void(int, long)> &log_line) {
    std::vector<std::vector<double>> samples(threads);
    auto t0 = Clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            samples[t].reserve(static_cast<size_t>(each / 16 + 1));
            for (long i = 0; i < each; ++i) {
                if (i % 16 == 0) {
                    auto a = Clock::now();
                    log_line(t, i);
                    samples[t].push_back(std::chrono::duration<double, std::nano>(Clock::now() - a).count());
                } else {
                    log_line(t, i);
                }
            }
        });
    for (auto &w : workers) w.join();
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    std::vector<double> all;
    for (auto &s : samples) all.insert(all.end(), s.begin(), s.end());
    std::sort(all.begin(), all.end());
    return {static_cast<double>(threads) * static_cast<double>(each) / secs, all[all.size() / 2],
            all[all.size() * 99 / 100]};
}

void print(const char *name, int threads, const Figures &f) {
    printf("%-34s %3d threads %12.0f lines/s   p50 %7.0f ns   p99 %8.0f ns\n", name, threads, f.lines_per_s,
           f.p50_ns, f.p99_ns);
}

}  // namespace

int main(int argc, char **argv) {
    long each = argc > 1 ? atol(argv[1]) : 200000;
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("keel_log_bench_" + std::to_string(getpid()));
    fs::create_directories(dir);

    int devnull = open("/dev/null", O_WRONLY);
    int saved_err = dup(2);
    dup2(devnull, 2);

    std::string path = (dir / "keel").string() + "/";
    fs::create_directories(path);
    log_set_path(path.data());
    log_set_proc_name("_bench");
    log_start(1, LOG_LEVEL_INFO);
    auto keel_line = [](int t, long i) { log_msg("worker %d wrote line %ld of the benchmark", t, i); };
    Figures k1 = run(1, each, keel_line);
    Figures k10 = run(10, each / 10, keel_line);
    // Lines above the queue's bounds are dropped by design: say how many made it.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    long in_file = 0;
    for (const auto &entry : fs::directory_iterator(path)) {
        FILE *f = fopen(entry.path().c_str(), "r");
        for (int c; f != nullptr && (c = fgetc(f)) != EOF;) in_file += c == '\n';
        if (f != nullptr) fclose(f);
    }

#ifdef KEEL_BENCH_HAVE_SPDLOG
    spdlog::init_thread_pool(8192, 1);
    auto peer = spdlog::basic_logger_mt<spdlog::async_factory>("peer", (dir / "peer.log").string());
    peer->set_pattern("%Y-%m-%d %H:%M:%S %v");
    auto peer_line = [&peer](int t, long i) { peer->info("worker {} wrote line {} of the benchmark", t, i); };
    Figures s1 = run(1, each, peer_line);
    Figures s10 = run(10, each / 10, peer_line);
    spdlog::shutdown();
#endif

    dup2(saved_err, 2);
    print("keel log_msg (file on)", 1, k1);
    print("keel log_msg (file on)", 10, k10);
    printf("keel: %ld of %ld lines reached the file\n", in_file, 2 * each);
#ifdef KEEL_BENCH_HAVE_SPDLOG
    print("async file logger, block policy", 1, s1);
    print("async file logger, block policy", 10, s10);
    printf("keel / peer lines per second: %.2f (1 thread), %.2f (10 threads)\n", k1.lines_per_s / s1.lines_per_s,
           k10.lines_per_s / s10.lines_per_s);
#else
    printf("(peer logger not found: comparison skipped)\n");
#endif
    fs::remove_all(dir);
    return 0;
}
