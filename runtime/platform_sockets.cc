// The platform layer's socket readiness on epoll: registration, the turning
// of readiness into (socket, event, error) messages, and the calls that
// re-enable events. The contract is in platform.h; this file keeps the
// one-shot event semantics the dispatch relies on, so that unread data never
// turns into a storm of notifications.
//
// Listening sockets, datagram sockets and connects in progress are one-shot
// registrations, made again by the call that re-enables them. Connections,
// the busy case, are registered once, edge-triggered: each edge is noted in
// the socket's entry, and a re-enabling call reports from the entry what
// still waits, without a system call of its own.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <vector>

#include "runtime/platform_internal.h"

namespace keel::rt {
namespace {

// ---- socket registry --------------------------------------------------------

// Idle: registered but neither connecting, connected nor listening yet.
// ReadClosed: the peer finished sending and FD_CLOSE was given; our side may
// still send. Done: nothing more will be reported.
enum class SockState { Idle, Connecting, Connected, ReadClosed, Listening, Datagram, Done };

struct SockEntry {
    bool used = false;
    uint32_t mask = 0;
    uint32_t generation = 0;  // names this registration; 0 is never used
    SockState state = SockState::Idle;
    bool read_armed = false;   // FD_READ or FD_ACCEPT may be posted
    bool write_armed = false;  // FD_WRITE may be posted
    bool in_epoll = false;
    bool edge = false;  // registered edge-triggered (connections) rather than one-shot

