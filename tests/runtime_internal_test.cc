// The main thread's message handling seen from inside: events for sockets in
// no list or of an earlier registration, delayed closes, and the accept-mode marker.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>

#include "echo_server.h"
#include "keel/log.h"
#include "keel/os_runtime.h"
#include "net/records.h"
#include "runtime/runtime_internal.h"
#include "test_support.h"

using namespace keel::rt;

// Only the presence of "select_config.json" in the working directory selects
// accepting on notification; each case starts the runtime in a process of its own.
class Marker : public ::testing::TestWithParam<bool> {};

TEST_P(Marker, SelectsAcceptOnNotification) {
    ASSERT_TRUE(keel_test::start_runtime(GetParam()));  // an empty marker
    EXPECT_EQ(keel::net::s_accept_by_select, GetParam() ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Startup, Marker, ::testing::Bool());

// Events for sockets in no list only report; a stale event (an earlier
// registration of the same number) for a live connection is dropped without
// a word, as every close may leave some behind; neither touches the
// connection. A delayed close cancels what registration is left and closes.
TEST(WindowProc, UnknownEventsReportStaleOnesAreDroppedAndDelayedClosesCancelAndClose) {
    log_start(0, 1);
    ASSERT_EQ(os_startup(0, 0), 1);
    int fds = keel_test::fd_count();
    static std::atomic<os_tcp_client_t *> s_client{nullptr};
    os_tcp_server_t *server = os_tcp_server_create();
    os_tcp_server_set_local(server, "127.0.0.1", 0);
    os_tcp_server_bind_accept(server, [](os_tcp_server_t *, os_tcp_client_t *c, void *) { s_client = c; }, nullptr);
    ASSERT_EQ(os_tcp_server_open(server), 1);
    keel_test::Addr a;
    getsockname(server->listenfd, a.sa(), &a.len);
    int peer = keel_test::plain_connect(a.port());
    ASSERT_TRUE(peer >= 0 && keel_test::wait_until([] { return s_client.load() != nullptr; }));
    int fd = s_client.load()->connectfd;

    keel_test::StderrCapture cap;
    queue_post(WM_SOCKET_EVENT, 9999, FD_READ);
    queue_post(WM_SOCKET_EVENT, 9998, FD_CLOSE | (WSAECONNRESET << 16));
    queue_post(WM_SOCKET_EVENT, static_cast<uintptr_t>(fd), socket_event_word(FD_CLOSE, 0, 0xFFFF0000));
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(select_socket(pair[0], FD_READ | FD_CLOSE), 0);
    queue_post(WM_SOCKET_CLOSE, static_cast<uintptr_t>(pair[0]), 0);
    ASSERT_TRUE(keel_test::on_main_thread([] {}));  // messages are handled in order
    std::string text = cap.text();
    EXPECT_NE(text.find("[info]  file: dispatch.cc"), std::string::npos) << text;
    EXPECT_NE(text.find("!WSAGETSELECTERROR do not happen, sock:9999"), std::string::npos) << text;
    EXPECT_EQ(text.find("do not happen, sock:" + std::to_string(fd) + "\n"), std::string::npos) << text;
    size_t at = text.find("WSAGETSELECTERROR do not happen, sock:9998");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text[at - 1], ' ') << "an event with an error takes the other report";
    EXPECT_EQ(os_tcp_client_get_status(s_client), TCP_CLIENT_STATUS_CONNECT);
    EXPECT_TRUE(post_socket_event(fd, FD_READ)) << "still registered";
    EXPECT_FALSE(post_socket_event(pair[0], FD_READ)) << "the registration went with the socket";
    EXPECT_EQ(fcntl(pair[0], F_GETFD), -1) << "closed by the main thread";
    close(pair[1]);
    close(peer);
    os_tcp_server_destroy(server);
    EXPECT_TRUE(keel_test::fd_count_returns_to(fds));
}
