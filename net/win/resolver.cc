// Windows's resolver: the system's GetAddrInfoW, which blocks, on threads of
// the library's own that post every answer to the main thread. A name that
// finds every thread busy starts another, so that names that take their time
// hold up no other until kThreads of them are asked at once; a thread left
// idle for kIdle ends while more than kKept are left.
//
// The system's resolver takes no name servers from a program, so
// KEEL_DNS_SERVER has no effect here. KEEL_DNS_TIMEOUT_MS has: a name not
// answered in that time is given up as on Linux, and the system's late
// answer is dropped. Without it the system's own time-outs hold.
#include "net/resolver.h"

#include "runtime/platform.h"  // Winsock's headers, with the library's names winning

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>

#include "log/log_internal.h"
#include "log/report.h"
#include "net/net_internal.h"
#include "sync/sync_internal.h"

namespace keel::net {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kThreads = 128;
constexpr int kKept = 4;
constexpr auto kIdle = std::chrono::seconds(30);

// A name in a thread's hands. Whichever answers it first, the thread or the
// watch of the time-out, takes the job; the other finds none.
struct Lookup {
    std::atomic<Job *> job;
    Clock::time_point due;
};

// Never destroyed: the threads run while exit-time destructors do.
struct Pool {
    std::mutex lock;
    std::condition_variable work, watch;
    std::deque<Job *> queue;
    std::deque<std::shared_ptr<Lookup>> asking;  // with a time-out only, the earliest due first
    int threads = 0, idle = 0;
    Clock::duration timeout{};  // zero: the system's own
    bool set_up = false;
};
Pool &s_pool = *new Pool;

// The reasons and numbers of the Linux build for the same failures.
void fail(Job &job, int error_no, const char *reason) {
    job.error_no = error_no;
    job.error = reason;
}

// The system's numbers are those of os_net.h: 11001 no such host, 11002 try
// again, 11003 no recovery, 11004 no address of the kind asked.
void failed(Job &job, int rc) {
    switch (rc) {
        case 11001: return fail(job, 11001, "Domain name not found");
        case 11002: return fail(job, 11002, "DNS server returned general failure");
        case 11003: return fail(job, 11003, "DNS server refused query");
        case 11004: return fail(job, 11004, "DNS server returned answer with no data");
        default: {
            char text[128];
            return fail(job, 11003, keel::log::error_text(rc, text, sizeof text));
        }
    }
}

// A label is 1 to 63 bytes; only the root's is empty ("." or a final dot).
// The system would ask about such a name all the same (and take "" for this
// machine), where Linux refuses it before any server hears of it.
bool well_formed(const std::string &name) {
    for (size_t start = 0, end; start < name.size(); start = end + 1) {
        end = std::min(name.find('.', start), name.size());
        if (end - start > 63 || (end == start && name != ".")) return false;
    }
    return true;
}

// The addresses in the system's order (IPv6 first where it is reachable).
void ask(Job &job, const std::string &name) {
    if (name.empty()) return fail(job, 11004, "DNS server returned answer with no data");
    if (!well_formed(name)) return fail(job, 11003, "Misformatted domain name");
    int len = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(std::max(len, 1)), L'\0');
    if (len <= 0 || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.c_str(), -1, wide.data(), len) != len)
        return fail(job, 11003, "Misformatted domain name");
    ADDRINFOW hints{}, *result = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address
    int rc = GetAddrInfoW(wide.c_str(), nullptr, &hints, &result);
    for (ADDRINFOW *node = rc == 0 ? result : nullptr; node != nullptr; node = node->ai_next) {
        if (node->ai_family != AF_INET && node->ai_family != AF_INET6) continue;
        sockaddr_storage address{};
        memcpy(&address, node->ai_addr, std::min(node->ai_addrlen, sizeof address));
        char text[MAX_IPV6_LEN];
        address_text(address, text);
        job.addresses.emplace_back(text);
    }
    if (result != nullptr) FreeAddrInfoW(result);
    if (job.addresses.empty()) failed(job, rc != 0 ? rc : 11004);
}

