// The service manager's protocol (systemd's notify socket): each message is
// one datagram of "KEY=value" lines to the unix socket named by NOTIFY_SOCKET,
// a path or, from "@" on, an abstract name. A program without the variable is
// not run as a notifying service, and every message is then dropped quietly.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "keel/os_runtime.h"
#include "log/report.h"
#include "runtime/runtime_internal.h"

namespace keel::rt {
namespace {

void ping_watchdog(void *) { service_notify("WATCHDOG=1"); }

}  // namespace

bool service_notify(const char *message) {
    const char *name = getenv("NOTIFY_SOCKET");
    if (name == nullptr || name[0] == '\0') return true;
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    size_t len = strlen(name);
    if ((name[0] != '/' && name[0] != '@') || len >= sizeof to.sun_path) {
        errno = EINVAL;
        KEEL_ERROR("the service manager at %s cannot be told: the name is no socket's", name);
        return false;
    }
    memcpy(to.sun_path, name, len);
    if (name[0] == '@') to.sun_path[0] = '\0';  // abstract: the name has no end mark
    auto to_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len + (name[0] == '/'));
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool sent = fd >= 0 && sendto(fd, message, strlen(message), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&to),
                                  to_len) == static_cast<ssize_t>(strlen(message));
    if (!sent) KEEL_ERROR("the service manager at %s cannot be told: %s", name, message);
    if (fd >= 0) close(fd);
    return sent;
}

// systemd asks for pings with WATCHDOG_USEC (and, when it names the process
// meant, WATCHDOG_PID). They come from a timer on the main thread, at half the
// interval: a callback that hangs stops them, which is the point.
void service_watchdog_start() {
    const char *usec = getenv("WATCHDOG_USEC"), *pid = getenv("WATCHDOG_PID");
    if (usec == nullptr || (pid != nullptr && strtol(pid, nullptr, 10) != getpid())) return;
    unsigned long long interval_us = strtoull(usec, nullptr, 10);
    if (interval_us < 2000) return;  // not a period anyone could keep
    static os_timer_t *s_pings = nullptr;
    if (s_pings == nullptr) s_pings = os_timer_create_ms(ping_watchdog, static_cast<uint32_t>(interval_us / 2000), nullptr);
}

}  // namespace keel::rt
