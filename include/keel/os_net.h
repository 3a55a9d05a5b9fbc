/** @file keel/os_net.h
 * Keel networking: address texts, TCP servers and clients, UDP clients.
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

/** Size of every address text field of the socket records: at most 63
 * characters and the terminator. */
#define MAX_IPV6_LEN 64

/** The ip type of addr; NULL and "" are reported and give -1.
 * @param addr an address text.
 * @return 0 IPv4, 1 IPv6, -1 neither.
 * @reports "get_ip_addr_type failed, addr == NULL || (strlen(addr) == 0)"
 *          (info) for NULL or "".
 */
KEEL_API int os_get_ip_type(const char *addr);
/** The same, except that "" is taken as the unspecified IPv4 address: 0.
 * @param addr an address text.
 * @return 0 IPv4 (or ""), 1 IPv6, -1 neither.
 * @reports "get_valid_addr addr == NULL" (info) for NULL.
 */
KEEL_API int get_valid_addr(const char *addr);

/** 1 for exactly "127.0.0.1" or "::1", 0 for any other text or NULL.
 * Other spellings and the rest of 127.0.0.0/8 give 0.
 * @param ip an address text.
 * @return 1 or 0.
 */
KEEL_API int os_ip_is_lo(const char *ip);
/** 1 when both texts denote the same address (and, for IPv6, the same scope),
 * 1 for two empty texts, 0 otherwise.
 *
 * Addresses are compared by value: "::1" equals "0:0:0:0:0:0:0:1". Texts of
 * different types, or that are no address, give 0.
 * @param src_ip an address text.
 * @param dst_ip an address text.
 * @return 1 same, 0 not.
 * @reports "src_ip == NULL || dst_ip == NULL" (info).
 */
KEEL_API int os_ip_cmp(const char *src_ip, const char *dst_ip);

/** The IPv4 address in host order, or 0xFFFFFFFF for bad text (which makes
 * 255.255.255.255 indistinguishable from an error).
 * @param ip dotted IPv4 text; NULL gives 0xFFFFFFFF.
 * @return the address, 0x01020304 for "1.2.3.4".
 */
KEEL_API uint32_t os_inet_ip_to_host_byte(const char *ip);
/** Writes the dotted text of a host-order address into buf (16 bytes always
 * suffice). Returns 1, or 0 for a null or too small buffer.
 * @param host_ip the address, 0x01020304 for "1.2.3.4".
 * @param buf where the text goes.
 * @param buf_len the size of buf.
 * @return 1 written, 0 not.
 */
KEEL_API int os_inet_host_byte_to_ip(uint32_t host_ip, char *buf, int buf_len);

/* ---- sockets -------------------------------------------------------------
 *
 * Three records, each allocated by its create call and freed by its destroy
 * call; the fields are the library's own. Every callback runs on the runtime's
 * main thread with the main lock held (see os_runtime.h), except where a
 * function below says it runs on the caller's thread. All sockets are
 * non-blocking and close-on-exec; no call ever raises SIGPIPE.
 *
 * Error numbers in reports and in the failure callback follow the usual
 * socket numbering: 10035 would block, 10051 network unreachable, 10053
 * connection aborted, 10054 reset by the peer, 10060 timed out, 10061
 * refused; for host names 11001 no such host, 11002 the name server failed
 * (try again), 11003 the name cannot be resolved, 11004 no address of its
 * kind. An error line ("err: TEXT message") carries the text of the report's
 * own cause, "none" when it has no system error of its own. */

/** A TCP server: one listening IPv4 socket. */
typedef struct os_tcp_server os_tcp_server_t;
/** A TCP client: one connection, IPv4 or IPv6. */
typedef struct os_tcp_client os_tcp_client_t;
/** A UDP client: one IPv4 datagram socket. */
typedef struct os_udp_client os_udp_client_t;

#define TCP_SERVER_STATUS_CLOSED 0 /**< not listening */
#define TCP_SERVER_STATUS_LISTEN 1 /**< listening */

#define TCP_CLIENT_STATUS_DISCONN 0    /**< no connection */
#define TCP_CLIENT_STATUS_CONNECTING 1 /**< connect started, not completed */
#define TCP_CLIENT_STATUS_CONNECT 2    /**< connected */

#define UDP_CLIENT_STATUS_CLOSED 0 /**< not open */
#define UDP_CLIENT_STATUS_OPEN 1   /**< bound, read callbacks on */

/** A new connection: client is owned by the library (see os_tcp_client_close).
 * Bind the client's callbacks and user data here: no event of the connection
 * is handled before this callback returns. */
