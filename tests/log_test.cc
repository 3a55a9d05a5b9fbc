// The reporting frame and the message families: line format, thresholds,
// errno text, the cut at 4094 characters, the shared buffer and the quit calls.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "keel/log.h"
#include "keel/os_sync.h"
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

// Death-test children must never wait on the terminal.
void stdin_from_null() {
    int fd = open("/dev/null", O_RDONLY);
    dup2(fd, 0);
    close(fd);
}

}  // namespace

TEST(LogDebugEx, ErrorLineCarriesLabelFileLineAndSavedErrno) {
    log_start(0, 1);
    StderrCapture cap;
    errno = ENOENT;
    log_debug_ex(LOG_LEVEL_ERROR, "tcp_client", 812, "bind %s", "fail");
    EXPECT_EQ(errno, ENOENT) << "a report must not change errno";
    EXPECT_TRUE(matches(cap.text(), kBracketStamp +
                                        R"(\[error\]  file: tcp_client line: 812 )"
                                        R"(err: No such file or directory bind fail\n)"))
        << cap.text();
}

TEST(LogDebugEx, LabelsForEveryLevel) {
    log_start(0, -1);  // a negative threshold lets every level through
    const std::vector<std::pair<int, std::string>> cases = {
        {1, "[debug]"}, {2, "[info]"}, {3, "[warn]"}, {5, "[fatal]"}, {7, "[???]"}, {0, "[???]"}};
    for (const auto &[level, label] : cases) {
        StderrCapture cap;
        log_debug_ex(level, "f.cc", 1, "m");
        std::string text = cap.text();
        EXPECT_NE(text.find("] " + label + "  file: f.cc line: 1 m\n"), std::string::npos)
            << level << ": " << text;
        EXPECT_EQ(text.find("err: "), std::string::npos) << "only level 4 carries errno";
    }
}

TEST(LogDebugEx, ThresholdZeroSilencesOnlyTheReportingRoutine) {
    log_start(0, 0);
    StderrCapture cap;
    log_debug_ex(LOG_LEVEL_FATAL, "f", 1, "hidden");
    log_msg("shown");
    std::vector<std::string> lines = lines_of(cap.text());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(matches(lines[0], kStamp + "shown"));
}

TEST(LogDebugEx, ThresholdAboveFiveSilencesEverythingButLogDate) {
    log_start(0, 6);
    StderrCapture cap;
    log_debug_ex(LOG_LEVEL_FATAL, "f", 1, "hidden");
    err_msg("hidden");
    log_msg2("hidden");
    log_date();
    EXPECT_TRUE(matches(cap.text(), kStamp)) << cap.text();
}

TEST(LogDebugEx, LevelBelowThresholdIsDroppedAndAtThresholdWritten) {
    log_start(0, 3);
    StderrCapture cap;
    log_debug_ex(2, "f", 1, "below");
    log_debug_ex(3, "f", 2, "at");
    std::string text = cap.text();
    EXPECT_EQ(text.find("below"), std::string::npos);
    EXPECT_NE(text.find("[warn]  file: f line: 2 at"), std::string::npos);
}

TEST(LogDebugEx, LongMessageIsCutAt4094Characters) {
    log_start(0, 1);
    std::string big(10000, 'x');
    StderrCapture cap;
    log_debug_ex(2, "f", 1, "%s", big.c_str());
    log_msg2("%s", big.c_str());
    log_msg("%s%s", big.c_str(), big.c_str());
    std::vector<std::string> lines = lines_of(cap.text());
    ASSERT_EQ(lines.size(), 3u);
    for (const auto &line : lines) EXPECT_EQ(line.size(), 4094u);
    EXPECT_EQ(lines[1], std::string(4094, 'x'));
}

TEST(LogDebugEx, NullFormatAndFileWriteWhatIsThere) {
    log_start(0, 1);
    StderrCapture cap;
    log_debug_ex(2, nullptr, 3, nullptr);
    log_msg2(nullptr);
    std::vector<std::string> lines = lines_of(cap.text());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("file: (null) line: 3 "), std::string::npos);
    EXPECT_EQ(lines[1], "");
}

