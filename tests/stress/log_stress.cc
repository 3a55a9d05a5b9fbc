// The log under a flood: 8 threads write 200,000 lines each with the log file
// on. No thread may hang; standard error gets every line; the file gets
// exactly the lines the sink's queue took (the rest it refused by its
// limits), each thread's in the order written. Under injected faults a file
// that cannot be written loses lines, but never silently: the file and the
// losses the library reported on standard error account for every line the
// queue took, save the rest of a loss whose first report says that lines are
// dropped from then on.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fault.h"
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
    // Standard error gets every line too: into the void, or the run is the
    // terminal's. Under injected faults into a file, for the library's
    // reports of lost lines.
    fflush(stderr);
    std::string reports = (fs::temp_directory_path() / ("keel_log_stress_" + std::to_string(getpid()) + ".err")).string();
    int saved = dup(2), sink = fault::armed() ? open(reports.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)
                                              : open("/dev/null", O_WRONLY);
    dup2(sink, 2);
    close(sink);

    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> writers;
    std::atomic<int> finished{0};
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([t, lines, &finished] {
            for (int i = 0; i < lines; ++i) log_msg2("t%d %d", t, i);
            ++finished;
        });
    // A join has no deadline of its own: a watchdog gives it one.
    std::thread watchdog([&] {
        fault::Spare spare(fault::kAll);
        if (!wait_until([&] { return finished == threads; }, seconds(300)))
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
    bool all_in = wait_until([&] { return count_lines() == stats.queued; }, seconds(fault::armed() ? 5 : 60));
    long in_file = 0;
    std::vector<long> last(static_cast<size_t>(threads), -1);
    long out_of_order = 0, malformed = 0;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        if (in.eof()) break;  // cut short by a failed write: counted as lost
        ++in_file;
        int t;
        long i;
        if (sscanf(line.c_str(), "t%d %ld", &t, &i) != 2 || t < 0 || t >= threads) {
            ++malformed;
            continue;
        }
        if (i <= last[static_cast<size_t>(t)]) ++out_of_order;
        last[static_cast<size_t>(t)] = i;
    }
    // The losses to the file the library reported ("N log lines dropped: log
    // file ..." and "N more log lines dropped before log file ...").
    long reported = 0;
    bool loss_reported = false;
    std::ifstream errors(reports);
    for (std::string line; std::getline(errors, line);) {
        size_t at = line.find(" log lines dropped");
        if (at == std::string::npos || line.find("log file", at) == std::string::npos) continue;
        if (at >= 5 && line.compare(at - 5, 5, " more") == 0) at -= 5;
        size_t start = line.find_last_not_of("0123456789", at - 1) + 1;  // npos + 1 is 0
        reported += atol(line.substr(start, at - start).c_str());
        loss_reported = true;
    }
    fs::remove(reports);
    long unaccounted = static_cast<long>(threads) * lines - stats.queued - stats.dropped;
    printf("log: %d threads x %d lines in %.1f s (%.2f M lines/s); the queue took %ld, refused %ld; "
           "the file holds %ld, lost to it as reported %ld; out of order %ld, malformed %ld\n",
           threads, lines, writing, threads * static_cast<double>(lines) / writing / 1e6, stats.queued,
           stats.dropped, in_file, reported, out_of_order, malformed);
    if (unaccounted != 0) printf("log: %ld lines neither queued nor counted as refused\n", unaccounted);
    fs::remove_all(dir);
    if (loss_reported) {
        if (in_file + reported > stats.queued) return fail("the file and the reported losses exceed what was queued");
    } else if (!all_in) {
        return fail("the file does not hold exactly the lines the queue took");
    }
    if (out_of_order != 0 || malformed != 0) return fail("lines out of order or broken");
    return 0;
}