typedef void (*os_tcp_accept_cb)(os_tcp_server_t *server, os_tcp_client_t *client, void *arg);
/** Connect, write and disconnect callbacks. */
typedef void (*os_tcp_client_cb)(os_tcp_client_t *client, void *arg);
/** A connect attempt ended without a connection: error_no is the socket
 * error number of the cause (see above) and reason its text, valid during
 * the call only. */
typedef void (*os_tcp_fail_cb)(os_tcp_client_t *client, int error_no, const char *reason, void *arg);
/** Data waits: take it with os_tcp_client_read. Return -1 to have the library
 * close the connection, anything else to keep it. A callback that closed its
 * client itself must not return -1. */
typedef int (*os_tcp_read_cb)(os_tcp_client_t *client, void *arg);
/** Read and write callbacks of a UDP client. */
typedef void (*os_udp_client_cb)(os_udp_client_t *client, void *arg);

/* -- TCP server: one listening IPv4 socket --
 * Accepting: each connection as soon as it arrives, or every waiting
 * connection on the next one-second tick. os_set_accept_mode chooses (a
 * server of requests wants OS_ACCEPT_AT_ONCE); without that call, the first
 * holds when a file "select_config.json" exists in the current directory at
 * os_startup, the second otherwise. */

/** A closed server on 0.0.0.0 port 0 (never NULL).
 * @return the server, to be freed with os_tcp_server_destroy.
 * @reports "malloc fail, server == NULL" (fatal) when no memory is left; the
 *          process ends.
 */
KEEL_API os_tcp_server_t *os_tcp_server_create(void);
/** Closes and frees the server; connections it accepted live on.
 * It may be called from the server's own accept callback: the record is then
 * freed when the callback returns.
 * @param server the server.
 * @return 1, or 0 for NULL.
 * @reports "server == NULL" (info).
 */
KEEL_API int os_tcp_server_destroy(os_tcp_server_t *server);
/** Stores port, then (unless ip is NULL) the address text ip: dotted IPv4,
 * or IPv6 text ("::" listens on every interface of both families, "::1" on
 * the IPv6 loopback). Refuses text that is neither (the port is kept) and
 * text of 64 characters or more. Takes effect at the next open. Clients
 * accepted on an IPv6 server give their peer's IPv6 text (an IPv4 peer of a
 * server on "::" reads as "::ffff:a.b.c.d").
 * @param server the server.
 * @param ip "0.0.0.0" listens on every IPv4 interface; NULL keeps the stored
 *        address.
 * @param port the port; 0 lets the system choose one.
 * @return 1 stored, 0 refused.
 * @reports "server == NULL", "inet_addr(ip) == INADDR_NONE", or
 *          "strlen(ip) >= 16" (IPv4) or "strlen(ip) >= 64" (IPv6) (info).
 */
KEEL_API int os_tcp_server_set_local(os_tcp_server_t *server, const char *ip, uint16_t port);
/** The stored address (ip_out needs 16 bytes for IPv4 text, 64 for IPv6)
 * and port, as set. With port 0 set, this gives 0, not the port the system
 * chose.
 * @param server the server.
 * @param ip_out room for 16 chars, or 64 for a server on IPv6.
 * @param port_out the port.
 * @return 1, or 0 for a NULL argument.
 * @reports "server == NULL" or "ip_out == NULL || port_out == NULL" (info).
 */
KEEL_API int os_tcp_server_get_local(os_tcp_server_t *server, char *ip_out, uint16_t *port_out);
/** TCP_SERVER_STATUS_CLOSED or _LISTEN; -1 for NULL.
 * @param server the server.
 * @return the status, or -1.
 * @reports "server == NULL" (info).
 */
KEEL_API int os_tcp_server_get_status(os_tcp_server_t *server);
/** Binds and listens; needs os_startup. 1 listening, 0 not (a failed open
 * keeps no socket).
 *
 * The address may be bound again while old connections of an earlier server
 * wait out their time, but not while another socket listens on it.
 * @param server a closed server.
 * @return 1 listening; 0 for NULL, before os_startup, for a server that
 *         listens already, or when the bind or the listen failed.
 * @reports "server == NULL" or "os_is_startup() == 0" (info);
 *          "bind fail", "listen fail" or "server->listenfd == -1" (error,
 *          with the system's reason: "Address already in use", ...).
 */
KEEL_API int os_tcp_server_open(os_tcp_server_t *server);
/** Stops listening; 1 also when the server was not listening.
 * Connections it accepted live on; the server may be opened again.
 * @param server the server.
 * @return 1, or 0 for NULL.
 * @reports "server == NULL" (info).
 */
KEEL_API int os_tcp_server_close(os_tcp_server_t *server);
/** Sets the callback that receives each accepted connection. A server
 * without one accepts connections and leaves them to run without callbacks
 * (their data is read and dropped).
 * @param server the server.
 * @param accept_cb called on the main thread; NULL removes it.
 * @param accept_arg passed to accept_cb.
 * @return 1, or 0 for NULL.
 * @reports "server == NULL" (info).
 */
