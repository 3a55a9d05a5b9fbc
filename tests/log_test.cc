// The reporting frame and the message families: line format, thresholds,
// errno text, the cut at 4094 characters, the shared buffer and the quit calls.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <string_view>
#include <thread>
#include <vector>

#include "keel/log.h"
#include "log/report.h"
#include "test_support.h"

using keel_test::lines_of;
using keel_test::StderrCapture;

namespace {

const std::string kStamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )";
const std::string kBracketStamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] )";

bool matches(const std::string &text, const std::string &pattern) {
    return std::regex_match(text, std::regex(pattern));
}

using Fn = void (*)(const char *, ...);

}  // namespace

TEST(LogDebugEx, LineShapeLabelsSavedErrnoNullTextAndTheMacroFileName) {
    static_assert(std::string_view(keel::base_name("a/b/c.cc")) == "c.cc");
    static_assert(std::string_view(keel::base_name("C:\\src\\tcp_client.c")) == "tcp_client.c");
    log_start(0, -1);  // a negative threshold lets every level through
    StderrCapture cap;
    errno = ENOENT;
    log_debug_ex(LOG_LEVEL_ERROR, "tcp_client", 812, "bind %s", "fail");
    EXPECT_EQ(errno, ENOENT) << "a report must not change errno";
    for (int level : {1, 2, 3, 5, 0, 7}) log_debug_ex(level, "f.cc", level, "m");
    log_debug_ex(2, nullptr, 3, nullptr);
    int line = __LINE__ + 1;
    KEEL_INFO("x == %d", 3);
    std::vector<std::string> lines = lines_of(cap.text());
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_TRUE(matches(lines[0], kBracketStamp + R"(\[error\]  file: tcp_client line: 812 )"
                                                  R"(err: No such file or directory bind fail)"));
    const char *labels[] = {"[debug]", "[info]", "[warn]", "[fatal]", "[???]", "[???]"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_NE(lines[i + 1].find(std::string("] ") + labels[i] + "  file: f.cc line: "), std::string::npos)
            << lines[i + 1];
        EXPECT_EQ(lines[i + 1].find("err: "), std::string::npos) << "only level 4 carries errno";
    }
    EXPECT_NE(lines[7].find("file: (null) line: 3 "), std::string::npos);
    EXPECT_NE(lines[8].find("[info]  file: log_test.cc line: " + std::to_string(line) + " x == 3"), std::string::npos);
}

TEST(LogDebugEx, ThresholdRules) {
    StderrCapture cap;
    log_start(0, 0);  // silences the reporting routine only
    log_debug_ex(LOG_LEVEL_FATAL, "f", 1, "hidden");
    log_msg2("shown at 0");
    log_start(0, 3);
    log_debug_ex(2, "f", 2, "below");
    log_debug_ex(3, "f", 3, "at");
    log_msg2("info below");
    err_msg2("error above");
    log_start(0, 6);  // nothing at all, fatal lines included, but log_date
    log_debug_ex(LOG_LEVEL_FATAL, "f", 4, "hidden");
    err_msg("hidden");
    log_date();
    std::vector<std::string> lines = lines_of(cap.text());
    ASSERT_EQ(lines.size(), 4u) << cap.text();
    EXPECT_EQ(lines[0], "shown at 0");
    EXPECT_NE(lines[1].find("[warn]  file: f line: 3 at"), std::string::npos);
    EXPECT_EQ(lines[2].rfind("error above: ", 0), 0u);
    EXPECT_TRUE(matches(lines[3], kStamp)) << "log_date ignores the threshold and adds no newline";
}

