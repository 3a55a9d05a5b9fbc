/* Prints what a serial port receives, one line per batch of bytes, with bytes
 * that are not printable shown as \xNN.
 *
 *   serial_monitor [port [baud [seconds]]]
 *
 * Port n is the device in KEEL_COM<n>, or /dev/ttyS<n-1>; the line is 8N1.
 * Runs until Ctrl-C, or for the given number of seconds. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

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

int main(int argc, char **argv) {
    int port = argc > 1 ? atoi(argv[1]) : 1;
    int baud = argc > 2 ? atoi(argv[2]) : 9600;
    int seconds = argc > 3 ? atoi(argv[3]) : 0;

    /* Blocked before open, so the port's I/O thread never takes the signal
     * and the main thread can simply wait for it. */
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, NULL);

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
    if (seconds > 0) {
        struct timespec limit = {seconds, 0};
        sigtimedwait(&stop, NULL, &limit);
    } else {
        int sig;
        sigwait(&stop, &sig);
    }
    os_comm_client_destroy(client);
    printf("COM%d closed\n", port);
    return 0;
}
