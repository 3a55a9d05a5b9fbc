// The precise timers next to libuv's (when the bench set-up installed it):
// how fast a million timers start and are cancelled, on the loop's own
// thread as a callback would do it, and how late a thousand timers due one
// millisecond apart fire on an idle machine.
//
//   timer_throughput [timers] [rounds]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "keel/os_runtime.h"
#include "spread.h"

#ifdef KEEL_BENCH_HAVE_UV
#include <uv.h>
#endif

using Clock = std::chrono::steady_clock;

namespace {

struct Rates {
    double start, cancel;  // per second
};

// Delays far enough ahead that none fires while the round runs.
std::vector<uint32_t> delays(long n) {
    std::vector<uint32_t> d(static_cast<size_t>(n));
    std::mt19937 gen(42);
    for (uint32_t &ms : d) ms = 100000 + gen() % 100000;
    return d;
}

double per_second(long n, Clock::time_point t0, Clock::time_point t1) {
    return static_cast<double>(n) / std::chrono::duration<double>(t1 - t0).count();
}

// Runs fn on the main thread and waits for it, as the work of a callback.
template <class Fn>
void on_main(Fn fn) {
    static std::atomic<bool> done;
    static Fn *call;
    done = false;
    call = &fn;
    os_post_func([](void *) {
        (*call)();
        done = true;
    }, nullptr);
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

Rates keel_start_cancel(long n) {
    std::vector<uint32_t> d = delays(n);
    std::vector<os_timer_t *> timers(static_cast<size_t>(n));
    Rates r{};
    on_main([&] {
        auto t0 = Clock::now();
        for (long i = 0; i < n; ++i) timers[i] = os_timer_create_once([](void *) {}, d[i], nullptr);
        auto t1 = Clock::now();
        for (long i = 0; i < n; ++i) os_timer_destroy(timers[i]);
        auto t2 = Clock::now();
        r = {per_second(n, t0, t1), per_second(n, t1, t2)};
    });
    return r;
}

// How late each of n one-shot timers, due 1, 2, ... n ms after the start,
// fires, in microseconds.
std::vector<double> keel_lateness(int n) {
    static std::vector<std::atomic<uint64_t>> fired(static_cast<size_t>(n));
    static std::vector<uint64_t> due(static_cast<size_t>(n));
    for (auto &f : fired) f = 0;
    for (int i = 0; i < n; ++i) {
        // A timer's delay counts from its own creation.
        due[i] = os_clock_us() + static_cast<uint64_t>(i + 1) * 1000;
        os_timer_create_once([](void *arg) { fired[reinterpret_cast<intptr_t>(arg)] = os_clock_us(); },
                             static_cast<uint32_t>(i + 1), reinterpret_cast<void *>(static_cast<intptr_t>(i)));
    }
    while (fired[n - 1] == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::vector<double> late;
    for (int i = 0; i < n; ++i) late.push_back(static_cast<double>(fired[i] - due[i]));
    return late;
}

#ifdef KEEL_BENCH_HAVE_UV
Rates uv_start_cancel(long n) {
    std::vector<uint32_t> d = delays(n);
    uv_loop_t loop;
    uv_loop_init(&loop);
    std::vector<uv_timer_t> timers(static_cast<size_t>(n));
    for (auto &t : timers) uv_timer_init(&loop, &t);  // the handles are the caller's, made beforehand
    auto t0 = Clock::now();
    for (long i = 0; i < n; ++i) uv_timer_start(&timers[i], [](uv_timer_t *) {}, d[i], 0);
    auto t1 = Clock::now();
    for (long i = 0; i < n; ++i) uv_timer_stop(&timers[i]);
    auto t2 = Clock::now();
    for (auto &t : timers) uv_close(reinterpret_cast<uv_handle_t *>(&t), nullptr);
    uv_run(&loop, UV_RUN_DEFAULT);
    uv_loop_close(&loop);
    return {per_second(n, t0, t1), per_second(n, t1, t2)};
}

std::vector<double> uv_lateness(int n) {
    uv_loop_t loop;
    uv_loop_init(&loop);
    struct Shot {
        uv_timer_t timer;
        uint64_t due, fired;
    };
    std::vector<Shot> shots(static_cast<size_t>(n));
    uv_update_time(&loop);
    uint64_t start = uv_now(&loop) * 1000;  // the loop's own notion of now, which its timers count from
    for (int i = 0; i < n; ++i) {
        uv_timer_init(&loop, &shots[i].timer);
        shots[i].timer.data = &shots[i];
        shots[i].due = start + static_cast<uint64_t>(i + 1) * 1000;
        uv_timer_start(&shots[i].timer, [](uv_timer_t *t) { static_cast<Shot *>(t->data)->fired = uv_hrtime() / 1000; },
                       static_cast<uint64_t>(i + 1), 0);
    }
    uv_run(&loop, UV_RUN_DEFAULT);
    std::vector<double> late;
    for (const Shot &s : shots) late.push_back(static_cast<double>(s.fired) - static_cast<double>(s.due));
    for (Shot &s : shots) uv_close(reinterpret_cast<uv_handle_t *>(&s.timer), nullptr);
    uv_run(&loop, UV_RUN_DEFAULT);
    uv_loop_close(&loop);
    return late;
}
#endif

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

void print_rates(const char *who, const std::vector<Rates> &rounds) {
    std::vector<double> s, c;
    for (const Rates &r : rounds) s.push_back(r.start / 1e6), c.push_back(r.cancel / 1e6);
    Spread a = spread_of(s), b = spread_of(c);
    printf("%-28s start %6.2f (%5.2f-%5.2f)   cancel %6.2f (%5.2f-%5.2f) M/s\n", who, a.median, a.low, a.high,
           b.median, b.low, b.high);
}

void print_lateness(const char *who, const std::vector<double> &late) {
    printf("%-28s lateness p50 %7.1f us, p99 %7.1f us, max %7.1f us\n", who, percentile(late, 0.5),
           percentile(late, 0.99), *std::max_element(late.begin(), late.end()));
}

}  // namespace

int main(int argc, char **argv) {
    long n = argc > 1 ? atol(argv[1]) : 1000000;
    int rounds = argc > 2 ? atoi(argv[2]) : 5;
    if (os_startup(0, 0) != 1) return 1;
    printf("%d rounds of %ld timers started, then cancelled, on the loop's thread; median (range)\n", rounds, n);
    std::vector<Rates> keel, uv;
    keel_start_cancel(n);  // a first round grows the allocator's arenas and the heap's array
#ifdef KEEL_BENCH_HAVE_UV
    uv_start_cancel(n);
#endif
    for (int r = 0; r < rounds; ++r) {
        keel.push_back(keel_start_cancel(n));
#ifdef KEEL_BENCH_HAVE_UV
        uv.push_back(uv_start_cancel(n));
#endif
    }
    print_rates("keel os_timer_create_once", keel);
#ifdef KEEL_BENCH_HAVE_UV
    print_rates("libuv uv_timer_start", uv);
    std::vector<double> s, c;
    for (int r = 0; r < rounds; ++r) s.push_back(keel[r].start / uv[r].start), c.push_back(keel[r].cancel / uv[r].cancel);
    Spread a = spread_of(s), b = spread_of(c);
    printf("%-28s start %6.2fx (%4.2f-%4.2f)   cancel %6.2fx (%4.2f-%4.2f)\n", "keel / libuv, per round", a.median,
           a.low, a.high, b.median, b.low, b.high);
#endif
    printf("1000 one-shot timers due 1 ms apart, how late each fired:\n");
    print_lateness("keel", keel_lateness(1000));
#ifdef KEEL_BENCH_HAVE_UV
    print_lateness("libuv", uv_lateness(1000));
#endif
    return 0;
}
