// A program's life as a service: signals as callbacks, os_run until os_stop, what the service manager is told (to a
// socket the test binds, as systemd does), and the journal's priorities.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#endif

#include <csignal>

#include "keel/log.h"
#include "keel/os_runtime.h"
#include "keel/os_sync.h"
#include "test_core.h"

using namespace keel_test;
using namespace std::chrono_literals;

namespace {
#ifdef _WIN32
int setenv(const char *name, const char *value, int) { return _putenv_s(name, value); }
int unsetenv(const char *name) { return _putenv_s(name, ""); }
#endif

void start() {
    log_start(0, 1);
    ASSERT_EQ(os_startup(0, 0), 1);
}

// Calls of each signal's function, and those that came on another thread than the main one.
std::atomic<int> g_calls[65], g_elsewhere{0};
uint32_t g_main_thread;
void count_call(int signo, void *arg) {
    if (os_thread_self() != g_main_thread || arg != &g_main_thread) ++g_elsewhere;
    ++g_calls[signo];
}
void send_to_self(int signo) {
#ifdef _WIN32
    raise(signo);
#else
    kill(getpid(), signo);
#endif
}

// A run that never ends fails the case instead of hanging it.
int run_with_deadline() {
    std::atomic<bool> done{false};
    std::thread guard([&] { wait_until([&] { return done.load(); }, 10s) || os_stop(-99); });
    int code = os_run();
    done = true, guard.join();
    return code;
}

#ifndef _WIN32
// The notify socket of a service manager: a datagram socket at a path or, named "@...", in the abstract space.
struct NotifySocket {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    explicit NotifySocket(bool abstract) {
        std::string name = (abstract ? "@keel-notify-" : "/tmp/keel-notify-") + std::to_string(getpid());
        sockaddr_un at{};
        at.sun_family = AF_UNIX;
        memcpy(at.sun_path, name.data(), name.size());
        if (abstract) at.sun_path[0] = '\0';
        unlink(name.c_str());
        socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + !abstract);
        if (bind(fd, reinterpret_cast<sockaddr *>(&at), len) != 0) abort();
        setenv("NOTIFY_SOCKET", name.c_str(), 1);
        if (!abstract) unlink_at_end = name;
    }
    ~NotifySocket() { close(fd), unsetenv("NOTIFY_SOCKET"), unlink_at_end.empty() || unlink(unlink_at_end.c_str()); }
    std::string next(int ms = 5000) {  // the next message, "" when none came in time
        pollfd p{fd, POLLIN, 0};
        char buf[2048];
        ssize_t n = poll(&p, 1, ms) == 1 ? recv(fd, buf, sizeof buf, 0) : 0;
        return std::string(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    }
    std::string unlink_at_end;
};
#endif

}  // namespace

