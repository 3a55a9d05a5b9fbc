// A C++ user of the installed library, built through find_package(keel): the
// same steps as consumer.c, and a connection to its own server, which the
// accept callback must see.
#include <arpa/inet.h>
#include <keel.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>

namespace {

os_native_condition_t ran;
std::atomic<int> accepted{0};

// Waits up to five seconds for a flag the main thread sets.
bool wait_for(const std::atomic<int> &flag) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (flag.load() == 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        os_sleep(10);
    }
    return true;
}

// A port nothing listens on: the system picks one for a socket bound to
// port 0, and the server takes it once the probe is closed.
uint16_t free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof address;
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &len) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

}  // namespace

int main() {
    log_start(0, LOG_LEVEL_FATAL);  // the end of a connection is reported at the error level
    if (!os_startup(0, 0) || os_native_condition_init(&ran) != 0) return 1;
    if (!os_post_func([](void *) { os_native_condition_set(&ran, 1); }, nullptr)) return 1;
    if (os_native_condition_wait(&ran, 5000) != 0) {
        std::fprintf(stderr, "consumer (C++): the posted function did not run within 5 s\n");
        return 1;
    }

    uint16_t port = free_port();
    if (port == 0) return 1;
    os_tcp_server_t *server = os_tcp_server_create();
    os_tcp_server_set_local(server, "127.0.0.1", port);
    os_tcp_server_bind_accept(server, [](os_tcp_server_t *, os_tcp_client_t *, void *) { accepted = 1; }, nullptr);
    if (!os_tcp_server_open(server)) {
        std::fprintf(stderr, "consumer (C++): no server on 127.0.0.1:%u\n", port);
        return 1;
    }

    os_tcp_client_t *client = os_tcp_client_create();
    os_tcp_client_set_remote(client, "127.0.0.1", port);
    if (!os_tcp_client_open(client, -1)) return 1;
    // Without the accept marker file the server accepts on the one-second tick.
    bool ok = wait_for(accepted);
    os_tcp_client_destroy(client);
    os_tcp_server_destroy(server);
    os_native_condition_uninit(&ran);
    if (!ok) {
        std::fprintf(stderr, "consumer (C++): no connection accepted within 5 s\n");
        return 1;
    }
    std::printf("consumer (C++): posted function ran, TCP server on 127.0.0.1:%u accepted a connection\n", port);
    return 0;
}
