// The log: line shapes, thresholds, errno text, the cut, the shared buffer, quits, stamps; then the log files: names,
// the day change, vanished files, the queue bounds, full files and a closing setter.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#endif

#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "keel/log.h"
#include "log/log_internal.h"
#include "log/report.h"
#include "test_core.h"
#ifndef _WIN32
#include "test_support.h"
#endif

namespace fs = std::filesystem;
using namespace keel_test;
using keel::log::current_filename, keel::log::sink_stats, keel::log::file_lock;

namespace {
#ifdef _WIN32  // the few POSIX calls the cases use, and what stands in for /proc there
#define KEEL_SKIP_UNDER_EMULATION(limit)
#define timegm _mkgmtime
int pipe(int fds[2]) { return _pipe(fds, 4096, _O_BINARY); }
void alarm(int s) { std::thread([s] { std::this_thread::sleep_for(std::chrono::seconds(s)), _exit(14); }).detach(); }
fs::path program_file() { char p[MAX_PATH]; return std::string(p, GetModuleFileNameA(nullptr, p, MAX_PATH)); }
bool is_open(const std::string &file) {  // by someone: a handle that shares nothing cannot be had then
    HANDLE h = CreateFileA(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return h == INVALID_HANDLE_VALUE ? GetLastError() == ERROR_SHARING_VIOLATION : !CloseHandle(h);
}
const char *const kRunCopy = "k.EXE --gtest_filter=LogFiles.Dbg* >NUL 2>&1";
int setenv(const char *name, const char *value, int) { return _putenv_s(name, value); }
int unsetenv(const char *name) { return _putenv_s(name, ""); }
#else
fs::path program_file() { return fs::read_symlink("/proc/self/exe"); }
const char *const kRunCopy = "timeout 60 ./k.EXE --gtest_filter=LogFiles.Dbg* >/dev/null 2>&1";
#endif
using Fn = void (*)(const char *, ...);
// The text with the stamp that starts a line ("[date time] " of a report, else "date time ") shown as "~".
std::string unstamped(const std::string &text) {
    static const std::regex stamp(R"((^|\n)(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]|\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) )");
    return std::regex_replace(text, stamp, "$1~");
}
// Seconds since the epoch of a stamp's local fields, read as if they were UTC.
long stamp_value(const std::string &line) {
    struct tm tm{};
    std::istringstream(line.substr(line[0] == '[')) >> std::get_time(&tm, "%Y-%m-%d %H:%M:%S");
    return static_cast<long>(timegm(&tm));
}
std::string read_file(const fs::path &p) { std::ostringstream s; s << std::ifstream(p).rdbuf(); return s.str(); }
// The file of today in dir: "log_YYYY-MM-DD", the name part, ".log".
fs::path today(const fs::path &dir, const std::string &part) {
    char day[32];
    time_t t = time(nullptr);
    return dir / (std::string(day, strftime(day, sizeof day, "log_%Y-%m-%d", localtime(&t))) + part + ".log");
}
long lines_under(const fs::path &dir) {
    long n = 0;
    for (const auto &entry : fs::recursive_directory_iterator(dir))
        n += entry.is_regular_file() ? static_cast<long>(lines_of(read_file(entry.path())).size()) : 0;
    return n;
}
// Writes an undated line and waits until `file` holds `expect` (the line itself by default).
bool logged(const fs::path &file, const char *line, const std::string &expect = "") {
    log_msg2("%s", line);
    return wait_until([&] { return read_file(file).find(expect.empty() ? line : expect) != std::string::npos; });
}
time_t g_fake_now;
time_t fake_clock(time_t *out) { return out != nullptr ? *out = g_fake_now : g_fake_now; }
// As a change of settings does; Windows deletes no file that is open.
void close_file() { os_mutex_lock(file_lock()), keel::log::close_file_locked(), os_mutex_unlock(file_lock()); }
}  // namespace

TEST(LogDebugEx, LabelsErrnoTextNullsAndTheMacroFileName) {
    char path[300] = "x";  // no directory is known before the first line; it then takes the library's own
    log_get_path(path), log_set_proc_name("_default"), log_start(1, -1);  // -1 lets every level through
    const struct { int level, error; const char *label, *err; } rows[] = {
        {4, ENOENT, "[error]", "err: No such file or directory "}, {4, 0, "[error]", "err: none "},
        {1, EIO, "[debug]", ""}, {2, EIO, "[info]", ""}, {3, EIO, "[warn]", ""}, {5, EIO, "[fatal]", ""},
        {0, EIO, "[???]", ""}, {6, EIO, "[???]", ""}};
    for (const auto &row : rows) {
        StderrCapture cap;
        errno = row.error, log_debug_ex(row.level, "f", row.level, "bind %s", "fail");
        EXPECT_EQ(errno, row.error) << "a report must not change errno";
        EXPECT_EQ(unstamped(cap.text()), "~" + std::string(row.label) + "  file: f line: " + std::to_string(row.level) +
                                             " " + row.err + "bind fail\n");
    }
    StderrCapture cap;
    const int line = (log_debug_ex(2, nullptr, 3, nullptr), KEEL_INFO("x == %d, %.1f", 3, 0.5), __LINE__);
    EXPECT_EQ(unstamped(cap.text()), "~[info]  file: (null) line: 3 \n~[info]  file: log_file_internal_test.cc line: " +
                                         std::to_string(line) + " x == 3, 0.5\n");
    fs::path file = today(program_file().parent_path(), "_default");
    EXPECT_TRUE(path[0] == '\0' && logged(file, "here") && (close_file(), fs::remove(file))) << file;
}

#ifdef _WIN32
// Each line goes to a viewer of the system's debug strings as it goes to standard error. A viewer offers a buffer and
// two events by name; a line comes in the buffer behind the writer's process id.
TEST(LogDebugger, EachLineReachesAViewerOfDebugStrings) {
    HANDLE ready = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY"),
           data = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY"),
           map = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "DBWIN_BUFFER");
    const char *view = map != nullptr ? static_cast<const char *>(MapViewOfFile(map, FILE_MAP_READ, 0, 0, 4096)) : nullptr;
    ASSERT_TRUE(ready != nullptr && data != nullptr && view != nullptr);
    std::string seen;
    std::thread viewer([&] {
        for (int i = 0; i < 2 && SetEvent(ready) && WaitForSingleObject(data, 10000) == WAIT_OBJECT_0; ++i)
            if (*reinterpret_cast<const DWORD *>(view) == GetCurrentProcessId()) seen += view + sizeof(DWORD);
    });
    log_start(0, 1);
    StderrCapture cap;
    KEEL_INFO("x == %d", 4), KEEL_ERROR("bind %s", "fail");
    viewer.join();
    EXPECT_TRUE(seen == cap.text() && count_of(seen, "x == 4") == 1) << seen;
    UnmapViewOfFile(view), CloseHandle(map), CloseHandle(data), CloseHandle(ready);
}
#endif