    // Connections: what their edges said, kept until a call shows it is
    // over. The kernel reports each change once, so these stand in for the
    // readiness a one-shot registration would ask it for again.
    bool readable = false;     // data may wait for a read
    bool peer_done = false;    // the peer will send nothing more
    bool over = false;         // reset, aborted, or both directions shut
    bool error_waits = false;  // a socket error waits for the read that takes it
    bool urgent = false;       // urgent data came: a read may stop short at its mark
    bool recheck = false;      // in s_recheck: the reader is to be told what still waits
    int held_error = 0;        // an errno taken from the socket before its reader could meet it
    uint32_t in_edges = 0;     // edges seen, so that a call can tell what came meanwhile
    uint32_t out_edges = 0;
};

// Made once and never destroyed: the main thread may still use them while the
// process runs its exit-time destructors.
std::mutex &s_reg_lock = *new std::mutex;
std::vector<SockEntry> &s_reg = *new std::vector<SockEntry>;  // indexed by socket
uint32_t s_last_generation = 0;                               // under s_reg_lock
// Connections whose reader was enabled again by a read on the owner thread:
// what still waits is looked at just before the next wait, as the kernel
// would for a level-triggered socket, so that a callback that reads on until
// nothing is left gets no event for what it read meanwhile. Under s_reg_lock.
std::vector<int> &s_recheck = *new std::vector<int>;

thread_local int t_last_error = 0;
// Set on the owner thread while it turns readiness into events: they are
// gathered here and queued with one lock.
thread_local std::vector<Message> *t_gathered = nullptr;

SockEntry *entry_of(int fd) {
    if (fd < 0 || static_cast<size_t>(fd) >= s_reg.size() || !s_reg[fd].used) return nullptr;
    return &s_reg[fd];
}

void post_event(int fd, const SockEntry &e, uint32_t event, int error) {
    uint64_t bits = event | (static_cast<uint64_t>(static_cast<uint16_t>(error)) << 16) |
                    (static_cast<uint64_t>(e.generation) << 32);
    Message msg{WM_SOCKET_EVENT, static_cast<uintptr_t>(fd), static_cast<intptr_t>(bits)};
    if (t_gathered != nullptr)
        t_gathered->push_back(msg);
    else
        queue_post(msg.number, msg.wparam, msg.lparam);
}

// The epoll interest that matches what may still be posted; `keep` false
// leaves the socket out of the set until a call re-enables it. A connection
// is registered once, edge-triggered, for everything: its edges are kept in
// the entry and reported from there as calls re-enable them, with no system
// call per event.
uint32_t interest_of(const SockEntry &e, bool *keep) {
    uint32_t ev = 0;
    *keep = false;
    switch (e.state) {
        case SockState::Listening:
            if (e.read_armed && (e.mask & FD_ACCEPT)) ev |= EPOLLIN;
            break;
        case SockState::Connecting:
            ev |= EPOLLOUT;
            break;
        case SockState::Connected:
        case SockState::ReadClosed:
            *keep = true;
            return EPOLLIN | EPOLLPRI | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        case SockState::Datagram:
            if (e.read_armed && (e.mask & FD_READ)) ev |= EPOLLIN;
            if (e.write_armed && (e.mask & FD_WRITE)) ev |= EPOLLOUT;
            break;
        case SockState::Idle:
        case SockState::Done:
            break;
    }
    if (ev != 0) *keep = true;
    return ev | EPOLLONESHOT;
}

// Puts the socket in the epoll set with its current interest, or takes it
// out. One-shot registrations are made again after each report; an
// edge-triggered one stays as it is.
void arm(int fd, SockEntry &e) {
    if (s_queue == nullptr) return;
    bool keep = false;
    uint32_t ev = interest_of(e, &keep);
    if (!keep) {
        if (e.in_epoll) epoll_ctl(s_queue->epfd, EPOLL_CTL_DEL, fd, nullptr);
        e.in_epoll = e.edge = false;
        return;
    }
    bool edge = (ev & EPOLLET) != 0;
    if (edge && e.in_epoll && e.edge) return;
    epoll_event eev{};
    eev.events = ev;
    eev.data.u64 = static_cast<uint32_t>(fd) | (static_cast<uint64_t>(e.generation) << 32);
    int op = e.in_epoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(s_queue->epfd, op, fd, &eev) != 0) {
        // The socket was closed behind our back and its number reused, or
        // added by a path we did not see: try the other operation once.
        op = op == EPOLL_CTL_MOD ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
        if (epoll_ctl(s_queue->epfd, op, fd, &eev) != 0) {
            e.in_epoll = e.edge = false;
            return;
        }
    }
    e.in_epoll = true;
    e.edge = edge;
}

// Reading SO_ERROR also clears it.
int take_pending_error(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

int bytes_waiting(int fd) {
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0) return 0;
    return n;
}

// Entries on a socket's error queue (send timestamps, for one) keep EPOLLERR
// raised although the connection is fine; taking them is the only way to
// lower it. Returns how many were taken.
int drain_error_queue(int fd) {
    int taken = 0;
    for (; taken < 64; ++taken) {
        char data[256], control[512];
        iovec iov{data, sizeof data};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        if (recvmsg(fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) break;
    }
    return taken;
}

// The error that waits on a connection: one taken early (see
// connect_completed) is handed out once, in place of the socket's own.
int take_error(int fd, SockEntry *e) {
    int err = e->held_error;
    e->held_error = 0;
    return err != 0 ? err : take_pending_error(fd);
}

// A connect whose socket already holds an error may still have completed: a
// peer that accepts, sends and resets at once leaves data and a reset behind,
// whereas a handshake that failed leaves a refusal, an unreachable network or
// a time-out, and never any data. (A reset during the handshake itself reads
// as a refusal.)
bool connect_completed(int fd, int err) {
    return err == ECONNRESET || err == EPIPE || bytes_waiting(fd) > 0;
}

// A connection that ends on a time-out or similar was aborted, as opposed to
// reset by the peer.
int close_error_from_errno(int err) {
    if (err == ETIMEDOUT || err == EHOSTUNREACH || err == ENETUNREACH) return WSAECONNABORTED;
    if (err == EPIPE) return WSAECONNRESET;  // a reset that came after the peer's FIN
    return wsa_error_from_errno(err);
}

// What a connection's reader is told next, when reading is enabled: the
// data that waits, the end of a connection that is over once what arrived
// before is read, or the peer's end once all its data is read. Sets the state
// a final report leaves.
void report_reading(int fd, SockEntry *e) {
    if (e->state != SockState::Connected || !e->read_armed) return;
    if (e->over) {
        // A reader first takes what arrived before and then meets the error,
        // so that a reset is never the silent end of unread data.
        if ((e->mask & FD_READ) && (e->error_waits || bytes_waiting(fd) > 0)) {
            post_event(fd, *e, FD_READ, 0);
        } else {
            e->state = SockState::Done;
            int err = e->error_waits ? close_error_from_errno(take_error(fd, e)) : 0;
            if (e->mask & FD_CLOSE) post_event(fd, *e, FD_CLOSE, err);
        }
        e->read_armed = false;
        return;
    }
    if (e->peer_done && bytes_waiting(fd) == 0) {
        e->state = SockState::ReadClosed;  // everything was read; sending goes on
        if (e->mask & FD_CLOSE) post_event(fd, *e, FD_CLOSE, 0);
        e->read_armed = false;
        return;
    }
    if (e->readable || e->peer_done) {
        if (e->mask & FD_READ) post_event(fd, *e, FD_READ, 0);
        e->read_armed = false;
    }
}

// One edge of a connection: noted in the entry, then reported as far as the
// reader and the writer are enabled.
void on_connection_edge(int fd, SockEntry *e, uint32_t ev) {
    if ((ev & EPOLLERR) && !(ev & EPOLLHUP)) {
        // The connection lives: entries on the error queue (send timestamps,
        // say) or a soft error. Taken here, they are not reported again.
        drain_error_queue(fd);
        take_pending_error(fd);
    }
    if (ev & (EPOLLIN | EPOLLPRI | EPOLLRDHUP | EPOLLHUP)) {
        ++e->in_edges;
        e->readable = true;
    }
    if (ev & EPOLLPRI) e->urgent = true;
    if (ev & EPOLLRDHUP) e->peer_done = true;
    if (ev & EPOLLHUP) {
        e->over = true;
        if (ev & EPOLLERR) e->error_waits = true;
    }
    if (ev & (EPOLLOUT | EPOLLHUP | EPOLLERR)) ++e->out_edges;
    if (e->state == SockState::ReadClosed && e->over) {
        e->state = SockState::Done;  // a waiting sender learns of it from its send
        if (e->write_armed && (e->mask & FD_WRITE)) post_event(fd, *e, FD_WRITE, 0);
        e->write_armed = false;
        return;
    }
    if ((ev & EPOLLOUT) && e->write_armed) {
        if (e->mask & FD_WRITE) post_event(fd, *e, FD_WRITE, 0);
        e->write_armed = false;
    }
    report_reading(fd, e);
}

// Turns one readiness report into events. Runs on the owner thread with
// s_reg_lock held; a report for an earlier registration of the number is
// dropped.
void on_ready(int fd, uint32_t generation, uint32_t ev) {
    SockEntry *e = entry_of(fd);
    if (e == nullptr || e->generation != generation) return;
    switch (e->state) {
        case SockState::Listening:
            if (e->read_armed && (ev & (EPOLLIN | EPOLLERR | EPOLLHUP))) {
                post_event(fd, *e, FD_ACCEPT, 0);
                e->read_armed = false;
            }
            break;
        case SockState::Connecting: {
            // Reading the error clears it: one that belongs to a connection
            // that completed is kept for its reader, who then meets it after
            // the data, in the order a connection reports its end.
            int err = take_pending_error(fd);
            if (err != 0 && !connect_completed(fd, err)) {
                e->state = SockState::Done;
                if (e->mask & FD_CONNECT) post_event(fd, *e, FD_CONNECT, wsa_error_from_errno(err));
            } else if (err != 0 || (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
                e->state = SockState::Connected;
                e->read_armed = e->write_armed = true;
                e->held_error = err;
                if (e->mask & FD_CONNECT) post_event(fd, *e, FD_CONNECT, 0);
                if (err != 0) on_connection_edge(fd, e, ev | EPOLLIN | EPOLLHUP | EPOLLERR);
            }
            break;
        }
        case SockState::Connected:
        case SockState::ReadClosed:
            on_connection_edge(fd, e, ev);
            break;
        case SockState::Datagram:
            if (ev & EPOLLERR) {
                // An error a datagram brought back (port unreachable, say) is
                // its own event; taking it lowers EPOLLERR, and the
                // datagrams that wait are reported as ever.
                int err = take_pending_error(fd);
                if (err == 0)
                    drain_error_queue(fd);
                else if (e->mask & FD_READ)
                    post_event(fd, *e, FD_READ, wsa_error_from_errno(err));
            }
            if ((ev & EPOLLIN) && e->read_armed) {
                if (e->mask & FD_READ) post_event(fd, *e, FD_READ, 0);
                e->read_armed = false;
            }
            if ((ev & EPOLLOUT) && e->write_armed) {
                if (e->mask & FD_WRITE) post_event(fd, *e, FD_WRITE, 0);
                e->write_armed = false;
            }
            break;
        case SockState::Idle:
        case SockState::Done:
            break;
    }
    arm(fd, *e);
}

// Collects readiness into the queue. timeout_ms -1 sleeps until something
// happens. Returns how many reports came (0 also for an interrupted wait), or
// -1 when epoll failed.
// The edges a connection had seen before a call: what the call then shows
// (the data drained, say) is not taken back for an edge that came meanwhile.
struct EdgesBefore {
    uint32_t in = 0, out = 0;
};

EdgesBefore edges_before(int fd) {
    std::lock_guard<std::mutex> guard(s_reg_lock);
    SockEntry *e = entry_of(fd);
    return e != nullptr ? EdgesBefore{e->in_edges, e->out_edges} : EdgesBefore{};
}

bool is_connection(const SockEntry &e) {
    return e.edge && (e.state == SockState::Connected || e.state == SockState::ReadClosed);
}

// After a receive call: the one-shot registrations are made again; for a
// connection, a read that came back short (or would block) shows that
// nothing waits, unless an edge came meanwhile, and the reader is told of
// whatever still does.
void after_read(int fd, ssize_t n, size_t len, int err, EdgesBefore before) {
    std::lock_guard<std::mutex> guard(s_reg_lock);
    SockEntry *e = entry_of(fd);
    if (e == nullptr) return;
    if (!is_connection(*e)) {
        if (e->read_armed) return;
        if (e->state != SockState::Datagram && e->state != SockState::Listening) return;
        e->read_armed = true;
        arm(fd, *e);
        return;
    }
    bool would_block = n < 0 && (err == EAGAIN || err == EWOULDBLOCK);
    if (n < 0 && !would_block && err != EINTR) e->error_waits = false;  // the read took it
    bool drained = would_block || (n > 0 && static_cast<size_t>(n) < len);
    // A read stops short at an urgent mark with data behind it: then ask.
    if (drained && e->urgent && !would_block) {
        drained = bytes_waiting(fd) == 0;
        if (drained) e->urgent = false;
    }
    if (drained && e->in_edges == before.in) e->readable = false;
    if (e->read_armed) return;
    e->read_armed = true;
    if (t_owner) {
        if (!e->recheck) s_recheck.push_back(fd);
        e->recheck = true;
        return;
    }
    report_reading(fd, e);
    if (e->state == SockState::Done) arm(fd, *e);  // leaves the set
}

// The re-checks of reads made since the last wait. Owner thread, with
// s_reg_lock held and events gathered.
void recheck_readers() {
    for (int fd : s_recheck) {
        SockEntry *e = entry_of(fd);
        if (e == nullptr || !e->recheck) continue;  // cancelled, maybe registered anew
        e->recheck = false;
        report_reading(fd, e);
        if (e->state == SockState::Done) arm(fd, *e);
    }
    s_recheck.clear();
}

// After a send that would have blocked: the writer is told when the socket
// takes data again, at once when an edge said so meanwhile.
void after_blocked_send(int fd, EdgesBefore before) {
    std::lock_guard<std::mutex> guard(s_reg_lock);
    SockEntry *e = entry_of(fd);
    if (e == nullptr || e->write_armed) return;
    if (is_connection(*e)) {
        if (e->out_edges != before.out) {
            if (e->mask & FD_WRITE) post_event(fd, *e, FD_WRITE, 0);
        } else {
            e->write_armed = true;
        }
        return;
    }
    if (e->state != SockState::Datagram) return;
    e->write_armed = true;
    arm(fd, *e);
}

// A socket registered before it listened becomes a listener when it does.
void note_listening(int fd) {
    std::lock_guard<std::mutex> guard(s_reg_lock);
    SockEntry *e = entry_of(fd);
    if (e == nullptr || e->state != SockState::Idle) return;
    e->state = SockState::Listening;
    e->read_armed = true;
    arm(fd, *e);
}

// The error kept from a completed connect, for the read that finds the end of
// the stream (the socket itself then reports only the end): 0 when none.
int held_error_of(int fd) {
    std::lock_guard<std::mutex> guard(s_reg_lock);
    SockEntry *e = entry_of(fd);
    if (e == nullptr || e->held_error == 0) return 0;
    int err = e->held_error;
    e->held_error = 0;
    return err;
}

void note_error(ssize_t result, int err) {
    if (result < 0) t_last_error = wsa_error_from_errno(err);
}

}  // namespace

int poll_sockets(Queue &q, int timeout_ms) {
    q.gathered.clear();
    {
        std::lock_guard<std::mutex> guard(s_reg_lock);
        t_gathered = &q.gathered;
        recheck_readers();
        t_gathered = nullptr;
    }
    if (!q.gathered.empty()) timeout_ms = 0;  // events already: only look
    epoll_event events[64];
    int n = epoll_wait(q.epfd, events, 64, timeout_ms);
    if (n < 0 && errno != EINTR) return -1;
    if (g_after_epoll_wait != nullptr) g_after_epoll_wait();
    {
        std::lock_guard<std::mutex> guard(s_reg_lock);
        t_gathered = &q.gathered;
        for (int i = 0; i < n; ++i) {
            uint64_t data = events[i].data.u64;
            int fd = static_cast<int>(data & 0xFFFFFFFF);
            if (fd == q.wakefd) {
                uint64_t count;
                while (read(q.wakefd, &count, sizeof count) > 0) {
                }
                continue;
            }
            on_ready(fd, static_cast<uint32_t>(data >> 32), events[i].events);
        }
        t_gathered = nullptr;
    }
    // Awake now: the events queued here need no wake-up of their own.
    std::lock_guard<std::mutex> guard(q.lock);
    q.owner_sleeping = false;
    for (const Message &m : q.gathered) q.shared.push_back(m);
    return n < 0 ? 0 : n;
}


void (*g_after_epoll_wait)() = nullptr;

// ---- socket registration -----------------------------------------------------

int select_socket(int fd, uint32_t mask, SocketIs known) {
    if (fd < 0) return -1;
    std::lock_guard<std::mutex> guard(s_reg_lock);
    if (mask == 0) {
        SockEntry *e = entry_of(fd);
        if (e != nullptr) {
            if (e->in_epoll && s_queue != nullptr) epoll_ctl(s_queue->epfd, EPOLL_CTL_DEL, fd, nullptr);
            *e = SockEntry{};
        }
        return 0;
    }
    if (s_queue == nullptr) return -1;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return -1;

    int type = 0, listening = 0;
    socklen_t len = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return -1;
    len = sizeof listening;
    getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len);
    if (type == SOCK_STREAM) {
        // Urgent data then counts and reads as part of the stream; kept
        // apart, it would leave the socket readable with nothing to read.
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
    }

    if (static_cast<size_t>(fd) >= s_reg.size()) s_reg.resize(static_cast<size_t>(fd) + 64);
    SockEntry &e = s_reg[fd];
    SockState previous = e.used ? e.state : SockState::Idle;
    bool was_in_epoll = e.used && e.in_epoll;
    e = SockEntry{};
    e.used = true;
    e.mask = mask;
    e.in_epoll = was_in_epoll;
    if (++s_last_generation == 0) s_last_generation = 1;
    e.generation = s_last_generation;
    if (type == SOCK_DGRAM) {
        e.state = SockState::Datagram;
    } else if (listening) {
        e.state = SockState::Listening;
    } else if (known == SocketIs::Connected) {
        e.state = SockState::Connected;  // a dead one reports its hang-up at once
    } else {
        sockaddr_storage peer;
        socklen_t plen = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &plen) == 0)
            e.state = SockState::Connected;
        else
            e.state = previous == SockState::Connecting ? SockState::Connecting : SockState::Idle;
    }
    // A new registration reports again whatever is true now, as a fresh start.
    e.read_armed = e.write_armed = true;
    arm(fd, e);
    return 0;
}

