// Internals of the serial folder: the client record behind the opaque handle,
// the I/O thread's steps that every platform shares, and what each platform
// (serial/unix, serial/win) provides beneath them.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

#include "keel/adt_dlist.h"
#include "keel/os_comm.h"
#include "keel/os_sync.h"

// One queued send: count bytes, of which the first `sent` are written. Freed
// when all are written, or by close. A partial write only moves `sent`, so a
// large item costs no more to write than its bytes.
struct comm_send_item {
    uint32_t count;
    uint32_t sent;
    unsigned char data[];
};

struct comm_relay;

#ifdef _WIN32
// The port's HANDLE, -1 (INVALID_HANDLE_VALUE) when closed.
using comm_handle = intptr_t;
struct comm_win_port;
#else
using comm_handle = int;
#endif

struct os_comm_client {
    int32_t baud;
    int32_t parity;     // the character of the settings text
    int32_t data_bits;
    float stop_bits;
    os_thread_t thread;
    int32_t running;    // 1 while the I/O thread is to run; read through comm_running
    os_mutex_t *mutex;  // guards read_buf with buff_size, and each read or write of the port
    comm_handle com;    // the open device, -1 when closed
#ifdef _WIN32
    // While open: the events, the overlapped records and the received bytes
    // of the reads in flight (serial/win).
    comm_win_port *win;
#else
    int wake_fd;        // eventfd that send and close write to wake the I/O thread; -1 when closed
#endif
    // Set by the I/O thread once it has discarded what waited on the port, so
    // that open returns only when every later byte will be kept.
    os_native_condition_t started;
    // Set by open once the thread runs, cleared by the join that ends it.
    bool thread_started;
    // A close (1) or destroy (2) made by the read callback, on the I/O thread:
    // the thread releases the port itself once the callback has returned.
    std::atomic<int> closed_from_callback;
    // Owned by the I/O thread while it runs.
    bool hung_up;        // the device is gone: neither read nor written again
    bool write_blocked;  // the head item waits for the port to take bytes
    bool frame_pending;  // bytes wait for the line's silence before the read callback
    int64_t last_byte_ns;     // when the last bytes were read (comm_now_ns)
    bool counting_lines;      // the driver counts modem input changes
    int32_t line_counts[4];   // CTS, DSR, RI and DCD changes counted so far
    int64_t next_line_look_ns;
    // Bytes are gathered into frames until the line is this long silent; 0
    // hands them over at once. Set from any thread.
    std::atomic<uint32_t> read_gap_us;
    // Unread input is discarded before each write (a numbered port's way:
    // send a request, then take the answer); a client of a path keeps it.
    std::atomic<bool> flush_before_write;
    // The callbacks run on the runtime's main thread (os_comm_client_set_main_thread);
    // read at open.
    bool on_main_thread;
    // While open with on_main_thread: the I/O thread's link to the main thread.
    comm_relay *relay;
    // Guarded by mutex, with on_main_thread only: the buffer is full and the
    // I/O thread leaves the port unread until a read makes room and wakes it.
    // Read without the lock by the I/O thread, which alone sets it.
    std::atomic<bool> room_wanted;
    // Guarded by mutex: events (bits 1 << OS_COMM_EVENT_) the I/O thread has
    // handed to the main thread and that have not run yet, and the lines of
    // the latest OS_COMM_EVENT_LINES.
    uint32_t pending_events;
    uint32_t pending_lines;
    os_comm_event_cb event_cb;
    void *event_arg;
    os_comm_read_cb read_cb;
    int32_t comport;      // -1 for a client of a device path
    char *device;         // that path (a heap copy), NULL for a numbered port
    uint32_t event_mask;  // received bytes are the one event served
    void *read_arg;
    void *udata;
    uint32_t buff_size;   // bytes waiting in read_buf
    unsigned char read_buf[MAX_READ_BUF_SIZE];
    adt_dlist_t *lst_send;  // comm_send_item pointers, oldest at the head
};

inline int32_t comm_running(os_comm_client *client) {
    return std::atomic_ref<int32_t>(client->running).load();
}
inline void comm_set_running(os_comm_client *client, int32_t value) {
    std::atomic_ref<int32_t>(client->running).store(value);
}

// Writes "COMn:baud,parity,data,stop" for the client into text (50 bytes);
// a client of a path writes "DEV" for the port.
void comm_settings_text(const os_comm_client *client, char *text, size_t size);
// Closes the device, the wake-up descriptor and the lock and frees the queue:
// the part of close that follows the end of the I/O thread.
void comm_release(os_comm_client *client);
// Frees a closed record.
void comm_free(os_comm_client *client);

