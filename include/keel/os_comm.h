/** @file keel/os_comm.h
 * Keel serial ports: one client record per port, served by an I/O thread of
 * its own.
 *
 * Rules of this interface:
 *  - Port n is the device named by the environment variable KEEL_COM<n> when it
 *    is set (KEEL_COM3=/dev/ttyUSB0), and /dev/ttyS<n-1> otherwise: COM1 is
 *    /dev/ttyS0, COM10 /dev/ttyS9. COM0 has no default device and needs
 *    KEEL_COM0. The variable is read at every open. On Windows port n is the
 *    system's COMn (opened as `\\.\COMn`), and no variable is read.
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
 *  - The read callback runs on the port's I/O thread, not on the runtime's
 *    main thread, and needs no os_startup (os_comm_client_set_main_thread
 *    moves it and the event callback to the main thread). It may call
 *    os_comm_client_read and os_comm_client_send, and may close or destroy
 *    its own client: the port is then released by its I/O thread as soon as
 *    the callback returns (a destroyed client must not be used again).
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
 * It runs on the port's I/O thread (or on the runtime's main thread, see
 * os_comm_client_set_main_thread). */
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
 *          for COM0, 16: busy, 13: no permission; on Windows the system's
 *          numbers, 2: no such port, 5: busy or no permission); the
 *          settings text refused as "!BuildCommDCB, 22"; "!BuildCommDCB, N" or
 *          "!SetCommState, N" for settings the port or the device does not
 *          take; "!os_thread_create" when the I/O thread cannot start.
 */
KEEL_API int os_comm_client_open(os_comm_client_t *client);
/** Stops and joins the I/O thread, frees unwritten data and closes the device;
 * 1 also when the client was not open, 0 for NULL. Bytes received but not yet
 * read stay readable. A client whose callbacks run on the main thread is
 * closed under the main lock: no callback of it runs once close returns.
 * @param client the client.
 * @return 1, or 0 for NULL.
 * @reports "client == NULL" (info); the I/O thread's end, "has shutdown"
 *          (info).
 */
KEEL_API int os_comm_client_close(os_comm_client_t *client);
/** Queues a copy of the data for the I/O thread: len when queued, -1 when the
 * client is not open or more than MAX_COM_SEND_BUF_NUM items wait. Before it
 * writes an item, the I/O thread of a numbered port discards the bytes the
 * port received that were not read yet, those the device still holds and
 * those waiting for os_comm_client_read alike: send a request, then take the
 * answer (os_comm_client_set_input_flush changes that).
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
 * everything each time loses nothing, however fast the device sends. With
 * the callbacks on the main thread nothing is dropped: the port is left
 * unread while the buffer is full, until a read makes room.
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

/* ---- ports by path, their lines and their events -------------------------
 *
 * Beyond the numbered ports: a client of any character device by its path,
 * at any rate its driver takes; the events of its line (hang-up, a drained
 * send queue, the modem input lines) on its I/O thread; the modem output
 * lines, a break and RS-485 direction control; and reads gathered into whole
 * frames by the silence that ends them. What a driver supports differs: a
 * USB adapter (ftdi_sio, pl2303, cp210x, ch341) and a UART (serial8250,
 * pl011) have the modem lines; CDC ACM devices (ttyACM) have DTR and RTS and
 * report DCD and DSR only if they choose to; RS-485 needs a UART or adapter
 * whose driver implements TIOCSRS485; a pseudo-terminal has neither modem
 * lines nor RS-485 nor a break, and every such call on one fails with a
 * report. */

/** A closed client of the character device at path device (/dev/ttyUSB0, a
 * /dev/serial/by-id/ link, a pseudo-terminal): the same record and the same
 * calls as a numbered port's. Unlike a numbered port, any rate the device's
 * driver takes can be set (230400, 250000, 1000000, 12345, ...), not only the
 * standard ones; open reads the rate back and fails when the driver did not
 * keep it. And it keeps every received byte: it does not discard unread
 * input before each write, so a stream can flow both ways at once (see
 * os_comm_client_set_input_flush). The path is copied; it is opened at each
 * open. On Windows device is a port's name as the system knows it ("COM7",
 * or the full form "\\.\COM12"), and the rate is the driver's to take.
 * @param device the device's path; fewer than 4,096 characters.
 * @param baud the rate in bits per second, 1 or more.
 * @param data_bits 5 to 8.
 * @param parity 'N', 'E', 'O', 'M' or 'S' (lower case accepted).
 * @param stop_bits 1 or 2.
 * @return the client, to be freed with os_comm_client_destroy, or NULL for a
 *         NULL, empty or too long path or a rate below 1.
 * @reports "device == NULL || device[0] == 0 || strlen(device) >= 4096" or
 *          "baud < 1" (info); "client == NULL" (fatal) when no memory is left.
 *          At open, a rate the driver changed as "!SetCommState, 22" (info).
 */
