// The registries of open sockets: the runtime's three lists, which keep each
// record's node, and beside them an index by descriptor, so that finding the
// record of an event costs the same with ten sockets or ten thousand.
// A record enters both together and leaves both together.
#include <mutex>
#include <vector>

#include "net/records.h"
#include "runtime/runtime_internal.h"

namespace keel::net {
namespace {

enum class Kind : uint8_t { None, Server, Client, Udp };

struct Slot {
    Kind kind = Kind::None;
    void *record = nullptr;
};

// Never destroyed: the main thread may look up while exit-time destructors run.
std::mutex &s_index_lock = *new std::mutex;
std::vector<Slot> &s_index = *new std::vector<Slot>;

adt_dlist_node_t *s_server_walk_next = nullptr;

void index_put(int fd, Kind kind, void *record) {
    if (fd < 0) return;
    std::lock_guard<std::mutex> guard(s_index_lock);
    if (static_cast<size_t>(fd) >= s_index.size()) s_index.resize(static_cast<size_t>(fd) * 2 + 64);
    s_index[fd] = Slot{kind, record};
}

// Only the record's own entry is dropped: the number may already serve another.
void index_drop(int fd, void *record) {
    if (fd < 0) return;
    std::lock_guard<std::mutex> guard(s_index_lock);
    if (static_cast<size_t>(fd) < s_index.size() && s_index[fd].record == record) s_index[fd] = Slot{};
}

void *index_find(int fd, Kind kind) {
    if (fd < 0) return nullptr;
    std::lock_guard<std::mutex> guard(s_index_lock);
    if (static_cast<size_t>(fd) >= s_index.size() || s_index[fd].kind != kind) return nullptr;
    return s_index[fd].record;
}

template <class Record>
void list_in(adt_dlist_t *list, Record *r, int fd, Kind kind) {
    adt_dlist_lock(list);
    r->node = adt_dlist_insert(list, nullptr, &r);
    if (r->node != nullptr) index_put(fd, kind, r);
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

void list_server(os_tcp_server_t *server) { list_in(rt::s_ls_server, server, server->listenfd, Kind::Server); }

void unlist_server(os_tcp_server_t *server) {
    adt_dlist_lock(rt::s_ls_server);
    if (server->node != nullptr && server->node == s_server_walk_next)
        s_server_walk_next = adt_dlist_next(server->node);
    list_out(rt::s_ls_server, server, server->listenfd);
    adt_dlist_unlock(rt::s_ls_server);
}

void list_client(os_tcp_client_t *client) { list_in(rt::s_ls_client, client, client->connectfd, Kind::Client); }

void unlist_client(os_tcp_client_t *client) { list_out(rt::s_ls_client, client, client->connectfd); }

void list_udp_client(os_udp_client_t *client) { list_in(rt::s_ls_udp_client, client, client->fd, Kind::Udp); }

void unlist_udp_client(os_udp_client_t *client) { list_out(rt::s_ls_udp_client, client, client->fd); }

os_tcp_server_t *find_server(int sock) { return static_cast<os_tcp_server_t *>(index_find(sock, Kind::Server)); }

os_tcp_client_t *find_client(int sock) { return static_cast<os_tcp_client_t *>(index_find(sock, Kind::Client)); }

os_udp_client_t *find_udp_client(int sock) { return static_cast<os_udp_client_t *>(index_find(sock, Kind::Udp)); }

adt_dlist_node_t *&server_walk_next() { return s_server_walk_next; }

}  // namespace keel::net
