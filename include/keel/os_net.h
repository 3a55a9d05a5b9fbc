/* Keel networking: address texts, TCP servers and clients, UDP clients.
 *
 * Rules of this interface:
 *  - An address is dotted IPv4 text ("192.168.1.10") or IPv6 text ("fe80::1"),
 *    the latter optionally followed by "%" and a decimal scope number
 *    ("fe80::1%3"). Interface names after "%" give scope 0.
 *  - An ip type is 0 for IPv4, 1 for IPv6 and -1 for neither.
 *  - Ports and 32-bit IPv4 numbers are in host order everywhere: the text
 *    1.2.3.4 is the number 0x01020304.
 *  - Every function works on its arguments only and may be called from any
 *    thread, before or after os_startup.
 */
#ifndef KEEL_OS_NET_H
#define KEEL_OS_NET_H

#include <stdint.h>

#include "keel/export.h"

KEEL_BEGIN_DECLS

/* Size of every address text field of the socket records: at most 63
 * characters and the terminator. */
#define MAX_IPV6_LEN 64

/* The ip type of addr; NULL and "" are reported and give -1. */
KEEL_API int os_get_ip_type(const char *addr);
/* The same, except that "" is taken as the unspecified IPv4 address: 0. */
KEEL_API int get_valid_addr(const char *addr);

/* 1 for exactly "127.0.0.1" or "::1", 0 for any other text or NULL. */
KEEL_API int os_ip_is_lo(const char *ip);
/* 1 when both texts denote the same address (and, for IPv6, the same scope),
 * 1 for two empty texts, 0 otherwise. */
KEEL_API int os_ip_cmp(const char *src_ip, const char *dst_ip);

/* The IPv4 address in host order, or 0xFFFFFFFF for bad text (which makes
 * 255.255.255.255 indistinguishable from an error). */
KEEL_API uint32_t os_inet_ip_to_host_byte(const char *ip);
/* Writes the dotted text of a host-order address into buf (16 bytes always
 * suffice). Returns 1, or 0 for a null or too small buffer. */
KEEL_API int os_inet_host_byte_to_ip(uint32_t host_ip, char *buf, int buf_len);

/* ---- sockets -------------------------------------------------------------
 *
 * Three records, each allocated by its create call and freed by its destroy
 * call; the fields are the library's own. Every callback runs on the runtime's
 * main thread with the main lock held (see os_runtime.h), except where a
 * function below says it runs on the caller's thread. All sockets are
 * non-blocking and close-on-exec; no call ever raises SIGPIPE.
 *
 * Error numbers in reports follow the usual socket numbering: 10035 would
 * block, 10053 connection aborted, 10054 reset by the peer, 10060 timed out,
 * 10061 refused. */

typedef struct os_tcp_server os_tcp_server_t;
typedef struct os_tcp_client os_tcp_client_t;
typedef struct os_udp_client os_udp_client_t;

#define TCP_SERVER_STATUS_CLOSED 0
#define TCP_SERVER_STATUS_LISTEN 1

#define TCP_CLIENT_STATUS_DISCONN 0
#define TCP_CLIENT_STATUS_CONNECTING 1
#define TCP_CLIENT_STATUS_CONNECT 2

#define UDP_CLIENT_STATUS_CLOSED 0
#define UDP_CLIENT_STATUS_OPEN 1

/* A new connection: client is owned by the library (see os_tcp_client_close). */
typedef void (*os_tcp_accept_cb)(os_tcp_server_t *server, os_tcp_client_t *client, void *arg);
/* Connect, write and disconnect callbacks. */
typedef void (*os_tcp_client_cb)(os_tcp_client_t *client, void *arg);
/* Data waits: take it with os_tcp_client_read. Return -1 to have the library
 * close the connection, anything else to keep it. */
typedef int (*os_tcp_read_cb)(os_tcp_client_t *client, void *arg);
/* Read and write callbacks of a UDP client. */
typedef void (*os_udp_client_cb)(os_udp_client_t *client, void *arg);

