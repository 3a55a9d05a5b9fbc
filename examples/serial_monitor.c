/* Prints what a serial port receives, one line per batch of bytes, with bytes
 * that are not printable shown as \xNN.
 *
 *   serial_monitor [port [baud [seconds]]]
 *
 * Port n is the device in KEEL_COM<n>, or /dev/ttyS<n-1> (COMn on Windows);
 * the line is 8N1.
 * Runs until Ctrl-C, or for the given number of seconds. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include "keel.h"

static int show(os_comm_client_t *client, void *arg) {
    unsigned char bytes[MAX_READ_BUF_SIZE];
    int n = os_comm_client_read(client, bytes, sizeof bytes);
    printf("COM%d: %d bytes: ", *(const int *)arg, n);
    for (int i = 0; i < n; ++i) {
        if (bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '\\')
            putchar(bytes[i]);
        else
            printf("\\x%02X", bytes[i]);
    }
    putchar('\n');
    fflush(stdout);
    return 0;
}

/* Ctrl-C, SIGTERM or the time limit end the run in main(). */
static void stop_on_signal(int signo, void *arg) {
    (void)signo;
    (void)arg;
    os_stop(0);
}
static void stop_on_time(void *arg) {
    (void)arg;
    os_stop(0);
}

int main(int argc, char **argv) {
    int port = argc > 1 ? atoi(argv[1]) : 1;
    int baud = argc > 2 ? atoi(argv[2]) : 9600;
    int seconds = argc > 3 ? atoi(argv[3]) : 0;

    /* Bound before the port opens, so that its I/O thread, started then,
     * blocks them too and the main thread gets them. */
    if (!os_startup(0, 0)) return 1;
    os_signal_bind(SIGINT, stop_on_signal, NULL);
    os_signal_bind(SIGTERM, stop_on_signal, NULL);

    os_comm_client_t *client = os_comm_client_create(port, baud, 8, 'N', 1);
    if (client == NULL) return 2;
    os_comm_client_bind_read(client, show, &port);
    if (!os_comm_client_open(client)) {
        fprintf(stderr, "serial_monitor: COM%d could not be opened (see the line above)\n", port);
        os_comm_client_destroy(client);
        return 1;
    }
    printf("COM%d open at %d baud, 8N1; Ctrl-C ends\n", port, baud);
    fflush(stdout);
    if (seconds > 0) os_timer_create_once(stop_on_time, (uint32_t)seconds * 1000, NULL);
    os_run();
    os_comm_client_destroy(client);
    printf("COM%d closed\n", port);
    return 0;
}
