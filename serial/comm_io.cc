// The I/O thread's steps that every platform shares: gathering received
// bytes into the client's buffer and handing them to the read callback
// (whole frames, with a read gap), writing the send queue, the hang-up, and
// the thread's start and end around the platform's loop (comm_serve).
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "log/report.h"
#include "serial/serial_internal.h"

namespace {

thread_local const os_comm_client *t_serving = nullptr;

// The read callback, or on the main thread its hand-over.
void offer_bytes(os_comm_client *client) {
    if (client->relay != nullptr)
        comm_relay_hand_over(client, 0, 0);
    else if (client->read_cb != nullptr)
        client->read_cb(client, client->read_arg);
}

}  // namespace

// A client served on the main thread only hands the event over.
void comm_notify(os_comm_client *client, int event, uint32_t lines) {
    if (client->relay != nullptr)
        comm_relay_hand_over(client, event, lines);
    else if (client->event_cb != nullptr)
        client->event_cb(client, event, lines, client->event_arg);
}

// A device that vanished answers every later call at once, so it is reported
// once and left alone: waiting on it again would spin.
void comm_lose_port(os_comm_client *client, CommFound found, int err) {
    if (client->hung_up) return;
    client->hung_up = true;
    client->write_blocked = false;
    if (found == CommFound::reading)
        KEEL_INFO("ReadFile err %d", err);
    else
        KEEL_INFO("WriteFile err=[%d]", err);
    comm_notify(client, OS_COMM_EVENT_HANGUP, 0);
}

void comm_deliver_frame_if_over(os_comm_client *client) {
    if (!client->frame_pending) return;
    uint32_t gap = client->read_gap_us.load(std::memory_order_relaxed);
    if (comm_now_ns() - client->last_byte_ns < static_cast<int64_t>(gap) * 1000) return;
    client->frame_pending = false;
    os_mutex_lock(client->mutex);
    bool waiting = client->buff_size > 0;
    os_mutex_unlock(client->mutex);
    if (waiting) offer_bytes(client);
}

