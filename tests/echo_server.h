// An echo server on the library, as a user would write it, shared by the tests, the stress program and the TCP fuzz
// harness: every byte read goes back, and what the socket does not take waits for the write callback. Each connection
// carries a live mark, so that a callback after its end is seen.
#pragma once

#include <atomic>
#include <fstream>

#include "keel/os_net.h"
#include "keel/os_runtime.h"
#include "net_support.h"

namespace keel_test {

constexpr uint32_t kEchoAlive = 0x6b65656c;
struct EchoConn {
    uint32_t magic = kEchoAlive;
    uint32_t read_len;  // the size of each read
    std::string pending;
};

inline std::atomic<long> g_echo_accepted{0}, g_echo_ended{0}, g_echo_late{0};
inline std::atomic<uint32_t> g_echo_read_len{16384};  // for the connections accepted next
inline EchoConn *echo_conn(os_tcp_client_t *c) {
    auto *conn = static_cast<EchoConn *>(os_tcp_client_get_udata(c));
    if (conn != nullptr && conn->magic == kEchoAlive) return conn;
    ++g_echo_late;  // a callback for a connection that has ended
    return nullptr;
}

// False when the connection failed: no write callback would ever come.
inline bool echo_flush(os_tcp_client_t *c, EchoConn *conn) {
    while (!conn->pending.empty()) {
        int n = os_tcp_client_send(c, conn->pending.data(), static_cast<uint32_t>(conn->pending.size()));
        if (n <= 0) return n == 0;  // 0: the write callback resumes
        conn->pending.erase(0, static_cast<size_t>(n));
    }
    return true;
}

inline int echo_read(os_tcp_client_t *c, void *) {
    EchoConn *conn = echo_conn(c);
    if (conn == nullptr) return -1;
    char buf[65536];
    int n;
    while ((n = os_tcp_client_read(c, buf, conn->read_len)) > 0) conn->pending.append(buf, static_cast<size_t>(n));
    return !echo_flush(c, conn) || n < 0 ? -1 : 0;  // a peer that only stopped sending still gets its echo
}
inline void echo_write(os_tcp_client_t *c, void *) {
    if (EchoConn *conn = echo_conn(c); conn != nullptr && !echo_flush(c, conn)) os_tcp_client_close(c);
}
inline void echo_end(os_tcp_client_t *c, void *) {
    if (EchoConn *conn = echo_conn(c); conn != nullptr) {
        conn->magic = 0;
        delete conn, os_tcp_client_set_udata(c, nullptr), ++g_echo_ended;
    }
}

inline void echo_accept(os_tcp_server_t *, os_tcp_client_t *c, void *) {
    os_tcp_client_set_udata(c, new EchoConn{kEchoAlive, g_echo_read_len.load(), {}});
    os_tcp_client_bind_read(c, echo_read, nullptr);
    os_tcp_client_bind_write(c, echo_write, nullptr);
    os_tcp_client_bind_disconnect(c, echo_end, nullptr);
    ++g_echo_accepted;
}

// A server listening on 127.0.0.1:port, or nullptr.
inline os_tcp_server_t *open_server(uint16_t port, os_tcp_accept_cb accept = echo_accept) {
    os_tcp_server_t *s = os_tcp_server_create();
    os_tcp_server_set_local(s, "127.0.0.1", port);
    os_tcp_server_bind_accept(s, accept, nullptr);
    if (os_tcp_server_open(s) == 1) return s;
    os_tcp_server_destroy(s);
    return nullptr;
}

// Starts the runtime; with accept_at_once, from a directory that holds the marker file, so that each connection is
// accepted as it comes.
inline bool start_runtime(bool accept_at_once) {
    namespace fs = std::filesystem;
    fs::path home = fs::current_path(), dir = fs::temp_directory_path() / ("keel_rt_" + std::to_string(getpid()));
    fs::create_directories(dir), fs::current_path(dir);
    if (accept_at_once) std::ofstream("select_config.json");
    bool up = os_startup(0, 0) == 1;
    fs::current_path(home), fs::remove_all(dir);
    return up;
}

}  // namespace keel_test
