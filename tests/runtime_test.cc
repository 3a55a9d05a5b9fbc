// The runtime as callers see it, and a program's life as a service. Lateness is allowed for: only what a correct
// runtime never does fails.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#endif

#include <atomic>
#include <csignal>
#include <random>

#include "keel/log.h"
#include "keel/os_runtime.h"
#include "keel/os_sync.h"
#include "test_core.h"

using namespace std::chrono_literals;

static void nothing(void *) {}
static void *tag(intptr_t v) { return reinterpret_cast<void *>(v); }
static void start_runtime() {
    log_start(0, 1);
    ASSERT_EQ(os_startup(0, 0), 1);
}

TEST(Startup, RefusesBadCallsStartsOnceAfterAFirstWaitAndSleepsThroughSignals) {
    log_start(0, 1);
    keel_test::StderrCapture cap;
    EXPECT_TRUE(os_post_func(nothing, nullptr) == 0 && os_is_startup() == 0 && !os_timer_create_ms(nothing, 10, nullptr) &&
                !os_timer_create_once(nothing, 10, nullptr));
    EXPECT_EQ(os_timer_destroy(os_timer_create(nothing, 1000, nullptr)), 1);  // never listed, yet freed
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(os_startup(0, 0), 1);
    auto t1 = std::chrono::steady_clock::now();
    EXPECT_TRUE(t1 - t0 >= 100ms && os_startup(5, 6) == 1 && os_is_startup() == 1 &&
                std::chrono::steady_clock::now() - t1 < 100ms) << "one first wait, and no second start-up";
    EXPECT_TRUE(os_post_func(nullptr, nullptr) == 0 && !os_timer_create_ms(nothing, 0, nullptr) &&
                !os_timer_create_once(nullptr, 10, nullptr) && os_timer_destroy(nullptr) == 0);
    const std::string off = "os_is_startup() == 0";  // a timer made before start-up is freed through an empty list
    EXPECT_EQ(keel_test::reports(cap.text()), (std::vector<std::string>{"adt_dlist_add dlist == NULL", off, off,
        "adt_dlist_lock dlist == NULL", "adt_dlist_insert dlist == NULL", "adt_dlist_unlock dlist == NULL",
        "os_post_func func == NULL", "interval_ms == 0", "func == NULL", "timer == NULL"}));
    uint64_t ms = os_clock_ms(), us = os_clock_us();
    EXPECT_TRUE(us / 1000 >= ms && us / 1000 - ms < 1000) << "one clock";
    os_main_lock(), os_main_lock(), os_main_unlock(), os_main_unlock();
    EXPECT_TRUE(keel_test::on_main_thread([] {})) << "two locks and two unlocks leave the main lock free";
#ifndef _WIN32  // Windows has no signals to cut a sleep short
    signal(SIGUSR1, [](int) {});
    std::thread pinger([self = pthread_self()] { std::this_thread::sleep_for(50ms), pthread_kill(self, SIGUSR1); });
    t0 = std::chrono::steady_clock::now(), os_sleep(150), pinger.join();
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 150ms) << "a signal cut the sleep short";
#endif
}

// The first wave posts while the main lock holds the functions off; the second reuses its pool.
TEST(PostedFunctions, RunOnTheMainThreadInPostingOrderANestedOneAfterItsPoster) {
    constexpr int kThreads = 4, kEach = 500, kNested = kThreads * 100000;
    static std::vector<std::pair<intptr_t, uint32_t>> s_calls;  // argument, thread; under the main lock
    static auto record = [](void *arg) { s_calls.push_back({intptr_t(arg), os_thread_self()}); };
    start_runtime();
    os_main_lock();
    ASSERT_EQ(os_post_func([](void *) { os_post_func(record, tag(kNested + 1)), record(tag(kNested)); }, nullptr), 1);
    for (int wave = 0; wave < 2; ++wave) {
        std::vector<std::thread> posters;
        for (int t = 0; t < kThreads; ++t)
            posters.emplace_back([t, wave] {
                for (int i = wave * kEach; i < (wave + 1) * kEach; ++i) EXPECT_EQ(os_post_func(record, tag(t * 100000 + i)), 1);
            });
        for (auto &p : posters) p.join();
        if (wave > 0) continue;
#ifndef _WIN32  // the C library there tells nothing of the heap's use
        // A thread that ends gives its pool back: a hundred posting in turn take a slab or two, not a hundred.
        size_t used = mallinfo2().uordblks;
        for (int i = 0; i < 100; ++i) std::thread([] { os_post_func(nothing, nullptr); }).join();
        EXPECT_LT(mallinfo2().uordblks - used, 100u * 3000) << "the pools of ended threads were lost";
#endif
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(s_calls.size(), 0u) << "nothing runs while a caller holds the main lock";
        os_main_unlock();
    }
    ASSERT_TRUE(keel_test::wait_until_locked([] { return s_calls.size() == 2 * kThreads * kEach + 2; }));
    std::vector<intptr_t> last(kThreads + 1, -1);  // each poster's order, all on the main thread
    for (auto [v, thread] : s_calls)
        EXPECT_TRUE(v % 100000 == ++last[v / 100000] && thread == s_calls[0].second && thread != os_thread_self()) << v;
}