bool socket_event_is_current(int fd, uint32_t generation) {
    std::lock_guard<std::mutex> guard(s_reg_lock);
    SockEntry *e = entry_of(fd);
    return e != nullptr && e->generation == generation;
}

bool post_socket_event(int fd, uint32_t event) {
    std::lock_guard<std::mutex> guard(s_reg_lock);
    SockEntry *e = entry_of(fd);
    if (e == nullptr) return false;
    post_event(fd, *e, event, 0);
    return true;
}

int sel_close(int fd) {
    select_socket(fd, 0);
    return close(fd);
}

// ---- the calls that re-enable events -----------------------------------------

ssize_t sel_recv(int fd, void *buf, size_t len, int flags) {
    EdgesBefore before = edges_before(fd);
    ssize_t n = recv(fd, buf, len, flags);
    int saved = n == 0 ? 0 : errno;  // the peer's end is no error: errno names none
    if (n == 0 && len > 0 && (saved = held_error_of(fd)) != 0) n = -1;
    note_error(n, saved);
    after_read(fd, n, len, saved, before);
    errno = saved;
    return n;
}

ssize_t sel_recvfrom(int fd, void *buf, size_t len, int flags, sockaddr *from, socklen_t *fromlen) {
    EdgesBefore before = edges_before(fd);
    ssize_t n = recvfrom(fd, buf, len, flags, from, fromlen);
    int saved = errno;
    note_error(n, saved);
    after_read(fd, n, len, saved, before);
    errno = saved;
    return n;
}

