// The echo server of echo_keel.c written on Keel's C++ face with a coroutine per connection (keel.hpp), to measure
// what the face and its coroutines cost. Usage: echo_keel_cpp_co PORT (on 127.0.0.1). With ECHO_KEEL_QUIET set only
// fatal reports are written.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "keel.hpp"

static keel::task<> echo(keel::tcp_client client) {
    std::array<std::byte, 65536> buffer;  // the size echo_keel.c reads with
    for (;;) {
        auto [ec, n] = co_await client.read_some(buffer);
        if (ec || (co_await client.write_all(std::span(buffer.data(), n))).ec) co_return;
    }
}

int main(int argc, char **argv) {
    if (argc != 2) return fprintf(stderr, "usage: echo_keel_cpp_co PORT\n"), 2;
    if (getenv("ECHO_KEEL_QUIET") != nullptr) log_start(0, LOG_LEVEL_FATAL);
    keel::runtime runtime;
    keel::tcp_server server;
    server.on_accept([](keel::tcp_client client) { keel::spawn(echo(std::move(client))); });
    if (server.listen("127.0.0.1", static_cast<uint16_t>(atoi(argv[1])))) {
        fprintf(stderr, "echo_keel_cpp_co: cannot listen on port %s\n", argv[1]);
        return 1;
    }
    for (;;) pause();  // the library's main thread does the work
}
