// Process and text services: command lines, children, the per-executable mutex
// among real processes, charsets against the iconv command, hex, copies, time, paths.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#endif

#include <filesystem>

#include "keel/log.h"
#include "keel/os_proc.h"
#include "proc/proc_internal.h"
#ifdef _WIN32
#include "test_core.h"
#else
#include "keel/os_net.h"
#include "keel/os_runtime.h"
#include "serial_support.h"
#include "test_support.h"
#endif

namespace fs = std::filesystem;
using namespace keel_test;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// Run as a competitor for the mutex: prints what os_get_proc_mutex gave and its
// process id; a holder lets go once its output is closed. Both end by exit.
static const bool kProbe = [] {
    const char *mode = getenv("KEEL_MUTEX_PROBE");
    if (mode == nullptr) return false;
    printf("%d %d\n", os_get_proc_mutex(), static_cast<int>(getpid()));
    fflush(stdout);
#ifdef _WIN32  // a pipe's far end cannot be polled there: writes fail once it is closed (or a minute has passed)
    for (int i = 0; i < 6000 && std::string(mode) == "hold" && puts("") >= 0 && fflush(stdout) == 0; ++i) Sleep(10);
#else
    alarm(60);  // the deadline of every wait for this process
    pollfd out = {1, 0, 0};
    if (std::string(mode) == "hold") poll(&out, 1, -1);
#endif
    exit(0);
}();