/* -- TCP server: one listening IPv4 socket --
 * Accepting: when a file "select_config.json" exists in the current directory
 * at os_startup, each connection is accepted as soon as it arrives; otherwise
 * every waiting connection is accepted on the next one-second tick. */

/* A closed server on 0.0.0.0 port 0 (never NULL). */
KEEL_API os_tcp_server_t *os_tcp_server_create(void);
/* Closes and frees the server; connections it accepted live on. */
KEEL_API int os_tcp_server_destroy(os_tcp_server_t *server);
/* Stores port, then (unless ip is NULL) the dotted IPv4 text ip; refuses text
 * that is not an IPv4 address (the port is kept) and text of 16 characters or
 * more. Takes effect at the next open. */
KEEL_API int os_tcp_server_set_local(os_tcp_server_t *server, const char *ip, uint16_t port);
/* The stored address (ip_out needs 16 bytes) and port, as set. */
KEEL_API int os_tcp_server_get_local(os_tcp_server_t *server, char *ip_out, uint16_t *port_out);
/* TCP_SERVER_STATUS_CLOSED or _LISTEN; -1 for NULL. */
KEEL_API int os_tcp_server_get_status(os_tcp_server_t *server);
/* Binds and listens; needs os_startup. 1 listening, 0 not (a failed open
 * keeps no socket). */
KEEL_API int os_tcp_server_open(os_tcp_server_t *server);
/* Stops listening; 1 also when the server was not listening. */
KEEL_API int os_tcp_server_close(os_tcp_server_t *server);
KEEL_API int os_tcp_server_bind_accept(os_tcp_server_t *server, os_tcp_accept_cb accept_cb, void *accept_arg);

/* -- TCP client: one connection, IPv4 or IPv6 --
 * A client made by os_tcp_client_create belongs to the caller, who destroys
 * it. A client handed to an accept callback belongs to the library: it is
 * freed right after its disconnect callback, whichever way the connection
 * ends (the peer, a read callback returning -1, or the caller's close or
 * destroy), and must not be used afterwards.
 * A connect that fails (refused, unreachable) is reported in the log with its
 * error number and leaves the client connecting; close it to try again. */

KEEL_API os_tcp_client_t *os_tcp_client_create(void);
KEEL_API int os_tcp_client_destroy(os_tcp_client_t *client);
/* ip: IPv4 or IPv6 text (63 characters at most, "%scope" allowed); only while
 * disconnected. */
KEEL_API int os_tcp_client_set_remote(os_tcp_client_t *client, const char *ip, uint16_t port);
/* ip_out needs 16 bytes for an IPv4 client and 64 for an IPv6 one. */
KEEL_API int os_tcp_client_get_remote(os_tcp_client_t *client, char *ip_out, uint16_t *port_out);
/* The local address to bind before connecting; "" and 0 mean any. */
KEEL_API int os_tcp_client_set_local(os_tcp_client_t *client, const char *ip, uint16_t port);
/* ip_out needs 64 bytes. */
KEEL_API int os_tcp_client_get_local(os_tcp_client_t *client, char *ip_out, uint16_t *port_out);
/* TCP_CLIENT_STATUS_*; -1 for NULL. */
KEEL_API int os_tcp_client_get_status(os_tcp_client_t *client);
/* fd -1: connect to the remote address (the connect callback follows, on the
 * calling thread when the connect completes at once). Otherwise adopt fd, a
 * connected socket of the caller's, without callbacks. 1 started, 0 not. */
KEEL_API int os_tcp_client_open(os_tcp_client_t *client, int fd);
/* Ends the connection and calls the disconnect callback on the calling
 * thread; 1 also when already closed. */
KEEL_API int os_tcp_client_close(os_tcp_client_t *client);
/* Bytes the socket took (maybe fewer than len); 0 when it would block (a
 * write callback follows when it takes data again) or while connecting; -1
 * when not connected or the connection failed. */
