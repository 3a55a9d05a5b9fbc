// Linux's resolver: each name goes to a resolver thread of the library's
// own, which asks c-ares and posts every answer to the main thread.
//
// The resolver thread, not the main thread's epoll set, serves c-ares's
// sockets: that set is made for the library's socket records, and a name
// server that is slow to answer must never hold up a callback.
#include "net/resolver.h"

#include <ares.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "log/report.h"
#include "net/net_internal.h"
#include "runtime/socket_errors.h"
#include "sync/sync_internal.h"

namespace keel::net {
namespace {

using Clock = std::chrono::steady_clock;

/* the queue of requests, shared by every thread */

// Never destroyed: the resolver thread runs while exit-time destructors do.
std::mutex &s_lock = *new std::mutex;
std::vector<Job *> &s_queue = *new std::vector<Job *>;
int s_wake = -1;  // the resolver thread's eventfd; -1 until the thread runs

/* the resolver thread: c-ares's sockets and the eventfd, in one poll */

// A burst of names is sent a slice at a time: a name server drops the
// queries of a burst that overflows its socket's buffer (as this thread's
// socket drops answers), and every query lost costs a whole timeout. A query
// unanswered for a while has left that buffer, though: the server is asking
// elsewhere. It stops counting then, so that names that take their time
// never hold up one the server answers at once.
constexpr size_t kBurst = 64;
constexpr auto kBurstSpan = std::chrono::milliseconds(100);
// Sent within kBurstSpan and not answered yet, oldest first; the resolver
// thread's, and like the queue never destroyed.
std::deque<Job *> &s_recent = *new std::deque<Job *>;

void age_out(Clock::time_point now) {
    while (!s_recent.empty() && now - s_recent.front()->sent >= kBurstSpan) s_recent.pop_front();
}

// The number the failure callback of a TCP client gets: the socket numbering
// of os_net.h, whose resolver numbers name no errno.
int error_number(int status) {
    switch (status) {
        case ARES_ENOTFOUND: return 11001;  // no such host
        case ARES_ENODATA: return 11004;    // no address of the kind asked
        case ARES_ESERVFAIL: return 11002;  // the server failed: try again
        case ARES_ETIMEOUT: return rt::WSAETIMEDOUT;
        case ARES_ECONNREFUSED: return rt::WSAECONNREFUSED;
        default: return 11003;  // no recovery
    }
}

// c-ares makes its sockets with a plain socket(), so a child that another
// thread starts meanwhile would inherit them; the library's sockets are all
// close-on-exec from birth. They are made non-blocking here too: c-ares does
// not make the sockets of functions given to it so, and it reads each socket
// until it would block. The rest are the plain calls.
const ares_socket_functions kSocketCalls = {
    [](int domain, int type, int protocol, void *) -> ares_socket_t {
        return socket(domain, type | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
    },
    [](ares_socket_t fd, void *) { return close(fd); },
    [](ares_socket_t fd, const sockaddr *to, ares_socklen_t len, void *) { return connect(fd, to, len); },
    [](ares_socket_t fd, void *buffer, size_t len, int flags, sockaddr *from, ares_socklen_t *from_len,
       void *) -> ares_ssize_t { return recvfrom(fd, buffer, len, flags, from, from_len); },
    [](ares_socket_t fd, const iovec *parts, int count, void *) -> ares_ssize_t { return writev(fd, parts, count); },
};

// The channel as the environment asks for it, read once, at the first
// resolution. KEEL_DNS_TIMEOUT_MS is the whole time a server has: c-ares
// doubles the wait of each later try, so two tries of a third and two thirds
// add up to it. A KEEL_DNS_SERVER that c-ares refuses fails every resolution
// rather than send the names to servers the caller did not mean.
int open_channel(ares_channel *channel) {
    int status = ares_library_init(ARES_LIB_INIT_ALL);
    ares_options options{};
    int mask = 0;
    const char *timeout = getenv("KEEL_DNS_TIMEOUT_MS");
    if (long total = timeout != nullptr ? std::min(atol(timeout), long{INT_MAX}) : 0; total > 0) {
        options.timeout = static_cast<int>(std::max(total / 3, 1L));
        options.tries = 2;
        mask = ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES;
    }
    if (status == ARES_SUCCESS) status = ares_init_options(channel, &options, mask);
    if (status != ARES_SUCCESS) {
        errno = 0;  // c-ares's failures name no errno
        KEEL_ERROR("ares_init_options fail: %s", ares_strerror(status));
        return status;
    }
    ares_set_socket_functions(*channel, &kSocketCalls, nullptr);
    if (const char *servers = getenv("KEEL_DNS_SERVER"); servers != nullptr) {
        status = ares_set_servers_ports_csv(*channel, servers);
        if (status != ARES_SUCCESS) {
            errno = 0;
            KEEL_ERROR("KEEL_DNS_SERVER %s refused: %s", servers, ares_strerror(status));
        }
    }
    return status;
}

// The resolver's order is kept: c-ares sorts the addresses as the system's
// resolver would (IPv6 first where it is reachable).
void on_addrinfo(void *arg, int status, int, ares_addrinfo *result) {
    auto *job = static_cast<Job *>(arg);
    for (ares_addrinfo_node *node = result != nullptr ? result->nodes : nullptr; node != nullptr;
         node = node->ai_next) {
        sockaddr_storage address{};
        memcpy(&address, node->ai_addr, node->ai_addrlen < sizeof address ? node->ai_addrlen : sizeof address);
        char text[MAX_IPV6_LEN];
        address_text(address, text);
        job->addresses.emplace_back(text);
    }
    if (result != nullptr) ares_freeaddrinfo(result);
    if (auto sent = std::find(s_recent.begin(), s_recent.end(), job); sent != s_recent.end()) s_recent.erase(sent);
    if (job->addresses.empty()) {
        if (status == ARES_SUCCESS) status = ARES_ENODATA;
        job->error = ares_strerror(status);
        job->error_no = error_number(status);
    }
    post_answer(job);
}

// A channel that could not be made answers every name with its reason.
void start(ares_channel channel, int channel_status, Job *job) {
    if (channel_status != ARES_SUCCESS) return on_addrinfo(job, channel_status, 0, nullptr);
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address
    ares_getaddrinfo(channel, job->name.c_str(), nullptr, &hints, on_addrinfo, job);
}

int wait_ms(const timeval *due) {
    if (due == nullptr) return -1;
    long long ms = static_cast<long long>(due->tv_sec) * 1000 + (due->tv_usec + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Each socket is handed to ares_process_fd on its own: the descriptors of a
// busy process may lie beyond what an fd_set holds.
void *resolver_main(void *wake_arg) {
    keel::sync::block_raised_signals();
    // Answers may wait a little; the main thread's callbacks should not: on a
    // busy machine the scheduler gives this thread the processor last.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
    int wake = static_cast<int>(reinterpret_cast<intptr_t>(wake_arg));
    ares_channel channel = nullptr;
    int channel_status = open_channel(&channel);
    bool serving = channel_status == ARES_SUCCESS;
    std::vector<pollfd> fds;
    std::deque<Job *> waiting;
    for (;;) {
        fds.assign(1, pollfd{wake, POLLIN, 0});
        // Names wait for room in the burst: the oldest query sent ages out.
        int room_ms = -1;
        if (!waiting.empty() && !s_recent.empty()) {
            auto left = s_recent.front()->sent + kBurstSpan - Clock::now();
            room_ms =
                static_cast<int>(std::max<long long>(std::chrono::ceil<std::chrono::milliseconds>(left).count(), 0));
        }
        timeval room, *due = nullptr;
        if (serving) {
            ares_socket_t socks[ARES_GETSOCK_MAXNUM];
            int bits = ares_getsock(channel, socks, ARES_GETSOCK_MAXNUM);
            for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
                short events = static_cast<short>((ARES_GETSOCK_READABLE(bits, i) ? POLLIN : 0) |
                                                  (ARES_GETSOCK_WRITABLE(bits, i) ? POLLOUT : 0));
                if (events != 0) fds.push_back(pollfd{socks[i], events, 0});
            }
            due = ares_timeout(channel, nullptr, &room);
        }
        int ms = wait_ms(due);
        if (room_ms >= 0 && (ms < 0 || room_ms < ms)) ms = room_ms;
        if (poll(fds.data(), fds.size(), ms) < 0 && errno != EINTR) KEEL_ERROR("resolver poll fail");
        for (size_t i = 1; i < fds.size(); ++i) {
            short got = fds[i].revents;
            if (got == 0) continue;
            ares_socket_t fd = fds[i].fd;
            ares_process_fd(channel, got & (POLLIN | POLLERR | POLLHUP) ? fd : ARES_SOCKET_BAD,
                            got & (POLLOUT | POLLERR | POLLHUP) ? fd : ARES_SOCKET_BAD);
        }
        if (serving) ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // the tries that timed out
        if (fds[0].revents & POLLIN) {
            eventfd_t count;
            eventfd_read(wake, &count);
            std::lock_guard<std::mutex> guard(s_lock);
            waiting.insert(waiting.end(), s_queue.begin(), s_queue.end());
            s_queue.clear();
        }
        // A job its client cancelled meanwhile is never sent. A name that
        // is answered at once (from /etc/hosts) leaves the burst at once.
        Clock::time_point now = Clock::now();
        age_out(now);
        while (!waiting.empty() && s_recent.size() < kBurst) {
            Job *job = waiting.front();
            waiting.pop_front();
            if (job->cancelled.load(std::memory_order_acquire)) {
                delete job;
                continue;
            }
            job->sent = now;
            s_recent.push_back(job);
            start(channel, channel_status, job);
        }
    }
    return nullptr;
}

// Started by the first request; it lives for the process.
bool start_thread_locked() {
    if (s_wake != -1) return true;
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake == -1) {
        KEEL_ERROR("resolver eventfd fail");
        return false;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, resolver_main, reinterpret_cast<void *>(static_cast<intptr_t>(wake)));
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        errno = rc;
        KEEL_ERROR("resolver thread fail");
        close(wake);
        return false;
    }
    s_wake = wake;
    return true;
}

}  // namespace

// Many requests in a row cost one wake-up: the thread takes the whole queue.
bool resolver_take(Job *job) {
    std::lock_guard<std::mutex> guard(s_lock);
    if (!start_thread_locked()) {
        delete job;
        return false;
    }
    s_queue.push_back(job);
    if (s_queue.size() == 1) eventfd_write(s_wake, 1);
    return true;
}

}  // namespace keel::net
