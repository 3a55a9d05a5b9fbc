/* Keel serial ports: one client record per port, served by an I/O thread of
 * its own.
 *
 * Rules of this interface:
 *  - Port n is the device named by the environment variable KEEL_COM<n> when it
 *    is set (KEEL_COM3=/dev/ttyUSB0), and /dev/ttyS<n-1> otherwise: COM1 is
 *    /dev/ttyS0, COM10 /dev/ttyS9. COM0 has no default device and needs
 *    KEEL_COM0. The variable is read at every open.
 *  - The line is set from the text "COMn:baud,parity,data,stop" (for example
 *    "COM3:9600,N,8,1"): the standard rates from 50 to 4000000 baud, parity N,
 *    E, O, M or S (mark and space; lower case accepted), 5 to 8 data bits, 1 or
 *    2 stop bits. A 1.5 stop-bit setting is applied as 2, the nearest the
 *    terminal interface offers. The port runs raw, without flow control, and
 *    with parity generated but not checked. A setting the device does not take
 *    makes open fail. (A pseudo-terminal has no line: it always reads back as
 *    8 data bits without parity, and that is accepted.)
 *  - The open is exclusive: a second client of the same device, in this
 *    process or another, is refused as a busy port is, root included.
 *  - The calling order is: create; bind_read and set_udata; open; send and
 *    read while open; close; destroy. A client may be opened again after
 *    close. Close must not run while another thread is inside send or read of
 *    the same client.
 *  - The read callback runs on the port's I/O thread, never on the runtime's
 *    main thread, and needs no os_startup. It may call os_comm_client_read and
 *    os_comm_client_send, and may close or destroy its own client: the port
 *    is then released by its I/O thread as soon as the callback returns (a
 *    destroyed client must not be used again).
 *  - A port that hangs up (a USB adapter unplugged, the far end of a
 *    pseudo-terminal closed) is reported once; the bytes received before it
 *    are still delivered, and the port is neither read nor written again until
 *    close. Sends keep being queued up to the queue limit.
 */
#ifndef KEEL_OS_COMM_H
#define KEEL_OS_COMM_H

#include <stdint.h>

#include "keel/export.h"

KEEL_BEGIN_DECLS

#define MAX_COM_PORT_NUM 10      /* port numbers 0 to 10 */
#define MAX_READ_BUF_SIZE 2048   /* received bytes kept for os_comm_client_read */
#define MAX_COM_SEND_BUF_NUM 50  /* a send is refused while more items than this wait */

typedef struct os_comm_client os_comm_client_t;

/* Bytes wait: take them with os_comm_client_read. The result is ignored. */
typedef int (*os_comm_read_cb)(os_comm_client_t *client, void *arg);

/* A closed client of port comport (0 to MAX_COM_PORT_NUM; NULL otherwise).
 * parity is a character ('N', 'E', 'O', 'M', 'S'); stop_bits 2 or more gives
 * 2 stop bits, anything less 1. The settings are checked at open. */
KEEL_API os_comm_client_t *os_comm_client_create(int comport, int baud, int data_bits, int parity,
                                                 int stop_bits);
/* Closes and frees the client; 1, also for NULL. */
KEEL_API int os_comm_client_destroy(os_comm_client_t *client);
/* 0 for every client, open or closed (it does not tell them apart); -1 for
 * NULL. */
KEEL_API int os_comm_client_get_status(os_comm_client_t *client);
/* Opens the device, sets the line, discards whatever waited on it and starts
 * the I/O thread. 1 open; 0 failed, leaving the client closed. A client that
 * is already open is refused and keeps its port. */
KEEL_API int os_comm_client_open(os_comm_client_t *client);
/* Stops and joins the I/O thread, frees unwritten data and closes the device;
 * 1 also when the client was not open, 0 for NULL. Bytes received but not yet
 * read stay readable. */
KEEL_API int os_comm_client_close(os_comm_client_t *client);
/* Queues a copy of the data for the I/O thread: len when queued, -1 when the
 * client is not open or more than MAX_COM_SEND_BUF_NUM items wait. Before it
 * writes an item, the I/O thread discards the bytes the port received that it
 * had not read yet: send a request, then take the answer. */
KEEL_API int os_comm_client_send(os_comm_client_t *client, const void *data, uint32_t len);
/* Takes up to len of the waiting received bytes, oldest first; the number
 * copied, 0 when none wait. Once MAX_READ_BUF_SIZE bytes wait unread, the
 * next byte that arrives replaces them all. */
KEEL_API int os_comm_client_read(os_comm_client_t *client, void *data, uint32_t len);
KEEL_API int os_comm_client_set_udata(os_comm_client_t *client, void *udata);
KEEL_API void *os_comm_client_get_udata(os_comm_client_t *client);
/* Bind before open: the I/O thread reads the callback without a lock. */
KEEL_API int os_comm_client_bind_read(os_comm_client_t *client, os_comm_read_cb read_cb,
                                      void *read_arg);

KEEL_END_DECLS

#endif /* KEEL_OS_COMM_H */
