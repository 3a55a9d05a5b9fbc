// The log under a flood: 8 threads write 200,000 lines each with the log file
// on. No thread hangs; the file gets exactly the lines the sink's queue took
// (it refuses the rest by its limits), each thread's in order. Under injected
// faults the file may lose lines, never silently: it and the losses reported
// on standard error account for every line the queue took, save the rest of
// a loss whose first report says that lines are dropped from then on.
#include <fcntl.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "log/log_internal.h"
#include "stress.h"

namespace fs = std::filesystem;

bool log_stress(double thread_count, double line_count) {
    int threads = static_cast<int>(thread_count), lines = static_cast<int>(line_count);
    fs::path dir = fs::temp_directory_path() / ("keel_log_stress_" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::string path = dir.string() + "/", reports = dir.string() + ".err";
    log_set_path(path.data());
    log_set_proc_name("_stress");
    log_start(1, 1);
    // Standard error gets every line too: into the void, or under injected
    // faults into a file, for the library's reports of lost lines.
    fflush(stderr);
    int saved = dup(2), sink = open(fault::armed() ? reports.c_str() : "/dev/null", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(sink, 2);
    close(sink);
    auto t0 = Clock::now();
    std::vector<std::thread> writers;
    std::atomic<int> finished{0};
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([t, lines, &finished] {
            for (int i = 0; i < lines; ++i) log_msg2("t%d %d", t, i);
            ++finished;
        });
    // A join has no deadline of its own: this wait gives it one.
    if (!wait_until([&] { return finished == threads; }, 300s))
        dup2(saved, 2), _exit(!check(false, "the writers did not finish in 300 s: a deadlock"));
    for (auto &w : writers) w.join();
    double writing = since(t0);
    dup2(saved, 2);
    close(saved);
    // Each thread's lines in the file, in order; a last line that a failed
    // write cut short counts as lost.
    keel::log::SinkStats stats = keel::log::sink_stats();
    long in_file = 0, out_of_order = 0, malformed = 0;
    auto scan = [&] {
        in_file = out_of_order = malformed = 0;
        std::vector<long> last(static_cast<size_t>(threads), -1);
        for (const auto &entry : fs::directory_iterator(dir)) {
            std::ifstream in(entry.path());
            for (std::string line; std::getline(in, line) && !in.eof(); ++in_file) {
                int t;
                long i;
                if (sscanf(line.c_str(), "t%d %ld", &t, &i) != 2 || t < 0 || t >= threads)
                    ++malformed;
                else
                    out_of_order += std::exchange(last[static_cast<size_t>(t)], i) >= i;
            }
        }
        return in_file;
    };
    bool all_in = wait_until([&] { return scan() == stats.queued; }, fault::armed() ? 5s : 60s);
    // The losses to the file the library reported ("N log lines dropped: log
    // file ..." and "N more log lines dropped before log file ...").
    static const std::regex loss(R"((\d+)( more)? log lines dropped.*log file)");
    long reported = 0, losses = 0;
    std::ifstream errors(reports);
    std::smatch m;
    for (std::string line; std::getline(errors, line);)
        if (line.find(" log lines dropped") != std::string::npos && std::regex_search(line, m, loss))
            reported += std::stol(m[1]), ++losses;
    fs::remove(reports);
    fs::remove_all(dir);
    // Lines neither queued nor refused are shown, not failed: an allocation
    // made to fail may lose a line before the queue sees it.
    printf(
        "log: %d threads x %d lines in %.1f s (%.2f M lines/s); the queue took %ld, refused %ld, neither %ld; the "
        "file holds %ld, lost to it as reported %ld; out of order %ld, malformed %ld\n",
        threads, lines, writing, thread_count * line_count / writing / 1e6, stats.queued, stats.dropped,
        static_cast<long>(thread_count * line_count) - stats.queued - stats.dropped, in_file, reported, out_of_order,
        malformed);
    return check(losses > 0 || all_in, "the file does not hold exactly the lines the queue took") &
           check(in_file + reported <= stats.queued, "the file and the reported losses exceed what was queued") &
           check(out_of_order == 0 && malformed == 0, "lines out of order or broken");
}