namespace {
struct Probe {
    FILE *out;
    int answer = -2, pid = 0;
    Probe(const std::string &exe, const std::string &mode)
#ifdef _WIN32
        : out(popen(("set KEEL_MUTEX_PROBE=" + mode + "&& \"" + exe + "\" 2>NUL").c_str(), "r")) {
#else
        : out(popen(("exec env KEEL_MUTEX_PROBE=" + mode + " '" + exe + "' 2>/dev/null").c_str(), "r")) {
#endif
        if (out == nullptr || fscanf(out, "%d %d", &answer, &pid) != 2) ADD_FAILURE() << "no answer from " << exe;
    }
    ~Probe() { pclose(out); }
};
#ifdef _WIN32  // cmd and ping stand in for the shell's tools; no signals there, but STILL_ACTIVE's value (259) as an
               // exit code must read as an end all the same; cmd takes lines of 8191 characters at most
const char *const kSleep = R"(cmd /c "ping -n 2 127.0.0.1 >NUL")", *kExit3 = R"(cmd /c "exit 3")";
const char *const kTrue = "cmd /c rem", *kDies = "cmd /c exit 259";
const int kDiedCode = 259, kLongLine = 8000;
std::string self_path() {
    char path[MAX_PATH];
    return std::string(path, GetModuleFileNameA(nullptr, path, sizeof path));
}
#else
const char *const kSleep = "sleep 1", *kExit3 = R"(\bin\sh -c "exit 3")";
const char *const kTrue = "true", *kDies = R"(sh -c "kill -TERM $$")";
const int kDiedCode = 128 + 15, kLongLine = 100 * 1024;
std::string self_path() { return fs::read_symlink("/proc/self/exe"); }
long entries_in(const fs::path &dir) { return fs::exists(dir) ? std::distance(fs::directory_iterator(dir), {}) : 0; }
#endif
}  // namespace

TEST(CommandLine, BlanksSeparateQuotesGroupBackslashesEscapeQuotes) {
    const struct { const char *line; std::vector<std::string> args; } cases[] = {
        {"  a \t b  ", {"a", "b"}}, {R"(sh -c "exit 3")", {"sh", "-c", "exit 3"}},
        {R"(a"b c"d "" x)", {"ab cd", "", "x"}}, {R"("unterminated quote)", {"unterminated quote"}},
        {R"(say \"hi\" C:\dir\ "a\\" b \\\"q)", {"say", "\"hi\"", "C:\\dir\\", "a\\", "b", "\\\"q"}}, {" \t ", {}},
        {"a b c d e f", {"a", "b", "c", "d", "e", "f"}}};  // the most arguments a line of its length holds
    for (const auto &c : cases) {
        char **argv = split_command_line(c.line), **end = argv;
        while (*end != nullptr) ++end;
        EXPECT_EQ(std::vector<std::string>(argv, end), c.args) << c.line;
        free(argv);
    }
}

TEST(Process, QueryTellsRunningThenEndedWithExitCodeOnEveryCall) {
    log_start(0, 1), signal(SIGTERM, SIG_IGN);  // the child gets default handling all the same
    os_proc_t *sleeper = os_exec_process_ex(kSleep), *three = os_exec_process_ex(kExit3);
    os_proc_t *killed = os_exec_process_ex(kDies);
    os_proc_t *big = os_exec_process_ex((kTrue + std::string(" ") + std::string(kLongLine, 'x')).c_str());
    ASSERT_TRUE(sleeper != nullptr && three != nullptr && killed != nullptr && big != nullptr);
    EXPECT_EQ(os_exec_query(sleeper), 1);
    ASSERT_TRUE(
        wait_until([&] { return os_exec_query(three) + os_exec_query(killed) + os_exec_query(big) == 0; }, 20s));
    StderrCapture cap;
    EXPECT_EQ(os_exec_query(three) + os_exec_query(three), 0) << "still ended after the child was collected";
    EXPECT_EQ(reports(cap.text()), Lines(2, "process over: 3")) << "one report per call, each with the exit code";
    ASSERT_TRUE(wait_until([&] { return os_exec_query(sleeper) == 0; }, 20s));
    EXPECT_TRUE(sleeper->exit_code == 0 && three->exit_code == 3 && killed->exit_code == kDiedCode && !big->exit_code);
    EXPECT_EQ(os_exec_destroy(sleeper) + os_exec_destroy(three) + os_exec_destroy(killed) + os_exec_destroy(big), 0);
}

TEST(Process, MissingProgramsFailAndNoChildIsLeftBehind) {
#ifndef _WIN32
    KEEL_SKIP_UNDER_EMULATION("reports success for posix_spawnp of a program that does not exist");
#endif
    log_start(0, 1);
    StderrCapture cap;
    for (const char *line : {kTrue, "keel-no-such-program", "   "}) EXPECT_EQ(os_exec_process(line), 1) << line;
    EXPECT_TRUE(os_exec_process_ex("keel-no-such-program -x") == nullptr && os_exec_process(nullptr) == 0 &&
                os_exec_process_ex(nullptr) == nullptr && os_exec_destroy(nullptr) + os_exec_query(nullptr) == 0);
    EXPECT_EQ(reports(cap.text()), (Lines{"process success: " + std::string(kTrue),
                                          "process failed: keel-no-such-program", "process failed:    ",
                                          "process failed: keel-no-such-program -x"}));
    os_proc_t *child = os_exec_process_ex(kSleep);
#ifdef _WIN32  // the system keeps no ended process once its handles are closed: nothing to collect there
    HANDLE again = OpenProcess(SYNCHRONIZE, FALSE, GetProcessId(child->hprocess));
    EXPECT_TRUE(os_exec_destroy(child) == 0 && WaitForSingleObject(again, 0) == WAIT_TIMEOUT) << "the child goes on";
    CloseHandle(again);
#else
    pid_t pid = child->hprocess;
    siginfo_t info{};  // WNOWAIT: looks for children, running or ended, without collecting any
    EXPECT_TRUE(os_exec_destroy(child) == 0 && kill(pid, 0) == 0) << "the child goes on";
    EXPECT_TRUE(wait_until([&] { return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT); }, 10s))
        << "every ended child must be collected";
#endif
}

// One holder per executable file, until it ends; the lock is named after two
// SHA-1 digests of the path, as sha1sum computes them, and is close-on-exec.
TEST(ProcMutex, OneHolderPerExecutableFileUntilItEnds) {
    const std::string self = self_path();
    log_start(0, 1);
#ifdef _WIN32  // the check fails when the name belongs to an object of another kind
    char *name = proc_mutex_name(self.c_str());
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name);
    StderrCapture cap;
    EXPECT_EQ(os_get_proc_mutex(), -1);
    CloseHandle(event), free(name);
    const std::string failed = "File exists os_get_proc_mutex hMutex == NULL CreateMutexA failed, errno: 6";
