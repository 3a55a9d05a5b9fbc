// Host names, between the resolver (resolver.cc: os_resolve's thread, and
// the names of TCP clients with the addresses still to try) and the TCP
// client, which connects to one address at a time. Every call below runs
// under the main lock. Linux's resolver is over c-ares, in net/unix; Windows
// has none yet (net/win/names_absent.cc).
#pragma once

#include <cstddef>

#include "keel/os_net.h"

namespace keel::net {

// A host name is shorter than this.
constexpr size_t kHostNameMax = 256;

/* the names of TCP clients (resolver.cc) */

// The client's host name, or nullptr when it connects by address.
const char *host_name(const os_tcp_client_t *client);
// Stores the name that the client's next open resolves.
// False, reported, when this build resolves no names.
bool host_set(os_tcp_client_t *client, const char *name);
// True when the client connects by a host name.
bool host_named(const os_tcp_client_t *client);
// The open of a named client: starts the resolution and leaves the client
// connecting. 1 started, 0 not (the client is left disconnected).
int host_open(os_tcp_client_t *client);
// The client's close: an answer still on its way is dropped when it comes,
// and the addresses not yet tried are forgotten. The name stays.
void host_stop(os_tcp_client_t *client);
// os_tcp_client_set_remote and the record's end: the name goes as well.
void host_forget(const os_tcp_client_t *client);
// A connect of a named client failed: true when its socket was closed and the
// next address is being tried, false when there was none left.
bool host_try_next(os_tcp_client_t *client);

/* the TCP client (tcp_client.cc) */

// Connects to remote, an address text that becomes the record's remote
// address (remote may be the record's own remote_ip). 1 started, 0 not, as
// os_tcp_client_open; the connect callback may have run already, and the
// record may be gone with it.
int tcp_client_connect(os_tcp_client_t *client, const char *remote);

}  // namespace keel::net