// Sends never raise SIGPIPE: a closed peer is an error result, not a signal
// that would end the caller's process.
ssize_t sel_send(int fd, const void *buf, size_t len, int flags) {
    EdgesBefore before = edges_before(fd);
    ssize_t n = send(fd, buf, len, flags | MSG_NOSIGNAL);
    int saved = errno;
    note_error(n, saved);
    if (n < 0 && (saved == EAGAIN || saved == EWOULDBLOCK)) after_blocked_send(fd, before);
    errno = saved;
    return n;
}

ssize_t sel_sendto(int fd, const void *buf, size_t len, int flags, const sockaddr *to,
                   socklen_t tolen) {
    EdgesBefore before = edges_before(fd);
    ssize_t n = sendto(fd, buf, len, flags | MSG_NOSIGNAL, to, tolen);
    int saved = errno;
    note_error(n, saved);
    if (n < 0 && (saved == EAGAIN || saved == EWOULDBLOCK)) after_blocked_send(fd, before);
    errno = saved;
    return n;
}

// After a failure for lack of descriptors or memory the listener stays quiet:
// the connection still waits, and re-enabling at once would report it again
// and again. The next accept call (the tick polls every second) re-enables.
int sel_accept(int fd, sockaddr *addr, socklen_t *addrlen) {
    int s = accept4(fd, addr, addrlen, SOCK_CLOEXEC);
    int saved = errno;
    note_error(s, saved);
    bool starved = s < 0 && (saved == EMFILE || saved == ENFILE || saved == ENOBUFS || saved == ENOMEM);
    if (!starved) after_read(fd, 0, 0, 0, EdgesBefore{});
    errno = saved;
    return s;
}

