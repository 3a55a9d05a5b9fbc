// The I/O thread's loop on a terminal. It sleeps in poll on the port and on
// the wake-up descriptor, so it costs nothing while the line is quiet:
// received bytes run the read step, a send or room to write runs the write
// step, and close clears the running flag and wakes it to end. Its waits are
// timed only for what has a deadline: the silence that ends a frame, and the
// next look at the modem input lines.
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

#include "log/report.h"
#include "serial/serial_internal.h"
#include "sync/sync_internal.h"

namespace {

// Changes of the modem input lines are looked for this often.
constexpr int64_t kLineLookNs = 20'000'000;

// Drivers that count the changes of each modem input line (TIOCGICOUNT) let
// a look tell a change from none, also one that came and went between looks.
bool read_line_counts(int fd, int32_t counts[4]) {
    serial_icounter_struct c{};
    if (ioctl(fd, TIOCGICOUNT, &c) != 0) return false;
    counts[0] = c.cts, counts[1] = c.dsr, counts[2] = c.rng, counts[3] = c.dcd;
    return true;
}

void look_at_lines(os_comm_client *client) {
    client->next_line_look_ns = comm_now_ns() + kLineLookNs;
    int32_t counts[4];
    if (!read_line_counts(client->com, counts)) return;
    if (std::equal(counts, counts + 4, client->line_counts)) return;
    std::copy(counts, counts + 4, client->line_counts);
    int bits = 0;
    if (ioctl(client->com, TIOCMGET, &bits) != 0) return;
    comm_notify(client, OS_COMM_EVENT_LINES, comm_lines_of(bits));
}

}  // namespace

void comm_thread_begin(os_comm_client *client) {
    keel::sync::block_raised_signals();  // a FIFO named as a port raises SIGPIPE
    // Timed waits end within a microsecond of their deadline (the default
    // slack is 50), so a frame's silence is measured to the microsecond.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    tcflush(client->com, TCIOFLUSH);
    client->frame_pending = false;
    client->counting_lines = client->event_cb != nullptr && read_line_counts(client->com, client->line_counts);
    client->next_line_look_ns = comm_now_ns() + kLineLookNs;
}

void comm_serve(os_comm_client *client) {
    while (comm_running(client) == 1) {
        // A full buffer that waits for the main thread leaves received bytes
        // in the port; a read that makes room wakes this thread.
        auto want = static_cast<short>((client->room_wanted ? 0 : POLLIN) | (client->write_blocked ? POLLOUT : 0));
        struct pollfd fds[2] = {
            {client->hung_up || want == 0 ? -1 : client->com, want, 0},
            {client->wake_fd, POLLIN, 0},
        };
        timespec limit;
        if (ppoll(fds, 2, comm_wait_limit(client, comm_now_ns(), &limit), nullptr) < 0) {
            if (errno != EINTR) KEEL_INFO("default event");
            continue;
        }
        if (comm_running(client) != 1) break;

        // Received bytes first, as they were there before anything sent now.
        short port = fds[0].revents;
        if (port & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
            int gone = comm_read_step(client, (port & (POLLHUP | POLLERR | POLLNVAL)) != 0);
            if (gone == 0 && (port & (POLLHUP | POLLERR | POLLNVAL))) gone = EIO;
            if (gone != 0) comm_lose_port(client, CommFound::reading, gone);
        }
        if (comm_running(client) == 1 && !client->hung_up) comm_deliver_frame_if_over(client);
        bool woken = fds[1].revents & POLLIN;
        if (comm_running(client) != 1) break;
        if (client->hung_up) {
            if (woken) comm_drain_wakeups(client);  // sends wait in the queue for close
        } else if (woken || (port & POLLOUT)) {
            int gone = comm_write_step(client);
            if (gone != 0) {
                comm_read_step(client, true);  // what arrived before the end is still delivered
                comm_lose_port(client, CommFound::writing, gone);
            }
        }
        if (comm_running(client) == 1 && client->counting_lines && !client->hung_up &&
            comm_now_ns() >= client->next_line_look_ns)
            look_at_lines(client);
    }
}