KEEL_API int os_tcp_server_bind_accept(os_tcp_server_t *server, os_tcp_accept_cb accept_cb, void *accept_arg);

/* -- TCP client: one connection, IPv4 or IPv6 --
 * A client made by os_tcp_client_create belongs to the caller, who destroys
 * it. A client handed to an accept callback belongs to the library: it is
 * freed right after its disconnect callback, whichever way the connection
 * ends (the peer, a read callback returning -1, or the caller's close or
 * destroy), and must not be used afterwards.
 * A connect that fails (refused, unreachable, timed out) is reported in the
 * log as "socket err: N" with its error number, closes its socket and leaves
 * the client connecting; the failure callback (os_tcp_client_bind_fail) is
 * called; close the client to try again. A connect that completed is never taken
 * for a failed one, even when the peer sends and resets at once: the connect
 * callback comes, then the data, then the end.
 * A peer that ends its sending (a close, or a shutdown of its sending side)
 * ends the connection: once its last data has been read, the client closes
 * and its disconnect callback runs. No write callback comes after that, so
 * whatever the program had not yet handed to os_tcp_client_send is never
 * sent; what the socket had already taken still goes out.
 * The end of every connection is reported at the error level: the peer's
 * close as a failed read with ret 0 ("&&&&&&&&&& os_tcp_client_read error,
 * ... ret:0 ...", or "&&&&&&&&&& recv error, ..." without a read callback)
 * followed by "dispath_client:disconnect", or as "&&&&&&&&&& FD_CLOSE, delete
 * socket:N, ..."; a reset by the peer the same way with error_no 10054 (and
 * a connection the system gave up on with 10060), the disconnect line then
 * carrying the error's text, "Connection reset by peer". A program that does
 * not want these lines sets a higher threshold with log_start. */

/** A disconnected client of the caller's, with no address set.
 * @return the client, to be freed with os_tcp_client_destroy.
 * @reports "malloc fail, client == NULL" (fatal) when no memory is left; the
 *          process ends.
 */
KEEL_API os_tcp_client_t *os_tcp_client_create(void);
/** Closes the connection (the disconnect callback runs, on the calling
 * thread) and frees the client. A callback may destroy its own client: the
 * record is freed when the callback returns. Works on clients the library
 * owns as well; they must not be used afterwards.
 * @param client the client.
 * @return 1, or 0 for NULL.
 * @reports "client == NULL" (info).
 */
KEEL_API int os_tcp_client_destroy(os_tcp_client_t *client);
/** Sets the address to connect to.
 *
 * ip: IPv4 or IPv6 text (63 characters at most, "%scope" allowed); only while
 * disconnected.
 * @param client the client.
 * @param ip the peer's address text; its type decides the socket's family.
 * @param port the peer's port.
 * @return 1 stored, 0 refused (nothing changes).
 * @reports "client is null or ip is null", "strlen(ip) >= MAX_IPV6_LEN",
 *          "client->status != TCP_CLIENT_STATUS_DISCONN, status: N" or
 *          "get_ip_addr_type() failed, ip:TEXT" (info).
 */
KEEL_API int os_tcp_client_set_remote(os_tcp_client_t *client, const char *ip, uint16_t port);
/** Sets a host name to connect to ("broker.example.com"; an address text
 * works too). Open then resolves it without blocking the main thread, tries
 * the addresses found one after the other, in the resolver's order (IPv6 and
 * IPv4), and connects to the first that answers: the connect callback comes as
 * for an address. A name that does not resolve is reported with the
 * resolver's reason, and when no address answers the last one's error is
 * reported as for an address; either way the failure callback runs and the
 * client stays connecting, as a refused connect leaves it (close it to try
 * again). A close or destroy while the name is resolved cancels the
 * resolution: a name not yet asked for never is. Resolution honours
 * /etc/hosts and /etc/resolv.conf (see os_resolve). Only while disconnected;
 * os_tcp_client_set_remote forgets the name again. os_tcp_client_get_remote
 * gives the address in use once connected.
 * @param client the client.
 * @param name the host name, fewer than 256 characters.
 * @param port the peer's port.
 * @return 1 stored, 0 refused.
 * @reports "client is null or name is null", "strlen(name) >= 256" or
 *          "client->status != TCP_CLIENT_STATUS_DISCONN, status: N" (info);
 *          at open, a name that does not resolve as "resolve NAME fail:
 *          REASON" (error).
 */
KEEL_API int os_tcp_client_set_remote_host(os_tcp_client_t *client, const char *name, uint16_t port);

