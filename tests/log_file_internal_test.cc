// Log files: names, the day change through the sink's clock, a file or
// directory that vanishes, the "dbg" marker, the queue bounds, and setters
// that close the file. A flood from many threads is the stress program's.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "keel/log.h"
#include "log/log_internal.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace keel_test;

namespace {

std::string read_file(const fs::path &p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string date_of(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    char buf[32];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return buf;
}

// Every case gets its own directory, which is also the current directory.
class LogFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("keel_log_" + std::to_string(getpid()));
        fs::create_directories(dir_);
        fs::current_path(dir_);
        std::string path = dir_.string();
        path.resize(path.size() + 2, '\0');  // room for the separator the call appends
        log_set_path(path.data());
    }
    void TearDown() override {
        keel::log::set_clock(nullptr);
        fs::current_path(fs::temp_directory_path());
        fs::remove_all(dir_);
    }
    // Waits until the file holds `needle`.
    bool file_gets(const fs::path &p, const std::string &needle) {
        return wait_until([&] { return read_file(p).find(needle) != std::string::npos; });
    }
    fs::path dir_;
};

time_t g_fake_now;
time_t fake_clock(time_t *out) {
    if (out) *out = g_fake_now;
    return g_fake_now;
}

}  // namespace

// The daily name carries the date and the process name; the single-file
// attributes shape it otherwise.
TEST_F(LogFiles, DailyAndSingleFileNames) {
    log_set_proc_name("svc");
    log_start(1, 1);
    log_msg("first line");
    fs::path daily = dir_ / ("log_" + date_of(time(nullptr)) + "svc.log");
    ASSERT_TRUE(file_gets(daily, "first line"));
    EXPECT_EQ(keel::log::current_filename(), daily.string());
    log_v3_attr_t attr{16, 1, 1, 1};
    log_set_v3_attr(&attr);
    log_msg("one");
    EXPECT_TRUE(file_gets(dir_ / ("log_largesvc_" + std::to_string(getpid()) + ".log"), "one"));
    log_set_v3_attr(&attr);  // equal: the open file stays open
    EXPECT_FALSE(keel::log::current_filename().empty());
    log_v3_attr_t other{16, 0, 0, 0};
    log_set_v3_attr(&other);
    EXPECT_TRUE(keel::log::current_filename().empty());
}

TEST_F(LogFiles, MidnightOpensTheNextDaysFileButNotInSingleFileMode) {
    log_set_proc_name("_day");
    struct tm tm{};
    strptime("2026-12-04 23:59:59", "%Y-%m-%d %H:%M:%S", &tm);
    tm.tm_isdst = -1;
    g_fake_now = mktime(&tm);
    keel::log::set_clock(fake_clock);
    log_start(1, 1);
    log_msg2("before midnight");
    ASSERT_TRUE(file_gets(dir_ / "log_2026-12-04_day.log", "before midnight"));
    g_fake_now += 2;
    log_msg2("after midnight");
    EXPECT_TRUE(file_gets(dir_ / "log_2026-12-05_day.log", "after midnight"));
    g_fake_now -= 2;  // a line stamped before midnight never sends the file back a day
    log_msg2("late");
    EXPECT_TRUE(file_gets(dir_ / "log_2026-12-05_day.log", "late"));
    EXPECT_EQ(read_file(dir_ / "log_2026-12-04_day.log"), "before midnight\n");

    log_v3_attr_t single{16, 1, 0, 0};
    log_set_v3_attr(&single);
    log_msg2("day 5");
    ASSERT_TRUE(file_gets(dir_ / "log_day.log", "day 5"));
    g_fake_now += 86400;
    log_msg2("day 6");
    EXPECT_TRUE(file_gets(dir_ / "log_day.log", "day 5\nday 6\n"));
}

TEST_F(LogFiles, DeletedFileAndRemovedDirectoryAreMadeAgain) {
    log_set_proc_name("_del");
    log_start(1, 1);
    fs::path file = dir_ / ("log_" + date_of(time(nullptr)) + "_del.log");
    log_msg2("one");
    ASSERT_TRUE(file_gets(file, "one"));
    fs::remove(file);
    log_msg2("two");
    ASSERT_TRUE(file_gets(file, "two"));
    EXPECT_EQ(read_file(file), "two\n");

    fs::current_path(fs::temp_directory_path());
    fs::remove_all(dir_);
    StderrCapture cap;
    log_msg2("lost to the file, kept on stderr");
    EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), "log lines dropped") == 1; }));
    fs::create_directories(dir_);
    log_msg2("three");
    EXPECT_TRUE(file_gets(file, "three"));
    std::vector<std::string> lines = lines_of(cap.text());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "lost to the file, kept on stderr");
    EXPECT_NE(lines[1].find("err: No such file or directory 1 log lines dropped: log file " + file.string()),
              std::string::npos) << lines[1];
    EXPECT_EQ(lines[2], "three");
}

