// Log files: names, the day change through the sink's clock, a file or
// directory that vanishes, the "dbg" marker, the queue bounds and a flood
// from many threads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "keel/log.h"
#include "log/log_internal.h"
#include "test_support.h"

namespace fs = std::filesystem;
using keel_test::lines_of;
using keel_test::StderrCapture;
using keel_test::wait_until;

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

TEST_F(LogFiles, DailyNameCarriesDateAndProcessName) {
    log_set_proc_name("_svc");
    log_start(1, 1);
    log_msg("first line");
    fs::path file = dir_ / ("log_" + date_of(time(nullptr)) + "_svc.log");
    ASSERT_TRUE(file_gets(file, "first line"));
    EXPECT_EQ(keel::log::current_filename(), file.string());
    char path[300];
    log_get_path(path);
    EXPECT_EQ(std::string(path), dir_.string() + "/");
}

TEST_F(LogFiles, ExecutableNameIsUsedWhenNoneIsSet) {
    log_start(1, 1);
    log_msg2("x");
    // "_" and the executable's name, cut to 19 characters.
    std::string part = std::string("_log_file_internal_test").substr(0, 19);
    fs::path file = dir_ / ("log_" + date_of(time(nullptr)) + part + ".log");
    EXPECT_TRUE(file_gets(file, "x\n"));
}

TEST_F(LogFiles, SingleFileAttributesShapeTheName) {
    log_set_proc_name("svc");
    log_v3_attr_t attr{16, 1, 1, 1};
    log_set_v3_attr(&attr);
    log_start(1, 1);
    log_msg("one");
    fs::path file = dir_ / ("log_largesvc_" + std::to_string(getpid()) + ".log");
    EXPECT_TRUE(file_gets(file, "one"));

    log_v3_attr_t got{0, 9, 9, 9};
    log_get_v3_attr(&got);
    EXPECT_EQ(got.single_file, 9) << "size 0 copies nothing";
    got.size = 100;  // clamped to the record
    log_get_v3_attr(&got);
    EXPECT_EQ(got.size, 16);
    EXPECT_EQ(got.single_file, 1);
    EXPECT_EQ(got.with_pid, 1);

    log_set_v3_attr(&got);  // equal: the open file stays open
    EXPECT_FALSE(keel::log::current_filename().empty());
    log_v3_attr_t other{16, 0, 0, 0};
    log_set_v3_attr(&other);
    EXPECT_TRUE(keel::log::current_filename().empty());
}

TEST_F(LogFiles, MidnightOpensTheNextDaysFileButNotInSingleFileMode) {
    log_set_proc_name("_day");
    struct tm tm{};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 11;
    tm.tm_mday = 4;
    tm.tm_hour = 23;
    tm.tm_min = 59;
    tm.tm_sec = 59;
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
    std::string first = read_file(dir_ / "log_2026-12-04_day.log");
    EXPECT_EQ(first, "before midnight\n");

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
    EXPECT_EQ(cap.text(), "lost to the file, kept on stderr\n");
    fs::create_directories(dir_);
    log_msg2("three");
    EXPECT_TRUE(file_gets(file, "three"));
}

TEST_F(LogFiles, BadDirectoriesNeverStopTheConsole) {
    log_start(1, 1);
    StderrCapture cap;
    char missing[] = "/nonexistent/keel/logs\0\0";
    log_set_path(missing);
    EXPECT_STREQ(missing, "/nonexistent/keel/logs/");
    log_msg2("still here");

    std::string long_dir(250, 'd');
    std::vector<char> buf(long_dir.begin(), long_dir.end());
    buf.resize(buf.size() + 2, '\0');
    log_set_path(buf.data());
    log_msg2("name too long");

    std::string too_long(259, 'e');
    std::vector<char> bad(too_long.begin(), too_long.end());
    bad.push_back('\0');
    log_set_path(bad.data());
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
    EXPECT_NE(text.find("still here\n"), std::string::npos);
    EXPECT_NE(text.find("log filename too long...\n"), std::string::npos);
    EXPECT_NE(text.find("name too long\n"), std::string::npos);
    size_t first = text.find("len > MAX_PATH_LEN");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find("len > MAX_PATH_LEN", first + 1), std::string::npos) << "the empty path too";
}

TEST_F(LogFiles, DbgMarkerSwitchesFileLoggingWhileItIsOff) {
    log_set_proc_name("_dbg");
    log_start(0, 1);
    fs::path file = dir_ / ("log_" + date_of(time(nullptr)) + "_dbg.log");
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

TEST_F(LogFiles, QueueBoundsAdmitErrorsLongerThanTheRest) {
    log_start(1, 1);
    int devnull = open("/dev/null", O_WRONLY);
    int saved = dup(2);
    dup2(devnull, 2);
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
    dup2(saved, 2);
    close(saved);
    close(devnull);
    EXPECT_TRUE(wait_until([] { return keel::log::sink_stats().pending == 0; }));
}

TEST_F(LogFiles, FloodFromManyThreadsKeepsOrderAndExactCounts) {
    constexpr int kThreads = 10, kLines = 200000;
    log_set_proc_name("_flood");
    log_start(1, 1);
    fs::path file = dir_ / ("log_" + date_of(time(nullptr)) + "_flood.log");
    StderrCapture cap;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) log_msg2("t%d %d", t, i);
        });
    for (auto &th : threads) th.join();
    EXPECT_EQ(lines_of(cap.text()).size(), static_cast<size_t>(kThreads * kLines));
    auto stats = keel::log::sink_stats();
    EXPECT_EQ(stats.queued + stats.dropped, kThreads * kLines);
    ASSERT_TRUE(wait_until([&] { return lines_of(read_file(file)).size() == static_cast<size_t>(stats.queued); },
                           std::chrono::seconds(30)));
    std::vector<int> last(kThreads, -1);
    for (const std::string &line : lines_of(read_file(file))) {
        int t, i;
        ASSERT_EQ(sscanf(line.c_str(), "t%d %d", &t, &i), 2) << line;
        EXPECT_GT(i, last[t]) << "lines of one thread stay in order";
        last[t] = i;
    }
}

namespace {
std::vector<std::string> open_files() {
    std::vector<std::string> names;
    for (const auto &fd : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        names.push_back(fs::read_symlink(fd.path(), ec).string());
    }
    return names;
}
bool is_open(const std::string &file) {
    std::vector<std::string> names = open_files();
    return std::find(names.begin(), names.end(), file) != names.end();
}
long lines_under(const fs::path &dir) {
    long n = 0;
    for (const auto &entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file()) n += static_cast<long>(lines_of(read_file(entry.path())).size());
    return n;
}
}  // namespace

TEST_F(LogFiles, NewDirectoryOrAttributesCloseTheFileBeforeTheCallReturns) {
    log_set_proc_name("_close");
    log_start(1, 1);
    int devnull = open("/dev/null", O_WRONLY);
    int saved = dup(2);
    dup2(devnull, 2);  // the flood's standard error
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
    dup2(saved, 2);
    close(saved);
    close(devnull);
}