// Under the journal each line starts with its level's priority; otherwise, or when the variable names another
// stream, lines are as ever.
TEST(Journal, LinesCarryTheirPriorityOnlyWhenStandardErrorIsTheJournal) {
    StderrCapture cap;
    struct stat err {};
    fstat(2, &err);
    const std::string mine = std::to_string(err.st_dev) + ":" + std::to_string(err.st_ino);
    for (const std::string &stream : {mine, std::string("1:2"), std::string()}) {
        stream.empty() ? unsetenv("JOURNAL_STREAM") : setenv("JOURNAL_STREAM", stream.c_str(), 1);
        log_start(0, 1);
        log_debug_ex(4, "f", 1, "a"), log_debug_ex(2, "f", 2, "b"), log_debug_ex(1, "f", 3, "c");
        log_debug_ex(3, "f", 4, "d"), log_debug_ex(5, "f", 5, "e");
    }
    unsetenv("JOURNAL_STREAM");
    std::string marks;
    for (const std::string &line : lines_of(cap.text())) marks += line[0] == '<' ? line.substr(0, 3) : "-";
#ifdef _WIN32
    EXPECT_EQ(marks, "---------------") << "no journal on Windows";
#else
    EXPECT_EQ(marks, "<3><6><7><4><2>----------");
#endif
}

