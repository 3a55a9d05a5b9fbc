// The readiness state machine of the platform layer: what epoll reports for
// each registered socket turns into (socket, event, error) messages, and what
// a re-enabling call shows (platform_calls.cc) decides what is reported next.
// The contract is in platform.h; this file keeps the one-shot event semantics
// the dispatch relies on, so that unread data never turns into a storm of
// notifications.
//
// Datagram sockets and connects in progress are one-shot registrations,
// made again by the call that re-enables them. Connections, the busy case,
// are registered once, edge-triggered: each edge is noted in the socket's
// entry, and a re-enabling call reports from the entry what still waits,
// without a system call of its own. Listeners are registered once,
// level-triggered: an accept call re-enables them by a flag, and the kernel
// keeps telling whether a connection waits.
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "log/report.h"
#include "runtime/unix/platform_internal.h"

namespace keel::rt {
namespace {

// Connections whose reader was enabled again by a read on the owner thread:
// what still waits is looked at just before the next wait, as the kernel
// would for a level-triggered socket, so that a callback that reads on until
// nothing is left gets no event for what it read meanwhile. Under s_reg_lock.
std::vector<int> &s_recheck = *new std::vector<int>;

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
            if (!(ev & (EPOLLIN | EPOLLERR | EPOLLHUP))) break;
            if (e->read_armed) {
                post_event(fd, *e, FD_ACCEPT, 0);
                e->read_armed = false;
            } else {
                // Its accept event is not answered yet (or the accept found no
                // descriptor): quiet until the next accept call, not woken by
                // the same waiting connection again and again.
                e->held = true;
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
                e->held_error = static_cast<uint8_t>(err);
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

bool is_connection(const SockEntry &e) {
    return e.edge && (e.state == SockState::Connected || e.state == SockState::ReadClosed);
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

}  // namespace

// ---- what the calls show ------------------------------------------------------

EdgesBefore edges_before(int fd) {
    if (t_owner) return EdgesBefore{0, 0, true};
    LockGuard guard(s_reg_lock);
    SockEntry *e = entry_of(fd);
    return e != nullptr ? EdgesBefore{e->in_edges, e->out_edges} : EdgesBefore{};
}

// After a receive call: the one-shot registrations are made again; for a
// connection, a read that came back short (or would block) shows that
// nothing waits, unless an edge came meanwhile, and the reader is told of
// whatever still does.
void after_read(int fd, ssize_t n, size_t len, int err, EdgesBefore before) {
    LockGuard guard(s_reg_lock);
    SockEntry *e = entry_of(fd);
    if (e == nullptr) return;
    if (!is_connection(*e)) {
        if (e->read_armed) return;
        if (e->state != SockState::Datagram && e->state != SockState::Listening) return;
        e->read_armed = true;
        e->held = false;
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
    if (drained && (before.owner || e->in_edges == before.in)) e->readable = false;
    if (e->read_armed) return;
    e->read_armed = true;
    if (t_owner) {
        if (!e->recheck) grow_or_exit("socket to look at", [&] { s_recheck.push_back(fd); });
        e->recheck = true;
        return;
    }
    report_reading(fd, e);
    if (e->state == SockState::Done) arm(fd, *e);  // leaves the set
}

// After a send that would have blocked: the writer is told when the socket
// takes data again, at once when an edge said so meanwhile.
void after_blocked_send(int fd, EdgesBefore before) {
    LockGuard guard(s_reg_lock);
    SockEntry *e = entry_of(fd);
    if (e == nullptr || e->write_armed) return;
    if (is_connection(*e)) {
        if (!before.owner && e->out_edges != before.out) {
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
void after_listen(int fd) {
    LockGuard guard(s_reg_lock);
    SockEntry *e = entry_of(fd);
    if (e == nullptr || e->state != SockState::Idle) return;
    e->state = SockState::Listening;
    e->read_armed = true;
    arm(fd, *e);
}

// The error kept from a completed connect, for the read that finds the end of
// the stream (the socket itself then reports only the end): 0 when none.
int held_error_of(int fd) {
    LockGuard guard(s_reg_lock);
    SockEntry *e = entry_of(fd);
    if (e == nullptr || e->held_error == 0) return 0;
    int err = e->held_error;
    e->held_error = 0;
    return err;
}

// A connect that cannot finish at once is watched until it ends; one that
// fails at once is reported the same way, as a connect event with its error,
// so that callers see a single path for every outcome.
void after_connect(int fd, int rc, int err) {
    LockGuard guard(s_reg_lock);
    SockEntry *e = entry_of(fd);
    if (e == nullptr || e->state != SockState::Idle) return;
    if (rc == 0) {
        e->state = SockState::Connected;
        e->read_armed = e->write_armed = true;
        if (e->mask & FD_CONNECT) post_event(fd, *e, FD_CONNECT, 0);
    } else if (err == EINPROGRESS || err == EAGAIN) {
        e->state = SockState::Connecting;
    } else {
        e->state = SockState::Done;
        if (e->mask & FD_CONNECT) post_event(fd, *e, FD_CONNECT, wsa_error_from_errno(err));
    }
    arm(fd, *e);
}

// ---- readiness into events ----------------------------------------------------

// Collects readiness into the queue. timeout_ms -1 sleeps until something
// happens. Returns how many reports came (0 also for an interrupted wait), or
// -1 when epoll failed.
int poll_sockets(Queue &q, int timeout_ms) {
    q.gathered.clear();
    {
        LockGuard guard(s_reg_lock);
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
        LockGuard guard(s_reg_lock);
        t_gathered = &q.gathered;
        for (int i = 0; i < n; ++i) {
            uint64_t data = events[i].data.u64;
            int fd = static_cast<int>(data & 0xFFFFFFFF);
            if ((data >> 32) != 0) {  // a socket's registration: its generation is never 0
                on_ready(fd, static_cast<uint32_t>(data >> 32), events[i].events);
            } else if (fd == q.wakefd) {
                uint64_t count;
                while (read(q.wakefd, &count, sizeof count) > 0) {
                }
                take_signals(q);  // a signal that landed in a thread wakes the owner this way
            } else if (fd == q.sigfd) {
                take_signals(q);
            } else if (fd == q.timerfd) {  // a deadline passed: one message, however many
                uint64_t count;
                if (read(q.timerfd, &count, sizeof count) > 0) q.gathered.push_back(Message{WM_DEADLINE, 0, 0});
            }
        }
        t_gathered = nullptr;
    }
    // Awake now: the events queued here need no wake-up of their own.
    LockGuard guard(q.lock);
    q.owner_sleeping = false;
    grow_or_exit("socket event", [&] {
        for (const Message &m : q.gathered) q.shared.push_back(m);
    });
    return n < 0 ? 0 : n;
}

void (*g_after_epoll_wait)() = nullptr;

}  // namespace keel::rt