// The job's name is copied before the lookup is shown to the watch, which
// may answer and so free the job while the system is still asked.
uint32_t worker_main(void *) {
    // Answers may wait a little; the main thread's callbacks should not.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    std::unique_lock<std::mutex> guard(s_pool.lock);
    for (;;) {
        ++s_pool.idle;
        bool asked = s_pool.work.wait_for(guard, kIdle, [] { return !s_pool.queue.empty(); });
        --s_pool.idle;
        if (!asked && s_pool.threads > kKept) {
            --s_pool.threads;
            return 0;
        }
        if (!asked) continue;
        Job *job = s_pool.queue.front();
        s_pool.queue.pop_front();
        if (job->cancelled.load(std::memory_order_acquire)) {  // never asked for
            delete job;
            continue;
        }
        std::string name = job->name;
        auto lookup = std::make_shared<Lookup>();
        lookup->job = job;
        job->sent = Clock::now();
        if (s_pool.timeout != Clock::duration::zero()) {
            lookup->due = job->sent + s_pool.timeout;
            s_pool.asking.push_back(lookup);
            s_pool.watch.notify_one();
        }
        guard.unlock();
        Job answer(name.c_str(), nullptr, nullptr);
        ask(answer, name);
        guard.lock();
        s_pool.asking.erase(std::remove(s_pool.asking.begin(), s_pool.asking.end(), lookup), s_pool.asking.end());
        if (Job *mine = lookup->job.exchange(nullptr)) {
            mine->addresses = std::move(answer.addresses);
            mine->error = std::move(answer.error);
            mine->error_no = answer.error_no;
            guard.unlock();
            post_answer(mine);
            guard.lock();
        }
    }
}

uint32_t watch_main(void *) {
    std::unique_lock<std::mutex> guard(s_pool.lock);
    for (;;) {
        if (s_pool.asking.empty()) {
            s_pool.watch.wait(guard);
            continue;
        }
        if (Clock::time_point due = s_pool.asking.front()->due; Clock::now() < due) {
            s_pool.watch.wait_until(guard, due);
            continue;
        }
        std::shared_ptr<Lookup> lookup = s_pool.asking.front();
        s_pool.asking.pop_front();
        if (Job *job = lookup->job.exchange(nullptr)) {
            fail(*job, rt::WSAETIMEDOUT, "Timeout while contacting DNS servers");
            guard.unlock();
            post_answer(job);
            guard.lock();
        }
    }
}

bool start(os_thread_func_t routine) {
    os_thread_t thread{};
    if (!keel::sync::thread_start(&thread, 256 * 1024, routine, nullptr)) {
        KEEL_ERROR("resolver thread fail");
        return false;
    }
    keel::sync::thread_detach(&thread);
    return true;
}

// Read at the first name. A watch that cannot start leaves the system's
// time-outs.
void set_up_locked() {
    s_pool.set_up = true;
    const char *timeout = getenv("KEEL_DNS_TIMEOUT_MS");
    long total = timeout != nullptr ? std::min(atol(timeout), long{INT_MAX}) : 0;
    if (total > 0 && start(watch_main)) s_pool.timeout = std::chrono::milliseconds(total);
}

}  // namespace

// A name waiting with no thread free to take it starts one.
bool resolver_take(Job *job) {
    std::lock_guard<std::mutex> guard(s_pool.lock);
    if (!s_pool.set_up) set_up_locked();
    s_pool.queue.push_back(job);
    if (s_pool.queue.size() > static_cast<size_t>(s_pool.idle) && s_pool.threads < kThreads && start(worker_main))
        ++s_pool.threads;
    if (s_pool.threads == 0) {
        s_pool.queue.pop_back();
        delete job;
        return false;
    }
    s_pool.work.notify_one();
    return true;
}

}  // namespace keel::net
