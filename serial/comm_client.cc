// The serial client record and its exported calls: open builds the device,
// the wake-up, the queue and the lock and starts the I/O thread; close takes
// them down in the reverse order and is the clean-up of a failed open. What
// talks to the system is the platform's (serial/unix, serial/win).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "log/report.h"
#include "serial/serial_internal.h"

namespace {

int fail_open(os_comm_client_t *client) {
    os_comm_client_close(client);
    return 0;
}

}  // namespace

void comm_release(os_comm_client_t *client) {
    comm_port_release(client);
    if (client->mutex != nullptr) {
        os_mutex_free(client->mutex);
        client->mutex = nullptr;
    }
    if (client->lst_send != nullptr) {
        adt_dlist_lock(client->lst_send);
        for (adt_dlist_node_t *node = adt_dlist_head(client->lst_send); node != nullptr;) {
            free(*static_cast<comm_send_item **>(adt_dlist_getdata(node)));
            node = adt_dlist_delete_ex(client->lst_send, node);
        }
        adt_dlist_unlock(client->lst_send);
        adt_dlist_destroy(client->lst_send);
        client->lst_send = nullptr;
    }
}

namespace {

os_comm_client_t *new_client(int comport, int baud, int data_bits, int parity, int stop_bits) {
    auto *client = new (std::nothrow) os_comm_client_t{};
    if (client == nullptr) KEEL_FATAL("client == NULL");
    client->baud = baud;
    client->parity = parity;
    client->data_bits = data_bits;
    client->stop_bits = static_cast<float>(stop_bits);
    comm_port_reset(client);
    client->comport = comport;
    client->event_mask = 1;
    client->flush_before_write = true;
    return client;
}

}  // namespace

void comm_free(os_comm_client_t *client) {
    free(client->device);
    delete client;
}

// Only the two integral stop-bit forms can come from create; 1.5 comes from a
// record set by hand and is still written as such.
void comm_settings_text(const os_comm_client *client, char *text, size_t size) {
    char cport[50];
    if (client->device != nullptr)
        snprintf(cport, sizeof cport, "DEV");  // the path may hold a ':', and the text needs no path
    else
        snprintf(cport, sizeof cport, "COM%d", client->comport);
    const char *format = client->stop_bits < 1.5f   ? "%s:%d,%c,%d,1"
                         : client->stop_bits < 2.0f ? "%s:%d,%c,%d,1.5"
                                                    : "%s:%d,%c,%d,2";
    snprintf(text, size, format, cport, client->baud, static_cast<char>(client->parity),
             client->data_bits);
}

