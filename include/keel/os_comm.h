/** @file keel/os_comm.h
 * Keel serial ports: one client record per port, served by an I/O thread of
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
 *    pseudo-terminal closed) is reported once; the bytes read before it
 *    are still delivered (the system itself discards what a pseudo-terminal
 *    held unread at its hang-up), and the port is neither read nor written again until
 *    close. Sends keep being queued up to the queue limit.
 */
#ifndef KEEL_OS_COMM_H
#define KEEL_OS_COMM_H

#include <stdint.h>

#include "keel/export.h"

KEEL_BEGIN_DECLS

#define MAX_COM_PORT_NUM 10      /**< port numbers 0 to 10 */
#define MAX_READ_BUF_SIZE 2048   /**< received bytes kept for os_comm_client_read */
#define MAX_COM_SEND_BUF_NUM 50  /**< a send is refused while more items than this wait */

/** A serial port client. */
typedef struct os_comm_client os_comm_client_t;

/** Bytes wait: take them with os_comm_client_read. The result is ignored.
 * It runs on the port's I/O thread. */
typedef int (*os_comm_read_cb)(os_comm_client_t *client, void *arg);

/** A closed client of port comport (0 to MAX_COM_PORT_NUM; NULL otherwise).
 * parity is a character ('N', 'E', 'O', 'M', 'S'); stop_bits 2 or more gives
 * 2 stop bits, anything less 1. The settings are checked at open.
 * @param comport the port number: COMn.
 * @param baud the rate, one of the standard ones from 50 to 4000000.
 * @param data_bits 5 to 8.
 * @param parity 'N', 'E', 'O', 'M' or 'S' (lower case accepted).
 * @param stop_bits 1 or 2.
 * @return the client, to be freed with os_comm_client_destroy, or NULL for a
 *         port number out of range.
 * @reports "comport < 0 || comport > MAX_COM_PORT_NUM" (info); "client ==
 *          NULL" (fatal) when no memory is left.
 */
KEEL_API os_comm_client_t *os_comm_client_create(int comport, int baud, int data_bits, int parity,
                                                 int stop_bits);
/** Closes and frees the client; 1, also for NULL.
 * The read callback may destroy its own client; the port is then released by
 * its I/O thread when the callback returns.
 * @param client the client.
 * @return 1.
 */
KEEL_API int os_comm_client_destroy(os_comm_client_t *client);
/** 0 for every client, open or closed (it does not tell them apart); -1 for
 * NULL.
 * @param client the client.
 * @return 0, or -1.
 */
KEEL_API int os_comm_client_get_status(os_comm_client_t *client);
/** Opens the device, sets the line, discards whatever waited on it and starts
 * the I/O thread. 1 open; 0 failed, leaving the client closed. A client that
 * is already open is refused and keeps its port.
 * @param client the client.
 * @return 1 open, 0 not.
 * @reports, all at the info level: "client == NULL"; "client->running == 1"
 *          for an open client; "client->com == INVALID_HANDLE_VALUE, errno: N"
 *          when the device cannot be opened (2: no such device or no KEEL_COMn
 *          for COM0, 16: busy, 13: no permission); "!BuildCommDCB, N" or
 *          "!SetCommState, N" for settings the port or the device does not
 *          take; "!os_thread_create" when the I/O thread cannot start.
 */
KEEL_API int os_comm_client_open(os_comm_client_t *client);
/** Stops and joins the I/O thread, frees unwritten data and closes the device;
 * 1 also when the client was not open, 0 for NULL. Bytes received but not yet
 * read stay readable.
 * @param client the client.
 * @return 1, or 0 for NULL.
 * @reports "client == NULL" (info); the I/O thread's end, "has shutdown"
 *          (info).
 */
KEEL_API int os_comm_client_close(os_comm_client_t *client);
/** Queues a copy of the data for the I/O thread: len when queued, -1 when the
 * client is not open or more than MAX_COM_SEND_BUF_NUM items wait. Before it
 * writes an item, the I/O thread discards the bytes the port received that it
 * had not read yet: send a request, then take the answer.
 * @param client an open client.
 * @param data the bytes.
 * @param len their count, at least 1.
 * @return len, or -1.
 * @reports "client == NULL|| data == NULL || len <= 0",
 *          "client->lst_send == NULL" (not open) or
 *          "adt_dlist_size(client->lst_send) > MAX_COM_SEND_BUF_NUM" (info); a
 *          failed write, later on the I/O thread, as "WriteFile err=[N]"
 *          (info).
 */
KEEL_API int os_comm_client_send(os_comm_client_t *client, const void *data, uint32_t len);
/** Takes up to len of the waiting received bytes, oldest first; the number
 * copied, 0 when none wait. When MAX_READ_BUF_SIZE bytes wait and the port
 * holds more, the read callback is called first; only what it leaves unread
 * is dropped, and the newer bytes take its place. A callback that reads
 * everything each time loses nothing, however fast the device sends.
 * @param client the client.
 * @param data where the bytes go.
 * @param len its size, at least 1.
 * @return the count copied, or 0.
 * @reports "client == NULL || data == NULL || len <= 0" (info); the loss of
 *          unread bytes, on the I/O thread, as "client->buff_size >=
 *          MAX_READ_BUF_SIZE" (info).
 */
KEEL_API int os_comm_client_read(os_comm_client_t *client, void *data, uint32_t len);
/** Stores one pointer of the caller's with the client.
 * @param client the client.
 * @param udata the pointer.
 * @return 1, or 0 for NULL.
 * @reports "client == NULL" (info).
 */
KEEL_API int os_comm_client_set_udata(os_comm_client_t *client, void *udata);
/** The pointer of os_comm_client_set_udata (NULL until set).
 * @param client the client.
 * @return the pointer, or NULL for NULL.
 * @reports "client == NULL" (info).
 */
KEEL_API void *os_comm_client_get_udata(os_comm_client_t *client);
/** Sets the callback of received bytes.
 *
 * Bind before open: the I/O thread reads the callback without a lock.
 * @param client a closed client.
 * @param read_cb called on the I/O thread; NULL removes it.
 * @param read_arg passed to read_cb.
 * @return 1, or 0 for NULL.
 * @reports "client == NULL" (info).
 */
KEEL_API int os_comm_client_bind_read(os_comm_client_t *client, os_comm_read_cb read_cb,
                                      void *read_arg);

KEEL_END_DECLS

#endif /* KEEL_OS_COMM_H */