/** The addresses a name resolved to, on the main thread with the main lock
 * held: count texts (IPv6 or IPv4, in the resolver's order, valid during the
 * call only), or count 0 and error the resolver's reason. */
typedef void (*os_resolve_cb)(const char *name, const char *const *addresses, int count, const char *error,
                              void *arg);
/** Resolves a host name without blocking: cb is called once, on the main
 * thread, with its addresses or the reason there are none (no such name, no
 * answer in time, ...). /etc/hosts and /etc/resolv.conf are honoured as the
 * system's resolver honours them. Two environment variables, read at the
 * first resolution, change that: KEEL_DNS_SERVER ("127.0.0.1:5353", or
 * several separated by commas) asks those servers instead of resolv.conf's,
 * and KEEL_DNS_TIMEOUT_MS sets how long a server has to answer (tries
 * included) before the name is given up. Needs os_startup. On Windows the
 * system's resolver answers (its hosts file and name servers): there
 * KEEL_DNS_SERVER has no effect, and without KEEL_DNS_TIMEOUT_MS the
 * system's own time-outs hold.
 * @param name the host name, fewer than 256 characters.
 * @param cb the callback.
 * @param arg passed to cb.
 * @return 1 started, 0 refused.
 * @reports "name == NULL || cb == NULL", "strlen(name) >= 256" or
 *          "os_is_startup() == 0" (info).
 */
KEEL_API int os_resolve(const char *name, os_resolve_cb cb, void *arg);
/** The peer's address and port: as set, or as the socket reports them for a
 * client the library accepted or adopted.
 *
 * ip_out needs 16 bytes for an IPv4 client and 64 for an IPv6 one. A client
 * set to a host name has an address once a connect to one of its addresses
 * has started; before, and while the name is resolved, it has none.
 * @param client the client.
 * @param ip_out the address text.
 * @param port_out the port.
 * @return 1; 0 for a NULL argument or a client with no remote address yet.
 * @reports "client is null or ip is null or port is NULL", "ip type[N] error"
 *          or "strlen(client->remote_ip) == 0" (info).
 */
KEEL_API int os_tcp_client_get_remote(os_tcp_client_t *client, char *ip_out, uint16_t *port_out);
/** The local address to bind before connecting; "" and 0 mean any.
 * The text is read with the remote address's type when the client opens; a
 * text that does not fit it makes the open fail.
 * @param client a disconnected client.
 * @param ip the local address text, or "".
 * @param port the local port, or 0.
 * @return 1 stored, 0 refused.
 * @reports "client is null or ip is null", "strlen(ip) >= MAX_IPV6_LEN" or
 *          "client->status != TCP_CLIENT_STATUS_DISCONN, status: N" (info).
 */
KEEL_API int os_tcp_client_set_local(os_tcp_client_t *client, const char *ip, uint16_t port);
/** The local address and port: as set, or as the socket reports them for a
 * client the library accepted or adopted.
 *
 * ip_out needs 64 bytes.
 * @param client the client.
 * @param ip_out room for 64 chars.
 * @param port_out the port.
 * @return 1, or 0 for a NULL argument.
 * @reports "client is null or ip is null or port is NULL" (info).
 */
KEEL_API int os_tcp_client_get_local(os_tcp_client_t *client, char *ip_out, uint16_t *port_out);
/** TCP_CLIENT_STATUS_*; -1 for NULL.
 * Any thread may ask, while the main thread changes it.
 * @param client the client.
 * @return the status, or -1.
 * @reports "client == NULL" (info).
 */
KEEL_API int os_tcp_client_get_status(os_tcp_client_t *client);
/** Connects, or adopts a connected socket.
 *
 * fd -1: connect to the remote address (the connect callback follows, on the
 * calling thread when the connect completes at once). Otherwise adopt fd, a
 * connected socket of the caller's, without callbacks. 1 started, 0 not.
 * The connect needs os_startup; the remote address comes from
 * os_tcp_client_set_remote. An adopted socket belongs to the client from then
 * on; a refused one stays the caller's.
 * @param client a disconnected client.
 * @param fd -1, or a connected TCP socket (on Windows a SOCKET, whose value
 *        fits an int).
 * @return 1 started or adopted; 0 for a client that is not disconnected or is
 *         being destroyed, before os_startup, or when the socket could not be
 *         made, bound or read.
 * @reports "client == NULL", "client is being destroyed", "fd[N] error.",
 *          "os_is_startup() == 0", "os_tcp_client_open ip_type[N]error." (no
 *          remote address) or "get addr fail" (info); "bind fail",
 *          "client->connectfd == -1", "getpeername fail" or "getsockname fail"
 *          (error).
 */
