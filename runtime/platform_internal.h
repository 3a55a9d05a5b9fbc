// What the two halves of the platform layer share: the queue (owned by the
// main thread, which also waits in its epoll set) and the poll of the sockets
// that the queue's owner runs when it would otherwise sleep.
#pragma once

#include <deque>
#include <mutex>
#include <vector>

#include "runtime/platform.h"

namespace keel::rt {

// Posts go to `shared` under `lock`; the owner swaps the whole batch out, so
// many posts cost it one lock. A poster writes the eventfd only when the
// owner is (about to be) asleep in epoll_wait, so a burst costs one wake-up.
struct Queue {
    std::mutex lock;
    std::deque<Message> shared;
    bool owner_sleeping = false;
    std::deque<Message> batch;      // owner only
    int served_since_poll = 0;      // owner only
    std::vector<Message> gathered;  // owner only: events of one poll
    int epfd = -1;
    int wakefd = -1;
};

extern Queue *s_queue;           // set once by queue_open, never freed
extern thread_local bool t_owner;  // true on the thread that owns the queue

// Turns socket readiness into queued events, waiting up to timeout_ms (-1:
// until something happens). How many reports came (0 also for an interrupted
// wait), or -1 when epoll failed. Owner thread only.
int poll_sockets(Queue &q, int timeout_ms);

}  // namespace keel::rt
