// What the parts of the platform layer share: the queue (owned by the main
// thread, which also waits in its epoll set), the poll of the sockets that
// the queue's owner runs when it would otherwise sleep, the registry of the
// sockets it serves, and what the calls that re-enable events tell the
// readiness state machine.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "runtime/platform.h"
#include "sync/small_lock.h"

namespace keel::rt {

using keel::sync::LockGuard;

// Posts go to `shared` under `lock`; the owner swaps the whole batch out, so
// many posts cost it one lock. A poster writes the eventfd only when the
// owner is (about to be) asleep in epoll_wait, so a burst costs one wake-up.
struct Queue {
    keel::sync::SmallLock lock;
    std::deque<Message> shared;
    bool owner_sleeping = false;
    std::deque<Message> batch;      // owner only
    int served_since_poll = 0;      // owner only
    std::vector<Message> gathered;  // owner only: events of one poll
    int epfd = -1;
    int wakefd = -1;
    int timerfd = -1;  // the timers' next deadline (deadline_set)
    int sigfd = -1;    // the watched signals (signal_watch)
};

extern Queue *s_queue;           // set once by queue_open, never freed
// The thread-locals here are read on every event: initial-exec, they are
// reached without a call into the loader.
extern __attribute__((tls_model("initial-exec"))) thread_local bool t_owner;  // true on the thread that owns the queue

// Turns socket readiness into queued events, waiting up to timeout_ms (-1:
// until something happens). How many reports came (0 also for an interrupted
// wait), or -1 when epoll failed. Owner thread only.
int poll_sockets(Queue &q, int timeout_ms);
// A descriptor that reads the watched signals, none yet; -1 on failure. A
// signal that lands in a thread writes wakefd.
int signals_open(int wakefd);
// Gathers a WM_SIGNAL for each signal that waits on q.sigfd or landed in a
// thread. Owner thread.
void take_signals(Queue &q);

/* the registry (platform_registry.cc): one entry per registered socket */

// Idle: registered but neither connecting, connected nor listening yet.
// ReadClosed: the peer finished sending and FD_CLOSE was given; our side may
// still send. Done: nothing more will be reported.
enum class SockState : uint8_t { Idle, Connecting, Connected, ReadClosed, Listening, Datagram, Done };

// One per socket number, so kept small: the mask and the errno a connect left
// fit a byte each. The flags stay whole bytes: as bits they would cost every
// event more instructions than the eleven bytes they save.
struct SockEntry {
    uint32_t generation = 0;  // names this registration; 0 is never used
    uint32_t in_edges = 0;    // edges seen, so that a call can tell what came meanwhile
    uint32_t out_edges = 0;
    SockState state = SockState::Idle;
    uint8_t mask = 0;        // the event codes registered for
    uint8_t held_error = 0;  // an errno taken from the socket before its reader could meet it
    bool used = false;
    bool read_armed = false;   // FD_READ or FD_ACCEPT may be posted
    bool write_armed = false;  // FD_WRITE may be posted
    bool in_epoll = false;
    bool edge = false;   // registered edge-triggered (connections) rather than one-shot
    bool level = false;  // registered level-triggered and left standing (listeners)
    bool held = false;   // a listener reported again before its accept: kept quiet until then

    // Connections: what their edges said, kept until a call shows it is
    // over. The kernel reports each change once, so these stand in for the
    // readiness a one-shot registration would ask it for again.
    bool readable = false;     // data may wait for a read
    bool peer_done = false;    // the peer will send nothing more
    bool over = false;         // reset, aborted, or both directions shut
    bool error_waits = false;  // a socket error waits for the read that takes it
    bool urgent = false;       // urgent data came: a read may stop short at its mark
    bool recheck = false;      // in s_recheck: the reader is to be told what still waits
};

// Guards every entry; made once and never destroyed, as the main thread may
// still use it while the process runs its exit-time destructors.
extern keel::sync::SmallLock &s_reg_lock;
// Indexed by socket number; under s_reg_lock.
extern std::vector<SockEntry> &s_reg;
// The entry of a registered socket, or NULL. Under s_reg_lock. Inline: every
// event and every re-enabling call looks an entry up several times.
inline SockEntry *entry_of(int fd) {
    if (fd < 0 || static_cast<size_t>(fd) >= s_reg.size() || !s_reg[fd].used) return nullptr;
    return &s_reg[fd];
}
// Queues an event under the entry's registration; on the owner thread while
// it polls, the event is gathered and queued with the others of that poll.
void post_event(int fd, const SockEntry &e, uint32_t event, int error);
// Cancels a socket's registration right before its close (sel_close).
void forget_before_close(int fd);
// Urgent data then counts and reads as part of the stream; kept apart, it
// would leave the socket readable with nothing to read.
void inline_urgent_data(int fd);
// Puts the socket in the epoll set with the interest its entry calls for,
// or takes it out. Under s_reg_lock.
void arm(int fd, SockEntry &e);
extern __attribute__((tls_model("initial-exec"))) thread_local std::vector<Message> *t_gathered;

/* what the calls (platform_calls.cc) tell the state machine (platform_sockets.cc) */

// The edges a connection had seen before a call: what the call then shows
// (the data drained, say) is not taken back for an edge that came meanwhile.
// On the owner thread no edge can come during a call (only that thread
// takes them from epoll), so the counts are not read there: `owner` says that
// whatever the entry holds after the call is what it held before.
struct EdgesBefore {
    uint32_t in = 0, out = 0;
    bool owner = false;
};
EdgesBefore edges_before(int fd);
// A receive or accept call returned n (errno err) for a buffer of len bytes.
void after_read(int fd, ssize_t n, size_t len, int err, EdgesBefore before);
// A send would have blocked.
void after_blocked_send(int fd, EdgesBefore before);
void after_listen(int fd);
// connect returned rc (errno err).
void after_connect(int fd, int rc, int err);
// The error kept from a connect that completed, for the read that finds the
// end of the stream; 0 when none.
int held_error_of(int fd);

}  // namespace keel::rt
