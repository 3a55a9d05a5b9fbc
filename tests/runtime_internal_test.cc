// The main thread's message handling seen from inside: events for sockets in
// no list, delayed closes, and the accept-mode marker.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "keel/log.h"
#include "keel/os_runtime.h"
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
