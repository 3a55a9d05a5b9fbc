// The registry of the sockets the platform layer serves: one entry per
// socket number, the registration that makes or cancels it, and the epoll
// interest each entry calls for. What an entry's readiness turns into is the
// state machine's (platform_sockets.cc).
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "log/report.h"
#include "runtime/unix/platform_internal.h"

namespace keel::rt {

keel::sync::SmallLock &s_reg_lock = *new keel::sync::SmallLock;
std::vector<SockEntry> &s_reg = *new std::vector<SockEntry>;
__attribute__((tls_model("initial-exec"))) thread_local std::vector<Message> *t_gathered = nullptr;

namespace {

uint32_t s_last_generation = 0;  // under s_reg_lock

// The epoll interest that matches what may still be posted; `keep` false
// leaves the socket out of the set until a call re-enables it. A connection
// is registered once, edge-triggered, for everything: its edges are kept in
// the entry and reported from there as calls re-enable them, with no system
// call per event. A listener is registered once as well, level-triggered:
// each accept call re-enables its reports without a system call, and only a
// listener reported again before that call leaves the set (held) until the
// call comes. A connection per request then costs the listener no epoll_ctl.
uint32_t interest_of(const SockEntry &e, bool *keep) {
    uint32_t ev = 0;
    *keep = false;
    switch (e.state) {
        case SockState::Listening:
            if (e.held || !(e.mask & FD_ACCEPT)) break;
            *keep = true;
            return EPOLLIN;
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

}  // namespace

void post_event(int fd, const SockEntry &e, uint32_t event, int error) {
    Message msg{WM_SOCKET_EVENT, static_cast<uintptr_t>(fd), socket_event_word(event, error, e.generation)};
    if (t_gathered != nullptr)
        grow_or_exit("socket event", [&] { t_gathered->push_back(msg); });
    else
        queue_post(msg.number, msg.wparam, msg.lparam);
}

// One-shot registrations are made again after each report; an edge-triggered
// one stays as it is.
void arm(int fd, SockEntry &e) {
    if (s_queue == nullptr) return;
    bool keep = false;
    uint32_t ev = interest_of(e, &keep);
    if (!keep) {
        if (e.in_epoll) epoll_ctl(s_queue->epfd, EPOLL_CTL_DEL, fd, nullptr);
        e.in_epoll = e.edge = e.level = false;
        return;
    }
    bool edge = (ev & EPOLLET) != 0;
    bool level = ev == EPOLLIN;
    if (e.in_epoll && ((edge && e.edge) || (level && e.level))) return;  // standing as it should
    epoll_event eev{};
    eev.events = ev;
    eev.data.u64 = static_cast<uint32_t>(fd) | (static_cast<uint64_t>(e.generation) << 32);
    int op = e.in_epoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(s_queue->epfd, op, fd, &eev) != 0) {
        // The socket was closed behind our back and its number reused, or
        // added by a path we did not see: try the other operation once.
        op = op == EPOLL_CTL_MOD ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
        if (epoll_ctl(s_queue->epfd, op, fd, &eev) != 0) {
            e.in_epoll = e.edge = e.level = false;
            return;
        }
    }
    e.in_epoll = true;
    e.edge = edge;
    e.level = level;
}

namespace {

// Cancels a registration under s_reg_lock; `closing`: the socket is closed
// right after.
void drop_entry(int fd, bool closing) {
    SockEntry *e = entry_of(fd);
    if (e == nullptr) return;
    // The close takes a socket out of the epoll set by itself. A connection
    // is left to it: should another process still hold the socket (a child
    // between fork and exec), its edge-triggered registration lives on until
    // then, but reports only edges, for a generation no entry has any more.
    // Anything level-triggered could report again and again meanwhile.
    bool leave_to_close = closing && e->edge;
    if (e->in_epoll && s_queue != nullptr && !leave_to_close) epoll_ctl(s_queue->epfd, EPOLL_CTL_DEL, fd, nullptr);
    *e = SockEntry{};
}

}  // namespace

void inline_urgent_data(int fd) {
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
}

void forget_before_close(int fd) {
    LockGuard guard(s_reg_lock);
    drop_entry(fd, true);
}

int select_socket(int fd, uint32_t mask, SocketIs known) {
    if (fd < 0) return -1;
    LockGuard guard(s_reg_lock);
    if (mask == 0) {
        drop_entry(fd, false);
        return 0;
    }
    if (s_queue == nullptr) return -1;
    // An accepted connection is known: sel_accept made it non-blocking, and
    // it reads urgent data in line as its listener does (sel_listen). Asking
    // would cost it five system calls.
    int type = SOCK_STREAM, listening = 0;
    if (known != SocketIs::Accepted) {
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
        socklen_t len = sizeof type;
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return -1;
        len = sizeof listening;
        getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len);
        if (type == SOCK_STREAM) inline_urgent_data(fd);
    }

    if (static_cast<size_t>(fd) >= s_reg.size())
        grow_or_exit("socket entry", [&] { s_reg.resize(static_cast<size_t>(fd) + s_reg.size() / 4 + 64); });
    SockEntry &e = s_reg[fd];
    SockState previous = e.used ? e.state : SockState::Idle;
    bool was_in_epoll = e.used && e.in_epoll;
    e = SockEntry{};
    e.used = true;
    e.mask = static_cast<uint8_t>(mask);
    e.in_epoll = was_in_epoll;
    if (++s_last_generation == 0) s_last_generation = 1;
    e.generation = s_last_generation;
    if (type == SOCK_DGRAM) {
        e.state = SockState::Datagram;
    } else if (listening) {
        e.state = SockState::Listening;
    } else if (known == SocketIs::Accepted) {
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
    LockGuard guard(s_reg_lock);
    SockEntry *e = entry_of(fd);
    return e != nullptr && e->generation == generation;
}

bool post_socket_event(int fd, uint32_t event) {
    LockGuard guard(s_reg_lock);
    SockEntry *e = entry_of(fd);
    if (e == nullptr) return false;
    post_event(fd, *e, event, 0);
    return true;
}

}  // namespace keel::rt
