// The I/O thread of one open port. It sleeps in poll on the port and on the
// wake-up descriptor, so it costs nothing while the line is quiet: received
// bytes run the read step, a send or room to write runs the write step, and
// close clears the running flag and wakes it to end.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "log/report.h"
#include "serial/serial_internal.h"
#include "sync/sync_internal.h"

namespace {

thread_local const os_comm_client *t_serving = nullptr;

void drain_wakeups(os_comm_client *client) {
    uint64_t count;
    ssize_t n = read(client->wake_fd, &count, sizeof count);
    (void)n;  // EAGAIN: nothing was pending
}

bool device_gone(int err) { return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE; }

enum class Found { reading, writing };

// A device that vanished answers every later call at once, so it is reported
// once and left alone: polling it again would spin.
void lose_port(os_comm_client *client, Found found, int err) {
    if (client->hung_up) return;
    client->hung_up = true;
    client->write_blocked = false;
    if (found == Found::reading)
        KEEL_INFO("ReadFile err %d", err);
    else
        KEEL_INFO("WriteFile err=[%d]", err);
}

}  // namespace

// The loop ends when close clears the running flag, also while bytes keep
// arriving, so close never waits on a busy line. A full buffer with more
// bytes waiting in the port is first offered to the read callback: only what
// the callback leaves unread is dropped, so a callback that keeps up loses
// nothing however fast the device sends.
int comm_read_step(os_comm_client *client) {
    int gone = 0;
    while (comm_running(client) == 1) {
        os_mutex_lock(client->mutex);
        if (client->buff_size >= MAX_READ_BUF_SIZE) {
            int waiting = 1;  // when the count cannot be had, read and see
            if (ioctl(client->com, FIONREAD, &waiting) == 0 && waiting <= 0) {
                os_mutex_unlock(client->mutex);
                break;
            }
            if (client->read_cb != nullptr) {
                os_mutex_unlock(client->mutex);
                client->read_cb(client, client->read_arg);
                os_mutex_lock(client->mutex);
            }
            if (client->buff_size >= MAX_READ_BUF_SIZE) {
                KEEL_INFO("client->buff_size >= MAX_READ_BUF_SIZE");
                client->buff_size = 0;
            }
            if (comm_running(client) != 1) {  // closed by the callback
                os_mutex_unlock(client->mutex);
                break;
            }
        }
        ssize_t n = read(client->com, client->read_buf + client->buff_size,
                         MAX_READ_BUF_SIZE - client->buff_size);
        int err = errno;
        if (n > 0) client->buff_size += static_cast<uint32_t>(n);
        os_mutex_unlock(client->mutex);
        if (n > 0 || (n < 0 && err == EINTR)) continue;
        if (n < 0 && err == EAGAIN) break;
        gone = n == 0 ? EIO : err;  // a terminal that was hung up reads as end of file
        break;
    }
    // A client closed meanwhile (by its callback or another thread) keeps
    // what it gathered for a later read, but is not called again.
    os_mutex_lock(client->mutex);
    bool waiting = client->buff_size > 0;
    os_mutex_unlock(client->mutex);
    if (waiting && client->read_cb != nullptr && comm_running(client) == 1) client->read_cb(client, client->read_arg);
    return gone;
}

int comm_write_step(os_comm_client *client) {
    drain_wakeups(client);
    client->write_blocked = false;
    while (comm_running(client) == 1) {
        adt_dlist_lock(client->lst_send);
        adt_dlist_node_t *node = adt_dlist_head(client->lst_send);
        if (node == nullptr) {
            adt_dlist_unlock(client->lst_send);
            return 0;
        }
        auto *item = *static_cast<comm_send_item **>(adt_dlist_getdata(node));
        if (item == nullptr) {
            adt_dlist_delete(client->lst_send, node);
            adt_dlist_unlock(client->lst_send);
            continue;
        }
        adt_dlist_unlock(client->lst_send);

        os_mutex_lock(client->mutex);
        // Bytes received but not read yet are discarded before each write, so
        // the answer to what is sent is not mixed with what came before. Only
        // the input side: a finished write() leaves its bytes in the kernel's
        // output queue, and flushing that would drop the earlier items.
        tcflush(client->com, TCIFLUSH);
        ssize_t n = write(client->com, item->data, item->count);
        int err = errno;
        os_mutex_unlock(client->mutex);

        if (n < 0) {
            if (err == EINTR) continue;
            if (err == EAGAIN) {  // the rest goes when poll finds room
                client->write_blocked = true;
                return 0;
            }
            if (device_gone(err)) return err;
            // Kept at the head and tried again at the next send: retrying at
            // once would spin on a port that keeps refusing.
            KEEL_INFO("WriteFile err=[%d]", err);
            return 0;
        }
        if (static_cast<uint32_t>(n) < item->count) {
            item->count -= static_cast<uint32_t>(n);
            memmove(item->data, item->data + n, item->count);
            continue;
        }
        adt_dlist_lock(client->lst_send);
        adt_dlist_delete(client->lst_send, node);
        adt_dlist_unlock(client->lst_send);
        free(item);
    }
    return 0;
}

bool comm_on_io_thread(const os_comm_client *client) { return t_serving == client; }

uint32_t comm_io_thread(void *arg) {
    auto *client = static_cast<os_comm_client *>(arg);
    if (client == nullptr) {
        KEEL_INFO("arg == NULL");
        return 0;
    }
    if (client->com == -1) {
        KEEL_INFO("client->com == NULL");
        os_native_condition_set(&client->started, 1);
        return 0;
    }
    t_serving = client;
    keel::sync::block_raised_signals();  // a FIFO named as a port raises SIGPIPE
    tcflush(client->com, TCIOFLUSH);
    os_native_condition_set(&client->started, 1);

    while (comm_running(client) == 1) {
        struct pollfd fds[2] = {
            {client->hung_up ? -1 : client->com,
             static_cast<short>(POLLIN | (client->write_blocked ? POLLOUT : 0)), 0},
            {client->wake_fd, POLLIN, 0},
        };
        if (poll(fds, 2, -1) < 0) {
            if (errno != EINTR) KEEL_INFO("default event");
            continue;
        }
        if (comm_running(client) != 1) break;

        // Received bytes first, as they were there before anything sent now.
        short port = fds[0].revents;
        if (port & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
            int gone = comm_read_step(client);
            if (gone == 0 && (port & (POLLHUP | POLLERR | POLLNVAL))) gone = EIO;
            if (gone != 0) lose_port(client, Found::reading, gone);
        }
        bool woken = fds[1].revents & POLLIN;
        if (client->hung_up) {
            if (woken) drain_wakeups(client);  // sends wait in the queue for close
        } else if (woken || (port & POLLOUT)) {
            int gone = comm_write_step(client);
            if (gone != 0) {
                comm_read_step(client);  // what arrived before the end is still delivered
                lose_port(client, Found::writing, gone);
            }
        }
    }
    KEEL_INFO("has shutdown");
    // Closed or destroyed by its own read callback: nobody can join this
    // thread from there, so it releases the port (and the record) itself. A
    // later close from another thread joins it first and finds nothing left.
    if (int asked = client->closed_from_callback; asked != 0) {
        os_mutex_lock(client->mutex);  // open is over, its writes are seen
        os_mutex_unlock(client->mutex);
        comm_release(client);
        if (asked == 2) {
            t_serving = nullptr;
            os_thread_detach(&client->thread);
            delete client;
        }
    }
    return 0;
}
