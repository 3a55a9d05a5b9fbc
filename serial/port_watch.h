// What a port watch is on every platform: the caller's callback, and the
// count that decides who frees the record. The record has one reference for
// the watch itself and one for each posted event not yet run, and whoever
// drops the last frees it. Unwatch marks it dead under the main lock, which
// every posted event holds while it runs, so none calls back after that; the
// events still queued only drop their reference. Each platform's watch
// (serial/<platform>/) derives from it and frees its own handles in its
// destructor.
#pragma once

#include <atomic>

#include "keel/os_comm.h"

struct PortWatchBase {
    os_comm_port_cb cb = nullptr;
    void *arg = nullptr;
    bool alive = true;  // read and written under the main lock
    std::atomic<int> refs{1};

    virtual ~PortWatchBase() = default;
};

// Drops one reference; the last frees the watch.
void port_watch_drop(PortWatchBase *watch);
// Hands one appearance (present) or departure to the main thread, where the
// callback runs unless the watch has ended by then. Posting never waits for
// the main thread, so the watcher never waits for the main lock, and unwatch,
// on the main thread, can always join it.
void port_watch_post(PortWatchBase *watch, const os_comm_port_info_t &info, bool present);
// Unwatch's first step: no callback runs after it returns.
void port_watch_end(PortWatchBase *watch);