TEST(Timers, FireOnWholeTicksAndMayDestroyThemselvesAndTheNextOne) {
    static std::atomic<int> s_fired[5], s_self_calls{0}, s_next_calls{0}, s_self_result{-1}, s_next_result{-1};
    static os_timer_t *s_self, *s_next;
    start_runtime();
    const std::pair<uint32_t, int> cases[] = {{0, 1}, {1000, 1}, {1001, 2}, {1, 1}, {2500, 3}};  // ms, ticks a firing
    std::vector<os_timer_t *> timers;
    os_main_lock();  // all created between the same two ticks
    for (intptr_t i = 0; i < 5; ++i)
        timers.push_back(os_timer_create([](void *i) { ++s_fired[intptr_t(i)]; }, cases[i].first, tag(i)));
    for (uint32_t ms : {2000u, UINT32_MAX}) timers.push_back(os_timer_create(nullptr, ms, nullptr));
    s_next = os_timer_create([](void *) { ++s_next_calls; }, 1000, nullptr);
    s_self = os_timer_create([](void *) {  // newest: walked first, just before s_next
        ++s_self_calls, s_next_result = os_timer_destroy(s_next), s_self_result = os_timer_destroy(s_self);
    }, 1000, nullptr);
    os_main_unlock();
    ASSERT_TRUE(keel_test::wait_until([] { return s_fired[1] >= 4; }, 8s));
    os_main_lock();  // freeze the counts between ticks
    int ticks = s_fired[1];
    for (int i = 0; i < 5; ++i) EXPECT_EQ(s_fired[i], ticks / cases[i].second) << "interval " << cases[i].first;
    EXPECT_TRUE(timers[5]->elapsed_ms == ticks % 2 * 1000u && timers[6]->elapsed_ms == ticks * 1000u)
        << "a timer without function fires and counts";
    os_main_unlock();
    EXPECT_TRUE(s_self_calls == 1 && s_self_result == 1 && s_next_calls == 0 && s_next_result == 1)
        << "destroyed in its own call, or before its turn in the first tick, a timer never fires again";
    for (os_timer_t *t : timers) EXPECT_EQ(os_timer_destroy(t), 1);
}

// A 20 ms timer whose function takes 10 ms, held up for five intervals: one call when let go,
// then the n-th due 20 n ms after the start, however long each call took.
TEST(PreciseTimers, PeriodicSkipsTheIntervalsItMissedAndDoesNotDrift) {
    constexpr uint64_t kPeriod = 20000;
    static std::vector<uint64_t> s_at;  // the start of each call
    start_runtime();
    for (int attempt = 1;; ++attempt) {
        os_main_lock();
        s_at.clear();
        uint64_t start = os_clock_us();
        os_timer_t *t = os_timer_create_ms([](void *) { s_at.push_back(os_clock_us()), os_sleep(10); }, 20, nullptr);
        uint64_t made = os_clock_us();  // the timer's own start lies between start and made
        std::this_thread::sleep_for(std::chrono::microseconds(int64_t(start + 5 * kPeriod + 2000 - os_clock_us())));
        uint64_t let_go = os_clock_us();
        os_main_unlock();
        ASSERT_TRUE(keel_test::wait_until_locked([] { return s_at.size() >= 25; }, 10s));
        EXPECT_EQ(os_timer_destroy(t), 1);
        size_t calls = s_at.size(), close = 0;
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(s_at.size(), calls) << "a timer destroyed on another thread fires no more";
        // Due 20 ms after the end of each call, no call would come less than 30 ms after the one before.
        for (size_t k = 2; k < calls; ++k) close += s_at[k] - s_at[k - 1] < 25000;
        EXPECT_GT(close, 0u) << "the calls drift";
        // A catch-up slot one too early makes a call too many at once; one too late skips one (tried again).
        EXPECT_LE(calls - 2, (s_at.back() - start) / kPeriod - (let_go - made) / kPeriod - 1) << "a burst";
        if (uint64_t skip = made + ((let_go - start) / kPeriod + 2) * kPeriod - 1000; s_at[1] < skip || attempt == 3) {
            EXPECT_LT(s_at[1], skip) << "an interval skipped";
            break;
        }
    }
}

