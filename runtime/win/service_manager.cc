// Windows services have a manager of their own, with its own calls: the
// messages for systemd's are dropped here, as on Linux without NOTIFY_SOCKET.
#include "runtime/runtime_internal.h"

namespace keel::rt {

bool service_notify(const char *) { return true; }

void service_watchdog_start() {}

}  // namespace keel::rt