KEEL_API int os_tcp_client_open(os_tcp_client_t *client, int fd);
/** Ends the connection and calls the disconnect callback on the calling
 * thread; 1 also when already closed.
 * A client of the caller's may then be opened again; one the library owns is
 * freed right after its disconnect callback.
 * @param client the client.
 * @return 1, or 0 for NULL.
 * @reports "client == NULL" (info).
 */
KEEL_API int os_tcp_client_close(os_tcp_client_t *client);
/** Sends what the socket takes now; the library keeps no send queue.
 *
 * Bytes the socket took (maybe fewer than len); 0 when it would block (a
 * write callback follows when it takes data again) or while connecting; -1
 * when not connected or the connection failed.
 * @param client the client.
 * @param data the bytes.
 * @param len their count.
 * @return the count taken, 0, or -1.
 * @reports "client is null" or "data is null" (info).
 */
KEEL_API int os_tcp_client_send(os_tcp_client_t *client, const void *data, uint32_t len);
/** Takes received bytes, usually from the read callback.
 *
 * Bytes read (1 or more); 0 when nothing waits now; -1 when the peer closed
 * or the connection failed.
 * @param client a connected client.
 * @param buffer where the bytes go.
 * @param len its size; 0 reads nothing and gives 0.
 * @return the count, 0, or -1.
 * @reports "os_tcp_client_read client == NULL",
 *          "os_tcp_client_read data == NULL",
 *          "client->status != TCP_CLIENT_STATUS_CONNECT, status: N" or
 *          "os_tcp_client_read len == 0" (info); a failed read (error).
 */
KEEL_API int os_tcp_client_read(os_tcp_client_t *client, void *buffer, uint32_t len);
/** Stores one pointer of the caller's with the client; the library never
 * touches what it points to.
 * @param client the client.
 * @param udata the pointer.
 * @return 1, or 0 for NULL.
 * @reports "client == NULL" (info).
 */
KEEL_API int os_tcp_client_set_udata(os_tcp_client_t *client, void *udata);
/** The pointer of os_tcp_client_set_udata (NULL until set).
 * @param client the client.
 * @return the pointer, or NULL for NULL.
 * @reports "client == NULL" (info).
 */
KEEL_API void *os_tcp_client_get_udata(os_tcp_client_t *client);
/** Sets the callback of a completed connect.
 * @param client the client.
 * @param cb the callback; NULL removes it.
 * @param arg passed to cb.
 * @return 1, or 0 for NULL.
 * @reports "client == NULL" (info).
 */
KEEL_API int os_tcp_client_bind_connect(os_tcp_client_t *client, os_tcp_client_cb cb, void *arg);
/** Sets the callback of the connection's end, whichever way it ends.
 * @param client the client.
 * @param cb the callback; NULL removes it.
 * @param arg passed to cb.
 * @return 1, or 0 for NULL.
 * @reports "client == NULL" (info).
 */
KEEL_API int os_tcp_client_bind_disconnect(os_tcp_client_t *client, os_tcp_client_cb cb, void *arg);
/** Sets the callback of received data. Without one, received data is read
 * and dropped, and the end of the stream closes the connection.
 * @param client the client.
 * @param cb the callback; NULL removes it.
 * @param arg passed to cb.
 * @return 1, or 0 for NULL.
 * @reports "client == NULL" (info).
 */
KEEL_API int os_tcp_client_bind_read(os_tcp_client_t *client, os_tcp_read_cb cb, void *arg);
/** Sets the callback that says the socket takes data again after a send
 * gave 0.
 * @param client the client.
 * @param cb the callback; NULL removes it.
 * @param arg passed to cb.
 * @return 1, or 0 for NULL.
 * @reports "client is null" (info).
 */
KEEL_API int os_tcp_client_bind_write(os_tcp_client_t *client, os_tcp_client_cb cb, void *arg);
/** Sets the callback of a connect attempt that ended without a connection:
 * refused, unreachable or timed out (the socket's error number), a host
 * name that did not resolve (11001 to 11004, or 10060 when no server
 * answered in time), a TLS handshake that failed (the socket's error, or
 * 10053 when the TLS layer gave up: a certificate refused, say) or took
 * longer than its 10 seconds (10060). It is called once per open, on the
 * main thread, after the failure's report; for a host name only when its
 * last address failed. The client is then connecting without a socket, as
 * a refused connect leaves it: the callback may close it (its disconnect
 * callback runs) and open it again, or destroy it.
 * @param client a client of the caller's.
 * @param cb the callback; NULL removes it.
 * @param arg passed to cb.
 * @return 1, or 0 for NULL.
 * @reports "client == NULL" (info).
 */