// One-shots due within a second (one then falls in a second's last millisecond), cancelled from
// another thread or their own call (both kinds); timers far ahead cost nothing while they wait.
TEST(PreciseTimers, OneShotsFireOnceInDeadlineOrderUnlessCancelledAndWaitingCostsNoCpu) {
    static uint64_t s_due[2000], s_late[2000], s_fired[2000];  // each deadline lies between due and late
    static int s_calls[2000], s_self = 0, s_once = 0;
    static os_timer_t *s_self_timer, *s_once_timer;
    static std::vector<int> s_order;  // main thread only
    start_runtime();
    std::vector<os_timer_t *> timers(2000);  // not kept past the case: a timer never freed shows as a leak
    auto arm = [&timers](intptr_t from, unsigned seed) {
        std::mt19937 gen(seed);
        for (intptr_t i = from; i < from + 1000; ++i) {
            uint32_t delay = gen() % 1000;
            s_due[i] = os_clock_us() + delay * 1000;
            timers[i] = os_timer_create_once([](void *i) {
                s_fired[intptr_t(i)] = os_clock_us(), ++s_calls[intptr_t(i)], s_order.push_back(int(intptr_t(i)));
            }, delay, tag(i));
            s_late[i] = os_clock_us() + delay * 1000;
        }
    };
    os_main_lock();  // all armed before any fires, so cancelling is safe
    std::thread a(arm, 0, 1u), b(arm, 1000, 2u);
    a.join(), b.join();
    for (int i = 0; i < 2000; i += 10) EXPECT_EQ(os_timer_destroy(timers[i]), 1);
    s_self_timer = os_timer_create_ms([](void *) { if (++s_self == 3) os_timer_destroy(s_self_timer); }, 5, nullptr);
    s_once_timer = os_timer_create_once([](void *) { ++s_once, os_timer_destroy(s_once_timer); }, 5, nullptr);
    std::vector<os_timer_t *> distant;
    for (int i = 0; i < 1000; ++i) distant.push_back(os_timer_create_ms(nothing, 60000 + i, nullptr));
    os_main_unlock();
    ASSERT_TRUE(keel_test::wait_until_locked([] { return s_order.size() == 1800; }, 10s)) << s_order.size();
    double before = keel_test::cpu_ms();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(keel_test::cpu_ms() - before, 30) << "of 300 ms";
    os_main_lock();
    EXPECT_TRUE(s_order.size() == 1800u && s_self == 3 && s_once == 1);
    for (int i = 0; i < 2000; ++i) EXPECT_TRUE(s_calls[i] == (i % 10 != 0) && (!s_calls[i] || s_fired[i] >= s_due[i])) << i;
    for (size_t k = 1; k < s_order.size(); ++k) EXPECT_LE(s_due[s_order[k - 1]], s_late[s_order[k]]) << k;
    os_main_unlock();
    for (os_timer_t *t : distant) EXPECT_EQ(os_timer_destroy(t), 1);
}

// ---- a program's life as a service: signals as callbacks, os_run until os_stop, what the service manager is told
// (to a socket the test binds, as systemd does), and the loop's figures

using namespace keel_test;

namespace {

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
    start_runtime();
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
                  os_signal_unbind(first) + os_signal_unbind(1000),
              0);
    ASSERT_EQ(os_signal_bind(first, count_call, &g_main_thread) + os_signal_bind(second, count_call, &g_main_thread), 2);
    std::this_thread::sleep_for(1100ms);  // every thread but `earlier` blocks them now: they wait to be read
    for (int round = 1; round <= 2; ++round) {
        send_to_self(first);
        EXPECT_TRUE(wait_until([&] { return g_calls[first] == round; })) << round;
#ifdef _WIN32  // Ctrl-C, then Ctrl-Break, at the process's console; wine run headless has none, and raises instead
        if (!((AllocConsole() || GetConsoleWindow() != nullptr) &&
              GenerateConsoleCtrlEvent(round == 1 ? CTRL_C_EVENT : CTRL_BREAK_EVENT, 0))) {
            ASSERT_TRUE(under_wine()) << GetLastError();
            send_to_self(second);
        }
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
                                        "signal " + std::to_string(first) + " is not bound",
                                        "signal 1000 is not bound"}));
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
    start_runtime();
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
    start_runtime();
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
    start_runtime();
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

