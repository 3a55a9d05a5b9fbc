// A C++ user of the installed library, through find_package(keel) and keel.hpp: the runtime, a TCP server on the
// loopback address and a client of it, whose connect the accept callback must see, a one-shot timer, and a
// coroutine that connects and sleeps. Built with mingw-w64 against the Windows zip as well.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <keel.hpp>
#include <thread>

using namespace std::chrono_literals;

static int fail(const char *what) {
    fprintf(stderr, "consumer: %s\n", what);
    return 1;
}

static keel::task<std::error_code> connect_and_sleep(uint16_t port) {
    keel::tcp_client client;
    if (auto ec = co_await client.connect("127.0.0.1", port)) co_return ec;
    co_await keel::sleep_for(10ms);
    co_return std::error_code{};
}

int main() {
    log_start(0, LOG_LEVEL_FATAL);  // the end of a connection is reported at the error level
    keel::runtime runtime;
    if (!runtime.ok()) return fail("no runtime");
    std::atomic<int> accepted{0}, fired{0};
    keel::tcp_server server;
    server.on_accept([&](keel::tcp_client) { ++accepted; });
    uint16_t port = 0;
    for (int i = 0; i < 100 && !server.listening(); ++i) {  // the first of a range that is free
        port = static_cast<uint16_t>(20000 + (static_cast<unsigned>(time(nullptr)) + i * 7919u) % 40000);
        (void)server.listen("127.0.0.1", port);
    }
    keel::timer timer = keel::timer::once(1ms, [&] { ++fired; });
    keel::tcp_client client;
    if (client.set_remote("127.0.0.1", port) || client.open()) return fail("no client");
    auto task = connect_and_sleep(port);
    task.start();
    for (int i = 0; i < 500 && (accepted < 2 || fired == 0 || !task.done()); ++i) std::this_thread::sleep_for(10ms);
    if (accepted != 2 || fired != 1 || !task.done()) return fail("a connect, the timer or the coroutine never came");
    if (task.result()) return fail("the coroutine's connect failed");
    puts("consumer (C++): two connections accepted, the timer fired, the coroutine connected and slept");
    return 0;
}
