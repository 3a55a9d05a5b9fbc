// The delivery of a port watch's events to the main thread, the same on
// every platform (see port_watch.h for the record's lifetime).
#include "serial/port_watch.h"

#include <new>

#include "keel/os_runtime.h"
#include "log/report.h"

namespace {

struct Delivery {
    PortWatchBase *watch;
    int present;
    os_comm_port_info_t info;
};

void deliver(void *arg) {
    auto *d = static_cast<Delivery *>(arg);
    if (d->watch->alive) d->watch->cb(&d->info, d->present, d->watch->arg);
    port_watch_drop(d->watch);
    delete d;
}

}  // namespace

void port_watch_drop(PortWatchBase *watch) {
    if (watch->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete watch;
}

void port_watch_post(PortWatchBase *watch, const os_comm_port_info_t &info, bool present) {
    auto *d = new (std::nothrow) Delivery{watch, present ? 1 : 0, info};
    if (d == nullptr) KEEL_FATAL("delivery == NULL");
    watch->refs.fetch_add(1, std::memory_order_relaxed);
    if (os_post_func(deliver, d) == 0) {
        watch->refs.fetch_sub(1, std::memory_order_relaxed);  // the watch's own reference remains
        delete d;
    }
}

void port_watch_end(PortWatchBase *watch) {
    os_main_lock();
    watch->alive = false;
    os_main_unlock();
}
