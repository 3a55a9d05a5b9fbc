// A serial port under load on a pseudo-terminal: 1 MiB from the device to the
// client, then 1 MiB from the client to the device, while the device hangs up
// at a random moment. Everything that arrived before the hang-up is whole and
// in order, the hang-up is noticed without a busy loop, and close returns at
// once and leaves no descriptor behind. Repeated with the hang-up at several
// moments.
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>

#include "keel/log.h"
#include "stress.h"
#include "tests/net_support.h"
#include "tests/serial_support.h"

using namespace keel_test;

namespace {

constexpr size_t kMiB = 1 << 20;

// One run, hanging up after `hang_at` bytes of the 2 MiB. 0 when everything held.
int one_run(size_t hang_at, const std::string &out, const std::string &in) {
    Device dev(9);
    if (dev.master < 0) return fail("no pseudo-terminal");
    int fds_before = fd_count(), master = dev.master;
    Port port(9);
    if (os_comm_client_open(port.client) != 1) return fail("the port did not open");
    close(dev.slave);  // the device end is the master alone now
    dev.slave = -1;

    // Device to client, in pieces the 2,048-byte buffer takes whole; the
    // hang-up may come in the middle.
    size_t sent = 0;
    bool hung = false;
    while (sent < out.size() && !hung) {
        size_t piece = std::min<size_t>(1024, out.size() - sent);
        if (sent + piece > hang_at) piece = hang_at - sent;
        if (piece > 0 && write(master, out.data() + sent, piece) != static_cast<ssize_t>(piece))
            return fail("the device could not write");
        sent += piece;
        if (!port.wait_for(sent)) return fail("the client stopped receiving");
        if (sent == hang_at) hung = true;
    }
    // Client to device: queued in items, taken from the master.
    std::string at_device;
    size_t queued = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!hung && at_device.size() < in.size() && std::chrono::steady_clock::now() < end) {
        if (queued < in.size()) {
            size_t item = std::min<size_t>(4096, in.size() - queued);
            if (os_comm_client_send(port.client, in.data() + queued, static_cast<uint32_t>(item)) > 0) queued += item;
        }
        char chunk[65536];
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 10) == 1)
            for (ssize_t n; (n = read(master, chunk, sizeof chunk)) > 0;) at_device.append(chunk, static_cast<size_t>(n));
        if (out.size() + at_device.size() >= hang_at) hung = true;
    }
    if (!hung && at_device.size() < in.size()) return fail("the device stopped receiving");
    if (at_device != in.substr(0, at_device.size())) return fail("bytes at the device out of order or changed");
    std::string got = port.text();
    if (got != out.substr(0, got.size())) return fail("bytes at the client out of order or changed");

    dev.hang_up();  // a USB adapter pulled out
    for (int i = 0; i < 50; ++i) os_comm_client_send(port.client, "after", 5);  // queued or refused, never a crash
    double cpu0 = cpu_ms();
    usleep(300000);
    double spent = cpu_ms() - cpu0;
    auto t0 = std::chrono::steady_clock::now();
    os_comm_client_destroy(port.client);
    port.client = nullptr;
    double closing = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    bool no_leak = wait_until([fds_before] { return fd_count() == fds_before - 2; });  // both pty ends gone
    printf("serial: hang-up after %zu bytes: %zu received, %zu at the device; %.0f ms CPU in 300 ms after it; "
           "close %.1f ms\n",
           hang_at, got.size(), at_device.size(), spent, closing * 1e3);
    if (spent > 100) return fail("the hung-up port keeps a thread busy");
    if (closing > 2) return fail("close waited for the hung-up port");
    if (!no_leak) return fail("descriptors were left over");
    return 0;
}

}  // namespace

int serial_stress(int runs) {
    log_start(0, LOG_LEVEL_FATAL);  // the hang-up is reported once per run
    std::string out(kMiB, '\0'), in(kMiB, '\0');
    std::mt19937 gen(7);
    for (char &c : out) c = static_cast<char>(gen());
    for (char &c : in) c = static_cast<char>(gen());
    for (int run = 0; run < runs; ++run) {
        size_t hang_at = std::uniform_int_distribution<size_t>(1, 2 * kMiB)(gen);
        if (int rc = one_run(hang_at, out, in)) return rc;
    }
    return 0;
}