TEST(LogMessages, FamiliesTwinsThresholdsAndTheCutAt4094Characters) {
    log_start(0, 1);
    StderrCapture cap;
    for (Fn member : {log_msg, _log_msg, err_msg, _err_msg, log_msg2, _log_msg2, err_msg2, _err_msg2}) {
        errno = ENOENT, member("open %s", "a.cfg");
        EXPECT_EQ(errno, ENOENT) << "a line changes nothing in errno";
    }
    log_buf_lock(), log_buf_date(), log_buf_msg("id=%d ", 7), log_buf_msg_unlock("done");
    for (Fn closing : {err_buf_msg_unlock, _err_buf_msg_unlock})
        log_buf_lock(), _log_buf_msg("read "), errno = ECONNRESET, closing("port %d", 3);
    log_buf_lock(), log_buf_msg("partial\n");
    log_debug_ex(2, "f", 1, "report");  // the lock is re-entrant: the report takes the text so far
    log_buf_msg("after "), _log_buf_msg_unlock("end");
    log_start(0, 0);  // silences the reporting routine only
    log_debug_ex(LOG_LEVEL_FATAL, "f", 1, "hidden"), log_msg2("shown at 0");
    log_start(0, 3);  // a refused buffered line still empties the buffer and frees its lock
    log_debug_ex(2, "f", 2, "below"), log_msg2("below"), log_buf_lock(), log_buf_msg("stale "), log_buf_msg_unlock("x");
    std::thread([] { errno = EIO, log_debug_ex(3, "f", 3, "at"), err_msg2("error above"); }).join();
    log_start(0, 6);  // nothing at all, fatal lines included, but log_date, which adds no newline
    log_debug_ex(LOG_LEVEL_FATAL, "f", 4, "hidden"), err_msg("hidden"), log_date();
    const std::string plain = "open a.cfg\n", with_errno = "open a.cfg: No such file or directory\n";
    EXPECT_EQ(unstamped(cap.text() + "\n"),
              "~" + plain + "~" + plain + "~" + with_errno + "~" + with_errno + plain + plain + with_errno +
                  with_errno + "~id=7 done\nread port 3: Connection reset by peer\nread port 3: Connection reset by "
                  "peer\npartial\n~[info]  file: f line: 1 report\nafter end\nshown at 0\n~[warn]  file: f line: 3 at\n"
                  "error above: Input/output error\n~\n");
    log_start(0, 1);
    std::string big(10000, 'x');
    StderrCapture cut;
    log_debug_ex(2, "f", 1, "%s", big.c_str()), log_msg2("%s", big.c_str()), err_msg("%s%s", big.c_str(), big.c_str());
    log_msg2("%5s", big.c_str());  // cut by the C library's formatter
    log_buf_lock();
    for (int i = 0; i < 6; ++i) log_buf_msg("%s", big.substr(0, 1000).c_str());
    log_buf_msg_unlock("tail");
    std::vector<std::string> lines = lines_of(cut.text());
    EXPECT_TRUE(lines.size() == 5 && lines[0].size() == 4094 && lines[1] == big.substr(0, 4094) &&
                lines[2].size() == 4094 && lines[3] == lines[1] && lines[4] == lines[1]);
}

