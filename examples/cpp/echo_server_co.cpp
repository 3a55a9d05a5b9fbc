// A TCP echo server on Keel's C++ face, with coroutines: each connection is one loop that reads and writes back.
//
//   keel_cpp_echo_server_co [port]   (default 7400; listens on 127.0.0.1; Ctrl-C ends it)
//
// The coroutines resume on the library's main thread, so the program needs no lock. A connection's coroutine owns
// it: when the peer ends, the loop ends, and the connection with it.
#include <array>
#include <cstdio>
#include <cstdlib>

#include <keel.hpp>

keel::task<> echo(keel::tcp_client client) {
    std::array<std::byte, 16384> buffer;
    for (;;) {
        auto [ec, n] = co_await client.read_some(buffer);
        if (ec) co_return;  // the peer ended, or the connection failed
        if ((co_await client.write_all(std::span(buffer.data(), n))).ec) co_return;
    }
}

int main(int argc, char **argv) {
    keel::runtime runtime;
    auto port = static_cast<uint16_t>(argc > 1 ? atoi(argv[1]) : 7400);
    keel::tcp_server server;
    server.on_accept([](keel::tcp_client client) { keel::spawn(echo(std::move(client))); });
    if (auto ec = server.listen("127.0.0.1", port)) {
        fprintf(stderr, "echo: cannot listen on 127.0.0.1:%u: %s\n", port, ec.message().c_str());
        return 1;
    }
    printf("echo: listening on 127.0.0.1:%u\n", port);
    fflush(stdout);
    keel::runtime::stop_on_signals();
    return runtime.run();
}
