// Host names, in three pieces: the platform's resolver (net/unix/resolver.cc
// over c-ares, net/win/resolver.cc over the system's), which answers one
// name at a time on threads of its own; names.cc, which gives os_resolve its
// answers on the main thread and keeps the names of TCP clients with the
// addresses still to try; and the TCP client, which connects to one address
// at a time. The host_* calls run under the main lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "keel/os_net.h"

namespace keel::net {

// A host name is shorter than this.
constexpr size_t kHostNameMax = 256;

// One resolution, from the request to the callback: the resolver fills in
// the addresses (or the reason there are none, and its number), the main
// thread calls cb, or for a TCP client's name hands them to the client.
struct Job {
    Job(const char *name_, os_resolve_cb cb_, void *arg_, os_tcp_client_t *client_ = nullptr)
        : name(name_), cb(cb_), arg(arg_), client(client_) {}

    std::string name;
    os_resolve_cb cb;
    void *arg;
    os_tcp_client_t *client;  // set: the name of this client's open
    std::vector<std::string> addresses;
    std::string error;
    int error_no = 0;
    // Set by the main thread when the client no longer wants the answer: a
    // job not yet started is dropped, and any answer is.
    std::atomic<bool> cancelled{false};
    std::chrono::steady_clock::time_point sent;  // when the resolver started it
};

/* the platform's resolver */

// Takes a name that is no address text, on any thread; the answer comes by
// post_answer. False, reported, when the resolver cannot run (the job is
// freed then).
bool resolver_take(Job *job);

/* names.cc */

// Hands an answered job to the main thread, which frees it. False when it
// cannot (the job is freed then).
bool post_answer(Job *job);

// The client's host name, or nullptr when it connects by address.
const char *host_name(const os_tcp_client_t *client);
// Stores the name that the client's next open resolves.
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