KEEL_API os_comm_client_t *os_comm_client_create_dev(const char *device, int baud, int data_bits, int parity,
                                                     int stop_bits);

#define OS_COMM_EVENT_HANGUP 1  /**< the device hung up or went away; reported once */
#define OS_COMM_EVENT_DRAINED 2 /**< the send queue emptied: the moment to send more */
#define OS_COMM_EVENT_LINES 3   /**< a modem input line changed; lines holds them all now */

#define OS_COMM_LINE_DTR 0x01 /**< data terminal ready (an output) */
#define OS_COMM_LINE_RTS 0x02 /**< request to send (an output) */
#define OS_COMM_LINE_CTS 0x04 /**< clear to send (an input) */
#define OS_COMM_LINE_DSR 0x08 /**< data set ready (an input) */
#define OS_COMM_LINE_DCD 0x10 /**< data carrier detect (an input) */
#define OS_COMM_LINE_RI 0x20  /**< ring indicator (an input) */

/** An event of the line, on the port's I/O thread (or the main thread, see
 * os_comm_client_set_main_thread): event is one of the
 * OS_COMM_EVENT_ values; lines is the state of every modem line
 * (OS_COMM_LINE_ bits) for OS_COMM_EVENT_LINES, 0 otherwise. The same rules
 * as for the read callback hold: it may read, send, close or destroy. */
typedef void (*os_comm_event_cb)(os_comm_client_t *client, int event, uint32_t lines, void *arg);

/** Sets the callback of the line's events. After OS_COMM_EVENT_HANGUP the
 * port is neither read nor written; close the client, and open it again once
 * the device is back (os_comm_watch_ports tells when). Changes of the modem
 * input lines are looked for every 20 ms, only while a callback is bound and
 * only where the driver counts them (TIOCGICOUNT). On Windows the port
 * reports them itself (WaitCommEvent), where its driver does; there a carrier
 * (DCD) that drops is a hang-up as well, reported as "ReadFile err 1167".
 * Bind before open: the I/O thread reads the callback without a lock.
 * @param client a closed client.
 * @param event_cb called on the I/O thread; NULL removes it.
 * @param event_arg passed to event_cb.
 * @return 1, or 0 for NULL.
 * @reports "client == NULL" (info).
 */
KEEL_API int os_comm_client_bind_event(os_comm_client_t *client, os_comm_event_cb event_cb, void *event_arg);

/** Raises (1) or lowers (0) a modem output line of an open client.
 * @param client an open client.
 * @param line OS_COMM_LINE_DTR or OS_COMM_LINE_RTS.
 * @param on 1 to raise, 0 to lower.
 * @return 1 set, 0 refused.
 * @reports "client == NULL || (line != OS_COMM_LINE_DTR && line !=
 *          OS_COMM_LINE_RTS)" or "client->com == -1" (not open) (info); a
 *          driver without modem lines as "TIOCMBIS/TIOCMBIC, N" (error), on
 *          Windows "EscapeCommFunction, N".
 */
KEEL_API int os_comm_client_set_line(os_comm_client_t *client, uint32_t line, int on);
/** Reads every modem line of an open client into *lines (OS_COMM_LINE_ bits).
 * @param client an open client.
 * @param lines where the bits go.
 * @return 1 read, 0 refused.
 * @reports "client == NULL || lines == NULL" or "client->com == -1" (info);
 *          a driver without modem lines as "TIOCMGET, N" (error), on Windows
 *          "GetCommModemStatus, N". Windows cannot read the output lines
 *          back: DTR and RTS are as open or os_comm_client_set_line last set
 *          them.
 */