// Lines with only the common conversions are formatted by the library itself, others by the C library: each reads
// as printf would write it.
template <class... Args>
void both(std::string *want, const char *fmt, Args... args) {
    char text[600];
    log_msg2(fmt, args...), *want += std::string(text, snprintf(text, sizeof text, fmt, args...)) + "\n";
}
TEST(LogMessages, ConversionsReadAsPrintfWritesThem) {
    log_start(0, 1);
    const char *volatile none = nullptr;
    std::string want;
    StderrCapture cap;
    errno = EINTR;  // left by an interrupted call: the line is still written once
    both(&want, "%s|%d|%i|%u|%x|%X|%%|%d", "abc", INT_MIN, -7, UINT_MAX, 0xBEEFu, 0xBEEFu, 0);
    both(&want, "%ld|%lu|%lld|%llu|%zu|%zd|%lx|%li", LONG_MIN, ULONG_MAX, LLONG_MIN, ULLONG_MAX, SIZE_MAX,
         static_cast<ssize_t>(-5), 0x89abcdefUL, 12L);
    both(&want, "%s and %s", static_cast<const char *>(none), "");
    both(&want, "%5d|%-3s|%.2f|%p|%c|%hd|%03u", 42, "a", 1.5, reinterpret_cast<void *>(16), 'z', short{3}, 7u);
    both(&want, "%s=%d, then %5.1f|%s", "x", 3, 2.5, "end");  // formatted in part before a conversion it cannot do
    both(&want, "%ls|%d", L"wide", 5);  // a wide string is the C library's to format
    EXPECT_EQ(cap.text(), want);
}

#ifndef _WIN32
// Standard error swapped for a stream with no descriptor of its own still gets
// every line.
TEST(LogMessages, AStandardErrorWithNoDescriptorGetsItsLines) {
    log_start(0, 1);
    char *text = nullptr;
    size_t size = 0;
    FILE *memory = open_memstream(&text, &size), *saved = stderr;
    ASSERT_NE(memory, nullptr);
    stderr = memory;
    errno = 0, log_msg2("into memory %d", 1), log_debug_ex(4, "f", 2, "and %s", "on");
    stderr = saved;
    EXPECT_EQ(unstamped(std::string(text, size)), "into memory 1\n~[error]  file: f line: 2 err: none and on\n")
        << "each line flushed as it is written";
    fclose(memory);
    free(text);
    // What the program printed before a line comes before it.
    int out = dup(1);
    StderrCapture cap;
    dup2(2, 1), printf("printed "), log_msg2("then logged"), fflush(stdout), dup2(out, 1), close(out);
    EXPECT_EQ(cap.text(), "printed then logged\n");
    // A closed standard error loses the line and nothing else.
    int err = dup(2);
    close(2), log_msg2("nowhere"), dup2(err, 2), close(err);
}
#endif

TEST(LogQuitDeathTest, QuitsWriteTheirLinesAndExitOne) {
    const Fn quits[] = {log_quit, _log_quit, err_quit, _err_quit, log_quit2, _log_quit2, err_quit2, _err_quit2,
                        log_buf_quit_unlock, _log_buf_quit_unlock, err_buf_quit_unlock, _err_buf_quit_unlock};
    for (int i = 0; i < 12; ++i)
        EXPECT_EXIT(
            {
                int fds[2];  // a number typed for the first eight; a read by the others would wait for the alarm
                if (pipe(fds) != 0 || (i < 8 && write(fds[1], "42\n", 3) != 3)) _exit(9);
                (dup2(fds[0], 0), alarm(10), log_start(0, 1), log_buf_lock(), log_buf_msg("buf "));
                errno = ENOENT;  // err_quit adds no errno text, err_buf_quit_unlock does
                quits[i]("bye");
            },
            ::testing::ExitedWithCode(1),
            i < 8 ? "bye\n....-..-.. ..:..:.. exit!!!\n$"  // no [0-9]: gtest's own expressions on Windows have none
                  : i < 10 ? "^buf bye\n$" : "^buf bye: No such file or directory\n$");
    EXPECT_EXIT((close(0), alarm(10), log_start(0, 3), log_quit2("fatal only")), ::testing::ExitedWithCode(1),
                "^fatal only\n$");
}

