// Posted-function throughput and round-trip latency of the runtime, next to
// the usual event-loop pattern (a mutex-guarded queue plus an async wake-up
// of a libuv loop) when libuv is available; and the CPU the idle runtime uses.
//
//   post_throughput [posts] [rounds]
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "spread.h"
#include "keel/os_runtime.h"

#ifdef KEEL_BENCH_HAVE_UV
#include <uv.h>
#endif

using Clock = std::chrono::steady_clock;

namespace {

std::atomic<long> g_done{0};
void bump(void *) { g_done.fetch_add(1, std::memory_order_relaxed); }

std::atomic<Clock::rep> g_ran_at{0};
void stamp(void *) { g_ran_at.store(Clock::now().time_since_epoch().count(), std::memory_order_release); }

// Posts `each` items from `threads` threads and returns posts per second until
// all have run.
double throughput(const std::function<void(void (*)(void *), void *)> &post, int threads, long each) {
    g_done = 0;
    auto t0 = Clock::now();
    std::vector<std::thread> posters;
    for (int t = 0; t < threads; ++t)
        posters.emplace_back([&] {
            for (long i = 0; i < each; ++i) post(bump, nullptr);
        });
    for (auto &p : posters) p.join();
    while (g_done.load(std::memory_order_relaxed) < threads * each) std::this_thread::yield();
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    return static_cast<double>(threads * each) / secs;
}

// One post at a time: from the post until the poster sees that it ran.
void latency(const std::function<void(void (*)(void *), void *)> &post, double *p50, double *p99) {
    std::vector<double> us;
    for (int i = 0; i < 20000; ++i) {
        g_ran_at = 0;
        auto t0 = Clock::now();
        post(stamp, nullptr);
        while (g_ran_at.load(std::memory_order_acquire) == 0) {
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::sort(us.begin(), us.end());
    *p50 = us[us.size() / 2];
    *p99 = us[us.size() * 99 / 100];
}

double cpu_ms() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

#ifdef KEEL_BENCH_HAVE_UV
// The usual pattern on a libuv loop: a guarded queue drained by an async handle.
struct UvPoster {
    uv_loop_t loop;
    uv_async_t async;
    std::mutex lock;
    std::vector<std::pair<void (*)(void *), void *>> queue;
    std::thread thread;

    UvPoster() {
        uv_loop_init(&loop);
        async.data = this;
        uv_async_init(&loop, &async, [](uv_async_t *h) {
            auto *self = static_cast<UvPoster *>(h->data);
            std::vector<std::pair<void (*)(void *), void *>> batch;
            {
                std::lock_guard<std::mutex> g(self->lock);
                batch.swap(self->queue);
            }
            for (auto &[f, a] : batch) f(a);
        });
        thread = std::thread([this] { uv_run(&loop, UV_RUN_DEFAULT); });
    }
    void post(void (*f)(void *), void *a) {
        {
            std::lock_guard<std::mutex> g(lock);
            queue.emplace_back(f, a);
        }
        uv_async_send(&async);
    }
};
#endif

void print_row(const char *name, const Spread &one, const Spread &four) {
    printf("%-28s %12.1f %s%5.1f-%5.1f%s %12.1f %s%5.1f-%5.1f%s\n", name, one.median / 1e6, "(", one.low / 1e6,
           one.high / 1e6, ")", four.median / 1e6, "(", four.low / 1e6, four.high / 1e6, ")");
}

}  // namespace

int main(int argc, char **argv) {
    long each = argc > 1 ? atol(argv[1]) : 4000000;
    int rounds = argc > 2 ? atoi(argv[2]) : 7;
    if (each < 4 || rounds < 1) {
        fprintf(stderr, "usage: post_throughput [posts >= 4] [rounds >= 1]\n");
        return 2;
    }
    if (os_startup(0, 0) != 1) return 1;

    double idle0 = cpu_ms();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    double idle = cpu_ms() - idle0;

    auto keel_post = [](void (*f)(void *), void *a) { os_post_func(f, a); };
#ifdef KEEL_BENCH_HAVE_UV
    auto *uv = new UvPoster;  // the loop runs until the process ends
    auto uv_post = [uv](void (*f)(void *), void *a) { uv->post(f, a); };
#endif
    // The two sides take turns within each round, so that a neighbour's load
    // on the shared machine falls on both alike; each round's ratio is taken
    // from figures measured seconds apart.
    std::vector<double> k1, k4, u1, u4, r1, r4;
    for (int r = 0; r < rounds; ++r) {
        k1.push_back(throughput(keel_post, 1, each));
        k4.push_back(throughput(keel_post, 4, each / 4));
#ifdef KEEL_BENCH_HAVE_UV
        u1.push_back(throughput(uv_post, 1, each));
        u4.push_back(throughput(uv_post, 4, each / 4));
        r1.push_back(k1.back() / u1.back());
        r4.push_back(k4.back() / u4.back());
#endif
    }
    printf("%d rounds of %ld posts; median (range), million posts/s\n", rounds, each);
    printf("%-28s %26s %26s\n", "", "1 thread", "4 threads");
    print_row("keel os_post_func", spread_of(k1), spread_of(k4));
    double p50, p99;
    latency(keel_post, &p50, &p99);
#ifdef KEEL_BENCH_HAVE_UV
    print_row("libuv queue + uv_async_send", spread_of(u1), spread_of(u4));
    Spread s1 = spread_of(r1), s4 = spread_of(r4);
    printf("%-28s %12.2f (%4.2f-%4.2f)x      %12.2f (%4.2f-%4.2f)x\n", "keel / libuv, per round", s1.median, s1.low,
           s1.high, s4.median, s4.low, s4.high);
    printf("round trip, one post at a time: keel p50 %.1f us, p99 %.1f us;", p50, p99);
    latency(uv_post, &p50, &p99);
    printf(" libuv p50 %.1f us, p99 %.1f us\n", p50, p99);
#else
    printf("(libuv not found: comparison skipped)\n");
    printf("round trip, one post at a time: keel p50 %.1f us, p99 %.1f us\n", p50, p99);
#endif
    printf("idle runtime: %.1f ms CPU over 3 s\n", idle);
    return 0;
}
