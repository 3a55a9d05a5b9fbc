// The I/O thread's loop on a COM port. It waits on the port's events
// (WaitCommEvent: received bytes, the carrier, and with an event callback
// bound the other modem input lines), on a write under way and on its wake-up event, so it costs
// nothing while the line is quiet. Its wait is timed only for the silence
// that ends a frame; the silence itself is measured on the performance
// counter, so a frame never comes before its gap however coarse the wait's
// milliseconds are.
#include <algorithm>

#include "keel/os_comm.h"
#include "log/report.h"
#include "serial/serial_internal.h"

namespace {

constexpr DWORD kLineEvents = EV_CTS | EV_DSR | EV_RING | EV_RLSD;

HANDLE port_of(const os_comm_client *client) { return reinterpret_cast<HANDLE>(client->com); }

// What a port that cannot wait for its events answers: wine's
// pseudo-terminals end every wait at once as cancelled.
bool cannot_wait(DWORD e) {
    return e == ERROR_NOT_SUPPORTED || e == ERROR_INVALID_PARAMETER || e == ERROR_OPERATION_ABORTED;
}

// Starts a wait for the port's events. 0 when it is under way or done at
// once (*done), else the error. A driver that cannot report the modem lines
// refuses the whole wait: it is asked again for received bytes alone, and
// the lines are not looked at. One that cannot wait at all has its reads
// wait instead (read_waits).
DWORD start_wait(os_comm_client *client, bool *done) {
    comm_win_port *w = client->win;
    HANDLE port = port_of(client);
    for (;;) {
        ResetEvent(w->event);
        w->event_mask = 0;
        if (WaitCommEvent(port, &w->event_mask, &w->event_ov)) return *done = true, 0;
        DWORD e = GetLastError();
        if (e == ERROR_IO_PENDING) return w->event_pending = true, 0;
        if (!cannot_wait(e)) return e;
        if (w->mask == EV_RXCHAR) return w->read_waits = true, 0;
        w->mask = EV_RXCHAR;
        w->lines_watched = false;
        SetCommMask(port, w->mask);
    }
}

// Bytes the port holds before any wait was started (left there while the
// buffer was full) raise no event of their own.
bool bytes_wait(os_comm_client *client) {
    DWORD errors;
    COMSTAT stat{};
    return ClearCommError(port_of(client), &errors, &stat) && stat.cbInQue > 0;
}

// A change of the modem input lines, told to an event callback; the loss of
// a carrier that was there is the hang-up of a modem or of a device that
// drives DCD, with or without one.
void look_at_lines(os_comm_client *client) {
    comm_win_port *w = client->win;
    DWORD modem = 0;
    if (!GetCommModemStatus(port_of(client), &modem)) return;
    bool carrier_lost = (w->modem & MS_RLSD_ON) && !(modem & MS_RLSD_ON);
    w->modem = modem;
    if (client->event_cb != nullptr) comm_notify(client, OS_COMM_EVENT_LINES, comm_win_lines(modem, w->outputs));
    if (carrier_lost && comm_running(client) == 1)
        comm_lose_port(client, CommFound::reading, ERROR_DEVICE_NOT_CONNECTED);
}

// The wait's limit in whole milliseconds, rounded up: the frame's deadline
// is then never missed, only met up to a millisecond (or the system's timer
// period) late.
DWORD wait_ms(const os_comm_client *client) {
    timespec limit;
    const timespec *due = comm_wait_limit(client, comm_now_ns(), &limit);
    if (due == nullptr) return INFINITE;
    int64_t ns = static_cast<int64_t>(due->tv_sec) * 1'000'000'000 + due->tv_nsec;
    return static_cast<DWORD>(std::min<int64_t>((ns + 999'999) / 1'000'000, INFINITE - 1));
}

}  // namespace

void comm_thread_begin(os_comm_client *client) {
    comm_win_port *w = client->win;
    HANDLE port = port_of(client);
    PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    client->frame_pending = false;
    client->counting_lines = false;  // no timed looks: the port reports the changes itself
    w->lines_watched = true;
    w->mask = EV_RXCHAR | (client->event_cb != nullptr ? kLineEvents : EV_RLSD);
    if (!SetCommMask(port, w->mask)) KEEL_INFO("!SetCommMask, %d", static_cast<int>(GetLastError()));
    GetCommModemStatus(port, &w->modem);
}

// The port's events first, as received bytes were there before anything
// sent now; a wait that failed is the device's end, once what it held is
// taken. Where the reads wait, a read under way is the wait, and the read
// step collects what it brought.
void comm_serve(os_comm_client *client) {
    comm_win_port *w = client->win;
    HANDLE port = port_of(client);
    while (comm_running(client) == 1) {
        bool fired = false;
        DWORD failed = 0;
        bool reading = !client->hung_up && !client->room_wanted;
        if (reading && w->inbox_at < w->inbox_len) {
            fired = true;
        } else if (reading && w->read_waits) {
            int err = 0, started = w->read_pending || w->read_idle ? 0 : comm_win_start_read(client, &err);
            fired = started > 0;
            failed = started < 0 ? static_cast<DWORD>(err) : 0;
        } else if (reading && !w->event_pending) {
            fired = bytes_wait(client);
            if (!fired) failed = start_wait(client, &fired);
        }
        HANDLE handles[3] = {w->wake, nullptr, nullptr};
        DWORD count = 1;
        if (reading && w->event_pending) handles[count++] = w->event;
        if (reading && w->read_pending) handles[count++] = w->read;
        if (client->write_blocked && w->write_pending) handles[count++] = w->write;
        bool armed = w->event_pending || w->read_pending;
        DWORD limit = fired || failed ? 0 : wait_ms(client);
        if (reading && !armed && !fired && !failed) limit = std::min<DWORD>(limit, w->read_idle ? 10 : 0);
        w->read_idle = false;
        DWORD r = WaitForMultipleObjects(count, handles, FALSE, limit);
        if (r == WAIT_FAILED) KEEL_INFO("default event");
        if (comm_running(client) != 1) break;
        bool woken = r == WAIT_OBJECT_0 || WaitForSingleObject(w->wake, 0) == WAIT_OBJECT_0;

        DWORD n;
        if (reading && w->event_pending && WaitForSingleObject(w->event, 0) == WAIT_OBJECT_0) {
            w->event_pending = false;
            if (GetOverlappedResult(port, &w->event_ov, &n, FALSE))
                fired = true;
            else if (DWORD e = GetLastError(); cannot_wait(e))
                w->read_waits = true, w->lines_watched = false;
            else
                failed = e;
        }
        if (reading && w->read_pending && WaitForSingleObject(w->read, 0) == WAIT_OBJECT_0) fired = true;
        if (fired || failed) {
            DWORD events = fired ? w->event_mask : 0;
            w->event_mask = 0;
            int gone = comm_read_step(client, failed != 0);
            if (gone == 0 && failed != 0) gone = static_cast<int>(failed);
            if (gone != 0) comm_lose_port(client, CommFound::reading, gone);
            if (comm_running(client) == 1 && !client->hung_up && w->lines_watched && (events & kLineEvents))
                look_at_lines(client);
        }
        if (comm_running(client) == 1 && !client->hung_up) comm_deliver_frame_if_over(client);
        if (comm_running(client) != 1) break;
        bool room = client->write_blocked && w->write_pending && WaitForSingleObject(w->write, 0) == WAIT_OBJECT_0;
        if (!client->hung_up && (woken || room)) {
            int gone = comm_write_step(client);
            if (gone != 0) {
                comm_read_step(client, true);  // what arrived before the end is still delivered
                comm_lose_port(client, CommFound::writing, gone);
            }
        }
    }
}
