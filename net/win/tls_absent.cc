// The Windows build speaks no TLS yet: the calls that set a client or a
// server to TLS are not in it, so no record ever has a session and the
// connections' TLS paths are never taken. What the plain paths ask on the
// way gets the answer of a record without TLS.
#include "net/records.h"
#include "net/tls.h"

namespace keel::net {

void tls_server_free(os_tcp_server_t *) {}
void tls_server_closed(const os_tcp_server_t *) {}
bool tls_server_accepted(os_tcp_server_t *, os_tcp_client_t *) { return false; }
void tls_client_connected(os_tcp_client_t *) {}
bool tls_handshaking(const os_tcp_client_t *) { return false; }
void tls_handshake_event(os_tcp_client_t *, uint32_t, int) {}
bool tls_session(const os_tcp_client_t *) { return false; }
int tls_read(os_tcp_client_t *, void *, int) { return -1; }
int tls_send(os_tcp_client_t *, const void *, int) { return -1; }
int tls_readable(os_tcp_client_t *) { return -1; }
uint64_t tls_taken(const os_tcp_client_t *) { return 0; }
void tls_peer_ending(os_tcp_client_t *) {}
bool tls_peer_ended(const os_tcp_client_t *) { return true; }
bool tls_refused(const os_tcp_client_t *) { return false; }
bool tls_flush(os_tcp_client_t *) { return true; }
bool tls_close(os_tcp_client_t *, bool) { return false; }
void tls_forget(os_tcp_client_t *) {}

}  // namespace keel::net
