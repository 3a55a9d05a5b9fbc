// Serial callbacks on the runtime's main thread, for a client that asks for
// them there: its I/O thread only fills the read buffer and hands over, and a
// function posted to the main thread calls the read callback, which takes the
// bytes from that buffer, and the event callback. One posted function serves
// every hand-over made until it runs, so a busy port costs one post per turn
// of the main thread, and nothing is copied on the way.
#include <atomic>
#include <new>

#include "keel/os_runtime.h"
#include "log/report.h"
#include "serial/serial_internal.h"

// One opening's link between its I/O thread and the main thread. It outlives
// the client's record when a delivery is still queued at close, so it is
// counted: one reference for the opening and one for the queued delivery,
// and whoever drops the last frees it. Close clears `client` under the main
// lock, and every delivery runs under that lock, so none calls back after it.
struct comm_relay {
    os_comm_client *client = nullptr;
    std::atomic<int> refs{1};
    std::atomic<bool> queued{false};  // a delivery waits to run: hand-overs join it
};

namespace {

void drop(comm_relay *relay) {
    if (relay->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete relay;
}

// On the main thread, with the main lock held. The bytes first, then the
// events, so that a hang-up comes after what arrived before it. Each callback
// may close or destroy the client (or open it again, under a new relay), so
// the relay is asked again after each whether its client is still there.
void deliver(void *arg) {
    auto *relay = static_cast<comm_relay *>(arg);
    // Cleared before the buffer is looked at: whatever the I/O thread adds
    // from now on is handed over again.
    relay->queued.store(false);
    if (os_comm_client *client = relay->client) {
        os_mutex_lock(client->mutex);
        uint32_t events = client->pending_events, lines = client->pending_lines;
        client->pending_events = 0;
        bool bytes = client->buff_size > 0;
        os_mutex_unlock(client->mutex);
        if (bytes && client->read_cb != nullptr) client->read_cb(client, client->read_arg);
        for (int event : {OS_COMM_EVENT_LINES, OS_COMM_EVENT_DRAINED, OS_COMM_EVENT_HANGUP})
            if ((events & (1u << event)) != 0 && relay->client != nullptr && client->event_cb != nullptr)
                client->event_cb(client, event, event == OS_COMM_EVENT_LINES ? lines : 0, client->event_arg);
    }
    drop(relay);
}

}  // namespace

void comm_relay_open(os_comm_client *client) {
    client->room_wanted = false;
    client->pending_events = 0;
    client->relay = nullptr;
    if (!client->on_main_thread) return;
    client->relay = new (std::nothrow) comm_relay;
    if (client->relay == nullptr) KEEL_FATAL("client->relay == NULL");
    client->relay->client = client;
}

void comm_relay_cut(os_comm_client *client) {
    if (client->relay == nullptr) return;
    os_main_lock();
    client->relay->client = nullptr;
    os_main_unlock();
}

void comm_relay_drop(os_comm_client *client) {
    if (client->relay == nullptr) return;
    drop(client->relay);
    client->relay = nullptr;
}

// Posting never waits for the main thread, so the I/O thread never waits for
// the main lock, and a close on the main thread can always join it.
void comm_relay_hand_over(os_comm_client *client, int event, uint32_t lines) {
    comm_relay *relay = client->relay;
    if (event != 0) {
        os_mutex_lock(client->mutex);
        client->pending_events |= 1u << event;
        if (event == OS_COMM_EVENT_LINES) client->pending_lines = lines;
        os_mutex_unlock(client->mutex);
    }
    if (relay->queued.exchange(true)) return;
    relay->refs.fetch_add(1, std::memory_order_relaxed);
    if (os_post_func(deliver, relay) == 0) {  // only before os_startup, which set_main_thread needs
        relay->refs.fetch_sub(1, std::memory_order_relaxed);
        relay->queued.store(false);
    }
}

extern "C" KEEL_API int os_comm_client_set_main_thread(os_comm_client_t *client, int on) {
    if (client == nullptr) {
        KEEL_INFO("client == NULL");
        return 0;
    }
    if (on != 0 && os_is_startup() == 0) {
        KEEL_INFO("os_is_startup() == 0");
        return 0;
    }
    // The I/O thread of an open client reads the choice without a lock.
    if (comm_running(client) == 1 || comm_on_io_thread(client)) {
        KEEL_INFO("client->running == 1");
        return 0;
    }
    client->on_main_thread = on != 0;
    return 1;
}