#else
    std::string dir = fs::temp_directory_path() / "keel_lock_XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const fs::path locks = dir + "/keel";
    StderrCapture cap;
    long fds = entries_in("/proc/self/fd");
    EXPECT_EQ((setenv("XDG_RUNTIME_DIR", "/proc/keel-cannot-exist", 1), os_get_proc_mutex()), -1);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);  // a lock directory of this run's own
    const std::string failed = "No such file or directory os_get_proc_mutex hMutex == NULL CreateMutexA failed, "
                               "errno: 2";
#endif
    {
        Probe first(self, "hold"), second(self, "once");
        EXPECT_TRUE(first.answer == 0 && second.answer == 1) << first.answer << " " << second.answer;
        EXPECT_EQ(os_get_proc_mutex(), 1) << "this process runs the same executable";
#ifndef _WIN32
        EXPECT_EQ(entries_in(locks), 1);
#endif
    }
#ifndef _WIN32
    EXPECT_EQ(entries_in(locks), 0u) << "holders that end normally remove their lock files";
#endif
    EXPECT_EQ(os_get_proc_mutex(), 0);
    EXPECT_EQ(os_get_proc_mutex(), 1) << "a second call in the holding process finds it";
    EXPECT_EQ(Probe(self, "once").answer, 1) << "and closes only the descriptor it opened itself";
#ifdef _WIN32  // no sha1sum there: the digest is checked against a known one, then builds the name
    auto sha1 = [](const std::string &text) {
        char *hex = nullptr;
        int len = 0;
        std::string digest = generate_hash_string(text.c_str(), &hex, &len) ? std::string(hex, len) : "";
        return free(hex), digest;
    };
    EXPECT_EQ(sha1("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
#else
    EXPECT_EQ(entries_in("/proc/self/fd"), fds + 1) << "the hold is the one descriptor kept";
    const fs::path lock = *fs::directory_iterator(locks);  // close-on-exec: see CloseOnExec
    if (pid_t child = fork(); child == 0) {  // a forked child does not share the hold
        bool shared = false;
        for (const auto &fd : fs::directory_iterator("/proc/self/fd")) shared |= fs::read_symlink(fd.path()) == lock;
        _exit(shared ? 1 : 0);
    } else {
        int status = -1;
        EXPECT_TRUE(waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(Probe(self, "once").answer, 1) << "closing the child's copy left the hold in place";
    fs::remove_all(dir);
    auto sha1 = [](const std::string &text) { return output_of("sha1sum", text).substr(0, 40); };
#endif
    const std::string msg = "Mutex '" + sha1(self + ":0") + "_" + sha1(self + ":1") + "_mutex' - Already exists: ";
    EXPECT_EQ(reports(cap.text()), (Lines{"err: " + failed, "err: File exists " + msg + "YES",
                                          "err: none " + msg + "NO", "err: File exists " + msg + "YES"}));
}

// Nothing the library opens reaches a child it did not start: the lock, the log file, the runtime's descriptors,
// sockets and a serial port are all close-on-exec (posix_spawn runs no fork handlers, so only the flag counts).
TEST(CloseOnExec, EveryDescriptorTheLibraryOpens) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no close-on-exec flag to check: a child started there inherits no handle "
                    "but its standard streams";
#else
    auto fds = [] {
        std::set<int> open;
        for (const auto &fd : fs::directory_iterator("/proc/self/fd")) open.insert(std::stoi(fd.path().filename()));
        return std::erase_if(open, [](int fd) { return fcntl(fd, F_GETFD) == -1; }), open;  // the listing's own
    };
    std::string dir = fs::temp_directory_path() / "keel_cloexec_XXXXXX", inherited;
    uint16_t port;  // of a listener that takes the client: a refused connect would close its socket
    int pty = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC), listener = bound(SOCK_STREAM, &port), ours = 0;
    ASSERT_TRUE(mkdtemp(dir.data()) && grantpt(pty) == 0 && unlockpt(pty) == 0 && ptsname(pty));
    const std::set<int> before = fds();
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1), setenv("KEEL_COM1", ptsname(pty), 1), log_set_path((dir + "/").data());
    log_start(1, 1), log_msg2("held");
    os_tcp_server_t *server = os_tcp_server_create();
    os_udp_client_t *udp = os_udp_client_create();
    os_tcp_client_t *tcp = os_tcp_client_create();
    os_comm_client_t *com = os_comm_client_create(1, 9600, 8, 'N', 1);
    ASSERT_TRUE(os_get_proc_mutex() == 0 && os_startup(0, 0) && os_tcp_server_set_local(server, "127.0.0.1", 0) &&
                os_tcp_server_open(server) && os_udp_client_open(udp) && os_comm_client_open(com) == 1 &&
                os_tcp_client_set_remote(tcp, "127.0.0.1", port) && os_tcp_client_open(tcp, -1) == 1);
    for (int fd : fds())
        if (!before.count(fd) && ++ours && fcntl(fd, F_GETFD) != FD_CLOEXEC)
            inherited += fs::read_symlink("/proc/self/fd/" + std::to_string(fd)).string() + " ";
    EXPECT_TRUE(ours == 11 && inherited.empty()) << ours << " opened; not close-on-exec: " << inherited;
    os_comm_client_destroy(com), os_tcp_client_destroy(tcp), os_udp_client_destroy(udp), os_tcp_server_destroy(server);
    close(pty), close(listener), fs::remove_all(dir);
#endif
}