/* callbacks on the main thread */

// At open, for a client whose callbacks run on the main thread: its relay.
void comm_relay_open(os_comm_client *client);
// At close, before the I/O thread is stopped: no callback of this opening
// runs once it returns (it takes the main lock).
void comm_relay_cut(os_comm_client *client);
// At close, after the I/O thread has ended: lets go of the relay.
void comm_relay_drop(os_comm_client *client);
// On the I/O thread: event (0 for received bytes, else an OS_COMM_EVENT_)
// is to be delivered on the main thread. A delivery already queued takes it.
void comm_relay_hand_over(os_comm_client *client, int event, uint32_t lines);

/* I/O thread (serial/comm_io.cc) */

uint32_t comm_io_thread(void *arg);
// How long the I/O thread may sleep in poll: until the frame's silence is
// over or the next look at the modem lines is due, whichever comes first, as
// a limit relative to now_ns; NULL for no limit.
const struct timespec *comm_wait_limit(const os_comm_client *client, int64_t now_ns, struct timespec *limit);
// True on the I/O thread of client, where close cannot wait for that thread.
bool comm_on_io_thread(const os_comm_client *client);
// Gathers what the port received into read_buf, then calls read_cb when bytes
// wait. 0, or the errno value of a read that found the device gone.
int comm_read_step(os_comm_client *client, bool until_empty);
// Writes the send queue, oldest first, until it is empty or the port takes no
// more. 0, or the error number of a write that found the device gone.
int comm_write_step(os_comm_client *client);
// The event callback, or on the main thread its hand-over. Like the read
// callback, it may close or destroy the client: the caller looks at the
// running flag afterwards.
void comm_notify(os_comm_client *client, int event, uint32_t lines);
enum class CommFound { reading, writing };
// The device is gone: reported once (the failed call's error number) as a
// hang-up, and the port is neither read nor written again.
void comm_lose_port(os_comm_client *client, CommFound found, int err);
// Hands a frame to the read callback once the line has been silent for the
// read gap.
void comm_deliver_frame_if_over(os_comm_client *client);

/* what each platform provides (serial/unix, serial/win) */

// The monotonic clock in nanoseconds, to the microsecond at least.
int64_t comm_now_ns();
// A new record's platform fields: nothing open.
void comm_port_reset(os_comm_client *client);
// The first steps of open: the device (reported as "client->com ==
// INVALID_HANDLE_VALUE, errno: N") and the I/O thread's wake-up. False after
// the report; close then releases what was made.
bool comm_port_open(os_comm_client *client);
// The line from the settings text, RTS raised and everything that waited on
// the port discarded. False after the report.
bool comm_port_setup(os_comm_client *client, const char *settings);
// Closes the device and the wake-up, once no I/O thread runs.
void comm_port_release(os_comm_client *client);
// Wakes the I/O thread: a send or close waits for it.
void comm_wake(os_comm_client *client);
// The wake-ups that came are taken (the write step follows).
void comm_drain_wakeups(os_comm_client *client);
// On the I/O thread: what the port received, up to room bytes, into into. The
// count (> 0); 0 when nothing waits now; -1 when the port is gone, with the
// error in *err.
int comm_port_take(os_comm_client *client, unsigned char *into, size_t room, int *err);
// On the I/O thread, under the client's lock: writes up to len bytes. The
// count taken (> 0); 0 when the port takes nothing now (the I/O thread waits
// for room); -1 with the error in *err.
int comm_port_put(os_comm_client *client, const unsigned char *data, size_t len, int *err);
// True while a write that comm_port_put started is still under way.
bool comm_port_write_pending(const os_comm_client *client);
// Discards what the device holds received and unread.
void comm_port_flush_input(os_comm_client *client);
// True for the error of a write to a device that went away.
bool comm_port_gone(int err);
// On the I/O thread, before open returns: discards what waited, and sets up
// the looks at the modem lines.
void comm_thread_begin(os_comm_client *client);
// The I/O thread's loop, until close clears the running flag.
void comm_serve(os_comm_client *client);
// The line of an open client: 1 done, 0 refused by the driver (reported at
// the error level).
int comm_line_set(os_comm_client *client, uint32_t line, bool on);
int comm_line_get(os_comm_client *client, uint32_t *lines);
int comm_line_break(os_comm_client *client, uint32_t ms);
int comm_line_rs485(os_comm_client *client, bool enable, bool rts_on_send, uint32_t delay_before_ms,
                    uint32_t delay_after_ms);

#ifdef _WIN32
#include "serial/win/comm_win.h"
#else
#include "serial/unix/comm_unix.h"
#endif