KEEL_API int os_tcp_client_bind_fail(os_tcp_client_t *client, os_tcp_fail_cb cb, void *arg);
/** Sets the receive buffer size. 0 stops read callbacks; a non-zero length
 * resumes them at once.
 * Data that waited meanwhile then reaches the read callback. The client needs
 * its socket (connecting or connected).
 * @param client the client.
 * @param len the size in bytes (the system may adjust it), or 0.
 * @return 1 set, 0 for NULL or when the socket refused.
 * @reports "client == NULL" (info); "setsockopt fail" (error).
 */
KEEL_API int os_tcp_client_set_rcvbuf_len(os_tcp_client_t *client, uint32_t len);
/** Non-zero: read notifications are dropped until the flag is cleared.
 * The data stays in the socket; os_tcp_client_read still takes it. Clearing
 * the flag resumes reading at once, as os_tcp_client_set_rcvbuf_len with a
 * non-zero length does: one read notification is queued, so data (or the
 * peer's end) that arrived meanwhile reaches the read callback. A read
 * callback that then finds nothing gets 0 from os_tcp_client_read.
 * @param client the client.
 * @param flag nonzero refuses, 0 accepts again.
 * @return 1, or 0 for NULL.
 * @reports "client == NULL" (info).
 */
KEEL_API int os_tcp_client_set_refuse_read(os_tcp_client_t *client, uint32_t flag);

/* -- TLS on TCP servers and clients --
 * A server or client set to TLS moves plaintext through the same calls and
 * callbacks as any other: os_tcp_client_send encrypts, os_tcp_client_read
 * decrypts, the read callback comes when plaintext can be read (also what the
 * TLS layer holds already), the write callback when it can take more. TLS 1.2
 * and 1.3 only, renegotiation off. A TLS socket sends whole records at
 * once, without Nagle's wait for the peer's acknowledgement (TCP_NODELAY).
 * A handshake runs on the main thread
 * without blocking it and must end within 10 seconds; only then do the
 * connect callback (client) or the accept callback (server) come. Close sends
 * the peer a close_notify, and lets everything sent go out: the socket is
 * kept, what the peer still sends read and dropped, until all of it is
 * acknowledged or 10 seconds have passed (a socket closed with data unread
 * would end in a reset, which throws away what it had not delivered). A
 * peer's close_notify makes the read give -1 with the report "TLS peer A:P
 * closed the connection (close_notify)" (info); a peer that ends the
 * connection without one has the read give -1 with "TLS peer A:P ended
 * without close_notify: the data may be truncated" (error). Either comes
 * after the last byte the peer sent has been read. A peer that sends more
 * handshake messages after the handshake (key update requests, say) than 64
 * and one per 16 KiB of data is refused: the read gives -1 with "TLS peer A:P
 * floods the connection with handshake messages" (error), and the connection
 * ends. While more than 128 KiB wait to be sent to a peer that does not
 * read, nothing more is read from it. On Windows TLS is the system's
 * (Schannel): clients speak TLS 1.3 where the system offers it, servers TLS
 * 1.2; a server's key must be an RSA key, which is kept in a key container
 * of the user's for as long as the server's settings last (or the process). */

/** Makes the client speak TLS from its next open on: the connect callback
 * comes once the handshake is done and the server's certificate chain and
 * name were verified. A failed handshake or verification is reported with
 * the reason, calls the failure callback and leaves the client connecting,
 * without a socket, as a refused connect leaves it (close it to try again). The setting stays for
 * every later open of the record.
 * @param client a disconnected client.
 * @param server_name the name to send (SNI) and to find in the server's
 *        certificate; NULL: the name given to os_tcp_client_set_remote_host,
 *        or else the remote address, checked as an address (an IPv6 one
 *        without its "%" scope). A name that cannot be checked fails the
 *        handshake ("the name N cannot be checked").
 * @param ca_file the PEM file of the authorities to trust; NULL: the
 *        system's store.
 * @return 1 stored, 0 refused (nothing changes).
 * @reports "client is null", "strlen(server_name) >= 256" or
 *          "client->status != TCP_CLIENT_STATUS_DISCONN, status: N" (info);
 *          "TLS CA file F cannot be used: REASON" (error); at open,
 *          "TLS handshake with A:P failed: REASON" or "TLS handshake with
 *          A:P took longer than 10000 ms" (error).
 */
