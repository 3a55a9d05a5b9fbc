// The port as a COM device: the exclusive open and the line settings of open,
// the event that wakes the I/O thread, and the reads and writes of the I/O
// thread's steps. The port's read timeouts make every ReadFile return at once
// with what the port holds: the I/O thread learns of new bytes from
// WaitCommEvent, and never sits in a read.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <utility>
#include <string>

#include "keel/os_comm.h"
#include "log/report.h"
#include "serial/serial_internal.h"

namespace {

HANDLE port_of(const os_comm_client *client) { return reinterpret_cast<HANDLE>(client->com); }

// The standard rates a numbered port takes; a client of a path takes any.
constexpr int kRates[] = {50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
                          2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
                          576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

// The settings text taken apart and checked as on every platform: a rate, a
// parity letter, 5 to 8 data bits and 1, 1.5 or 2 stop bits. The part after
// the port's name, for BuildCommDCB, goes to *rest.
bool settings_valid(const char *text, bool any_rate, int *baud, const char **rest) {
    int data_bits = 0, used = 0;
    char parity = 0, stop[8] = {0};
    if (sscanf(text, "%*[^:]:%d,%c,%d,%7[0-9.]%n", baud, &parity, &data_bits, stop, &used) != 4 || text[used] != '\0')
        return false;
    bool known = false;
    for (int rate : kRates) known = known || rate == *baud;
    if (!(known || (any_rate && *baud >= 1))) return false;
    if (data_bits < 5 || data_bits > 8 || strchr("NEOMSneoms", parity) == nullptr) return false;
    if (strcmp(stop, "1") != 0 && strcmp(stop, "1.5") != 0 && strcmp(stop, "2") != 0) return false;
    *rest = strchr(text, ':') + 1;
    return true;
}

HANDLE manual_event() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

// How long close waits for a cancelled transfer to end.
constexpr DWORD kEndMs = 5000;

// The ports this process holds, by their names in upper case. A COM port's
// driver lets one opener in at a time, but not every driver does (wine's
// pseudo-terminals take any number): a second client in this process is
// refused here, as the driver would refuse it.
std::mutex s_held_lock;
std::set<std::string> s_held;

bool hold(const char *name, std::string *held) {
    std::string key = name;
    for (char &c : key) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    std::lock_guard<std::mutex> lock(s_held_lock);
    if (!s_held.insert(key).second) return false;
    *held = key;
    return true;
}

void let_go(std::string *held) {
    if (held->empty()) return;
    std::lock_guard<std::mutex> lock(s_held_lock);
    s_held.erase(*held);
    held->clear();
}

}  // namespace

// The performance counter is the monotonic clock to well below a
// microsecond; the product is split so that it cannot overflow.
int64_t comm_now_ns() {
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<int64_t>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    int64_t ticks = now.QuadPart;
    return ticks / frequency * 1'000'000'000 + ticks % frequency * 1'000'000'000 / frequency;
}

bool comm_win_port_name(const os_comm_client *client, char *name, size_t size) {
    int n;
    if (client->device == nullptr)
        n = snprintf(name, size, "\\\\.\\COM%d", client->comport);
    else if (strncmp(client->device, "\\\\", 2) == 0)
        n = snprintf(name, size, "%s", client->device);
    else
        n = snprintf(name, size, "\\\\.\\%s", client->device);
    return n > 0 && static_cast<size_t>(n) < size;
}

void comm_port_reset(os_comm_client *client) {
    client->com = -1;
    client->win = nullptr;
}

// No sharing: a second opener, in this process or another, is refused.
bool comm_port_open(os_comm_client *client) {
    client->win = new (std::nothrow) comm_win_port;
    if (client->win == nullptr) KEEL_FATAL("client == NULL");
    comm_win_port *w = client->win;
    char name[4200];
    DWORD err = ERROR_FILENAME_EXCED_RANGE;
    HANDLE port = INVALID_HANDLE_VALUE;
    bool named = comm_win_port_name(client, name, sizeof name);
    if (named && !hold(name, &w->held)) {
        err = ERROR_ACCESS_DENIED;
    } else if (named) {
        port =
            CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        err = GetLastError();
    }
    client->com = reinterpret_cast<intptr_t>(port);
    if (port == INVALID_HANDLE_VALUE) {
        client->com = -1;
        KEEL_INFO("client->com == INVALID_HANDLE_VALUE, errno: %d", static_cast<int>(err));
        return false;
    }
    w->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    w->event = manual_event();
    w->read = manual_event();
    w->write = manual_event();
    if (w->wake == nullptr || w->event == nullptr || w->read == nullptr || w->write == nullptr) {
        KEEL_INFO("client->wake_fd == -1, errno: %d", static_cast<int>(GetLastError()));
        return false;
    }
    w->event_ov.hEvent = w->event;
    w->read_ov.hEvent = w->read;
    w->write_ov.hEvent = w->write;
    return true;
}

// Read timeouts of MAXDWORD, 0, 0: a read returns at once with what the
// port holds, none included. No write timeouts: a write completes when the
// driver has taken every byte. The line runs raw: binary, no flow control,
// parity generated but not checked, no character replaced or dropped.
bool comm_port_setup(os_comm_client *client, const char *settings) {
    HANDLE port = port_of(client);
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    if (!SetCommTimeouts(port, &timeouts)) {
        KEEL_INFO("SetCommTimeouts, %d", static_cast<int>(GetLastError()));
        return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        KEEL_INFO("!GetCommState, %d", static_cast<int>(GetLastError()));
        return false;
    }
    int baud = 0;
    const char *rest = nullptr;
    if (!settings_valid(settings, client->device != nullptr, &baud, &rest)) {
        KEEL_INFO("!BuildCommDCB, %d", static_cast<int>(ERROR_BAD_COMMAND));
        return false;
    }
    if (!BuildCommDCBA(rest, &dcb)) {
        KEEL_INFO("!BuildCommDCB, %d", static_cast<int>(GetLastError()));
        return false;
    }
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(port, &dcb)) {
        KEEL_INFO("!SetCommState, %d", static_cast<int>(GetLastError()));
        return false;
    }
    // A driver may keep a rate near the one asked for; within 1% a receiver
    // reads every bit. One that kept another is refused rather than run wrong.
    DCB kept{};
    kept.DCBlength = sizeof kept;
    if (GetCommState(port, &kept) && std::labs(static_cast<long>(kept.BaudRate) - baud) * 100 > baud) {
        KEEL_INFO("!SetCommState, %d", static_cast<int>(ERROR_BAD_COMMAND));
        return false;
    }
    client->win->outputs = OS_COMM_LINE_DTR | OS_COMM_LINE_RTS;
    if (!PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
        KEEL_INFO("!PurgeComm, %d", static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

// What is still under way is cancelled and waited for: the system writes
// into the overlapped records (and a write reads its item) until it ends.
void comm_port_release(os_comm_client *client) {
    comm_win_port *w = client->win;
    HANDLE port = port_of(client);
    bool ended = true;
    if (client->com != -1 && w != nullptr) {
        for (auto [pending, ov] : {std::pair{w->event_pending, &w->event_ov}, {w->write_pending, &w->write_ov},
                                   {w->read_pending, &w->read_ov}})
            if (pending) CancelIoEx(port, ov);
        // Closing the handle ends whatever the cancel did not.
        CloseHandle(port);
        for (auto [pending, ov] : {std::pair{w->event_pending, &w->event_ov}, {w->write_pending, &w->write_ov},
                                   {w->read_pending, &w->read_ov}})
            ended = ended && (!pending || WaitForSingleObject(ov->hEvent, kEndMs) == WAIT_OBJECT_0);
        client->com = -1;
    }
    if (client->com != -1) {
        CloseHandle(port);
        client->com = -1;
    }
    // A transfer that never ended may still write into the record: it is
    // left to it, rather than freed under it.
    if (w != nullptr && !ended) {
        KEEL_INFO("CancelIoEx: a transfer did not end");
        let_go(&w->held);
        client->win = nullptr;
        return;
    }
    if (w != nullptr) {
        let_go(&w->held);
        for (HANDLE h : {w->wake, w->event, w->read, w->write})
            if (h != nullptr) CloseHandle(h);
        delete w;
        client->win = nullptr;
    }
}

void comm_wake(os_comm_client *client) { SetEvent(client->win->wake); }

// The wake-up event resets itself when the wait takes it.
void comm_drain_wakeups(os_comm_client *) {}

int comm_win_start_read(os_comm_client *client, int *err) {
    comm_win_port *w = client->win;
    HANDLE port = port_of(client);
    DWORD n = 0;
    w->inbox_at = w->inbox_len = 0;
    ResetEvent(w->read);
    w->read_ov.Offset = w->read_ov.OffsetHigh = 0;
    if (!ReadFile(port, w->inbox, sizeof w->inbox, &n, &w->read_ov)) {
        DWORD e = GetLastError();
        if (e != ERROR_IO_PENDING) {
            *err = static_cast<int>(e);
            return -1;
        }
        // The port's read timeouts end a read at once, whatever it found. A
        // port whose read waits all the same (wine's pseudo-terminals) has
        // its reads wait from now on: this one, under way, is the wait for
        // the next bytes, and the I/O thread never sits in it.
        w->read_waits = true;
        w->read_pending = true;
        return 0;
    }
    w->inbox_len = n;
    return n > 0 ? 1 : 0;
}

// The bytes of the last read first; a read under way is collected, never
// waited for.
int comm_port_take(os_comm_client *client, unsigned char *into, size_t room, int *err) {
    comm_win_port *w = client->win;
    for (;;) {
        if (w->inbox_at < w->inbox_len) {
            DWORD n = std::min(static_cast<DWORD>(room), w->inbox_len - w->inbox_at);
            memcpy(into, w->inbox + w->inbox_at, n);
            w->inbox_at += n;
            return static_cast<int>(n);
        }
        if (w->read_pending) {
            DWORD n = 0;
            if (!GetOverlappedResult(port_of(client), &w->read_ov, &n, FALSE)) {
                DWORD e = GetLastError();
                if (e == ERROR_IO_INCOMPLETE) return 0;
                w->read_pending = false;
                *err = static_cast<int>(e);
                return -1;
            }
            w->read_pending = false;
            w->inbox_at = 0, w->inbox_len = n;
            w->read_idle = n == 0;
            if (n == 0) return 0;
            continue;
        }
        if (w->read_idle) return 0;
        int r = comm_win_start_read(client, err);
        if (r <= 0) return r;
    }
}

// A write the port does not finish at once goes on while the I/O thread
// waits; the next call for the same bytes collects its count.
int comm_port_put(os_comm_client *client, const unsigned char *data, size_t len, int *err) {
    comm_win_port *w = client->win;
    HANDLE port = port_of(client);
    DWORD n = 0;
    if (w->write_pending) {
        if (GetOverlappedResult(port, &w->write_ov, &n, FALSE)) {
            w->write_pending = false;
            return static_cast<int>(n);
        }
        if (GetLastError() == ERROR_IO_INCOMPLETE) return 0;
        w->write_pending = false;
        *err = static_cast<int>(GetLastError());
        return -1;
    }
    ResetEvent(w->write);
    w->write_ov.Offset = w->write_ov.OffsetHigh = 0;
    if (WriteFile(port, data, static_cast<DWORD>(len), &n, &w->write_ov)) return static_cast<int>(n);
    DWORD e = GetLastError();
    if (e == ERROR_IO_PENDING) {
        w->write_pending = true;
        return 0;
    }
    *err = static_cast<int>(e);
    return -1;
}

bool comm_port_write_pending(const os_comm_client *client) { return client->win->write_pending; }

// Only the input side: the bytes of earlier items still on their way out
// must go. What a read already took counts as received: a read that ended
// meanwhile is collected and dropped, one still waiting is left to wait.
void comm_port_flush_input(os_comm_client *client) {
    comm_win_port *w = client->win;
    DWORD n;
    if (w->read_pending && GetOverlappedResult(port_of(client), &w->read_ov, &n, FALSE)) w->read_pending = false;
    w->inbox_at = w->inbox_len = 0;
    PurgeComm(port_of(client), PURGE_RXCLEAR);
}

// What a port answers once its device is gone: a USB adapter unplugged
// refuses access or the command, a pipe-like port broke.
bool comm_port_gone(int err) {
    switch (err) {
        case ERROR_ACCESS_DENIED:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_BROKEN_PIPE:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_OPERATION_ABORTED:
        case ERROR_INVALID_HANDLE:
        case ERROR_NOT_READY:
        case ERROR_DEVICE_REMOVED:
            return true;
        default:
            return false;
    }
}