// Every kind of stamp shows the local time of the zone just set: a change of
// zone shows in the very next stamp, even when only the zone's offset changes.
TEST(LogStamps, EachKindShowsTheLocalTimeOfTheZoneJustSet) {
    log_start(0, 1);
    std::vector<std::string> lines;
    time_t began;
    do {  // until both zones were stamped within the same second
        began = time(nullptr);
        StderrCapture cap;
        for (const char *zone : {"TZ=XXX-5:30", "TZ=XXX-5:45"}) {  // POSIX zones, which need no files
            putenv(const_cast<char *>(zone)), tzset();
            log_date(), log_msg2("zone"), log_msg("dated"), log_debug_ex(2, "f", 1, "report");
            log_buf_lock(), log_buf_date(), log_buf_msg_unlock("b");
        }
        lines = lines_of(cap.text());
    } while (began != time(nullptr));
    ASSERT_EQ(lines.size(), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(stamp_value(lines[i]), began + (i < 4 ? 19800 : 20700)) << lines[i];
}

// Every case of the files gets its own directory, which is also the current directory.
class LogFiles : public ::testing::Test {
protected:
    void SetUp() override {
        std::string path = dir_.string() + std::string(2, '\0');  // room for the separator the call appends
        fs::create_directories(dir_), fs::current_path(dir_), log_set_path(path.data());
    }
    void TearDown() override {
        keel::log::set_clock(nullptr), close_file(), fs::current_path(fs::temp_directory_path()), fs::remove_all(dir_);
    }
    fs::path dir_ = fs::temp_directory_path() / ("keel_log_" + std::to_string(getpid()));
};

// The name part set before the first line gets no underscore; a file deleted while open is made again by the next line.
TEST_F(LogFiles, NamesFollowTheAttributesAndADeletedFileIsMadeAgain) {
    log_set_proc_name("svc"), log_start(1, 1);
    ASSERT_TRUE(logged(today(dir_, "svc"), "first line") && fs::path(current_filename()) == today(dir_, "svc"));
#ifndef _WIN32  // Windows deletes no file that is open
    const int fds = fd_count();
    ASSERT_TRUE(logged(today(dir_, "svc"), "two", "first line\ntwo\n") && fs::remove(today(dir_, "svc")));
    EXPECT_TRUE(logged(today(dir_, "svc"), "again") && read_file(today(dir_, "svc")) == "again\n" && fd_count() == fds)
        << "the deleted file's handle is closed";
#endif
    log_v3_attr_t attr{16, 1, 1, 1}, got{0, 7, 7, 7};
    log_set_v3_attr(&attr), log_get_v3_attr(&got);  // size 0: nothing copied
    got.size = 8, log_get_v3_attr(&got);
    EXPECT_TRUE(got.size == 16 && got.single_file == 1 && got.large == 7) << "the first 8 bytes only";
    const std::string pid = std::to_string(getpid());
    EXPECT_TRUE(logged(dir_ / ("log_largesvc_" + pid + ".log"), "one"));
    EXPECT_FALSE((log_set_v3_attr(&attr), current_filename().empty())) << "an equal record leaves the file open";
    attr.large = 0, log_set_v3_attr(&attr);
    EXPECT_TRUE(current_filename().empty() && logged(dir_ / ("logsvc_" + pid + ".log"), "three"));
}

TEST_F(LogFiles, MidnightOpensTheNextDaysFile) {
    struct tm tm{};
    std::istringstream("2026-12-04 23:59:59") >> std::get_time(&tm, "%Y-%m-%d %H:%M:%S");
    tm.tm_isdst = -1, keel::log::set_clock(fake_clock);
    g_fake_now = mktime(&tm), log_set_proc_name("_day"), log_start(1, 1);
    ASSERT_TRUE(logged(dir_ / "log_2026-12-04_day.log", "before midnight"));
    g_fake_now += 2;
    EXPECT_TRUE(logged(dir_ / "log_2026-12-05_day.log", "after midnight"));
    g_fake_now -= 2;  // a line stamped before midnight never sends the file back a day
    EXPECT_TRUE(logged(dir_ / "log_2026-12-05_day.log", "late"));
    EXPECT_EQ(read_file(dir_ / "log_2026-12-04_day.log"), "before midnight\n");
}

// With no name set, the file is named after the executable: "_" and its name
// without ".exe", cut to 19 characters. A line no file takes still reaches standard error.
TEST_F(LogFiles, DbgMarkerBadDirectoriesAndNamesTooLong) {
    log_start(0, 1);
    fs::path file = today(dir_, program_file().filename() == "k.EXE" ? "_k" : "_log_file_internal_");
    log_msg2("off"), fs::create_directory(dir_ / "dbg");
    ASSERT_TRUE(logged(file, "on"));
    fs::remove(dir_ / "dbg"), log_msg2("off again"), log_start(1, 1);
    ASSERT_TRUE(logged(file, "switch", "on\nswitch\n"));
    StderrCapture cap;
    std::string long_dir(250, 'd'), room = long_dir + std::string(2, '\0'), too_long(259, 'e');
    char empty[] = "", path[300], win[] = "logs\\", missing[] = "/nonexistent/keel/logs\0x";
    log_set_path(room.data()), log_msg2("name too long");  // no file, and the old one is not used
    log_set_path(too_long.data()), log_set_path(empty), log_set_path(nullptr), log_get_path(path);
    EXPECT_EQ(std::string(path), long_dir + "/") << "a refused path keeps the old one";
    log_set_path(missing), log_msg2("still here");  // "\0x": room for the '/' the call adds and its terminator
    EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), "1 log lines dropped: log file /nonexistent/") == 1; }));
    EXPECT_TRUE(read_file(file) == "on\nswitch\n" && std::string(missing) == "/nonexistent/keel/logs/");
    log_set_path(win), log_get_path(path);  // a Windows-style separator is accepted and stored as '/'
    std::string text = cap.text();
    EXPECT_TRUE(std::string(path) == "logs/" && count_of(text, "len > MAX_PATH_LEN") == 2 && lines_of(text).size() == 8)
        << "the empty path too, and nothing else: " << text;
    EXPECT_NE(text.find("name too long\nlog filename too long...\n"), std::string::npos);
}