TEST(CodeConvert, AgreesWithIconvCommandAndReturnsStatuses) {
    const std::string zhong_utf8 = "\xe4\xb8\xad", zhong_gbk = "\xd6\xd0";
    const struct { const char *from, *to; std::string input, expected; } cases[] = {
        {"UTF-8", "GBK", "a" + zhong_utf8 + "\xc3\xa9 b", "a" + zhong_gbk + "\xa8\xa6 b"},
        {"ISO-8859-1", "UTF-8", "caf\xe9\xff", "caf\xc3\xa9\xc3\xbf"},
        {"GBK", "ISO-8859-1", "A" + zhong_gbk + "B\xb0", "AB"},                  // unconvertible, then cut
        {"UTF-8", "GBK", "ok\xff" + zhong_utf8 + "\xfe!", "ok" + zhong_gbk + "!"},  // two invalid bytes
        {"UTF-8", "ISO-8859-1", "a" + zhong_utf8 + "b\xc3\xa9\x80z", "ab\xe9z"},   // unconvertible and invalid
        {"UTF-8", "GBK", "end " + zhong_utf8.substr(0, 2), "end "},               // ends inside a sequence
        {"GBK", "UTF-8", "\x81\x20" + zhong_gbk + "\xff\xd6", " " + zhong_utf8},     // bad pair, bad byte, cut
        {"UTF-16LE", "UTF-8", std::string("a\0\0\xd8" "b\0c\0", 8), "abc"},       // a lone surrogate is one unit
        {"UTF-16BE", "UTF-8", std::string("\xd8\x3d\xde\x00\0z", 6), "\xf0\x9f\x98\x80z"},  // a pair, four bytes
        {"BIG5", "ASCII", "z\xa4\xa4!", "z!"},
        // GB18030 has every character, some in four bytes: an emoji, U+0080; the last one cut
        {"UTF-8", "GB18030", "a\xf0\x9f\x98\x80\xc2\x80" + zhong_utf8, "a\x94\x39\xfc\x36\x81\x30\x81\x30" + zhong_gbk},
        {"GB18030", "UTF-8", "\x94\x39\xfc\x36\x81\x30\x81\x30z\x81\x30", "\xf0\x9f\x98\x80\xc2\x80z"}};
    for (const auto &c : cases) {
#ifndef _WIN32  // the expected bytes are the iconv command's (there is none on Windows)
        EXPECT_EQ(output_of(std::string("iconv -c -f ") + c.from + " -t " + c.to, c.input), c.expected);
#else  // wine has no GB18030 code page (54936), which Windows has
        if (!IsValidCodePage(54936) && (std::string(c.from) == "GB18030" || std::string(c.to) == "GB18030")) continue;
#endif
        char save[256] = {0};
        int n = os_code_convert(c.from, c.to, save, sizeof save, c.input.data(), c.input.size());
        EXPECT_TRUE(n == static_cast<int>(c.expected.size()) && save == c.expected) << c.from << " to " << c.to;
    }
    log_start(0, 1);
    StderrCapture cap;
    char save[4] = {0};
    EXPECT_EQ(os_code_convert("UTF-8", "UTF-8", save, sizeof save, "abcdef", 6), -5);
    EXPECT_STREQ(save, "abc") << "the part converted so far stays, with room for its end";
    EXPECT_EQ(os_code_convert("UTF-8", "NO-SUCH", save, 4, "a", 1) + os_code_convert("UTF-8", "GBK", save, 4, "", 0) +
                  os_code_convert("GBK", "GBK", save, -1, "a", 1) + os_code_convert("a", "b", nullptr, 4, "a", 1), -4);
    std::string text = cap.text();
    for (const std::string &report : Lines{"err: " + std::string(strerror(E2BIG)) + " errno == E2BIG status = -5",
                                           " savelen < 0", "not supoort to[NO-SUCH] from[UTF-8]",
                                           " from UTF-8 to GBK, src , savelen 4",
                                           "from == NULL || to == NULL || save == NULL || src == NULL",
                                           "] [info]  file: charset.cc"})
        EXPECT_EQ(count_of(text, report), report[0] == ']' ? 3 : 1) << report << "\n" << text;
}

