// A TCP echo server on Keel's C++ face, with callbacks: every byte a client sends comes back to it.
//
//   keel_cpp_echo_server [port]      (default 7400; listens on 127.0.0.1; Ctrl-C ends it)
//
// Every callback runs on the library's main thread, so the program needs no lock. What the socket does not take at
// once waits in the connection's queue; the connection erases itself from the list when it ends.
#include <cstdio>
#include <cstdlib>
#include <list>

#include <keel.hpp>

int main(int argc, char **argv) {
    keel::runtime runtime;
    auto port = static_cast<uint16_t>(argc > 1 ? atoi(argv[1]) : 7400);
    std::list<keel::tcp_client> connections;
    keel::tcp_server server;
    server.on_accept([&](keel::tcp_client client) {
        auto at = connections.insert(connections.end(), std::move(client));
        at->on_read([](keel::tcp_ref self, std::span<const std::byte> data) { self.write(data); });
        at->on_disconnect([&connections, at] { connections.erase(at); });
    });
    if (auto ec = server.listen("127.0.0.1", port)) {
        fprintf(stderr, "echo: cannot listen on 127.0.0.1:%u: %s\n", port, ec.message().c_str());
        return 1;
    }
    printf("echo: listening on 127.0.0.1:%u\n", port);
    fflush(stdout);
    keel::runtime::stop_on_signals();
    int code = runtime.run();
    keel::main_lock hold;  // no callback runs while the server and the connections go
    server.close(), connections.clear();
    return code;
}
