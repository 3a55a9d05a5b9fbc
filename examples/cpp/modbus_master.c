/* The master that tries modbus_rtu_slave.cpp, on libmodbus: it writes the
 * slave's 100 holding registers and reads them back, provokes each exception
 * the slave gives, and checks that the slave stays silent where it must.
 *
 *   modbus_master DEVICE [ADDRESS] [BAUD]     (default: 1 19200; the line is 8E1)
 *
 * It prints one line and exits 0 when every check passed; each failed check
 * is shown on its own line. MODBUS_DEBUG=1 shows every frame. */
#include <errno.h>
#include <modbus.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define REGISTERS 100

static int checks, failures;

/* The CRC of an RTU frame, to send one with a wrong CRC on purpose. */
static uint16_t crc16(const uint8_t *bytes, int len) {
    uint16_t crc = 0xFFFF;
    for (int i = 0; i < len; i++) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; bit++) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

static void check(int ok, const char *what) {
    checks++;
    if (!ok) {
        failures++;
        fprintf(stderr, "modbus_master: FAILED: %s (last error: %s)\n", what, modbus_strerror(errno));
    }
}

/* Sends a request (libmodbus adds the CRC) and checks that the reply, CRC
 * aside, is the expected one. */
static int exchange(modbus_t *ctx, const uint8_t *req, int req_len, const uint8_t *want, int want_len) {
    uint8_t rsp[MODBUS_RTU_MAX_ADU_LENGTH];
    if (modbus_send_raw_request(ctx, req, req_len) != req_len + 2) return 0;
    int len = modbus_receive_confirmation(ctx, rsp);
    return len == want_len + 2 && memcmp(rsp, want, want_len) == 0;
}

/* 1 when nothing arrives from the slave for half a second. */
static int silent(modbus_t *ctx) {
    struct pollfd p = {.fd = modbus_get_socket(ctx), .events = POLLIN};
    int ready = poll(&p, 1, 500);
    if (ready != 0) modbus_flush(ctx);
    return ready == 0;
}

int main(int argc, char **argv) {
    const int address = argc > 2 ? atoi(argv[2]) : 1;
    const int baud = argc > 3 ? atoi(argv[3]) : 19200;
    if (argc < 2 || argc > 4 || address < 1 || address > 247 || baud < 1) {
        fprintf(stderr, "usage: %s DEVICE [ADDRESS 1-247] [BAUD]\n", argv[0]);
        return 2;
    }
    modbus_t *ctx = modbus_new_rtu(argv[1], baud, 'E', 8, 1);
    if (ctx == NULL || modbus_connect(ctx) == -1) {
        fprintf(stderr, "modbus_master: cannot open %s: %s\n", argv[1], modbus_strerror(errno));
        return 1;
    }
    modbus_set_debug(ctx, getenv("MODBUS_DEBUG") != NULL);
    modbus_set_slave(ctx, address);
    modbus_set_response_timeout(ctx, 2, 0); /* a loaded machine may be slow */
    const uint8_t a = (uint8_t)address;

    /* Every register written, the first and the last alone, and read back. */
    uint16_t table[REGISTERS], got[REGISTERS];
    for (int i = 0; i < REGISTERS; i++) table[i] = (uint16_t)(i * 0x2F1B + 0x00A5);
    check(modbus_write_register(ctx, 0, table[0]) == 1, "write register 0");
    check(modbus_write_registers(ctx, 1, REGISTERS - 2, table + 1) == REGISTERS - 2, "write registers 1-98");
    check(modbus_write_register(ctx, REGISTERS - 1, table[REGISTERS - 1]) == 1, "write register 99");
    check(modbus_read_registers(ctx, 0, REGISTERS, got) == REGISTERS && memcmp(got, table, sizeof table) == 0,
          "read registers 0-99 back");
    check(modbus_read_registers(ctx, 57, 1, got) == 1 && got[0] == table[57], "read register 57 back");

    /* Exceptions: 01 for a function the slave lacks (write single coil), 02
     * for registers past the table, 03 for a quantity out of range and a
     * byte count that disagrees with the quantity. */
    check(modbus_write_bit(ctx, 0, 1) == -1 && errno == EMBXILFUN, "write coil: illegal function");
    check(modbus_read_registers(ctx, REGISTERS - 1, 2, got) == -1 && errno == EMBXILADD,
          "read registers 99-100: illegal address");
    check(modbus_write_register(ctx, REGISTERS, 1) == -1 && errno == EMBXILADD, "write register 100: illegal address");
    check(modbus_write_registers(ctx, 90, 11, table) == -1 && errno == EMBXILADD,
          "write registers 90-100: illegal address");
    const uint8_t read0[] = {a, 3, 0, 0, 0, 0}, read126[] = {a, 3, 0, 0, 0, 126};
    const uint8_t bad_count[] = {a, 16, 0, 0, 0, 2, 3, 0, 1, 0};
    const uint8_t read_value_fault[] = {a, 0x83, 3}, write_value_fault[] = {a, 0x90, 3};
    check(exchange(ctx, read0, sizeof read0, read_value_fault, 3), "read 0 registers: illegal value");
    check(exchange(ctx, read126, sizeof read126, read_value_fault, 3), "read 126 registers: illegal value");
    check(exchange(ctx, bad_count, sizeof bad_count, write_value_fault, 3), "byte count 3 for 2 registers: illegal value");
    check(modbus_read_registers(ctx, 0, 1, got) == 1 && got[0] == table[0], "register 0 unchanged by the refused write");

    /* Silence: a request to another slave, a broadcast write (done, not
     * answered), and a frame whose CRC is wrong. */
    modbus_set_response_timeout(ctx, 0, 500000);
    modbus_set_slave(ctx, address == 247 ? 1 : address + 1);
    check(modbus_read_registers(ctx, 0, 1, got) == -1 && errno == ETIMEDOUT, "request to another slave: no reply");
    modbus_set_response_timeout(ctx, 2, 0);
    modbus_set_slave(ctx, address);
    const uint8_t broadcast[] = {0, 6, 0, 7, 0xBE, 0xEF};
    check(modbus_send_raw_request(ctx, broadcast, sizeof broadcast) == (int)sizeof broadcast + 2 && silent(ctx),
          "broadcast write: no reply");
    check(modbus_read_registers(ctx, 7, 1, got) == 1 && got[0] == 0xBEEF, "broadcast write: done");
    uint8_t bad_crc[] = {a, 6, 0, 0, 0xDE, 0xAD, 0, 0};
    const uint16_t crc = crc16(bad_crc, 6) ^ 0x0100; /* one bit off */
    bad_crc[6] = (uint8_t)crc;
    bad_crc[7] = (uint8_t)(crc >> 8);
    check(write(modbus_get_socket(ctx), bad_crc, sizeof bad_crc) == (ssize_t)sizeof bad_crc && silent(ctx),
          "bad CRC: no reply");
    check(modbus_read_registers(ctx, 0, 1, got) == 1 && got[0] == table[0], "bad CRC: nothing written, answers again");

    printf("modbus_master: %d of %d checks passed against address %d on %s\n", checks - failures, checks, address,
           argv[1]);
    modbus_close(ctx);
    modbus_free(ctx);
    return failures == 0 ? 0 : 1;
}