TEST_F(LogFiles, BadDirectoriesNeverStopTheConsole) {
    log_start(1, 1);
    StderrCapture cap;
    char missing[] = "/nonexistent/keel/logs\0\0";
    log_set_path(missing);
    EXPECT_STREQ(missing, "/nonexistent/keel/logs/");
    log_msg2("still here");

    std::string long_dir(250, 'd'), room = long_dir + std::string(2, '\0'), too_long(259, 'e');
    log_set_path(room.data());
    log_msg2("name too long");
    log_set_path(too_long.data());
    char empty[] = "";
    log_set_path(empty);
    log_set_path(nullptr);
    char path[300];
    log_get_path(path);
    EXPECT_EQ(std::string(path), long_dir + "/") << "a refused path keeps the old one";
    char win[] = "logs\\\0";  // a Windows-style separator is accepted and stored as '/'
    log_set_path(win);
    log_get_path(path);
    EXPECT_STREQ(path, "logs/");

    std::string text = cap.text();
    for (const char *line : {"still here\n", "log filename too long...\n", "name too long\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(count_of(text, "len > MAX_PATH_LEN"), 2) << "the empty path too";
}

// With no name set, the file is named after the executable: "_" and its
// name, cut to 19 characters.
TEST_F(LogFiles, DbgMarkerSwitchesFileLoggingWhileItIsOff) {
    log_start(0, 1);
    std::string name_part = std::string("_log_file_internal_test").substr(0, 19);
    fs::path file = dir_ / ("log_" + date_of(time(nullptr)) + name_part + ".log");
    log_msg2("off");
    fs::create_directory(dir_ / "dbg");
    log_msg2("on");
    ASSERT_TRUE(file_gets(file, "on"));
    fs::remove(dir_ / "dbg");
    log_msg2("off again");
    log_start(1, 1);
    log_msg2("switch");
    ASSERT_TRUE(file_gets(file, "switch"));
    EXPECT_EQ(read_file(file), "on\nswitch\n");
}

namespace {
long lines_under(const fs::path &dir) {
    long n = 0;
    for (const auto &entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file()) n += static_cast<long>(lines_of(read_file(entry.path())).size());
    return n;
}
}  // namespace

TEST_F(LogFiles, QueueBoundsAdmitErrorsLongerThanTheRest) {
    log_start(1, 1);
    StderrCapture cap;
    // Holding the file lock stalls the writer on its first line, so the rest
    // stays pending.
    os_mutex_lock(keel::log::file_lock());
    log_msg("first");
    ASSERT_TRUE(wait_until([] {
        auto s = keel::log::sink_stats();
        return s.queued == 1 && s.pending == 0;
    }));
    for (int i = 0; i < 1200; ++i) log_msg("info %d", i);
    auto s = keel::log::sink_stats();
    EXPECT_EQ(s.pending, 1001);
    EXPECT_EQ(s.dropped, 199);
    for (int i = 0; i < 600; ++i) err_msg("error %d", i);
    s = keel::log::sink_stats();
    EXPECT_EQ(s.pending, 1501);
    EXPECT_EQ(s.dropped, 199 + 100);
    os_mutex_unlock(keel::log::file_lock());
    EXPECT_TRUE(wait_until([] { return keel::log::sink_stats().pending == 0; }));
    // The burst is reported once, with its count.
    EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), "log lines dropped") == 1; }));
    EXPECT_EQ(count_of(cap.text(), "err: No buffer space available 299 log lines dropped"), 1);
}