int sel_listen(int fd, int backlog) {
    int rc = listen(fd, backlog);
    int saved = errno;
    note_error(rc, saved);
    if (rc == 0) note_listening(fd);
    errno = saved;
    return rc;
}

// A connect that cannot finish at once is watched until it ends; one that
// fails at once is reported the same way, as a connect event with its error,
// so that callers see a single path for every outcome.
int sel_connect(int fd, const sockaddr *addr, socklen_t addrlen) {
    int rc = connect(fd, addr, addrlen);
    int saved = errno;
    note_error(rc, saved);
    {
        std::lock_guard<std::mutex> guard(s_reg_lock);
        SockEntry *e = entry_of(fd);
        if (e != nullptr && e->state == SockState::Idle) {
            if (rc == 0) {
                e->state = SockState::Connected;
                e->read_armed = e->write_armed = true;
                if (e->mask & FD_CONNECT) post_event(fd, *e, FD_CONNECT, 0);
            } else if (saved == EINPROGRESS || saved == EAGAIN) {
                e->state = SockState::Connecting;
            } else {
                e->state = SockState::Done;
                if (e->mask & FD_CONNECT) post_event(fd, *e, FD_CONNECT, wsa_error_from_errno(saved));
            }
            arm(fd, *e);
        }
    }
    errno = saved;
    return rc;
}

