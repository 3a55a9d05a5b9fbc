// Host names as the library's callers see them: os_resolve, whose answers
// come on the main thread, and TCP clients set to a host name, which resolve
// it at open and try the addresses one after the other (the table of such
// clients is at the end of this file). The platform's resolver answers the
// names themselves (resolver.h).
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "keel/os_runtime.h"
#include "log/log_internal.h"
#include "log/report.h"
#include "net/net_internal.h"
#include "net/records.h"
#include "net/resolver.h"
#include "runtime/socket_errors.h"

namespace keel::net {
namespace {

void on_host_answer(Job &job);

// Runs on the main thread with the main lock held, as every callback does.
void deliver(void *p) {
    std::unique_ptr<Job> job(static_cast<Job *>(p));
    if (job->cancelled.load(std::memory_order_relaxed)) return;
    if (job->client != nullptr) return on_host_answer(*job);
    std::vector<const char *> texts;
    for (const std::string &address : job->addresses) texts.push_back(address.c_str());
    job->cb(job->name.c_str(), texts.data(), static_cast<int>(texts.size()),
            texts.empty() ? job->error.c_str() : nullptr, job->arg);
}

// An address text needs no resolver (and one would not read a "%scope").
bool resolve(Job *job) {
    const char *name = job->name.c_str();
    if (name[0] != '\0' && strlen(name) < MAX_IPV6_LEN && (is_valid_ipv4_addr(name) || is_valid_ipv6_addr(name))) {
        job->addresses.emplace_back(name);
        return post_answer(job);
    }
    return resolver_take(job);
}

/* TCP clients by host name: the main thread's, under the main lock */

struct Host {
    std::string name;
    Job *resolving = nullptr;  // the resolution on its way, until answered or cancelled
    std::vector<std::string> addresses;
    size_t next = 0;  // the address to try next
};

// Keyed by the record, which has no room of its own for a name. A client
// closed, reopened or freed cancels the resolution on its way, so no answer
// ever reaches a client that did not ask for it (or a new record at the same
// address). Never destroyed: resolver threads post answers while exit-time
// destructors run.
std::unordered_map<const os_tcp_client_t *, Host> &s_hosts = *new std::unordered_map<const os_tcp_client_t *, Host>;

// After this the job is the resolver's alone: it frees it, unsent or answered.
void cancel(Host &host) {
    if (host.resolving != nullptr) host.resolving->cancelled.store(true, std::memory_order_release);
    host.resolving = nullptr;
}

// An address whose socket cannot be made or bound is passed over as a
// refused one is. When none is left the connect has failed with the last
// one's error. After a connect that completed at once, its callback may have
// closed or freed the client: nothing is touched then.
void try_next(os_tcp_client_t *client, Host &host) {
    errno = 0;
    while (host.next < host.addresses.size())
        if (tcp_client_connect(client, host.addresses[host.next++].c_str()) == 1) return;
    set_status(client, TCP_CLIENT_STATUS_CONNECTING);
    int cause = errno != 0 ? errno : EADDRNOTAVAIL;
    char reason[128];
    tcp_client_failed(client, rt::wsa_error_from_errno(cause), keel::log::error_text(cause, reason, sizeof reason));
}

// The report carries the resolver's own errno where it has one (a time-out,
// a refusal), else none: the numbers of the names' own failures (11001 to
// 11004) name no errno.
void on_host_answer(Job &job) {
    auto found = s_hosts.find(job.client);
    if (found == s_hosts.end() || found->second.resolving != &job) return;
    Host &host = found->second;
    host.resolving = nullptr;
    if (job.addresses.empty()) {
        errno = job.error_no >= 11001 && job.error_no <= 11004 ? 0 : rt::errno_from_wsa_error(job.error_no);
        KEEL_ERROR("resolve %s fail: %s", job.name.c_str(), job.error.c_str());
        return tcp_client_failed(job.client, job.error_no, job.error.c_str());
    }
    host.addresses = std::move(job.addresses);
    host.next = 0;
    try_next(job.client, host);
}

}  // namespace

// os_post_func refuses only before os_startup, which os_resolve requires.
bool post_answer(Job *job) {
    if (os_post_func(deliver, job)) return true;
    delete job;
    return false;
}

bool host_set(os_tcp_client_t *client, const char *name) {
    Host &host = s_hosts[client];
    cancel(host);
    host = Host{name, nullptr, {}, 0};
    return true;
}

const char *host_name(const os_tcp_client_t *client) {
    auto found = s_hosts.find(client);
    return found != s_hosts.end() ? found->second.name.c_str() : nullptr;
}

bool host_named(const os_tcp_client_t *client) { return !s_hosts.empty() && s_hosts.count(client) != 0; }

// The address of the last open is no longer the one in use.
int host_open(os_tcp_client_t *client) {
    Host &host = s_hosts.at(client);
    auto *job = new Job(host.name.c_str(), nullptr, nullptr, client);
    host.resolving = job;  // before the job leaves this thread
    if (!resolve(job)) {
        host.resolving = nullptr;
        return 0;
    }
    host.addresses.clear();
    client->remote_ip[0] = '\0';
    set_status(client, TCP_CLIENT_STATUS_CONNECTING);
    return 1;
}

void host_stop(os_tcp_client_t *client) {
    if (auto found = s_hosts.find(client); found != s_hosts.end()) {
        cancel(found->second);
        found->second.addresses.clear();
        found->second.next = 0;
    }
}

void host_forget(const os_tcp_client_t *client) {
    if (s_hosts.empty()) return;
    if (auto found = s_hosts.find(client); found != s_hosts.end()) {
        cancel(found->second);
        s_hosts.erase(found);
    }
}

// The failed socket is closed quietly: only the last address's failure is
// reported, as the failure of the whole connect.
bool host_try_next(os_tcp_client_t *client) {
    auto found = s_hosts.find(client);
    if (found == s_hosts.end() || found->second.next >= found->second.addresses.size()) return false;
    tcp_client_close_socket(client);
    client->connectfd = -1;
    try_next(client, found->second);
    return true;
}

}  // namespace keel::net

extern "C" KEEL_API int os_resolve(const char *name, os_resolve_cb cb, void *arg) {
    if (name == nullptr || cb == nullptr) {
        KEEL_INFO("name == NULL || cb == NULL");
        return 0;
    }
    if (strnlen(name, keel::net::kHostNameMax) >= keel::net::kHostNameMax) {
        KEEL_INFO("strlen(name) >= 256");
        return 0;
    }
    if (!os_is_startup()) {
        KEEL_INFO("os_is_startup() == 0");
        return 0;
    }
    return keel::net::resolve(new keel::net::Job(name, cb, arg)) ? 1 : 0;
}