// Under a file size limit (a quota, `ulimit -f`) the writer's write fails
// where it would have raised SIGXFSZ and ended the process: the loss is
// reported with its count, and the next file takes lines again. In a child,
// whose standard error is a pipe and whose limit is its own.
TEST_F(LogFiles, AFileThatMayGrowNoFurtherCostsLinesNeverTheProcess) {
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    fs::path next = dir_ / "next";
    fs::create_directories(next);
    constexpr int kLines = 300;
    pid_t child = fork();
    if (child == 0) {
        dup2(err[1], 2);
        close(err[0]);
        rlimit limit{4096, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &limit);
        log_set_proc_name("_full");
        log_start(1, 1);
        for (int i = 0; i < kLines; ++i) log_msg2("line %03d of the first file", i);
        wait_until([] { return keel::log::sink_stats().pending == 0; });
        std::string path = next.string() + "/";
        log_set_path(path.data());  // waits for the piece being written
        log_msg2("after");
        _exit(wait_until([&] { return lines_under(next) == 1; }) ? 0 : 3);
    }
    close(err[1]);
    std::string text;
    char chunk[4096];
    for (pollfd p{err[0], POLLIN, 0}; poll(&p, 1, 10000) == 1;) {
        ssize_t n = read(err[0], chunk, sizeof chunk);
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    close(err[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);

    fs::path first = dir_ / ("log_" + date_of(time(nullptr)) + "_full.log");
    std::string written = read_file(first);
    EXPECT_EQ(written.size(), 4096u);
    std::string all;
    for (int i = 0; i < kLines; ++i) all += "line " + std::string(i < 10 ? "00" : i < 100 ? "0" : "") + std::to_string(i) + " of the first file\n";
    EXPECT_TRUE(all.compare(0, written.size(), written) == 0) << "the lines that fit, in order";
    long whole = static_cast<long>(std::count(written.begin(), written.end(), '\n'));
    // The first loss is reported at once with its count; what followed it
    // until the next file opened, once more.
    std::smatch m;
    long dropped = 0;
    int reports = 0;
    static const std::regex first_loss(R"(err: File too large (\d+) log lines dropped: log file (\S+) cannot be written)"),
        more(R"((\d+) more log lines dropped before log file (\S+) opened)");
    for (const std::string &line : lines_of(text)) {
        if (std::regex_search(line, m, first_loss) && m[2] == first.string()) dropped += std::stol(m[1]), ++reports;
        if (std::regex_search(line, m, more)) dropped += std::stol(m[1]);
    }
    EXPECT_EQ(reports, 1) << text;
    EXPECT_EQ(dropped, kLines - whole) << "every line is in the file or counted as dropped";
    EXPECT_EQ(read_file(next / ("log_" + date_of(time(nullptr)) + "_full.log")), "after\n");
}

TEST_F(LogFiles, NewDirectoryOrAttributesCloseTheFileBeforeTheCallReturns) {
    log_set_proc_name("_close");
    log_start(1, 1);
    StderrCapture discard(false);  // the flood's standard error
    size_t fds = 0;
    int round = 0;
    for (bool in_flight : {false, true}) {
        for (bool by_path : {true, false}) {
            fs::path sub = dir_ / ("round" + std::to_string(++round));
            fs::create_directories(sub / "next");
            std::string path = sub.string() + "/";
            log_set_path(path.data());
            long before = keel::log::sink_stats().queued;
            log_msg2("first");
            ASSERT_TRUE(wait_until([&] { return lines_under(sub) == 1; }));
            std::string old = keel::log::current_filename();
            ASSERT_TRUE(is_open(old)) << old;
            if (fds == 0) fds = open_files().size();

            std::atomic<bool> stop{false};
            std::vector<std::thread> flood;
            for (int t = 0; in_flight && t < 2; ++t)
                flood.emplace_back([&stop] {
                    while (!stop) log_msg2("flood");
                });
            if (in_flight) {
                ASSERT_TRUE(wait_until([&] { return lines_under(sub) > 1000; }));
            }
            if (by_path) {
                std::string next = (sub / "next").string() + "/";
                log_set_path(next.data());
            } else {
                log_v3_attr_t attr{16, 0, 0, round == 2};  // the pid suffix on, then off: a new name each time
                log_set_v3_attr(&attr);
            }
            EXPECT_FALSE(is_open(old)) << (by_path ? "log_set_path" : "log_set_v3_attr")
                                       << (in_flight ? " with lines in flight" : "");
            stop = true;
            for (auto &th : flood) th.join();
            // Every line the queue took reached one of the files: none went to a closed one or was lost.
            long queued = keel::log::sink_stats().queued - before;
            EXPECT_TRUE(wait_until([&] { return lines_under(sub) == queued; }, std::chrono::seconds(20)))
                << lines_under(sub) << " of " << queued;
        }
    }
    log_msg2("last");  // opens the file of the last settings
    EXPECT_EQ(open_files().size(), fds) << "one log file open, as before";
}