TEST_F(LogFiles, AnExeSuffixIsNoPartOfTheName) {  // the case above, run as a copy named k.EXE
    KEEL_SKIP_UNDER_EMULATION("fails a copy of /proc/self/exe with an I/O error");
    fs::copy_file(program_file(), dir_ / "k.EXE");
    EXPECT_EQ(system(kRunCopy), 0);  // in dir_
}

TEST_F(LogFiles, QueueBoundsAdmitErrorsLongerThanTheRest) {
    log_start(1, 1);
    StderrCapture cap;
    os_mutex_lock(keel::log::file_lock()), log_msg("first");  // the writer stalls on this line: the rest stays pending
    ASSERT_TRUE(wait_until([] { return sink_stats().queued == 1 && sink_stats().pending == 0; }));
    for (int i = 0; i < 1200; ++i) log_msg("info %d", i);
    EXPECT_TRUE(sink_stats().pending == 1001 && sink_stats().dropped == 199);
    for (int i = 0; i < 600; ++i) err_msg("error %d", i);
    EXPECT_TRUE(sink_stats().pending == 1501 && sink_stats().dropped == 199 + 100);
    os_mutex_unlock(keel::log::file_lock());
    EXPECT_TRUE(wait_until([&] { return count_of(cap.so_far(), "No buffer space available 299 log lines dropped"); }));
    EXPECT_EQ(count_of(cap.text(), "lines dropped"), 1) << "the burst is reported once, with its count";
}

