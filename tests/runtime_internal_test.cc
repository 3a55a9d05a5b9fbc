// The main thread's message handling seen from inside: events for sockets in
// no list or of an earlier registration, delayed closes, and the accept-mode marker.
#include <fcntl.h>
#include <netinet/in.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "keel/log.h"
#include "keel/os_runtime.h"
#include "net/records.h"
#include "runtime/runtime_internal.h"
#include "test_support.h"

using namespace keel::rt;

TEST(WindowProc, EventsForUnknownSocketsOnlyReportAndDelayedClosesClose) {
    log_start(0, 1);
    ASSERT_EQ(os_startup(0, 0), 1);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    keel_test::StderrCapture cap;
    queue_post(WM_SOCKET_EVENT, 9999, FD_READ);
    queue_post(WM_SOCKET_EVENT, 9998, FD_CLOSE | (WSAECONNRESET << 16));
    queue_post(WM_SOCKET_CLOSE, static_cast<uintptr_t>(fds[0]), 0);
    // Messages are handled in order: once this runs, all three were handled.
    static std::atomic<bool> done{false};
    os_post_func([](void *) { done = true; }, nullptr);
    ASSERT_TRUE(keel_test::wait_until([] { return done.load(); }));
    EXPECT_EQ(fcntl(fds[0], F_GETFD), -1) << "closed by the main thread";
    close(fds[1]);
    std::string text = cap.text();
    EXPECT_NE(text.find("[info]  file: dispatch.cc"), std::string::npos) << text;
    EXPECT_NE(text.find("!WSAGETSELECTERROR do not happen, sock:9999"), std::string::npos) << text;
    size_t at = text.find("WSAGETSELECTERROR do not happen, sock:9998");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text[at - 1], ' ') << "an event with an error takes the other report";
}

// Only the presence of "select_config.json" in the working directory selects
// accepting on notification; each case starts the runtime in a process of its own.
class Marker : public ::testing::TestWithParam<bool> {};

TEST_P(Marker, SelectsAcceptOnNotification) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("keel_marker_" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::current_path(dir);
    ASSERT_TRUE(!GetParam() || std::ofstream("select_config.json").is_open());  // empty
    ASSERT_EQ(os_startup(0, 0), 1);
    EXPECT_EQ(s_accept_by_select, GetParam() ? 1 : 0);
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Startup, Marker, ::testing::Bool());

// A stale event (an earlier registration of the same number) for a live
// connection reports and leaves the connection alone; a delayed close
// cancels whatever registration is left before closing.
TEST(WindowProc, StaleEventsMissLiveRecordsAndDelayedClosesCancel) {
    log_start(0, 1);
    ASSERT_EQ(os_startup(0, 0), 1);
    static std::atomic<os_tcp_client_t *> s_client{nullptr};
    os_tcp_server_t *server = os_tcp_server_create();
    os_tcp_server_set_local(server, "127.0.0.1", 0);
    os_tcp_server_bind_accept(server, [](os_tcp_server_t *, os_tcp_client_t *c, void *) { s_client = c; }, nullptr);
    ASSERT_EQ(os_tcp_server_open(server), 1);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(server->listenfd, reinterpret_cast<sockaddr *>(&a), &len);
    int peer = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr *>(&a), len), 0);
    ASSERT_TRUE(keel_test::wait_until([] { return s_client.load() != nullptr; }));
    int fd = s_client.load()->connectfd;

    keel_test::StderrCapture cap;
    uint64_t stale = FD_CLOSE | (uint64_t{0xFFFF0000} << 32);
    queue_post(WM_SOCKET_EVENT, static_cast<uintptr_t>(fd), static_cast<intptr_t>(stale));
    ASSERT_TRUE(keel_test::on_main_thread([] {}));
    EXPECT_NE(cap.text().find("!WSAGETSELECTERROR do not happen, sock:" + std::to_string(fd)), std::string::npos);
    EXPECT_EQ(os_tcp_client_get_status(s_client), TCP_CLIENT_STATUS_CONNECT);
    EXPECT_TRUE(post_socket_event(fd, FD_READ)) << "still registered";

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(select_socket(pair[0], FD_READ | FD_CLOSE), 0);
    queue_post(WM_SOCKET_CLOSE, static_cast<uintptr_t>(pair[0]), 0);
    ASSERT_TRUE(keel_test::on_main_thread([] {}));
    EXPECT_FALSE(post_socket_event(pair[0], FD_READ)) << "the registration went with the socket";
    close(pair[1]);
    close(peer);
    os_tcp_server_destroy(server);
}
