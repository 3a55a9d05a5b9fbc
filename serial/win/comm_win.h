// What serial/win holds beneath the shared serial client: a COM port opened
// for overlapped I/O, with the events its I/O thread waits on.
#pragma once

// winsock2.h before windows.h, which the library's other headers may bring in again.
#include <winsock2.h>
// clang-format off
#include <windows.h>
// clang-format on

#include <cstdint>
#include <string>

#include "keel/os_comm.h"

struct os_comm_client;

// The port's state while open, made by open and freed by close. Each
// overlapped record has an event of its own, so that a wait for received
// bytes, a write under way and a wake-up are told apart.
struct comm_win_port {
    HANDLE wake = nullptr;   // auto-reset: a send, a read that made room, or close
    HANDLE event = nullptr;  // manual reset: WaitCommEvent's completion
    HANDLE read = nullptr;   // manual reset: a ReadFile's
    HANDLE write = nullptr;  // manual reset: a WriteFile's
    OVERLAPPED event_ov{};
    OVERLAPPED read_ov{};
    OVERLAPPED write_ov{};
    DWORD event_mask = 0;  // what WaitCommEvent found
    DWORD mask = 0;        // what the port is asked to report
    bool event_pending = false;
    bool write_pending = false;
    bool read_pending = false;
    bool lines_watched = false;  // the driver reports the modem input lines
    // The port cannot wait for its events (wine's pseudo-terminals): a read
    // kept under way is the wait for received bytes instead, as a read of
    // such a port waits for the first byte and returns what came.
    bool read_waits = false;
    bool read_idle = false;  // a read under way ended with nothing: the next starts after a pause
    std::string held;        // the port's name among those this process holds
    // What the last read took, handed out by comm_port_take.
    DWORD inbox_at = 0, inbox_len = 0;
    unsigned char inbox[MAX_READ_BUF_SIZE];
    DWORD outputs = 0;  // OS_COMM_LINE_DTR and _RTS as last set: Windows cannot read them back
    DWORD modem = 0;    // the modem status at the last look
};

// Writes the name CreateFile takes for the client's port: \\.\COMn for port
// n, and for a client of a path that path, with \\.\ before a bare name
// ("COM12" gives \\.\COM12). False when it does not fit.
bool comm_win_port_name(const os_comm_client *client, char *name, size_t size);
// Starts a read into the inbox: 1 when bytes came at once, 0 when none did
// (or the read waits for them, w->read_pending), -1 with the error in *err.
int comm_win_start_read(os_comm_client *client, int *err);
// The OS_COMM_LINE_ bits of a modem status (MS_*_ON) and the output lines.
uint32_t comm_win_lines(DWORD modem, DWORD outputs);
