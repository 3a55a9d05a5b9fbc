// The comings and goings of serial devices, without a udev daemon: a thread
// of each watch reads the inotify events of the device directory (and of
// serial/by-id and serial/by-path under it), tells which new names are
// serial devices, and posts every appearance and departure to the runtime's
// main thread in the order they happened.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>

#include "keel/os_runtime.h"
#include "keel/os_sync.h"
#include "log/report.h"
#include "serial/port_watch.h"
#include "serial/unix/ports_internal.h"
#include "sync/sync_internal.h"

namespace {

// One event waiting to be posted. An appearance may wait (due_ns not 0) for
// the device's links, and everything behind it waits with it.
struct Event {
    std::string name;
    bool present;
    int64_t due_ns;
};

}  // namespace

// Each watch has a thread of its own: watches are few, and a thread per
// watch needs no registry, no lock between watches and nothing shared to
// take down when the last one ends. Its lifetime is every platform's (see
// serial/port_watch.h).
struct os_comm_watch : PortWatchBase {
    std::string sysfs, dev;  // the roots as they were at the watch's start
    int inotify_fd = -1;
    int stop_fd = -1;                                        // eventfd written by unwatch
    int dev_wd = -1, serial_wd = -1, link_wd[2] = {-1, -1};  // -1: not watched (or not there)
    os_thread_t thread{};
    // The watcher thread's own: every device reported present and not yet
    // gone (with what was known when it appeared), and the events not posted.
    std::map<std::string, os_comm_port_info_t> known;
    std::deque<Event> queue;
};

