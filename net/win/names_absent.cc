// The Windows build resolves no host names yet: a client is given an address,
// and a name is refused with a report when it is set.
#include "log/report.h"
#include "net/resolver.h"

namespace keel::net {

bool host_set(os_tcp_client_t *, const char *) {
    KEEL_INFO("host names are not resolved in this build: set an address");
    return false;
}
const char *host_name(const os_tcp_client_t *) { return nullptr; }
bool host_named(const os_tcp_client_t *) { return false; }
int host_open(os_tcp_client_t *) { return 0; }
void host_stop(os_tcp_client_t *) {}
void host_forget(const os_tcp_client_t *) {}
bool host_try_next(os_tcp_client_t *) { return false; }

}  // namespace keel::net
