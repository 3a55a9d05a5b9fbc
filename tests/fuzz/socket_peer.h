// The peer side of the socket harnesses: the library's echo server (tests/echo_server.h) in this process, started
// by the first input, and plain loopback connections to it. The fuzzer's alarm signal may interrupt any wait of the
// harness (and of the library's threads, which must carry on): every call here retries.
#pragma once

#include <sys/prctl.h>

#include <filesystem>

#include "tests/echo_server.h"
#include "tests/fuzz/fuzz.h"
#include "tests/net_support.h"

using namespace keel_test;

inline uint16_t g_port;
inline int g_sockets;  // before any connection

// The process's sockets. Other descriptors come and go with the sanitizer's symbolizer, which the fuzzer starts to
// name new code it reaches.
inline int socket_count() {
    int n = 0;
    std::error_code error;  // the listing's own descriptor is gone when it is read
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        n += std::filesystem::read_symlink(entry.path(), error).string().rfind("socket:", 0) == 0;
    return n;
}

inline os_tcp_server_t *echo_server() {
    static os_tcp_server_t *server = [] {
        // Short sleeps end on time, in the library's threads too: the harness waits for an accept with most inputs,
        // and the kernel's default timer slack (50 us) would make each wait cost far more than the accept itself.
        prctl(PR_SET_TIMERSLACK, 1UL);
        os_tcp_server_t *s = start_runtime(true) ? open_server(g_port = free_port()) : nullptr;
        g_sockets = socket_count();
        return s;
    }();
    if (server == nullptr) FUZZ_FAIL();
    return server;
}

inline bool wait_for(const std::function<bool()> &done, int step_us = 5) {
    return wait_until(done, std::chrono::seconds(10), std::chrono::microseconds(step_us));
}

// A connection to the echo server; no read on it waits more than 10 s.
inline int peer_connect() {
    int fd = plain_connect(echo_server() != nullptr ? g_port : 0);
    timeval limit{10, 0};
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        fprintf(stderr, "harness: no connection to port %u: %s\n", g_port, strerror(errno));
        FUZZ_FAIL();
    }
    return fd;
}

// False when the server has closed the connection already.
inline bool write_all(int fd, const std::string &data) {
    for (size_t off = 0; off < data.size();) {
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

// Every connection but `open` that the server accepted has ended, once, no callback came after an end, and no
// socket of theirs is left on either side.
inline bool all_ended(long open) {
    auto done = [open] { return g_echo_accepted - g_echo_ended == open && socket_count() == g_sockets + 2 * open; };
    if (wait_for(done, 50) && g_echo_late == 0) return true;
    fprintf(stderr, "harness: %ld accepted, %ld ended, %ld late callbacks, %d sockets (%d at start)\n",
            g_echo_accepted.load(), g_echo_ended.load(), g_echo_late.load(), socket_count(), g_sockets);
    return false;
}
