// The main thread's message handling seen from inside: events for sockets in
// no list, delayed closes, and the accept-mode marker.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>

#include "keel/log.h"
#include "keel/os_runtime.h"
#include "runtime/runtime_internal.h"
#include "test_support.h"

using namespace keel::rt;
using keel_test::StderrCapture;
using keel_test::wait_until;

TEST(WindowProc, EventsForUnknownSocketsOnlyReport) {
    log_start(0, 1);
    ASSERT_EQ(os_startup(0, 0), 1);
    StderrCapture cap;
    queue_post(WM_SOCKET_EVENT, 9999, FD_READ);
    queue_post(WM_SOCKET_EVENT, 9998, FD_CLOSE | (WSAECONNRESET << 16));
    // Messages are handled in order: once this runs, both events were handled.
    static std::atomic<bool> done{false};
    os_post_func([](void *) { done = true; }, nullptr);
    ASSERT_TRUE(wait_until([] { return done.load(); }));
    std::string text;
    text = cap.text();
    EXPECT_NE(text.find("[info]  file: window_proc.cc"), std::string::npos) << text;
    EXPECT_NE(text.find("!WSAGETSELECTERROR do not happen, sock:9999"), std::string::npos) << text;
    size_t at = text.find("WSAGETSELECTERROR do not happen, sock:9998");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text[at - 1], ' ') << "an event with an error takes the other report";
}

TEST(WindowProc, SocketCloseMessageClosesOnTheMainThread) {
    ASSERT_EQ(os_startup(0, 0), 1);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    queue_post(WM_SOCKET_CLOSE, static_cast<uintptr_t>(fds[0]), 0);
    ASSERT_TRUE(wait_until([&] { return fcntl(fds[0], F_GETFD) == -1; }));
    close(fds[1]);
}

TEST(Startup, MarkerFileSelectsAcceptOnNotification) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("keel_marker_" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::current_path(dir);
    FILE *marker = fopen("select_config.json", "w");  // empty: only its presence counts
    ASSERT_NE(marker, nullptr);
    fclose(marker);
    ASSERT_EQ(os_startup(0, 0), 1);
    EXPECT_EQ(s_accept_by_select, 1);
    fs::remove_all(dir);
}

TEST(Startup, NoMarkerMeansAcceptOnTheTick) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("keel_nomarker_" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::current_path(dir);
    ASSERT_EQ(os_startup(0, 0), 1);
    EXPECT_EQ(s_accept_by_select, 0);
    fs::remove_all(dir);
}
