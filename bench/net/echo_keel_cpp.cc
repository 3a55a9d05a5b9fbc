// The echo server of echo_keel.c written on Keel's C++ face with callbacks (keel.hpp), to measure what the face
// costs. Usage: echo_keel_cpp PORT (on 127.0.0.1). Each connection erases itself from the list when it ends; what
// the socket does not take waits in the connection's queue. With ECHO_KEEL_QUIET set only fatal reports are written.
#include <cstdio>
#include <cstdlib>
#include <list>
#include <unistd.h>

#include "keel.hpp"

int main(int argc, char **argv) {
    if (argc != 2) return fprintf(stderr, "usage: echo_keel_cpp PORT\n"), 2;
    if (getenv("ECHO_KEEL_QUIET") != nullptr) log_start(0, LOG_LEVEL_FATAL);
    keel::runtime runtime;
    std::list<keel::tcp_client> connections;
    keel::tcp_server server;
    server.on_accept([&](keel::tcp_client client) {
        auto at = connections.insert(connections.end(), std::move(client));
        at->on_read([](keel::tcp_ref self, std::span<const std::byte> data) { self.write(data); });
        at->on_disconnect([&connections, at] { connections.erase(at); });
    });
    if (server.listen("127.0.0.1", static_cast<uint16_t>(atoi(argv[1])))) {
        fprintf(stderr, "echo_keel_cpp: cannot listen on port %s\n", argv[1]);
        return 1;
    }
    for (;;) pause();  // the library's main thread does the work
}