// Refusals; each arrival of a bound signal runs its function on the main thread: sent to the process, to a thread
// started before the binding (which does not block it), or left ignored before it (as under nohup). Unbound, the
// signal's default action is back.
TEST(Signals, EachArrivalRunsItsFunctionOnTheMainThreadAndUnbindGivesTheDefaultBack) {
    StderrCapture cap;
    EXPECT_EQ(os_signal_bind(SIGTERM, count_call, nullptr), 0) << "no runtime yet";
    start();
    on_main_thread([] { g_main_thread = os_thread_self(); });
#ifdef _WIN32
    const int first = SIGTERM, second = SIGINT, refused = SIGSEGV;
#else
    const int first = SIGTERM, second = SIGHUP, refused = SIGKILL;
    signal(second, SIG_IGN);
    std::atomic<bool> bound{false};
    std::thread earlier([&] {  // as a thread of the caller's that leaves the signal to its usual delivery
        sigset_t one;
        sigemptyset(&one), sigaddset(&one, second), pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        wait_until([&] { return bound.load(); }, 10s);
    });
#endif
    EXPECT_EQ(os_signal_bind(refused, count_call, nullptr) + os_signal_bind(SIGSEGV, count_call, nullptr) +
                  os_signal_bind(0, count_call, nullptr) + os_signal_bind(first, nullptr, nullptr) +
                  os_signal_unbind(first),
              0);
    ASSERT_EQ(os_signal_bind(first, count_call, &g_main_thread) + os_signal_bind(second, count_call, &g_main_thread), 2);
    for (int round = 1; round <= 2; ++round) {
        send_to_self(first);
        EXPECT_TRUE(wait_until([&] { return g_calls[first] == round; })) << round;
#ifdef _WIN32
        send_to_self(second);
#else
        pthread_kill(earlier.native_handle(), second);
#endif
        EXPECT_TRUE(wait_until([&] { return g_calls[second] == round; })) << round;
    }
#ifndef _WIN32
    bound = true, earlier.join();
#endif
    EXPECT_TRUE(g_calls[first] == 2 && g_calls[second] == 2 && g_elsewhere == 0) << g_elsewhere;
#ifdef _WIN32
    const std::string kill_why = "only SIGINT and SIGTERM reach a program on Windows", fault_why = kill_why;
#else
    const std::string kill_why = "it cannot be caught", fault_why = "it means a fault, which the thread at fault must meet at once";
#endif
    EXPECT_EQ(reports(cap.text()),
              (std::vector<std::string>{"os_is_startup() == 0",
                                        "signal " + std::to_string(refused) + " cannot be bound: " + kill_why,
                                        "signal " + std::to_string(SIGSEGV) + " cannot be bound: " + fault_why,
                                        "signal 0 cannot be bound: there is no such signal", "func == NULL",
                                        "signal " + std::to_string(first) + " is not bound"}));
#ifndef _WIN32  // in a child that runs the case again up to here, with the runtime's threads
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT((os_signal_unbind(second), raise(second)), testing::KilledBySignal(second), "");
#endif
    EXPECT_EQ(os_signal_unbind(second) + os_signal_unbind(first), 2);
}

// Each stop ends one run with its code, from a callback or another thread, also when it came first (then the first
// of those counts); the main thread cannot run.
TEST(Run, EachStopEndsOneRunWithItsCode) {
    StderrCapture cap;
    EXPECT_EQ(os_run(), -1) << "no runtime yet";
    start();
    os_post_func([](void *) { os_stop(3); }, nullptr);
    EXPECT_EQ(run_with_deadline(), 3);
    os_stop(5), os_stop(6);
    EXPECT_EQ(run_with_deadline(), 5) << "two stops before the run: the first one's code";
    std::thread stopper([] { std::this_thread::sleep_for(50ms), os_stop(7); });
    EXPECT_EQ(run_with_deadline(), 7);
    stopper.join();
    int on_main = 0;
    EXPECT_TRUE(on_main_thread([&] { on_main = os_run(); }) && on_main == -1);
    EXPECT_EQ(reports(cap.text()),
              (std::vector<std::string>{"os_is_startup() == 0", "os_run on the main thread would wait forever"}));
}

// Ready, status and stopping go to the manager's socket, at a path or abstract; without one every call is a quiet
// success, and a name that is no socket's is refused.
TEST(Service, TheManagerHearsReadyStatusAndStopping) {
    start();
    StderrCapture cap;
#ifndef _WIN32
    for (bool abstract : {false, true}) {
        NotifySocket manager(abstract);
        EXPECT_EQ(os_service_ready() + os_service_status("serving\n2 clients") + os_stop(0), 3);
        for (const char *message : {"READY=1", "STATUS=serving 2 clients", "STOPPING=1"})
            EXPECT_EQ(manager.next(), message) << abstract;
        EXPECT_EQ(run_with_deadline(), 0);
    }
    setenv("NOTIFY_SOCKET", "relative/name", 1);
    EXPECT_EQ(os_service_ready(), 0);
    unsetenv("NOTIFY_SOCKET");
#endif
    EXPECT_EQ(os_service_ready() + os_service_status("x") + os_service_status(nullptr), 2);
    std::vector<std::string> expected{"text == NULL"};
#ifndef _WIN32
    expected.insert(expected.begin(),
                    "err: " + std::string(strerror(EINVAL)) +
                        " the service manager at relative/name cannot be told: the name is no socket's");
#endif
    EXPECT_EQ(reports(cap.text()), expected);
}