TEST(LogDebugEx, ReportMacroNamesTheBaseNameOfTheSourceFile) {
    static_assert(std::string_view(keel::base_name("a/b/c.cc")) == "c.cc");
    static_assert(std::string_view(keel::base_name("C:\\src\\tcp_client.c")) == "tcp_client.c");
    static_assert(std::string_view(keel::base_name("plain")) == "plain");
    log_start(0, 1);
    StderrCapture cap;
    int line = __LINE__ + 1;
    KEEL_INFO("x == %d", 3);
    EXPECT_NE(cap.text().find("[info]  file: log_test.cc line: " + std::to_string(line) + " x == 3"),
              std::string::npos)
        << cap.text();
}

TEST(LogDebugEx, ConcurrentFirstReportsNeverInterleave) {
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

TEST(MessageFamilies, ErrMsgEndsWithErrnoTextAndErrMsg2HasNoDate) {
    log_start(0, 1);
    StderrCapture cap;
    errno = ENOENT;
    err_msg("open %s", "a.cfg");
    errno = ENOENT;
    err_msg2("open %s", "a.cfg");
    errno = ENOENT;
    log_msg("plain");
    std::vector<std::string> lines = lines_of(cap.text());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(matches(lines[0], kStamp + "open a.cfg: No such file or directory"));
    EXPECT_EQ(lines[1], "open a.cfg: No such file or directory");
    EXPECT_TRUE(matches(lines[2], kStamp + "plain"));
}

TEST(MessageFamilies, ThresholdThreeKeepsErrorsOnly) {
    log_start(0, 3);
    StderrCapture cap;
    log_msg("info");
    log_msg2("info");
    errno = EACCES;
    err_msg2("denied");
    EXPECT_EQ(cap.text(), "denied: Permission denied\n");
}

TEST(MessageFamilies, UnderscoreTwinsWriteTheSameLines) {
    log_start(0, 1);
    using Fn = void (*)(const char *, ...);
    const std::vector<std::pair<Fn, Fn>> pairs = {
        {log_msg, _log_msg}, {err_msg, _err_msg}, {log_msg2, _log_msg2}, {err_msg2, _err_msg2}};
    for (const auto &[plain, twin] : pairs) {
        StderrCapture a;
        errno = EPIPE;
        plain("v=%d", 9);
        std::string first = a.text();
        StderrCapture b;
        errno = EPIPE;
        twin("v=%d", 9);
        std::string second = b.text();
        // Compare without the time, which may tick between the two calls.
        EXPECT_EQ(first.substr(first.find("v=")), second.substr(second.find("v=")));
    }
    const std::vector<std::pair<Fn, Fn>> buffered = {{log_buf_msg_unlock, _log_buf_msg_unlock},
                                                     {err_buf_msg_unlock, _err_buf_msg_unlock}};
    for (const auto &[plain, twin] : buffered) {
        StderrCapture a;
        log_buf_lock();
        log_buf_msg("head ");
        errno = EPIPE;
        plain("v=%d", 9);
        log_buf_lock();
        _log_buf_msg("head ");
        errno = EPIPE;
        twin("v=%d", 9);
        std::vector<std::string> lines = lines_of(a.text());
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], lines[1]);
    }
}

TEST(SharedBuffer, BuildsOneLineFromSeveralPieces) {
    log_start(0, 1);
    StderrCapture cap;
    log_buf_lock();
    log_buf_date();
    log_buf_msg("id=%d ", 7);
    log_buf_msg_unlock("done");
    EXPECT_TRUE(matches(cap.text(), kStamp + "id=7 done\n")) << cap.text();
}

TEST(SharedBuffer, ErrorMemberAppendsErrnoText) {
    log_start(0, 1);
    StderrCapture cap;
    log_buf_lock();
    log_buf_msg("read ");
    errno = ECONNRESET;
    err_buf_msg_unlock("port %d", 3);
    EXPECT_EQ(cap.text(), "read port 3: Connection reset by peer\n");
}

