// Log lines per second with file logging on, from 1 and from 10 threads, next
// to an asynchronous file logger of another project set up to do the same
// work: each line written to standard error by the calling thread and queued
// for a file written by a background thread, with the same text. Standard
// error goes to /dev/null for both. The two take turns over several rounds;
// each round also counts the lines that reached the file and checks that each
// thread's lines are there in the order they were logged.
//
//   log_throughput [lines_per_run] [rounds]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "spread.h"
#include "keel/log.h"

#ifdef KEEL_BENCH_HAVE_SPDLOG
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#endif

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

struct Figures {
    double lines_per_s;  // calls per second, until the last call returned
    double p50_ns;
    double p99_ns;
    long in_file;        // lines found in the file afterwards
    bool in_order;       // each thread's lines in the file in logging order
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
            all[all.size() * 99 / 100], 0, true};
}

// Counts the benchmark's lines in every file of dir and checks their order.
void count_lines(const fs::path &dir, int threads, Figures *f) {
    std::vector<long> last(static_cast<size_t>(threads), -1);
    f->in_file = 0;
    f->in_order = true;
    for (const auto &entry : fs::directory_iterator(dir)) {
        FILE *in = fopen(entry.path().c_str(), "r");
        if (in == nullptr) continue;
        char line[512];
        while (fgets(line, sizeof line, in) != nullptr) {
            const char *text = strstr(line, "worker ");
            int t;
            long i;
            if (text == nullptr || sscanf(text, "worker %d wrote line %ld", &t, &i) != 2 || t < 0 || t >= threads)
                continue;
            ++f->in_file;
            if (i <= last[static_cast<size_t>(t)]) f->in_order = false;
            last[static_cast<size_t>(t)] = i;
        }
        fclose(in);
    }
}

// The writer thread drains on its own: wait until the file stops growing.
void wait_until_still(const fs::path &dir) {
    auto size_of = [&] {
        uintmax_t n = 0;
        for (const auto &entry : fs::directory_iterator(dir)) n += fs::file_size(entry.path());
        return n;
    };
    auto deadline = Clock::now() + std::chrono::seconds(20);
    uintmax_t seen = size_of();
    for (int still = 0; still < 10 && Clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        uintmax_t now = size_of();
        still = now == seen ? still + 1 : 0;
        seen = now;
    }
}

Figures keel_run(const fs::path &dir, int threads, long each) {
    fs::create_directories(dir);
    std::string path = dir.string() + "/";
    log_set_path(path.data());  // a new directory: the next line opens a new file
    Figures f = run(threads, each, [](int t, long i) { log_msg("worker %d wrote line %ld of the benchmark", t, i); });
    wait_until_still(dir);
    count_lines(dir, threads, &f);
    return f;
}

#ifdef KEEL_BENCH_HAVE_SPDLOG
// The peer: a synchronous standard-error logger (it flushes every line, as
// Keel does) and an asynchronous file logger with the block policy (queue of
// 8192, one worker), both with the pattern of Keel's dated lines.
Figures peer_run(const fs::path &dir, int threads, long each) {
    fs::create_directories(dir);
    auto err = spdlog::stderr_logger_mt("peer_stderr");
    auto pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
    auto file_sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>((dir / "peer.log").string());
    auto file = std::make_shared<spdlog::async_logger>("peer_file", file_sink, pool,
                                                       spdlog::async_overflow_policy::block);
    err->set_pattern("%Y-%m-%d %H:%M:%S %v");
    file->set_pattern("%Y-%m-%d %H:%M:%S %v");
    Figures f = run(threads, each, [&](int t, long i) {
        err->info("worker {} wrote line {} of the benchmark", t, i);
        file->info("worker {} wrote line {} of the benchmark", t, i);
    });
    // Dropping the pool drains its queue and joins its worker.
    spdlog::drop("peer_stderr");
    err.reset();
    file.reset();
    pool.reset();
    file_sink.reset();
    count_lines(dir, threads, &f);
    return f;
}
#endif

void report(const char *name, int threads, long total, const std::vector<Figures> &runs) {
    std::vector<double> rate, p50, p99;
    long worst = total;
    bool ordered = true;
    for (const Figures &f : runs) {
        rate.push_back(f.lines_per_s);
        p50.push_back(f.p50_ns);
        p99.push_back(f.p99_ns);
        worst = std::min(worst, f.in_file);
        ordered = ordered && f.in_order;
    }
    Spread r = spread_of(rate), a = spread_of(p50), b = spread_of(p99);
    printf("%-30s %2d thr %6.2f M/s (%4.2f-%4.2f)  p50 %5.0f ns  p99 %7.0f ns  file: >= %ld of %ld (%.1f%%)%s\n",
           name, threads, r.median / 1e6, r.low / 1e6, r.high / 1e6, a.median, b.median, worst, total,
           100.0 * static_cast<double>(worst) / static_cast<double>(total), ordered ? ", in order" : ", OUT OF ORDER");
}

}  // namespace

int main(int argc, char **argv) {
    long each = argc > 1 ? atol(argv[1]) : 200000;
    int rounds = argc > 2 ? atoi(argv[2]) : 5;
    if (each < 10 || rounds < 1) {
        fprintf(stderr, "usage: log_throughput [lines_per_run >= 10] [rounds >= 1]\n");
        return 2;
    }
    fs::path dir = fs::temp_directory_path() / ("keel_log_bench_" + std::to_string(getpid()));
    fs::create_directories(dir);

    int devnull = open("/dev/null", O_WRONLY);
    int saved_err = dup(2);
    dup2(devnull, 2);

    log_set_proc_name("_bench");
    log_start(1, LOG_LEVEL_INFO);
    std::vector<Figures> k1, k10, p1, p10;
    std::vector<double> r1, r10;
    for (int r = 0; r < rounds; ++r) {
        std::string n = std::to_string(r);
        k1.push_back(keel_run(dir / ("keel1_" + n), 1, each));
        k10.push_back(keel_run(dir / ("keel10_" + n), 10, each / 10));
#ifdef KEEL_BENCH_HAVE_SPDLOG
        p1.push_back(peer_run(dir / ("peer1_" + n), 1, each));
        p10.push_back(peer_run(dir / ("peer10_" + n), 10, each / 10));
        r1.push_back(k1.back().lines_per_s / p1.back().lines_per_s);
        r10.push_back(k10.back().lines_per_s / p10.back().lines_per_s);
#endif
    }
    dup2(saved_err, 2);

    printf("%d rounds of %ld lines; median (range) of lines accepted per second\n", rounds, each);
    report("keel log_msg", 1, each, k1);
    report("keel log_msg", 10, each / 10 * 10, k10);
#ifdef KEEL_BENCH_HAVE_SPDLOG
    report("peer stderr + async file", 1, each, p1);
    report("peer stderr + async file", 10, each / 10 * 10, p10);
    Spread s1 = spread_of(r1), s10 = spread_of(r10);
    printf("keel / peer lines accepted per second, per round: %.2f (%.2f-%.2f) at 1 thread, %.2f (%.2f-%.2f) at 10\n",
           s1.median, s1.low, s1.high, s10.median, s10.low, s10.high);
#else
    printf("(peer logger not found: comparison skipped)\n");
#endif
    fs::remove_all(dir);
    return 0;
}