KEEL_API int os_tcp_client_set_tls(os_tcp_client_t *client, const char *server_name, const char *ca_file);
/** Makes every connection the server accepts from now on speak TLS, with
 * the certificate and key given: the accept callback comes once its
 * handshake is done. A connection whose handshake fails or takes longer than
 * 10 seconds is reported and closed, and the accept callback never sees it.
 * A server that is closed or destroyed ends the handshakes still running.
 * @param server the server, listening or not.
 * @param cert_file the PEM file of the server's certificate (and the chain
 *        up to its authority); NULL together with key_file: plain TCP again.
 * @param key_file the PEM file of its private key.
 * @param client_ca_file NULL: clients need no certificate; else the PEM
 *        file of the authorities whose client certificates are required.
 * @return 1 set, 0 refused (nothing changes).
 * @reports "server == NULL" or "cert_file is null or key_file is null"
 *          (info); "TLS certificate F cannot be used: REASON", "TLS key F
 *          cannot be used: REASON" or "TLS CA file F cannot be used: REASON"
 *          (error); for a connection, "TLS handshake with A:P failed:
 *          REASON" or "TLS handshake with A:P took longer than 10000 ms"
 *          (error).
 */
KEEL_API int os_tcp_server_set_tls(os_tcp_server_t *server, const char *cert_file, const char *key_file,
                                   const char *client_ca_file);

/* -- UDP client: one IPv4 datagram socket --
 * The order of calls: create; set_local, set_multicast, the callbacks; open;
 * send and read; close or destroy. A closed client has no socket any more:
 * make a new one to open again. */

/** Makes the socket; NULL when none could be made. Needs os_startup.
 * (The socket is made at once; os_udp_client_open is the call that needs the
 * runtime.)
 * @return the closed client, to be freed with os_udp_client_destroy.
 * @reports "fd == -1" (info) when no socket could be made; "malloc fail,
 *          client == NULL" (fatal) when no memory is left.
 */
KEEL_API os_udp_client_t *os_udp_client_create(void);
/** Closes the client and frees it with its socket, open or not. A callback
 * may destroy its own client: the record is freed when the callback returns.
 * @param client the client.
 * @return 1, or 0 for NULL.
 * @reports "client == NULL" (info).
 */
KEEL_API int os_udp_client_destroy(os_udp_client_t *client);
/** Sets the address and port to bind at open; "" means any address, port 0
 * one the system chooses.
 * @param client the client.
 * @param ip dotted IPv4 text or ""; checked at open.
 * @param port the port.
 * @return 1 stored, 0 refused.
 * @reports "client is null or ip is null" or "ip length out" (info).
 */
KEEL_API int os_udp_client_set_local(os_udp_client_t *client, const char *ip, uint16_t port);
/** The local address as set, and the port.
 *
 * ip_out needs 64 bytes; with local port 0 the port the system chose.
 * @param client the client.
 * @param ip_out room for 64 chars.
 * @param port_out the port (0 before an open with port 0).
 * @return 1; 0 for a NULL argument, or when the socket cannot tell its port.
 * @reports "client is null or ip is null or port is null" or
 *          "getsockname failed!" (info).
 */
KEEL_API int os_udp_client_get_local(os_udp_client_t *client, char *ip_out, uint16_t *port_out);
/** UDP_CLIENT_STATUS_CLOSED or _OPEN; -1 for NULL.
 * @param client the client.
 * @return the status, or -1.
 * @reports "client is null" (info).
 */
KEEL_API int os_udp_client_get_status(os_udp_client_t *client);
/** Binds and starts read callbacks.
 * A client opens once: a second open, or one after close, fails at the bind
 * (with the system's reason: "Invalid argument", "Bad file descriptor"). A client
 * that sent or connected before open was bound then, to the local address set
 * by that time; open keeps that binding, and refuses a local address set
 * afterwards that differs from it.
 * @param client the client.
 * @return 1 open; 0 for NULL, before os_startup, when open already, for a bad
 *         or differing local address, or when the bind failed.
 * @reports "client is null", "os_is_startup() == 0",
 *          "inet_addr(client->local_ip) == INADDR_NONE" or "local address
 *          IP:PORT differs from the one an earlier send or connect bound"
 *          (info); "bind fail" (error).
 */
KEEL_API int os_udp_client_open(os_udp_client_t *client);
/** Stops the callbacks and closes the socket; 1 also when not open.
 * @param client the client.
 * @return 1, or 0 for NULL.
 * @reports "client == NULL" (info).
 */
KEEL_API int os_udp_client_close(os_udp_client_t *client);
/** Sends one datagram to ip:port (or to the fixed peer after connect_remote).
 * Bytes sent; 0 when it would block; -1 on failure.
 * A send that gave 0 is followed by the write callback once the socket takes
 * datagrams again.
 * @param client the client; it may send before open, which then binds it to
 *        the local address set so far (any address and a port of the
 *        system's choosing when none is set); open keeps that binding.
 * @param data the datagram.
 * @param len its size.
 * @param ip dotted IPv4 text of the receiver; must not be NULL, even after
 *        connect_remote (it is then not used).
 * @param port the receiver's port.
 * @return the bytes sent, 0, or -1.
 * @reports "client is null", "data is null", "ip is null" or
 *          "inet_addr(ip) == INADDR_NONE" (info); before open, the reports of
 *          open's bind.
 */