TEST(TextAndSystem, HexCopiesLocalTimeAndExecutableDirectory) {
    const unsigned char bytes[] = {0x00, 0xAB, 0xFF};
    char hex[7], buf[4096], *copy = os_strdup("keel");
    unsigned char back[3];
    ASSERT_EQ(os_encode(bytes, 3, hex) + os_decode("00ABff", 6, back), 2);
    EXPECT_TRUE(std::string(hex) == "00abff" && memcmp(back, bytes, 3) == 0) << hex;
    os_decode("zz7x5", 5, back);
    EXPECT_TRUE(back[0] == 0 && back[1] == 7 && back[2] == 0xFF) << "bad pair, half pair, odd last digit";
    EXPECT_EQ(os_encode(nullptr, 3, hex) + os_decode("00", 2, nullptr) + os_encode(bytes, 0, nullptr), 1);
    EXPECT_STREQ(copy, "keel");
    os_free(&copy), os_free(&copy);  // the second finds NULL: nothing to do
    EXPECT_TRUE(copy == nullptr && os_strdup(nullptr) == nullptr);
    std::string dir = fs::path(self_path()).parent_path().string();
    for (int size : {4096, 5, 1})
        EXPECT_TRUE(os_get_work_path(buf, size) == 1 && buf == dir.substr(0, static_cast<size_t>(size - 1))) << size;
    EXPECT_EQ(os_get_work_path(nullptr, 10) + os_get_work_path(buf, 0), 0);
    os_localtime_t t;
    struct tm tm;
    for (time_t now = 0; now != time(nullptr);)  // until the second did not change meanwhile
#ifdef _WIN32
        now = time(nullptr), localtime_s(&tm, &now), os_get_localtime(&t);
#else
        now = time(nullptr), localtime_r(&now, &tm), os_get_localtime(&t);
#endif
    EXPECT_EQ(std::vector<int>({t.year, t.month, t.day, t.hour, t.minute, t.second, os_get_localtime(nullptr)}),
              std::vector<int>({tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, 1}));
}