TEST(SharedBuffer, RefusedLineStillEmptiesBufferAndFreesLock) {
    log_start(0, 3);
    StderrCapture cap;
    log_buf_lock();
    log_buf_msg("stale ");
    log_buf_msg_unlock("below threshold");
    std::atomic<bool> locked{false};
    std::thread other([&] {
        log_buf_lock();
        locked = true;
        log_buf_msg("fresh ");
        err_buf_msg_unlock("line");
    });
    ASSERT_TRUE(keel_test::wait_until([&] { return locked.load(); }));
    other.join();
    std::string text = cap.text();
    EXPECT_EQ(text.find("stale"), std::string::npos);
    EXPECT_EQ(text.rfind("fresh line", 0), 0u) << text;
}

TEST(SharedBuffer, ReportWhileHoldingTheBufferTakesThePartialText) {
    log_start(0, 1);
    StderrCapture cap;
    log_buf_lock();
    log_buf_msg("partial ");
    log_debug_ex(2, "f", 1, "report");
    log_buf_msg("after ");
    log_buf_msg_unlock("end");
    std::vector<std::string> lines = lines_of(cap.text());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(matches(lines[0], "partial " + kBracketStamp + R"(\[info\]  file: f line: 1 report)"))
        << lines[0];
    EXPECT_EQ(lines[1], "after end");
}

TEST(SharedBuffer, PiecesStopAtTheLimit) {
    log_start(0, 1);
    std::string chunk(1000, 'y');
    StderrCapture cap;
    log_buf_lock();
    for (int i = 0; i < 6; ++i) log_buf_msg("%s", chunk.c_str());
    log_buf_msg_unlock("tail");
    EXPECT_EQ(cap.text(), std::string(4094, 'y') + "\n");
}

using QuitDeathTest = ::testing::Test;

TEST(QuitDeathTest, LogQuitWritesFatalLineThenExitLineAndExitsOne) {
    EXPECT_EXIT(
        {
            stdin_from_null();
            log_start(0, 1);
            log_quit("bye %d", 1);
        },
        ::testing::ExitedWithCode(1), "bye 1\n[0-9: -]+exit!!!\n");
}

TEST(QuitDeathTest, ThresholdThreeKeepsFatalLineButNotExitLine) {
    EXPECT_EXIT(
        {
            stdin_from_null();
            log_start(0, 3);
            log_quit2("fatal only");
            fprintf(stderr, "not reached\n");
        },
        ::testing::ExitedWithCode(1), "^fatal only\n$");
}

TEST(QuitDeathTest, QuitWaitsForANumberOnStandardInput) {
    EXPECT_EXIT(
        {
            int fds[2];
            if (pipe(fds) != 0) _exit(9);
            if (write(fds[1], "42\n", 3) != 3) _exit(9);
            dup2(fds[0], 0);
            log_start(0, 1);
            err_quit("typed %s", "42");  // no errno text, as log_quit
        },
        ::testing::ExitedWithCode(1), "typed 42\n");
}

TEST(QuitDeathTest, EveryQuitMemberAndTwinExitsWithOne) {
    using Fn = void (*)(const char *, ...);
    const Fn members[] = {log_quit,  _log_quit,  err_quit,  _err_quit,
                          log_quit2, _log_quit2, err_quit2, _err_quit2};
    for (Fn quit : members) {
        EXPECT_EXIT(
            {
                stdin_from_null();
                log_start(0, 1);
                errno = ENOENT;
                quit("q");
            },
            ::testing::ExitedWithCode(1), "q\n.*exit!!!");
    }
}

TEST(QuitDeathTest, BufferedQuitExitsAtOnceWithoutReadingInput) {
    using Fn = void (*)(const char *, ...);
    const Fn members[] = {log_buf_quit_unlock, _log_buf_quit_unlock, err_buf_quit_unlock,
                          _err_buf_quit_unlock};
    for (Fn quit : members) {
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
