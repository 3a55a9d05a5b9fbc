// Serial ports played by pseudo-terminals, shared by the tests and the stress
// program: the device end of a pty pair whose slave the library opens as
// COM<n>, and a client that gathers what it reads.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>

#include "keel/os_comm.h"
#include "net_support.h"

namespace keel_test {

// The device end of a pty pair; the slave is published as KEEL_COM<port>.
// master is -1 when no pair could be made.
struct Device {
    int master = -1, slave = -1;
    std::string path;
    explicit Device(int port) {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0 || fcntl(master, F_SETFL, O_NONBLOCK) != 0) return;
        setenv(("KEEL_COM" + std::to_string(port)).c_str(), (path = name).c_str(), 1);
    }
    ~Device() { hang_up(), close(slave); }
    void hang_up() { close(master), master = -1; }
    void write_all(const std::string &data) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        pollfd p{master, POLLOUT, 0};
        for (size_t done = 0; done < data.size() && std::chrono::steady_clock::now() < end; poll(&p, 1, 100))
            if (ssize_t n = write(master, data.data() + done, data.size() - done); n > 0) done += static_cast<size_t>(n);
    }
};

// A client whose read callback takes every byte into `got`.
struct Port {
    os_comm_client_t *client;
    std::mutex lock;
    std::condition_variable grew;
    std::string got;
    explicit Port(int port, int baud = 115200, int bits = 8, char parity = 'N', int stop = 1)
        : client(os_comm_client_create(port, baud, bits, parity, stop)) {
        os_comm_client_bind_read(client, on_read, this);
    }
    ~Port() { os_comm_client_destroy(client); }
    static int on_read(os_comm_client_t *client, void *arg) {
        auto *self = static_cast<Port *>(arg);
        char chunk[700];
        std::lock_guard<std::mutex> g(self->lock);
        for (int n; (n = os_comm_client_read(client, chunk, sizeof chunk)) > 0;) self->got.append(chunk, n);
        self->grew.notify_all();
        return 0;
    }
    bool wait_for(size_t size) {
        std::unique_lock<std::mutex> g(lock);
        return grew.wait_for(g, std::chrono::seconds(10), [&] { return got.size() >= size; });
    }
    std::string text() { return std::lock_guard<std::mutex>(lock), got; }
};

}  // namespace keel_test
