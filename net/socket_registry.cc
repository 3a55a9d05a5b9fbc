// The registries of open sockets: an index by descriptor, so that finding the
// record of an event costs the same with ten sockets or ten thousand, and
// beside it the lists of servers and UDP clients, which keep each record's
// node. A listed record enters both together and leaves both together. Also
// what the runtime's start-up and os_cleanup ask of them.
#include <mutex>
#include <vector>

#include "keel/os_runtime.h"
#include "log/report.h"
#include "net/records.h"
#include "runtime/net_hooks.h"
#include "sync/small_lock.h"

namespace keel::net {

using keel::sync::LockGuard;

adt_dlist_t *s_ls_server = nullptr;
adt_dlist_t *s_ls_udp_client = nullptr;
int s_accept_by_select = 0;

namespace {
// A mode chosen by os_set_accept_mode wins over the marker file.
bool s_accept_chosen = false;
}  // namespace

namespace {

// Never destroyed: the main thread may look up while exit-time destructors
// run. One pointer per descriptor: the record's own first byte, its kind,
// tells which lookup it answers.
keel::sync::SmallLock &s_index_lock = *new keel::sync::SmallLock;
std::vector<void *> &s_index = *new std::vector<void *>;

adt_dlist_node_t *s_server_walk_next = nullptr;

void index_put(int fd, void *record) {
    if (fd < 0) return;
    LockGuard guard(s_index_lock);
    // A quarter more at a time: the index costs a connection little more
    // than its own pointer.
    if (static_cast<size_t>(fd) >= s_index.size())
        grow_or_exit("socket index", [&] { s_index.resize(static_cast<size_t>(fd) + s_index.size() / 4 + 64); });
    s_index[fd] = record;
}

// Only the record's own entry is dropped: the number may already serve another.
void index_drop(int fd, void *record) {
    if (fd < 0) return;
    LockGuard guard(s_index_lock);
    if (static_cast<size_t>(fd) < s_index.size() && s_index[fd] == record) s_index[fd] = nullptr;
}

template <class Record>
void list_in(adt_dlist_t *list, Record *r, int fd) {
    adt_dlist_lock(list);
    r->node = adt_dlist_insert(list, nullptr, &r);
    if (r->node != nullptr) index_put(fd, r);
    adt_dlist_unlock(list);
}

template <class Record>
void list_out(adt_dlist_t *list, Record *r, int fd) {
    adt_dlist_lock(list);
    if (r->node != nullptr) {
        adt_dlist_delete(list, r->node);
        r->node = nullptr;
    }
    index_drop(fd, r);
    adt_dlist_unlock(list);
}

}  // namespace

void list_server(os_tcp_server_t *server) { list_in(s_ls_server, server, server->listenfd); }

void unlist_server(os_tcp_server_t *server) {
    adt_dlist_lock(s_ls_server);
    if (server->node != nullptr && server->node == s_server_walk_next)
        s_server_walk_next = adt_dlist_next(server->node);
    list_out(s_ls_server, server, server->listenfd);
    adt_dlist_unlock(s_ls_server);
}

void list_client(os_tcp_client_t *client) {
    client->listed = true;
    index_put(client->connectfd, client);
}

void unlist_client(os_tcp_client_t *client) {
    if (!client->listed) return;
    client->listed = false;
    index_drop(client->connectfd, client);
}

void list_udp_client(os_udp_client_t *client) { list_in(s_ls_udp_client, client, client->fd); }

void unlist_udp_client(os_udp_client_t *client) { list_out(s_ls_udp_client, client, client->fd); }

SocketRecord find_record(int sock) {
    if (sock < 0) return {};
    LockGuard guard(s_index_lock);
    return {static_cast<size_t>(sock) < s_index.size() ? s_index[sock] : nullptr};
}

adt_dlist_node_t *&server_walk_next() { return s_server_walk_next; }

}  // namespace keel::net

using namespace keel::net;

// Lists of pointers; made once, also when a start-up is tried again.
void keel::rt::net_start(bool accept_at_once) {
    if (s_ls_server == nullptr) s_ls_server = adt_dlist_create(sizeof(void *));
    if (s_ls_udp_client == nullptr) s_ls_udp_client = adt_dlist_create(sizeof(void *));
    if (!s_accept_chosen) s_accept_by_select = accept_at_once ? 1 : 0;
}

// The servers listening now change over at once: in the accept-at-once mode
// a listener is registered for its accept events, on the tick it is not.
extern "C" KEEL_API int os_set_accept_mode(int mode) {
    if (mode != OS_ACCEPT_AT_ONCE && mode != OS_ACCEPT_ON_TICK) {
        KEEL_INFO("mode != OS_ACCEPT_AT_ONCE && mode != OS_ACCEPT_ON_TICK");
        return 0;
    }
    os_main_lock();
    s_accept_chosen = true;
    if (s_accept_by_select != mode) {
        s_accept_by_select = mode;
        if (s_ls_server != nullptr) {
            adt_dlist_lock(s_ls_server);
            for (adt_dlist_node_t *node = adt_dlist_head(s_ls_server); node != nullptr; node = adt_dlist_next(node)) {
                using namespace keel::rt;
                int fd = (*static_cast<os_tcp_server_t **>(adt_dlist_getdata(node)))->listenfd;
                select_socket(fd, mode == OS_ACCEPT_AT_ONCE ? FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE : 0);
            }
            adt_dlist_unlock(s_ls_server);
        }
    }
    os_main_unlock();
    return 1;
}

// Each close takes its record out of the list, so the loops end when nothing
// listens and nothing is open. TCP connections are left alone.
extern "C" KEEL_API int os_cleanup(void) {
    // Under the main lock, so that no other thread destroys the record
    // between the look at the list and its close.
    os_main_lock();
    if (s_ls_server != nullptr)
        while (adt_dlist_node_t *node = adt_dlist_head(s_ls_server))
            os_tcp_server_close(*static_cast<os_tcp_server_t **>(adt_dlist_getdata(node)));
    if (s_ls_udp_client != nullptr)
        while (adt_dlist_node_t *node = adt_dlist_head(s_ls_udp_client))
            os_udp_client_close(*static_cast<os_udp_client_t **>(adt_dlist_getdata(node)));
    os_main_unlock();
    return 1;
}