// An idle loop's figures, then a posted function that blocks: the figures are read meanwhile without waiting for it;
// it is the longest callback and reported once as slow, and what waited behind it (posted functions, a timer)
// started late by about its time.
TEST(LoopStats, AnIdleLoopThenABlockingCallback) {
    StderrCapture cap;
    os_loop_stats_t st;
    EXPECT_EQ(os_loop_stats(&st) + os_loop_stats(nullptr), 0);
    start_runtime();
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
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(os_loop_stats(&st), 1) << "read while the callback blocks";
    EXPECT_TRUE(st.posted_waiting == 3 && st.busy_us >= 100000) << st.busy_us << " busy, the callback under way";
    ASSERT_TRUE(wait_until([] { return s_behind == 4; }));
    // The batch's functions and the timer have run, but the main thread may not have counted them yet: read until it
    // has. Each read starts the lags and the longest again, so what the reads saw is gathered.
    os_loop_stats_t at_max{};
    uint64_t lags = 0;
    ASSERT_TRUE(wait_until([&] {
        if (os_loop_stats(&st) != 1) return false;
        if (st.lag_max_us > at_max.lag_max_us) at_max.lag_max_us = st.lag_max_us, at_max.lag_p99_us = st.lag_p99_us;
        if (st.longest_us > at_max.longest_us) at_max.longest_us = st.longest_us, at_max.longest_kind = st.longest_kind;
        return (lags += st.lag_count) >= 2 && st.callbacks[OS_LOOP_POSTED] >= 4 && st.callbacks[OS_LOOP_TIMER] >= 1;
    })) << lags << " lags, " << st.callbacks[OS_LOOP_POSTED] << " posted, " << st.callbacks[OS_LOOP_TIMER] << " timers";
    EXPECT_TRUE(at_max.longest_kind == OS_LOOP_POSTED && at_max.longest_us >= 300000 && st.busy_us >= 300000)
        << at_max.longest_us;
    EXPECT_TRUE(at_max.lag_max_us >= 200000 && at_max.lag_p99_us <= at_max.lag_max_us &&
                at_max.lag_p99_us * 8 >= at_max.lag_max_us * 7)
        << at_max.lag_max_us << " " << at_max.lag_p99_us;
    EXPECT_TRUE(st.callbacks[OS_LOOP_POSTED] == 4 && st.callbacks[OS_LOOP_TIMER] >= 1 && st.posted_peak >= 3)
        << st.callbacks[OS_LOOP_POSTED] << " " << st.callbacks[OS_LOOP_TIMER] << " " << st.posted_peak;
    os_post_func(nothing, nullptr);
    ASSERT_TRUE(wait_until([&] { return os_loop_stats(&st) == 1 && st.longest_kind != -1; })) << "a new longest";
    EXPECT_TRUE(st.longest_us < 300000 && st.lag_count <= 3) << "figures since the last call";
    // A new episode, as fast callbacks ran since: two slow ones in a row, the second posted by the first, give
    // one report (the tick between them, if any, runs no callback).
    static std::atomic<bool> s_second_done{false};
    os_post_func([](void *) {
        std::this_thread::sleep_for(250ms);
        os_post_func([](void *) { std::this_thread::sleep_for(250ms), s_second_done = true; }, nullptr);
    }, nullptr);
    ASSERT_TRUE(wait_until([] { return s_second_done.load(); }));
    ASSERT_TRUE(on_main_thread([] {}));
    const std::vector<std::string> got = reports(cap.text());
    ASSERT_EQ(got.size(), 4u);
    EXPECT_TRUE(got[0] == "os_is_startup() == 0" && got[1] == "out == NULL" &&
                std::regex_match(got[2], std::regex("a posted callback ran for (3|4)\\d\\d ms")) &&
                std::regex_match(got[3], std::regex("a posted callback ran for 2\\d\\d ms")))
        << got[2] << "\n" << got[3];
}