namespace {

constexpr const char *kLinkDirs[2] = {"/serial/by-id", "/serial/by-path"};
constexpr uint32_t kDirMask = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;
constexpr uint32_t kDevMask = kDirMask | IN_DELETE | IN_MOVED_FROM;

// udev makes a USB device's links under serial/ a moment after the kernel
// made its node, and only where udev runs at all. Its appearance waits this
// long at most for both, so that the callback can name the device by them.
constexpr int64_t kLinkWaitNs = 1'000'000'000;

int64_t now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// The names the kernel's serial drivers give their nodes, followed by the
// port's number: 8250/16550 UARTs, USB adapters, CDC ACM, ARM PL011, i.MX,
// OMAP, Samsung, Exar USB, Bluetooth RFCOMM, Tegra, Qualcomm, SuperH SCI,
// Xilinx and Intel MID UARTs. Virtual consoles (tty, tty<n>), ptmx and
// console have none of these forms.
bool looks_serial(const char *name) {
    static constexpr const char *kStems[] = {"ttyS",   "ttyUSB", "ttyACM",   "ttyAMA", "ttymxc",
                                             "ttyO",   "ttySAC", "ttyXRUSB", "rfcomm", "ttyTHS",
                                             "ttyMSM", "ttySC",  "ttyPS",    "ttyMFD", "ttyHS"};
    for (const char *stem : kStems) {
        size_t n = strlen(stem);
        if (strncmp(name, stem, n) == 0 && name[n] != '\0' && strspn(name + n, "0123456789") == strlen(name + n))
            return true;
    }
    return false;
}

// The watch descriptor, or -1 for a directory that is not there (yet), or -2
// after reporting any other failure.
int add_watch(os_comm_watch_t *watch, const std::string &dir, uint32_t mask) {
    int wd = inotify_add_watch(watch->inotify_fd, dir.c_str(), mask);
    if (wd >= 0 || errno == ENOENT || errno == ENOTDIR) return wd >= 0 ? wd : -1;
    KEEL_ERROR("inotify_add_watch(%s) fail", dir.c_str());
    return -2;
}

// serial/ and the two link directories in it are made when udev names its
// first serial device, so each is watched as soon as it is there: at the
// start, or when the event of its making comes. Adding a watch twice is
// harmless (inotify hands back the same descriptor).
bool watch_link_dirs(os_comm_watch_t *watch) {
    int wd = add_watch(watch, watch->dev + "/serial", kDirMask);
    if (wd < 0) return wd == -1;
    watch->serial_wd = wd;
    for (int i = 0; i < 2; ++i) {
        if ((wd = add_watch(watch, watch->dev + kLinkDirs[i], kDirMask)) == -2) return false;
        watch->link_wd[i] = wd;
    }
    return true;
}

// Posts the events at the front of the queue that are ready. An appearance
// still waiting looks for its links again, and holds back everything behind
// it until they are there or its wait is over.
void release(os_comm_watch_t *watch) {
    while (!watch->queue.empty()) {
        Event &e = watch->queue.front();
        os_comm_port_info_t &info = watch->known[e.name];
        if (e.present && e.due_ns != 0) {
            ports_find_links(watch->dev, &info);
            if ((info.by_id[0] == '\0' || info.by_path[0] == '\0') && now_ns() < e.due_ns) return;
        }
        port_watch_post(watch, info, e.present);
        if (!e.present) watch->known.erase(e.name);
        watch->queue.pop_front();
    }
}

// A name is a serial device when the tty class says so at this moment. A
// device can also come and go before this thread looks, and the kernel takes
// its class entry apart piece by piece: with by_form, a name the class does
// not (or no longer) show as serial still counts when it has a serial node's
// form, unless it is a slot that has no UART, so that the departure that
// follows has its appearance.
void appeared(os_comm_watch_t *watch, const char *name, bool by_form) {
    if (watch->known.count(name) != 0) return;
    if (!ports_is_serial(watch->sysfs, name) &&
        (!by_form || !looks_serial(name) || ports_uart_absent(watch->sysfs, name)))
        return;
    os_comm_port_info_t &info = watch->known[name];
    ports_describe(watch->sysfs, watch->dev, name, &info);
    bool waits = info.vendor_id != 0 && (info.by_id[0] == '\0' || info.by_path[0] == '\0');
    watch->queue.push_back(Event{name, true, waits ? now_ns() + kLinkWaitNs : 0});
}

// Events leave in order, so whatever waits before a departure leaves with it:
// a device unplugged at once is reported without its links.
void gone(os_comm_watch_t *watch, const char *name) {
    if (watch->known.count(name) == 0) return;
    for (Event &e : watch->queue) e.due_ns = 0;
    watch->queue.push_back(Event{name, false, 0});
    release(watch);
}

// Events were lost (inotify's queue overflowed): the ports are listed again,
// as at the start, and what differs from what was known is told, departures
// first. Only the listing decides here, as a name's form proves nothing about
// a node that has been there all along. A tty class that cannot be read tells
// nothing, rather than that every device went.
void resync(os_comm_watch_t *watch) {
    std::vector<std::string> here;
    if (!ports_present(watch->sysfs, watch->dev, &here)) return;
    std::sort(here.begin(), here.end());
    std::vector<std::string> went;
    for (const auto &[name, info] : watch->known)
        if (!std::binary_search(here.begin(), here.end(), name)) went.push_back(name);
    for (const std::string &name : went) gone(watch, name.c_str());
    for (const std::string &name : here) appeared(watch, name.c_str(), false);
    watch_link_dirs(watch);
}

// A new link needs nothing here: release looks for the links of a waiting
// appearance after every batch of events.
void handle(os_comm_watch_t *watch, const inotify_event *ev) {
    if (ev->mask & IN_Q_OVERFLOW) return resync(watch);
    if (ev->mask & IN_IGNORED) {  // a watched directory went
        for (int *wd : {&watch->serial_wd, &watch->link_wd[0], &watch->link_wd[1]})
            if (*wd == ev->wd) *wd = -1;
        return;
    }
    bool made = ev->mask & (IN_CREATE | IN_MOVED_TO);
    if (ev->wd == watch->dev_wd && ev->len > 0) {
        if (ev->mask & IN_ISDIR) {
            if (made && strcmp(ev->name, "serial") == 0) watch_link_dirs(watch);
        } else if (made) {
            appeared(watch, ev->name, true);
        } else {
            gone(watch, ev->name);
        }
    } else if (ev->wd == watch->serial_wd && made) {
        watch_link_dirs(watch);
    }
}

// Sleeps in poll on inotify and the stop descriptor, and wakes on time only
// for an appearance that waits for its links.
uint32_t watch_thread(void *arg) {
    auto *watch = static_cast<os_comm_watch_t *>(arg);
    keel::sync::block_raised_signals();
    alignas(inotify_event) char buf[8192];
    for (;;) {
        int timeout = -1;
        if (!watch->queue.empty())
            timeout =
                static_cast<int>(std::max<int64_t>(0, watch->queue.front().due_ns - now_ns() + 999'999) / 1'000'000);
        pollfd fds[2] = {{watch->stop_fd, POLLIN, 0}, {watch->inotify_fd, POLLIN, 0}};
        if (poll(fds, 2, timeout) < 0) continue;  // EINTR, or ENOMEM: tried again
        if (fds[0].revents != 0) return 0;
        keel::grow_or_exit("port event", [&] {
            for (ssize_t n; (n = read(watch->inotify_fd, buf, sizeof buf)) > 0;)
                for (ssize_t at = 0; at < n;) {
                    auto *ev = reinterpret_cast<const inotify_event *>(buf + at);
                    handle(watch, ev);
                    at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
                }
            release(watch);
        });
    }
}

void close_watch(os_comm_watch_t *watch) {
    if (watch->inotify_fd >= 0) close(watch->inotify_fd);
    if (watch->stop_fd >= 0) close(watch->stop_fd);
}

// The directories are watched before the devices present are taken in: a
// device that comes in between is then both taken in and announced, and the
// announcement is dropped as one already known; none falls in a gap.
os_comm_watch_t *start_watch(os_comm_port_cb cb, void *arg) {
    auto *watch = new os_comm_watch_t;
    watch->cb = cb;
    watch->arg = arg;
    watch->sysfs = ports_sysfs_root();
    watch->dev = ports_dev_root();
    bool ok = false;
    if ((watch->inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) < 0) {
        KEEL_ERROR("inotify_init1 fail");
    } else if ((watch->stop_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) < 0) {
        KEEL_ERROR("eventfd fail");
    } else if ((watch->dev_wd = inotify_add_watch(watch->inotify_fd, watch->dev.c_str(), kDevMask)) < 0) {
        KEEL_ERROR("inotify_add_watch(%s) fail", watch->dev.c_str());
    } else if (watch_link_dirs(watch)) {
        std::vector<std::string> names;
        ports_present(watch->sysfs, watch->dev, &names);  // none when the class cannot be read: all then count as new
        for (const std::string &name : names)
            ports_describe(watch->sysfs, watch->dev, name.c_str(), &watch->known[name]);
        ok = os_thread_create(&watch->thread, 0, watch_thread, watch) != 0;
        if (!ok) KEEL_INFO("!os_thread_create");
    }
    if (ok) return watch;
    close_watch(watch);
    delete watch;
    return nullptr;
}

}  // namespace

extern "C" KEEL_API os_comm_watch_t *os_comm_watch_ports(os_comm_port_cb cb, void *arg) {
    if (cb == nullptr) {
        KEEL_INFO("cb == NULL");
        return nullptr;
    }
    if (os_is_startup() == 0) {
        KEEL_INFO("os_is_startup() == 0");
        return nullptr;
    }
    os_comm_watch_t *watch = nullptr;
    keel::grow_or_exit("port watch", [&] { watch = start_watch(cb, arg); });
    return watch;
}

// Called from the watch's own callback, the main lock is already this
// thread's (it is re-entrant), and the join cannot wait long: the watcher
// never waits for that lock.
extern "C" KEEL_API int os_comm_unwatch_ports(os_comm_watch_t *watch) {
    if (watch == nullptr) {
        KEEL_INFO("watch == NULL");
        return 0;
    }
    port_watch_end(watch);
    uint64_t one = 1;
    ssize_t n = write(watch->stop_fd, &one, sizeof one);
    (void)n;  // fails only when the counter is already far from zero: woken anyway
    os_thread_join(&watch->thread);
    close_watch(watch);
    port_watch_drop(watch);
    return 1;
}