int sel_last_error() { return t_last_error; }

int wsa_error_from_errno(int err) {
    switch (err) {
        case 0: return 0;
        case EINTR: return 10004;
        case EBADF: return 10009;
        case EACCES: return 10013;
        case EFAULT: return 10014;
        case EINVAL: return 10022;
        case EMFILE: return 10024;
        case EAGAIN: return WSAEWOULDBLOCK;
        case EINPROGRESS: return 10036;
        case EALREADY: return 10037;
        case ENOTSOCK: return 10038;
        case EDESTADDRREQ: return 10039;
        case EMSGSIZE: return 10040;
        case EPROTOTYPE: return 10041;
        case ENOPROTOOPT: return 10042;
        case EPROTONOSUPPORT: return 10043;
        case EOPNOTSUPP: return 10045;
        case EAFNOSUPPORT: return 10047;
        case EADDRINUSE: return 10048;
        case EADDRNOTAVAIL: return 10049;
        case ENETDOWN: return 10050;
        case ENETUNREACH: return 10051;
        case ENETRESET: return 10052;
        case ECONNABORTED: return WSAECONNABORTED;
        case ECONNRESET: return WSAECONNRESET;
        case ENOBUFS: return 10055;
        case EISCONN: return 10056;
        case ENOTCONN: return 10057;
        case EPIPE:
        case ESHUTDOWN: return 10058;
        case ETIMEDOUT: return WSAETIMEDOUT;
        case ECONNREFUSED: return WSAECONNREFUSED;
        case EHOSTDOWN: return 10064;
        case EHOSTUNREACH: return 10065;
        default: return 10000 + err;  // no counterpart: keep the value recognisable
    }
}

}  // namespace keel::rt
