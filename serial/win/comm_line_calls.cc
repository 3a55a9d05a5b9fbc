// The line on a COM port: the modem output lines through
// EscapeCommFunction (Windows cannot read them back, so the last ones set
// are kept), the input lines through GetCommModemStatus, and a break. A
// refusal of the driver is reported with the system's error number.
#include "keel/os_comm.h"
#include "log/report.h"
#include "serial/serial_internal.h"

namespace {

HANDLE port_of(const os_comm_client *client) { return reinterpret_cast<HANDLE>(client->com); }

int driver_answer(BOOL ok, const char *what) {
    if (ok) return 1;
    KEEL_ERROR("%s, %d", what, static_cast<int>(GetLastError()));
    return 0;
}

}  // namespace

uint32_t comm_win_lines(DWORD modem, DWORD outputs) {
    uint32_t lines = outputs & (OS_COMM_LINE_DTR | OS_COMM_LINE_RTS);
    if (modem & MS_CTS_ON) lines |= OS_COMM_LINE_CTS;
    if (modem & MS_DSR_ON) lines |= OS_COMM_LINE_DSR;
    if (modem & MS_RLSD_ON) lines |= OS_COMM_LINE_DCD;
    if (modem & MS_RING_ON) lines |= OS_COMM_LINE_RI;
    return lines;
}

int comm_line_set(os_comm_client *client, uint32_t line, bool on) {
    DWORD function = line == OS_COMM_LINE_DTR ? (on ? SETDTR : CLRDTR) : (on ? SETRTS : CLRRTS);
    if (!driver_answer(EscapeCommFunction(port_of(client), function), "EscapeCommFunction")) return 0;
    client->win->outputs = on ? client->win->outputs | line : client->win->outputs & ~line;
    return 1;
}

int comm_line_get(os_comm_client *client, uint32_t *lines) {
    DWORD modem = 0;
    if (!driver_answer(GetCommModemStatus(port_of(client), &modem), "GetCommModemStatus")) return 0;
    *lines = comm_win_lines(modem, client->win->outputs);
    return 1;
}

int comm_line_break(os_comm_client *client, uint32_t ms) {
    if (!driver_answer(SetCommBreak(port_of(client)), "SetCommBreak")) return 0;
    Sleep(ms);
    return driver_answer(ClearCommBreak(port_of(client)), "ClearCommBreak");
}

// Windows has no common call for it: each adapter's driver has its own
// settings, outside the port's interface.
int comm_line_rs485(os_comm_client *, bool, bool, uint32_t, uint32_t) {
    KEEL_ERROR("RS-485 direction control is not available on Windows");
    return 0;
}