extern "C" {

KEEL_API os_comm_client_t *os_comm_client_create(int comport, int baud, int data_bits, int parity,
                                                 int stop_bits) {
    if (comport < 0 || comport > MAX_COM_PORT_NUM) {
        KEEL_INFO("comport < 0 || comport > MAX_COM_PORT_NUM");
        return nullptr;
    }
    return new_client(comport, baud, data_bits, parity, stop_bits);
}

KEEL_API os_comm_client_t *os_comm_client_create_dev(const char *device, int baud, int data_bits, int parity,
                                                     int stop_bits) {
    if (device == nullptr || device[0] == '\0' || strnlen(device, 4096) >= 4096) {
        KEEL_INFO("device == NULL || device[0] == 0 || strlen(device) >= 4096");
        return nullptr;
    }
    if (baud < 1) {
        KEEL_INFO("baud < 1");
        return nullptr;
    }
    os_comm_client_t *client = new_client(-1, baud, data_bits, parity, stop_bits);
    client->flush_before_write = false;
    client->device = strdup(device);
    if (client->device == nullptr) KEEL_FATAL("client == NULL");
    return client;
}

// From its own read callback the client is closed and freed by its I/O
// thread once the callback has returned.
KEEL_API int os_comm_client_destroy(os_comm_client_t *client) {
    if (client == nullptr) return 1;
    if (comm_on_io_thread(client)) {
        os_comm_client_close(client);
        client->closed_from_callback = 2;
        return 1;
    }
    os_comm_client_close(client);
    comm_free(client);
    return 1;
}

KEEL_API int os_comm_client_get_status(os_comm_client_t *client) { return client == nullptr ? -1 : 0; }

KEEL_API int os_comm_client_open(os_comm_client_t *client) {
    if (client == nullptr) {
        KEEL_INFO("client == NULL");
        return 0;
    }
    // A second open would lose the running port and its thread: refused, and
    // the open port goes on as it was. So is an open from the read callback
    // of a client that closed itself there: its thread has not ended yet.
    if (comm_running(client) == 1 || comm_on_io_thread(client)) {
        KEEL_INFO("client->running == 1");
        return 0;
    }
    os_comm_client_close(client);  // the thread of a close made from the callback
    char cbaud[50];
    comm_settings_text(client, cbaud, sizeof cbaud);

    if (!comm_port_open(client)) return fail_open(client);
    client->lst_send = adt_dlist_create(sizeof(comm_send_item *));
    client->mutex = os_mutex_create(0);
    if (client->mutex == nullptr) {
        KEEL_INFO("client->mutex == NULL");
        return fail_open(client);
    }
    if (!comm_port_setup(client, cbaud)) return fail_open(client);

    client->hung_up = false;
    client->write_blocked = false;
    comm_relay_open(client);
    os_native_condition_init(&client->started);
    client->closed_from_callback = 0;
    // Held until open has written its last field (the thread handle among
    // them): the thread takes the lock before it touches the port's state.
    os_mutex_lock(client->mutex);
    comm_set_running(client, 1);
    client->thread_started = true;
    if (!os_thread_create(&client->thread, 0, comm_io_thread, client)) {
        client->thread_started = false;
        KEEL_INFO("!os_thread_create");
        comm_set_running(client, 0);
        os_native_condition_uninit(&client->started);
        os_mutex_unlock(client->mutex);
        return fail_open(client);
    }
    // The thread discards what waits on the port when it starts; a byte the
    // device sends once open has returned must not fall into that. The
    // condition is the opener's: the thread only sets it.
    os_native_condition_wait(&client->started, OS_WAIT_INFINITE);
    os_native_condition_uninit(&client->started);
    os_mutex_unlock(client->mutex);
    return 1;
}

KEEL_API int os_comm_client_close(os_comm_client_t *client) {
    if (client == nullptr) {
        KEEL_INFO("client == NULL");
        return 0;
    }
    // Close waits for the I/O thread, which cannot end while it is inside the
    // read callback that called close: there the thread is only told to stop,
    // and releases the port itself when the callback returns.
    if (comm_on_io_thread(client)) {
        comm_set_running(client, 0);
        if (client->closed_from_callback == 0) client->closed_from_callback = 1;
        return 1;
    }
    comm_relay_cut(client);  // no callback on the main thread from here on
    if (client->thread_started) {
        // A thread told to stop by its own callback ends by itself and is
        // releasing the port meanwhile: only join it.
        if (client->closed_from_callback == 0) {
            comm_set_running(client, 0);
            comm_wake(client);
        }
        os_thread_join(&client->thread);
        client->thread_started = false;
    }
    comm_relay_drop(client);
    comm_release(client);
    return 1;
}

KEEL_API int os_comm_client_send(os_comm_client_t *client, const void *data, uint32_t len) {
    if (client == nullptr || data == nullptr || len == 0) {
        KEEL_INFO("client == NULL|| data == NULL || len <= 0");
        return -1;
    }
    // A client that is not open has no queue and no thread to write it.
    if (client->lst_send == nullptr) {
        KEEL_INFO("client->lst_send == NULL");
        return -1;
    }
    adt_dlist_lock(client->lst_send);
    if (adt_dlist_size(client->lst_send) > MAX_COM_SEND_BUF_NUM) {
        adt_dlist_unlock(client->lst_send);
        KEEL_INFO("adt_dlist_size(client->lst_send) > MAX_COM_SEND_BUF_NUM");
        return -1;
    }
    adt_dlist_unlock(client->lst_send);

    auto *item = static_cast<comm_send_item *>(malloc(sizeof(comm_send_item) + len));
    if (item == nullptr) KEEL_FATAL("buf == NULL");
    item->count = len;
    item->sent = 0;
    memcpy(item->data, data, len);
    adt_dlist_lock(client->lst_send);
    adt_dlist_node_t *node = adt_dlist_add(client->lst_send, nullptr, &item);
    adt_dlist_unlock(client->lst_send);
    if (node == nullptr) KEEL_FATAL("buf == NULL");
    comm_wake(client);
    return static_cast<int>(len);
}

// A closed client keeps what it had gathered, readable without the lock: no
// thread writes the buffer then.
KEEL_API int os_comm_client_read(os_comm_client_t *client, void *data, uint32_t len) {
    if (client == nullptr || data == nullptr || len == 0) {
        KEEL_INFO("client == NULL || data == NULL || len <= 0");
        return 0;
    }
    os_mutex_t *mutex = client->mutex;
    if (mutex != nullptr) os_mutex_lock(mutex);
    if (len <= client->buff_size) {
        memcpy(data, client->read_buf, len);
        memmove(client->read_buf, client->read_buf + len, client->buff_size - len);
        client->buff_size -= len;
    } else {
        memcpy(data, client->read_buf, client->buff_size);
        len = client->buff_size;
        client->buff_size = 0;
    }
    // An I/O thread that waits for room (callbacks on the main thread) reads
    // the port again.
    bool wake = mutex != nullptr && len > 0 && client->room_wanted.exchange(false);
    if (mutex != nullptr) os_mutex_unlock(mutex);
    if (wake) comm_wake(client);
    return static_cast<int>(len);
}

KEEL_API int os_comm_client_set_udata(os_comm_client_t *client, void *udata) {
    if (client == nullptr) {
        KEEL_INFO("client == NULL");
        return 0;
    }
    client->udata = udata;
    return 1;
}

KEEL_API void *os_comm_client_get_udata(os_comm_client_t *client) {
    if (client == nullptr) {
        KEEL_INFO("client == NULL");
        return nullptr;
    }
    return client->udata;
}

KEEL_API int os_comm_client_bind_read(os_comm_client_t *client, os_comm_read_cb read_cb, void *read_arg) {
    if (client == nullptr) {
        KEEL_INFO("client == NULL");
        return 0;
    }
    client->read_cb = read_cb;
    client->read_arg = read_arg;
    return 1;
}

KEEL_API int os_comm_client_bind_event(os_comm_client_t *client, os_comm_event_cb event_cb, void *event_arg) {
    if (client == nullptr) {
        KEEL_INFO("client == NULL");
        return 0;
    }
    client->event_cb = event_cb;
    client->event_arg = event_arg;
    return 1;
}

KEEL_API int os_comm_client_set_input_flush(os_comm_client_t *client, int on) {
    if (client == nullptr) {
        KEEL_INFO("client == NULL");
        return 0;
    }
    client->flush_before_write.store(on != 0, std::memory_order_relaxed);
    return 1;
}

KEEL_API int os_comm_client_set_read_gap(os_comm_client_t *client, uint32_t gap_us) {
    if (client == nullptr || gap_us > 10000000) {
        KEEL_INFO("client == NULL || gap_us > 10000000");
        return 0;
    }
    client->read_gap_us.store(gap_us, std::memory_order_relaxed);
    return 1;
}

}  // extern "C"