TEST(LogDebugEx, LongMessagesAreCutAt4094Characters) {
    log_start(0, 1);
    std::string big(10000, 'x');
    StderrCapture cap;
    log_debug_ex(2, "f", 1, "%s", big.c_str());
    log_msg2("%s", big.c_str());
    log_msg("%s%s", big.c_str(), big.c_str());
    log_buf_lock();
    for (int i = 0; i < 6; ++i) log_buf_msg("%s", big.substr(0, 1000).c_str());
    log_buf_msg_unlock("tail");
    std::vector<std::string> lines = lines_of(cap.text());
    ASSERT_EQ(lines.size(), 4u);
    for (const auto &line : lines) EXPECT_EQ(line.size(), 4094u);
    EXPECT_EQ(lines[1], std::string(4094, 'x'));
    EXPECT_EQ(lines[3], std::string(4094, 'x'));
}

TEST(LogDebugEx, ConcurrentReportsNeverInterleave) {
    log_start(0, 1);
    constexpr int kThreads = 8, kLines = 200;
    StderrCapture cap;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) log_debug_ex(2, "f", t, "thread %d line %d end", t, i);
        });
    for (auto &th : threads) th.join();
    std::vector<std::string> lines = lines_of(cap.text());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::regex shape(kBracketStamp + R"(\[info\]  file: f line: (\d+) thread (\d+) line \d+ end)");
    for (const auto &line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        EXPECT_EQ(m[1], m[2]);
    }
}

TEST(MessageFamilies, DatedUndatedAndTwinsAgree) {
    log_start(0, 1);
    const std::vector<std::pair<Fn, Fn>> pairs = {
        {log_msg, _log_msg}, {err_msg, _err_msg}, {log_msg2, _log_msg2}, {err_msg2, _err_msg2}};
    StderrCapture cap;
    for (const auto &[plain, twin] : pairs) {
        errno = ENOENT;
        plain("open %s", "a.cfg");
        errno = ENOENT;
        twin("open %s", "a.cfg");
    }
    std::vector<std::string> lines = lines_of(cap.text());
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_TRUE(matches(lines[0], kStamp + "open a.cfg"));
    EXPECT_TRUE(matches(lines[2], kStamp + "open a.cfg: No such file or directory"));
    EXPECT_EQ(lines[4], "open a.cfg");
    EXPECT_EQ(lines[6], "open a.cfg: No such file or directory");
    for (int i = 0; i < 8; i += 2)  // compared without the time, which may tick between calls
        EXPECT_EQ(lines[i].substr(lines[i].find("open")), lines[i + 1].substr(lines[i + 1].find("open")));
    errno = ECONNRESET;
    log_msg("a line changes nothing in errno");
    EXPECT_EQ(errno, ECONNRESET);
}

TEST(SharedBuffer, PiecesErrnoTwinsReentrantReportsAndRefusedLines) {
    log_start(0, 1);
    StderrCapture cap;
    log_buf_lock();
    log_buf_date();
    log_buf_msg("id=%d ", 7);
    log_buf_msg_unlock("done");
    for (Fn closing : {err_buf_msg_unlock, _err_buf_msg_unlock}) {
        log_buf_lock();
        _log_buf_msg("read ");
        errno = ECONNRESET;
        closing("port %d", 3);
    }
    log_buf_lock();
    log_buf_msg("partial ");
    log_debug_ex(2, "f", 1, "report");  // the lock is re-entrant: the report takes the text so far
    log_buf_msg("after ");
    _log_buf_msg_unlock("end");
    std::vector<std::string> lines = lines_of(cap.text());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_TRUE(matches(lines[0], kStamp + "id=7 done"));
    EXPECT_EQ(lines[1], "read port 3: Connection reset by peer");
    EXPECT_EQ(lines[2], lines[1]);
    EXPECT_TRUE(matches(lines[3], "partial " + kBracketStamp + R"(\[info\]  file: f line: 1 report)"));
    EXPECT_EQ(lines[4], "after end");

    log_start(0, 3);  // a refused line still empties the buffer and frees the lock
    StderrCapture refused;
    log_buf_lock();
    log_buf_msg("stale ");
    log_buf_msg_unlock("below threshold");
    std::thread([] {  // would block for good if the lock were still held
        log_buf_lock();
        log_buf_msg("fresh ");
        err_buf_msg_unlock("line");
    }).join();
    EXPECT_EQ(refused.text().rfind("fresh line", 0), 0u) << refused.text();
}