KEEL_API int os_udp_client_send(os_udp_client_t *client, const void *data, uint32_t len, const char *ip,
                                uint16_t port);
/** Takes one datagram and its sender (ip_out needs 16 bytes). Bytes received;
 * 0 when none waits; -1 on failure.
 * A datagram longer than len fills data; the rest of it is lost.
 * @param client the client.
 * @param data where the datagram goes.
 * @param len its size; 0 reads nothing and gives 0.
 * @param ip_out the sender's dotted text.
 * @param port_out the sender's port.
 * @return the bytes received, 0, or -1.
 * @reports "client is null or data is null or ip is null or port is null"
 *          or "os_udp_client_read len == 0" (info); "datagram of N bytes cut
 *          to M" (info) for a datagram longer than len.
 */
KEEL_API int os_udp_client_read(os_udp_client_t *client, void *data, uint32_t len, char *ip_out,
                                uint16_t *port_out);
/** Stores one pointer of the caller's with the client.
 * @param client the client.
 * @param udata the pointer.
 * @return 1, or 0 for NULL.
 * @reports "client is null" (info).
 */
KEEL_API int os_udp_client_set_udata(os_udp_client_t *client, void *udata);
/** The pointer of os_udp_client_set_udata (NULL until set).
 * @param client the client.
 * @return the pointer, or NULL for NULL.
 * @reports "client is null" (info).
 */
KEEL_API void *os_udp_client_get_udata(os_udp_client_t *client);
/** Sets the callback of waiting datagrams; take them with
 * os_udp_client_read. Without one, datagrams are read and dropped.
 * @param client the client.
 * @param read_cb called on the main thread; NULL removes it.
 * @param read_arg passed to read_cb.
 * @return 1, or 0 for NULL.
 * @reports "client is null" (info).
 */
KEEL_API int os_udp_client_bind_read(os_udp_client_t *client, os_udp_client_cb read_cb, void *read_arg);
/** Sets the callback that says the socket takes datagrams: once after the
 * open, and after each send that gave 0.
 * @param client the client.
 * @param write_cb called on the main thread; NULL removes it.
 * @param write_arg passed to write_cb.
 * @return 1, or 0 for NULL.
 * @reports "client is null" (info).
 */
KEEL_API int os_udp_client_bind_write(os_udp_client_t *client, os_udp_client_cb write_cb, void *write_arg);
/** Sets the receive buffer size. The system caps it at its own maximum,
 * except for a process allowed to pass it (CAP_NET_ADMIN).
 * @param client the client.
 * @param len the size in bytes.
 * @return 1 set, 0 for NULL or when the socket refused.
 * @reports "client == NULL" (info); "setsockopt fail" (error).
 */
KEEL_API int os_udp_client_set_rcvbuf_len(os_udp_client_t *client, uint32_t len);
/** Joins the IPv4 group on interface_addr (NULL: any) with multicast TTL 64.
 * Call it before open, so that several clients may bind the group's port.
 * With an interface, datagrams this client sends to groups leave by it.
 * @param client the client.
 * @param group_addr the group's dotted text ("239.255.0.1").
 * @param interface_addr the dotted address of the interface, or NULL.
 * @return 1 joined, 0 not.
 * @reports "client == NULL || interface_addr == NULL" (error) for a NULL
 *          client or group; "SOCKET_ERROR == setsockopt(client->fd,IPPROTO_IP,
 *          IP_ADD_MEMBERSHIP, ...)" (error) when the join failed. Failed
 *          settings of the port sharing, the TTL and the outgoing interface
 *          are reported the same way and do not fail the call.
 */
KEEL_API int os_udp_client_set_multicast(os_udp_client_t *client, const char *group_addr,
                                         const char *interface_addr);
/** Fixes the peer of later sends.
 * Datagrams from other senders are then no longer received. A refused
 * connect leaves the client sending to whatever address each send names.
 * Before open it binds the client as a send does (see os_udp_client_send).
 * @param client the client.
 * @param ip the peer's address text.
 * @param port the peer's port, not 0.
 * @return 1 fixed, 0 not.
 * @reports "client == NULL || (ip == NULL || strlen(ip) == 0) || port <= 0",
 *          "os_get_ip_addr_type() failed, ip_type:-1" or "get addr fail"
 *          (info); "udp connect fail IP PORT" (error).
 */
KEEL_API int os_udp_client_connect_remote(os_udp_client_t *client, const char *ip, uint16_t port);

KEEL_END_DECLS

#endif /* KEEL_OS_NET_H */