#ifndef _WIN32
// Pings come from the main thread at half the interval systemd asks for, and stop while a callback hangs.
TEST(Service, WatchdogPingsFromTheMainThreadStopWhileACallbackHangs) {
    NotifySocket manager(true);
    setenv("WATCHDOG_USEC", "200000", 1), setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
    start();
    auto pings_within = [&](std::chrono::milliseconds span) {
        int n = 0;
        for (auto end = std::chrono::steady_clock::now() + span; std::chrono::steady_clock::now() < end;)
            n += manager.next(20) == "WATCHDOG=1";
        return n;
    };
    int steady = pings_within(1000ms);
    EXPECT_TRUE(steady >= 5 && steady <= 12) << steady << " pings in a second, every 100 ms asked";
    os_post_func([](void *) { std::this_thread::sleep_for(1500ms); }, nullptr);
    std::this_thread::sleep_for(300ms);
    while (manager.next(0) == "WATCHDOG=1") {  // any sent before the hang began
    }
    EXPECT_EQ(pings_within(800ms), 0) << "a hanging callback holds the pings";
    EXPECT_GE(pings_within(1500ms), 3) << "and they come back after it";
    unsetenv("WATCHDOG_USEC"), unsetenv("WATCHDOG_PID");
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

// An idle loop's figures, then a posted function that blocks: the figures are read meanwhile without waiting for it;
// it is the longest callback and reported once as slow, and what waited behind it (posted functions, a timer)
// started late by about its time.
TEST(LoopStats, AnIdleLoopThenABlockingCallback) {
    StderrCapture cap;
    os_loop_stats_t st;
    EXPECT_EQ(os_loop_stats(&st) + os_loop_stats(nullptr), 0);
    start();
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(os_loop_stats(&st), 1);
    EXPECT_TRUE(st.idle_us >= 250000 && st.busy_us < 100000 && st.posted_waiting == 0) << st.idle_us << " " << st.busy_us;
    EXPECT_EQ(os_set_slow_callback_ms(200), 1);
    static std::atomic<bool> s_blocking{false};
    os_post_func([](void *) { s_blocking = true, std::this_thread::sleep_for(400ms); }, nullptr);
    ASSERT_TRUE(wait_until([] { return s_blocking.load(); }));
    static std::atomic<int> s_behind{0};
    for (int i = 0; i < 3; ++i) os_post_func([](void *) { ++s_behind; }, nullptr);
    os_timer_create_once([](void *) { ++s_behind; }, 10, nullptr);
    ASSERT_EQ(os_loop_stats(&st), 1) << "read while the callback blocks";
    EXPECT_EQ(st.posted_waiting, 3u);
    ASSERT_TRUE(wait_until([] { return s_behind == 4; }));
    ASSERT_TRUE(wait_until([&] { return os_loop_stats(&st) == 1 && st.lag_count >= 2; }));
    EXPECT_TRUE(st.longest_kind == OS_LOOP_POSTED && st.longest_us >= 300000 && st.busy_us >= 300000) << st.longest_us;
    EXPECT_TRUE(st.lag_max_us >= 200000 && st.lag_p99_us <= st.lag_max_us && st.lag_p99_us * 8 >= st.lag_max_us * 7)
        << st.lag_max_us << " " << st.lag_p99_us;
    EXPECT_TRUE(st.callbacks[OS_LOOP_POSTED] == 4 && st.callbacks[OS_LOOP_TIMER] >= 1 && st.posted_peak >= 3);
    EXPECT_TRUE(os_loop_stats(&st) == 1 && st.longest_us < 300000 && st.lag_count <= 2) << "figures since the last call";
    const std::vector<std::string> got = reports(cap.text());
    ASSERT_EQ(got.size(), 3u);
    EXPECT_TRUE(got[0] == "os_is_startup() == 0" && got[1] == "out == NULL" &&
                std::regex_match(got[2], std::regex("a posted callback ran for (3|4)\\d\\d ms")))
        << got[2];
}