TEST(QuitDeathTest, DatedAndUndatedQuitsWriteExitLineReadInputAndExitOne) {
    const Fn members[] = {log_quit, _log_quit, err_quit, _err_quit, log_quit2, _log_quit2, err_quit2, _err_quit2};
    for (Fn quit : members) {
        EXPECT_EXIT(
            {
                int fds[2];  // a typed number lets the quit go on
                if (pipe(fds) != 0 || write(fds[1], "42\n", 3) != 3) _exit(9);
                dup2(fds[0], 0);
                log_start(0, 1);
                errno = ENOENT;  // err_quit adds no errno text
                quit("bye %d", 1);
            },
            ::testing::ExitedWithCode(1), "bye 1\n[0-9: -]+exit!!!\n$");
    }
    EXPECT_EXIT(
        {
            int fd = open("/dev/null", O_RDONLY);
            dup2(fd, 0);
            log_start(0, 3);
            log_quit2("fatal only");
        },
        ::testing::ExitedWithCode(1), "^fatal only\n$");
}

TEST(QuitDeathTest, BufferedQuitExitsAtOnceWithoutReadingInput) {
    for (Fn quit : {log_buf_quit_unlock, _log_buf_quit_unlock, err_buf_quit_unlock, _err_buf_quit_unlock}) {
        EXPECT_EXIT(
            {
                int fds[2];  // a pipe that never delivers: a read would hang until the alarm
                if (pipe(fds) != 0) _exit(9);
                dup2(fds[0], 0);
                alarm(10);
                log_start(0, 1);
                log_buf_lock();
                log_buf_msg("buffered ");
                errno = ENOENT;
                quit("quit");
            },
            ::testing::ExitedWithCode(1), "^buffered quit(: No such file or directory)?\n$");
    }
}

namespace {
// Seconds since the epoch of a stamp's local fields, read as if they were UTC.
long stamp_value(const std::string &line, size_t at) {
    struct tm tm{};
    if (sscanf(line.c_str() + at, "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
               &tm.tm_min, &tm.tm_sec) != 6)
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<long>(timegm(&tm));
}
}  // namespace

TEST(Stamps, ZoneChangeShowsInTheVeryNextStampOfEachKind) {
    int fds_before = keel_test::fd_count();
    log_start(0, 1);
    // POSIX zone texts need no zone files. The second pair keeps the zone's
    // name and changes only its offset.
    const struct { const char *from, *to; long shift; } changes[] = {
        {"UTC0", "IST-5:30", 5 * 3600 + 1800}, {"XXX-5:30", "XXX-5:45", 15 * 60}};
    for (const auto &c : changes) {
        std::vector<std::string> lines;
        time_t began, ended;
        do {  // until both zones were stamped within the same second
            began = time(nullptr);
            setenv("TZ", c.from, 1);
            tzset();
            StderrCapture cap;
            for (const char *zone : {c.from, c.to}) {
                setenv("TZ", zone, 1);
                tzset();
                log_date();
                log_msg2("zone");  // ends the line that log_date began
                log_msg("dated");
                log_debug_ex(2, "f", 1, "report");
            }
            lines = lines_of(cap.text());
            ended = time(nullptr);
        } while (began != ended);
        ASSERT_EQ(lines.size(), 6u);
        for (int kind = 0; kind < 3; ++kind) {
            size_t at = kind == 2 ? 1 : 0;  // past the bracket of a report
            EXPECT_EQ(stamp_value(lines[kind + 3], at) - stamp_value(lines[kind], at), c.shift)
                << c.from << " -> " << c.to << ": " << lines[kind] << " / " << lines[kind + 3];
        }
    }
    unsetenv("TZ");
    tzset();
    EXPECT_EQ(keel_test::fd_count(), fds_before);
}
