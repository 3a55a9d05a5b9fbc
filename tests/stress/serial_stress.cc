// A serial port under load on a pseudo-terminal: 1 MiB from the device to the
// client at full speed, then 1 MiB back, while the device hangs up at a
// random moment. Every byte arrives in order, or, when the hang-up fell in
// that phase, a prefix of them (the system discards what a pseudo-terminal
// held unread at its hang-up). Repeated with the hang-up at several moments.

#include "serial/serial_internal.h"
#include "stress.h"

namespace {

constexpr size_t kMiB = 1 << 20;

// The shared client's callback, its copy spared from failed allocations; slow
// as one that parses, so that more than the library's read buffer waits.
int spared_read(os_comm_client_t *client, void *arg) {
    fault::Spare spare(fault::kMemory);
    Port::on_read(client, arg);
    usleep(200);
    return 0;
}

// Under injected faults the library may give the port up as at a hang-up;
// without, the flag, the I/O thread's own, is not read at all.
bool given_up(os_comm_client_t *client) { return fault::armed() && std::atomic_ref<bool>(client->hung_up).load(); }

// One run, hanging up after `hang_at` bytes of the 2 MiB.
bool one_run(size_t hang_at, const std::string &out, const std::string &in) {
    int fds = fd_count();
    Device dev(9);
    Port port(9);
    os_comm_client_bind_read(port.client, spared_read, &port);
    if (!check(dev.master >= 0 && os_comm_client_open(port.client) == 1, "the port did not open")) return false;
    close(std::exchange(dev.slave, -1));  // the device end is the master alone now

    // Device to client at full speed, in pieces of three sizes in turn; the
    // hang-up may come in the middle.
    static const size_t kPieces[] = {64, 1024, 65536};
    size_t sent = std::min(hang_at, out.size());
    bool hung = hang_at <= out.size(), wrote = true;
    for (size_t done = 0, k = 0; wrote && done < sent;) {
        ssize_t n = write(dev.master, &out[done], std::min(kPieces[k++ % 3], sent - done));
        done += n > 0 ? static_cast<size_t>(n) : 0;
        pollfd room{dev.master, POLLOUT, 0};  // waited for alone: never the client, nor a port given up
        wrote = (n > 0 || errno == EAGAIN) &&
                wait_until([&] { return poll(&room, 1, 0) == 1 || given_up(port.client); }, 10s) &&
                !given_up(port.client);
    }
    if (hung) dev.hang_up();
    wait_until([&] { return hung || port.text().size() >= sent || given_up(port.client); }, 60s, 10ms);
    std::string got = port.text();
    bool lost = given_up(port.client);
    size_t same = std::mismatch(got.begin(), got.end(), out.begin(), out.end()).first - got.begin();
    bool held = check(wrote || lost, "the device could not write") &
                check((hung || lost ? got.size() <= sent : got.size() == sent) && same == got.size(),
                      "bytes at the client lost, out of order or changed");

    // Client to device: queued in items, taken from the master.
    std::string at_device;
    size_t queued = 0;
    for (auto end = Clock::now() + 60s; !hung && !lost && at_device.size() < in.size() && Clock::now() < end;) {
        if (queued < in.size()) {
            size_t item = std::min<size_t>(4096, in.size() - queued);
            fault::Spare load(fault::kNone);  // the send is the load
            if (os_comm_client_send(port.client, in.data() + queued, static_cast<uint32_t>(item)) > 0) queued += item;
        }
        if (pollfd p{dev.master, POLLIN, 0}; poll(&p, 1, 10) == 1)  // waits 10 ms at most, then takes what came
            at_device += read_exact(dev.master, in.size() - at_device.size(), 0);
        hung = out.size() + at_device.size() >= hang_at;
        lost = given_up(port.client);
    }
    printf("serial: hang-up after %zu bytes%s: %zu of %zu received, the first %zu as written; %zu at the device\n",
           hang_at, lost ? " (the port given up)" : "", got.size(), sent, same, at_device.size());
    dev.hang_up();                                                              // a USB adapter pulled out
    for (int i = 0; i < 50; ++i) os_comm_client_send(port.client, "after", 5);  // queued or refused, never a crash
    return held & check(hung || lost || at_device.size() == in.size(), "the device stopped receiving") &
           check(at_device == in.substr(0, at_device.size()), "bytes at the device out of order or changed") &
           settle("serial", fds, [&] { os_comm_client_destroy(std::exchange(port.client, nullptr)); });
}

}  // namespace

bool serial_stress(double runs, double) {
    // Both streams, then the moments of the hang-ups, from one generator.
    std::string both = pattern(2 * kMiB, 7);
    std::mt19937 gen(7);
    gen.discard(2 * kMiB);
    for (int run = 0; run < runs; ++run)
        if (!one_run(std::uniform_int_distribution<size_t>(1, 2 * kMiB)(gen), both.substr(0, kMiB), both.substr(kMiB)))
            return false;
    return true;
}