KEEL_API int os_comm_client_get_lines(os_comm_client_t *client, uint32_t *lines);
/** Sends a break (the line held at space) of about ms milliseconds; the
 * calling thread waits for it.
 * @param client an open client.
 * @param ms the length, 1 to 10,000.
 * @return 1 sent, 0 refused.
 * @reports "client == NULL || ms < 1 || ms > 10000" or "client->com == -1"
 *          (info); a driver that cannot send one as "TIOCSBRK, N" (error), on
 *          Windows "SetCommBreak, N" or "ClearCommBreak, N".
 */
KEEL_API int os_comm_client_send_break(os_comm_client_t *client, uint32_t ms);
/** Turns RS-485 direction control on or off: the driver raises RTS while it
 * sends (rts_on_send 1) or lowers it (rts_on_send 0, for transceivers wired
 * the other way), with the given delays before and after sending.
 * @param client an open client.
 * @param enable 1 on, 0 off.
 * @param rts_on_send 1: RTS high while sending; 0: RTS low while sending.
 * @param delay_before_ms RTS is set this long before the first bit.
 * @param delay_after_ms and kept this long after the last.
 * @return 1 set, 0 refused.
 * @reports "client == NULL" or "client->com == -1" (info); a driver without
 *          RS-485 as "TIOCSRS485, N" (error). Windows has no common call for
 *          it (each adapter's driver sets it its own way): there every call
 *          is refused with "RS-485 direction control is not available on
 *          Windows" (error).
 */
KEEL_API int os_comm_client_set_rs485(os_comm_client_t *client, int enable, int rts_on_send, uint32_t delay_before_ms,
                                      uint32_t delay_after_ms);
/** Whether unread input is discarded before each item is written, as a
 * numbered port does by default (send a request, then take the answer, with
 * nothing that came before mixed in: neither what the device holds nor what
 * waits for os_comm_client_read) and a client of a path does not (a stream
 * both ways at once loses nothing). Nothing is discarded between the parts
 * of one item. May be called at any time; it applies from the next item on.
 * @param client the client.
 * @param on 1 to discard, 0 to keep.
 * @return 1, or 0 for NULL.
 * @reports "client == NULL" (info).
 */
KEEL_API int os_comm_client_set_input_flush(os_comm_client_t *client, int on);
/** Gathers received bytes into frames: the read callback is called only once
 * the line has been silent gap_us microseconds after the last byte (or the
 * read buffer is full), so that it finds a whole frame. Modbus RTU's 3.5
 * characters are about 4,010 us at 9,600 baud and 1,750 us above 19,200
 * (the fixed value that protocol uses there). The silence is measured on the
 * monotonic clock to the microsecond, from when the bytes reached the
 * library. 0, the default, calls the callback as soon as bytes wait.
 * May be called at any time, open or not; it applies from the next byte on.
 * @param client the client.
 * @param gap_us the silence in microseconds, 0 to 10,000,000.
 * @return 1, or 0 refused.
 * @reports "client == NULL || gap_us > 10000000" (info).
 */
KEEL_API int os_comm_client_set_read_gap(os_comm_client_t *client, uint32_t gap_us);

/** Runs the read and event callbacks on the runtime's main thread (on 1) or
 * on the port's I/O thread (0, the default). On the main thread they run one
 * at a time with every other callback of the runtime, with the main lock
 * held, so they may use the program's other records without a lock of their
 * own, and may close or destroy their own client. The I/O thread then only
 * gathers received bytes into the client's buffer, where the read callback
 * takes them: nothing is copied on the way, and a burst of bytes costs one
 * call, not one per chunk. While that buffer is full the port is left
 * unread (the device is held back by the system's own buffer, or loses what
 * overflows it where nothing holds it back), so a read callback that takes
 * everything loses nothing. Events that pile up before the main thread gets
 * to them come as one each (OS_COMM_EVENT_LINES with the latest lines), after
 * the bytes that came before them. Close takes the main lock. Needs
 * os_startup (for 1).
 * @param client a closed client.
 * @param on 1 for the main thread, 0 for the I/O thread.
 * @return 1 set, 0 refused.
 * @reports "client == NULL", "os_is_startup() == 0" or "client->running ==
 *          1" (an open client) (info).
 */
KEEL_API int os_comm_client_set_main_thread(os_comm_client_t *client, int on);

