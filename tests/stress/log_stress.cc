// The log under a flood: 8 threads write 200,000 lines each with the log file
// on. No thread may hang; standard error gets every line; the file gets
// exactly the lines the sink's queue took (the rest it refused by its
// limits), each thread's in the order written.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "keel/log.h"
#include "log/log_internal.h"
#include "stress.h"
#include "tests/net_support.h"

using keel_test::wait_until;
using std::chrono::seconds;

int log_stress(int threads, int lines) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("keel_log_stress_" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::string path = dir.string() + "/";
    log_set_path(path.data());
    log_set_proc_name("_stress");
    log_start(1, 1);
    // Standard error gets every line too: into the void, or the run is the terminal's.
    fflush(stderr);
    int saved = dup(2), devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 2);
    close(devnull);

    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([t, lines] {
            for (int i = 0; i < lines; ++i) log_msg2("t%d %d", t, i);
        });
    // A join has no deadline of its own: a watchdog gives it one.
    std::thread watchdog([&] {
        if (!wait_until([&] { return keel::log::sink_stats().queued + keel::log::sink_stats().dropped ==
                                     static_cast<long>(threads) * lines; },
                        seconds(300)))
            _exit(fail("the writers did not finish in 300 s: a deadlock"));
    });
    for (auto &w : writers) w.join();
    watchdog.join();
    double writing = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    dup2(saved, 2);
    close(saved);

    keel::log::SinkStats stats = keel::log::sink_stats();
    fs::path file;
    auto count_lines = [&] {
        long n = 0;
        for (const auto &entry : fs::directory_iterator(dir)) {
            file = entry.path();
            std::ifstream in(file);
            for (std::string line; std::getline(in, line);) ++n;
        }
        return n;
    };
    bool all_in = wait_until([&] { return count_lines() == stats.queued; }, seconds(60));
    std::vector<long> last(static_cast<size_t>(threads), -1);
    long out_of_order = 0, malformed = 0;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        int t;
        long i;
        if (sscanf(line.c_str(), "t%d %ld", &t, &i) != 2 || t < 0 || t >= threads) {
            ++malformed;
            continue;
        }
        if (i <= last[static_cast<size_t>(t)]) ++out_of_order;
        last[static_cast<size_t>(t)] = i;
    }
    printf("log: %d threads x %d lines in %.1f s (%.2f M lines/s); the queue took %ld, refused %ld; "
           "the file holds %ld; out of order %ld, malformed %ld\n",
           threads, lines, writing, threads * static_cast<double>(lines) / writing / 1e6, stats.queued,
           stats.dropped, count_lines(), out_of_order, malformed);
    fs::remove_all(dir);
    if (!all_in) return fail("the file does not hold exactly the lines the queue took");
    if (out_of_order != 0 || malformed != 0) return fail("lines out of order or broken");
    return 0;
}