KEEL_API int os_tcp_client_send(os_tcp_client_t *client, const void *data, uint32_t len);
/* Bytes read (1 or more); 0 when nothing waits now; -1 when the peer closed
 * or the connection failed. */
KEEL_API int os_tcp_client_read(os_tcp_client_t *client, void *buffer, uint32_t len);
KEEL_API int os_tcp_client_set_udata(os_tcp_client_t *client, void *udata);
KEEL_API void *os_tcp_client_get_udata(os_tcp_client_t *client);
KEEL_API int os_tcp_client_bind_connect(os_tcp_client_t *client, os_tcp_client_cb cb, void *arg);
KEEL_API int os_tcp_client_bind_disconnect(os_tcp_client_t *client, os_tcp_client_cb cb, void *arg);
KEEL_API int os_tcp_client_bind_read(os_tcp_client_t *client, os_tcp_read_cb cb, void *arg);
KEEL_API int os_tcp_client_bind_write(os_tcp_client_t *client, os_tcp_client_cb cb, void *arg);
/* Sets the receive buffer size. 0 stops read callbacks; a non-zero length
 * resumes them at once. */
KEEL_API int os_tcp_client_set_rcvbuf_len(os_tcp_client_t *client, uint32_t len);
/* Non-zero: read notifications are dropped until the flag is cleared. */
KEEL_API int os_tcp_client_set_refuse_read(os_tcp_client_t *client, uint32_t flag);

/* -- UDP client: one IPv4 datagram socket -- */

/* Makes the socket; NULL when none could be made. Needs os_startup. */
KEEL_API os_udp_client_t *os_udp_client_create(void);
KEEL_API int os_udp_client_destroy(os_udp_client_t *client);
KEEL_API int os_udp_client_set_local(os_udp_client_t *client, const char *ip, uint16_t port);
/* ip_out needs 64 bytes; with local port 0 the port the system chose. */
KEEL_API int os_udp_client_get_local(os_udp_client_t *client, char *ip_out, uint16_t *port_out);
KEEL_API int os_udp_client_get_status(os_udp_client_t *client);
/* Binds and starts read callbacks. */
KEEL_API int os_udp_client_open(os_udp_client_t *client);
KEEL_API int os_udp_client_close(os_udp_client_t *client);
/* Sends one datagram to ip:port (or to the fixed peer after connect_remote).
 * Bytes sent; 0 when it would block; -1 on failure. */
KEEL_API int os_udp_client_send(os_udp_client_t *client, const void *data, uint32_t len, const char *ip,
                                uint16_t port);
/* Takes one datagram and its sender (ip_out needs 16 bytes). Bytes received;
 * 0 when none waits; -1 on failure. */
KEEL_API int os_udp_client_read(os_udp_client_t *client, void *data, uint32_t len, char *ip_out,
                                uint16_t *port_out);
KEEL_API int os_udp_client_set_udata(os_udp_client_t *client, void *udata);
KEEL_API void *os_udp_client_get_udata(os_udp_client_t *client);
KEEL_API int os_udp_client_bind_read(os_udp_client_t *client, os_udp_client_cb read_cb, void *read_arg);
KEEL_API int os_udp_client_bind_write(os_udp_client_t *client, os_udp_client_cb write_cb, void *write_arg);
KEEL_API int os_udp_client_set_rcvbuf_len(os_udp_client_t *client, uint32_t len);
/* Joins the IPv4 group on interface_addr (NULL: any) with multicast TTL 64.
 * Call it before open, so that several clients may bind the group's port.
 * With an interface, datagrams this client sends to groups leave by it. */
KEEL_API int os_udp_client_set_multicast(os_udp_client_t *client, const char *group_addr,
                                         const char *interface_addr);
/* Fixes the peer of later sends. */
KEEL_API int os_udp_client_connect_remote(os_udp_client_t *client, const char *ip, uint16_t port);

KEEL_END_DECLS

#endif /* KEEL_OS_NET_H */