/* ---- finding ports --------------------------------------------------------
 *
 * The serial devices present, as sysfs and /dev describe them, and their
 * comings and goings. For tests, the two roots can be moved: KEEL_SYSFS_ROOT
 * stands for /sys and KEEL_DEV_ROOT for /dev (each read at every call).
 *
 * On Windows the ports are those the system lists under the registry key
 * HARDWARE\DEVICEMAP\SERIALCOMM, in the order of their names (COM2 before
 * COM10): device is the port's name ("COM3"), driver the kind of its
 * driver's device object ("Serial", "VCP", "USBSER"), the USB fields come
 * from the device's instance (the serial number only where the device gives
 * one), and by_id and by_path stay empty. A list that cannot be read is
 * reported as "RegOpenKeyEx(HARDWARE\DEVICEMAP\SERIALCOMM) fail" (error). The
 * watch is told by the system when that key changes, reads the list again
 * and tells each port's coming or going at once (until the key exists, it
 * looks for it twice a second). */

/** One serial device present. Text fields are empty when unknown. */
typedef struct os_comm_port_info {
    char device[256];       /**< its node: "/dev/ttyUSB0" */
    char by_id[256];        /**< the full path of its stable name under /dev/serial/by-id/, or "" */
    char by_path[256];      /**< the full path of its name by bus position under /dev/serial/by-path/, or "" */
    char driver[64];        /**< the kernel driver: "ftdi_sio", "cdc_acm", "serial8250", ... */
    uint16_t vendor_id;     /**< USB vendor id, 0 for a device not on USB */
    uint16_t product_id;    /**< USB product id, 0 for a device not on USB */
    char serial[128];       /**< USB serial number text */
    char manufacturer[128]; /**< USB manufacturer text */
    char product[128];      /**< USB product text */
} os_comm_port_info_t;

/** Lists the serial devices present: those the kernel's tty class shows with
 * a device behind them and a node in the device directory. A port whose UART
 * is absent (a legacy ttyS entry of a board without it, whose type reads 0)
 * is left out, and so are virtual consoles, pseudo-terminals and a device
 * being taken apart (its node goes first).
 * @param ports where the first max entries go, in the order of their names
 *        (ttyS2 before ttyS10); may be NULL when max is 0.
 * @param max how many entries ports holds.
 * @return how many devices are present (possibly more than max: call again
 *         with room for all), or -1 refused.
 * @reports "ports == NULL && max > 0 || max < 0" (info); a tty class that
 *          cannot be read as "opendir(<root>/class/tty) fail" (error).
 */
KEEL_API int os_comm_list_ports(os_comm_port_info_t *ports, int max);

/** A device appeared (present 1) or went (present 0). For a device that
 * went, port holds what was known of it when it appeared (or when the watch
 * started, for one present then). port is valid during the call only. Runs
 * on the runtime's main thread, with its lock held. */
typedef void (*os_comm_port_cb)(const os_comm_port_info_t *port, int present, void *arg);
/** A watch of serial devices. */
typedef struct os_comm_watch os_comm_watch_t;

/** Watches for serial devices that appear or go, with no udev daemon needed
 * (it watches the device directory itself): cb is called once for each
 * device that appears and once when it goes, in the order they did, on the
 * runtime's main thread. Devices present when the watch starts are not
 * reported as appearing, but are when they go: start the watch first, then
 * list what is present (a device plugged in between is then seen twice,
 * never missed). A USB device's appearance waits up to a second for its
 * by-id and by-path links, which udev makes a moment after the device node;
 * where no udev runs, it comes after that second with the links empty. Nodes
 * in subdirectories of /dev are listed but not watched. Needs os_startup.
 * @param cb the callback.
 * @param arg passed to cb.
 * @return the watch, to be ended with os_comm_unwatch_ports, or NULL.
 * @reports "cb == NULL" or "os_is_startup() == 0" (info); a directory that
 *          cannot be watched as "inotify_add_watch(<dir>) fail" (error).
 */
KEEL_API os_comm_watch_t *os_comm_watch_ports(os_comm_port_cb cb, void *arg);
/** Ends a watch and frees it; no callback of it runs after this returns.
 * May be called from the watch's own callback.
 * @param watch the watch.
 * @return 1, or 0 for NULL.
 * @reports "watch == NULL" (info).
 */
KEEL_API int os_comm_unwatch_ports(os_comm_watch_t *watch);

KEEL_END_DECLS

#endif /* KEEL_OS_COMM_H */