// Under a file size limit (a quota, `ulimit -f`) the writer's write fails where it would have raised SIGXFSZ and ended
// the process: the loss is reported with its count, and the next file takes lines again. In a child, whose standard
// error is a pipe and whose limit is its own.
TEST_F(LogFiles, AFileThatMayGrowNoFurtherCostsLinesNeverTheProcess) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows sets a process no limit on the size of its files (RLIMIT_FSIZE, SIGXFSZ)";
#else
    int err[2], status = 0;
    fs::path first = today(dir_, "_full"), next = dir_ / "next";
    std::string path = next.string() + "/", text, sent;
    ASSERT_TRUE(pipe(err) == 0 && fs::create_directories(next));
    if (pid_t child = fork(); child == 0) {
        rlimit limit{4096, RLIM_INFINITY};  // the alarm: a writer that never gives up must not outlive the test
        alarm(20), dup2(err[1], 2), setrlimit(RLIMIT_FSIZE, &limit), log_set_proc_name("_full"), log_start(1, 1);
        for (int i = 0; i < 300; ++i) log_msg2("line %03d of the first file", i);
        wait_until([] { return sink_stats().pending == 0; });
        log_set_path(path.data()), log_msg2("after");  // the setter waits for the piece being written
        // The loss is reported after the next file's first write: a second batch written means it is out.
        bool first_written = wait_until([&] { return lines_under(next) == 1; });
        log_msg2("after");
        _exit(first_written && wait_until([&] { return lines_under(next) == 2; }) ? 0 : 3);
    } else {
        close(err[1]), text = read_exact(err[0], SIZE_MAX, 10000), close(err[0]);  // to the child's end
        ASSERT_TRUE(waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    // The first loss is reported at once with its count; what followed it until the next file opened, once more.
    std::string written = read_file(first);
    std::smatch lost, more;
    for (const std::string &line : lines_of(text)) sent += line.rfind("line ", 0) == 0 ? line + "\n" : "";
    ASSERT_TRUE(std::regex_search(text, lost, std::regex("File too large (\\d+) log lines dropped: log file " +
                                                         first.string() + " cannot be written; lines are dropped "
                                                         "until a new file opens\n"))) << text;
    bool later = std::regex_search(text, more, std::regex("(\\d+) more log lines dropped before log file"));
    EXPECT_TRUE(written.size() == 4096 && sent.compare(0, 4096, written) == 0) << "the lines that fit, in order";
    EXPECT_EQ(std::stol(lost[1]) + (later ? std::stol(more[1]) : 0) + std::count(written.begin(), written.end(), '\n'),
              300) << "every line is in the file or counted as dropped, in one report and at most one more";
    EXPECT_TRUE(count_of(text, "lines dropped") == 1 + later && read_file(today(next, "_full")) == "after\nafter\n")
        << text;
#endif
}

// log_set_path closes the file before it returns, also with lines in flight;
// every line the queue took reaches one of the files, none a closed one.
TEST_F(LogFiles, ANewDirectoryClosesTheFileBeforeTheCallReturns) {
    std::string next = (dir_ / "next").string() + "/", old;
    std::atomic<bool> stop{false};
    StderrCapture discard(false);  // the flood's standard error
    log_start(1, 1), fs::create_directories(next);
    std::thread flood([&stop] { while (!stop) log_msg2("flood"); });
    EXPECT_TRUE(wait_until([&] { return lines_under(dir_) > 1000 && is_open(old = current_filename()); }));
    log_set_path(next.data());
    EXPECT_FALSE(is_open(old));
    stop = true, flood.join();
    EXPECT_TRUE(wait_until([&] { return lines_under(dir_) == sink_stats().queued; }, std::chrono::seconds(20)));
}
