// A serial port under load on a pseudo-terminal: 1 MiB from the device to the
// client, then 1 MiB from the client to the device, while the device hangs up
// at a random moment. The device writes at full speed, in pieces of 64 B,
// 1 KiB and 64 KiB, without waiting for the client, whose read callback takes
// every byte: unless the hang-up fell in that phase, every byte arrives, in
// order; when it did, what arrived is a prefix of what was written (the
// system discards what a pseudo-terminal held unread at its hang-up). The
// hang-up is noticed without a busy loop, and close returns at once and
// leaves no descriptor behind. Repeated with the hang-up at several moments.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>

#include "fault.h"
#include "keel/log.h"
#include "serial/serial_internal.h"
#include "stress.h"
#include "tests/net_support.h"
#include "tests/serial_support.h"

using namespace keel_test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kMiB = 1 << 20;

// The shared client's callback, with the copy into `got` spared from
// injected allocation failures, which are meant for the library. It takes a
// while, as one that parses what it reads does, so that the device gets
// ahead of it and more than the library's read buffer waits at times.
int spared_read(os_comm_client_t *client, void *arg) {
    fault::Spare spare(fault::kMemory);
    Port::on_read(client, arg);
    usleep(200);
    return 0;
}

size_t received(Port &port) {
    std::lock_guard<std::mutex> g(port.lock);
    return port.got.size();
}

// Under injected faults the library may give the port up as it does at a
// hang-up, after reporting the failed call once; the port then rightly
// delivers nothing more. Without faults a port is never given up before the
// hang-up, and the flag, the I/O thread's own, is not read at all.
bool given_up(os_comm_client_t *client) {
    return fault::armed() && std::atomic_ref<bool>(client->hung_up).load();
}

// Writes `data` to the device as fast as the pseudo-terminal takes it, in
// pieces of the three sizes in turn; waits only for room, never for the
// client. False when the device stayed full for 10 s, or once the library
// gave the port up (nothing takes the bytes then).
bool write_at_full_speed(int master, const char *data, size_t size, os_comm_client_t *client) {
    static const size_t kPieces[] = {64, 1024, 65536};
    size_t done = 0;
    for (int k = 0; done < size; ++k) {
        size_t end = std::min(size, done + kPieces[k % 3]);
        while (done < end) {
            ssize_t n = write(master, data + done, end - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            pollfd p{master, POLLOUT, 0};
            for (int waited = 0; poll(&p, 1, 100) == 0; waited += 100)
                if (waited >= 10000 || given_up(client)) return false;
        }
    }
    return true;
}

// One run, hanging up after `hang_at` bytes of the 2 MiB. 0 when everything held.
int one_run(size_t hang_at, const std::string &out, const std::string &in) {
    Device dev(9);
    if (dev.master < 0) return fail("no pseudo-terminal");
    int fds_before = fd_count(), master = dev.master;
    Port port(9);
    os_comm_client_bind_read(port.client, spared_read, &port);
    if (os_comm_client_open(port.client) != 1) return fail("the port did not open");
    close(dev.slave);  // the device end is the master alone now
    dev.slave = -1;

    // Device to client; the hang-up may come in the middle.
    bool hung = hang_at <= out.size();
    size_t sent = std::min(hang_at, out.size());
    if (!write_at_full_speed(master, out.data(), sent, port.client) && !given_up(port.client))
        return fail("the device could not write");
    if (hung) {
        dev.hang_up();  // at once: what the client has not read yet is gone
    } else {
        // Until every byte is in, or nothing came for 2 s.
        size_t last = 0;
        for (auto quiet = Clock::now(); received(port) < sent && Clock::now() - quiet < std::chrono::seconds(2);) {
            usleep(10000);
            if (size_t now = received(port); now != last) last = now, quiet = Clock::now();
        }
    }
    std::string got = port.text();
    bool lost = given_up(port.client);
    printf("serial: %zu of %zu bytes received%s\n", got.size(), sent,
           lost ? " before the port was given up" : hung ? " before the hang-up" : "");
    if (!hung && !lost && got.size() != sent) return fail("bytes at the client lost");
    if (size_t at = std::mismatch(got.begin(), got.end(), out.begin()).first - got.begin(); at != got.size()) {
        printf("serial: byte %zu received differs from byte %zu written\n", at, at);
        return fail("bytes at the client lost, out of order or changed");
    }

    // Client to device: queued in items, taken from the master.
    std::string at_device;
    size_t queued = 0;
    auto end = Clock::now() + std::chrono::seconds(60);
    while (!hung && !lost && at_device.size() < in.size() && Clock::now() < end) {
        if (queued < in.size()) {
            size_t item = std::min<size_t>(4096, in.size() - queued);
            fault::Expose load;
            if (os_comm_client_send(port.client, in.data() + queued, static_cast<uint32_t>(item)) > 0) queued += item;
        }
        char chunk[65536];
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 10) == 1)
            for (ssize_t n; (n = read(master, chunk, sizeof chunk)) > 0;) at_device.append(chunk, static_cast<size_t>(n));
        if (out.size() + at_device.size() >= hang_at) hung = true;
        lost = given_up(port.client);
    }
    if (!hung && !lost && at_device.size() < in.size()) return fail("the device stopped receiving");
    if (at_device != in.substr(0, at_device.size())) return fail("bytes at the device out of order or changed");

    if (dev.master >= 0) dev.hang_up();  // a USB adapter pulled out
    for (int i = 0; i < 50; ++i) os_comm_client_send(port.client, "after", 5);  // queued or refused, never a crash
    double spent = idle_cpu_ms(300);
    auto t0 = Clock::now();
    os_comm_client_destroy(port.client);
    port.client = nullptr;
    double closing = std::chrono::duration<double>(Clock::now() - t0).count();
    bool no_leak = wait_until([fds_before] { return fd_count() == fds_before - 2; });  // both pty ends gone
    printf("serial: hang-up after %zu bytes: %zu at the device; %.0f ms CPU in 300 ms after it; close %.1f ms\n",
           hang_at, at_device.size(), spent, closing * 1e3);
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