// The lines are not looked at on a port that hung up, so their deadline no
// longer moves: counted, it would be due at every pass and poll would spin.
const timespec *comm_wait_limit(const os_comm_client *client, int64_t now, timespec *limit) {
    int64_t due = INT64_MAX;
    if (client->frame_pending)
        due = client->last_byte_ns + static_cast<int64_t>(client->read_gap_us.load(std::memory_order_relaxed)) * 1000;
    if (client->counting_lines && !client->hung_up) due = std::min(due, client->next_line_look_ns);
    if (due == INT64_MAX) return nullptr;
    int64_t left = std::max<int64_t>(0, due - now);
    *limit = timespec{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
    return limit;
}

// The loop ends when close clears the running flag, also while bytes keep
// arriving, so close never waits on a busy line. A full buffer is first
// offered to the read callback; only what the callback leaves unread is
// dropped, and only for bytes that really came (read aside first), so a
// callback that keeps up loses nothing however fast the device sends. A read
// that comes back short has emptied the terminal: the step ends there and
// poll says when more comes, which spares an empty read per callback, unless
// the device is going (until_empty), when all it sent is taken now. With a
// read gap set, the callback that ends the step waits for the line's silence
// instead (the thread's loop makes it).
int comm_read_step(os_comm_client *client, bool until_empty) {
    int gone = 0;
    bool got = false;
    unsigned char spill[MAX_READ_BUF_SIZE];
    while (comm_running(client) == 1) {
        os_mutex_lock(client->mutex);
        bool full = client->buff_size >= MAX_READ_BUF_SIZE;
        if (full && client->relay != nullptr) {
            // The main thread reads when it gets to it: until then the port
            // is left unread, and the system's buffer holds what comes.
            client->room_wanted = true;
            os_mutex_unlock(client->mutex);
            comm_relay_hand_over(client, 0, 0);
            break;
        }
        if (full && client->read_cb != nullptr) {
            os_mutex_unlock(client->mutex);
            client->read_cb(client, client->read_arg);
            if (comm_running(client) != 1) break;  // closed by the callback
            os_mutex_lock(client->mutex);
            full = client->buff_size >= MAX_READ_BUF_SIZE;
        }
        unsigned char *into = full ? spill : client->read_buf + client->buff_size;
        size_t room = full ? sizeof spill : MAX_READ_BUF_SIZE - client->buff_size;
        int err = 0;
        int n = comm_port_take(client, into, room, &err);
        if (n > 0 && full) {
            KEEL_INFO("client->buff_size >= MAX_READ_BUF_SIZE");
            memcpy(client->read_buf, spill, static_cast<size_t>(n));
            client->buff_size = static_cast<uint32_t>(n);
        } else if (n > 0) {
            client->buff_size += static_cast<uint32_t>(n);
        }
        os_mutex_unlock(client->mutex);
        got = got || n > 0;
        if (n > 0 && (static_cast<size_t>(n) == room || until_empty)) continue;
        if (n >= 0) break;  // the port holds no more for now
        gone = err;
        break;
    }
    // A client closed meanwhile (by its callback or another thread) keeps
    // what it gathered for a later read, but is not called again.
    if (got && client->read_gap_us.load(std::memory_order_relaxed) > 0 && gone == 0) {
        client->last_byte_ns = comm_now_ns();
        client->frame_pending = true;
        return 0;
    }
    client->frame_pending = false;
    os_mutex_lock(client->mutex);
    bool waiting = client->buff_size > 0;
    os_mutex_unlock(client->mutex);
    if (waiting && comm_running(client) == 1) offer_bytes(client);
    return gone;
}

// A queue that this step emptied is announced as drained.
int comm_write_step(os_comm_client *client) {
    comm_drain_wakeups(client);
    client->write_blocked = false;
    bool wrote = false;
    while (comm_running(client) == 1) {
        adt_dlist_lock(client->lst_send);
        adt_dlist_node_t *node = adt_dlist_head(client->lst_send);
        if (node == nullptr) {
            adt_dlist_unlock(client->lst_send);
            if (wrote) comm_notify(client, OS_COMM_EVENT_DRAINED, 0);
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
        // Bytes received but not read yet are discarded before each item, so
        // the answer to what is sent is not mixed with what came before: both
        // those the device holds and those already gathered here. Not again
        // between the parts of one item (or while its write is under way), as
        // what comes then may be the answer to its first part. A port that
        // carries a stream both ways at once (a client of a path, by default)
        // keeps them.
        if (item->sent == 0 && !comm_port_write_pending(client) &&
            client->flush_before_write.load(std::memory_order_relaxed)) {
            comm_port_flush_input(client);
            client->buff_size = 0;
            client->room_wanted = false;
            client->frame_pending = false;
        }
        int err = 0;
        int n = comm_port_put(client, item->data + item->sent, item->count - item->sent, &err);
        os_mutex_unlock(client->mutex);

        if (n == 0) {  // the rest goes when the port takes more
            client->write_blocked = true;
            return 0;
        }
        if (n < 0) {
            if (comm_port_gone(err)) return err;
            // Kept at the head and tried again at the next send: retrying at
            // once would spin on a port that keeps refusing.
            KEEL_INFO("WriteFile err=[%d]", err);
            return 0;
        }
        if (static_cast<uint32_t>(n) < item->count - item->sent) {
            item->sent += static_cast<uint32_t>(n);
            continue;
        }
        adt_dlist_lock(client->lst_send);
        adt_dlist_delete(client->lst_send, node);
        adt_dlist_unlock(client->lst_send);
        free(item);
        wrote = true;
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
    comm_thread_begin(client);
    os_native_condition_set(&client->started, 1);
    comm_serve(client);
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
            comm_free(client);
        }
    }
    return 0;
}
