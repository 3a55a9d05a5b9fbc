// The line beyond its bytes: the modem output lines, the state of all of
// them, a break, and RS-485 direction control. The calls check their
// arguments and that the port is open here; the platform's driver does the
// rest (comm_line_*), and its refusal is reported there.
#include "log/report.h"
#include "serial/serial_internal.h"

namespace {

bool open_or_report(const os_comm_client_t *client) {
    if (client->com != -1) return true;
    KEEL_INFO("client->com == -1");
    return false;
}

}  // namespace

extern "C" {

KEEL_API int os_comm_client_set_line(os_comm_client_t *client, uint32_t line, int on) {
    if (client == nullptr || (line != OS_COMM_LINE_DTR && line != OS_COMM_LINE_RTS)) {
        KEEL_INFO("client == NULL || (line != OS_COMM_LINE_DTR && line != OS_COMM_LINE_RTS)");
        return 0;
    }
    if (!open_or_report(client)) return 0;
    return comm_line_set(client, line, on != 0);
}

KEEL_API int os_comm_client_get_lines(os_comm_client_t *client, uint32_t *lines) {
    if (client == nullptr || lines == nullptr) {
        KEEL_INFO("client == NULL || lines == NULL");
        return 0;
    }
    if (!open_or_report(client)) return 0;
    return comm_line_get(client, lines);
}

KEEL_API int os_comm_client_send_break(os_comm_client_t *client, uint32_t ms) {
    if (client == nullptr || ms < 1 || ms > 10000) {
        KEEL_INFO("client == NULL || ms < 1 || ms > 10000");
        return 0;
    }
    if (!open_or_report(client)) return 0;
    return comm_line_break(client, ms);
}

KEEL_API int os_comm_client_set_rs485(os_comm_client_t *client, int enable, int rts_on_send, uint32_t delay_before_ms,
                                      uint32_t delay_after_ms) {
    if (client == nullptr) {
        KEEL_INFO("client == NULL");
        return 0;
    }
    if (!open_or_report(client)) return 0;
    return comm_line_rs485(client, enable != 0, rts_on_send != 0, delay_before_ms, delay_after_ms);
}

}  // extern "C"
