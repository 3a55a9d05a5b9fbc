// Descriptors the library holds are close-on-exec: a child that the caller
// starts on its own lists its descriptors, and none of them is one of the
// library's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "keel/log.h"
#include "keel/os_comm.h"
#include "keel/os_net.h"
#include "keel/os_runtime.h"
#include "keel/os_proc.h"
#include "test_support.h"

namespace fs = std::filesystem;
using keel_test::open_files;

namespace {

// Runs a shell that prints what each of its descriptors names, started by
// fork and exec or by posix_spawn (which runs no fork handlers, so only
// close-on-exec keeps a descriptor from it); reads its output with a deadline.
std::string child_descriptors(bool spawn) {
    const char *argv[] = {"sh", "-c", "for f in /proc/$$/fd/*; do readlink \"$f\"; done", nullptr};
    int out[2];
    if (pipe(out) != 0) return "";
    pid_t child = -1;
    if (spawn) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (posix_spawn(&child, "/bin/sh", &actions, nullptr, const_cast<char **>(argv), environ) != 0) child = -1;
        posix_spawn_file_actions_destroy(&actions);
    } else if ((child = fork()) == 0) {
        dup2(out[1], 1);
        execv("/bin/sh", const_cast<char **>(argv));
        _exit(127);
    }
    close(out[1]);
    std::string text = keel_test::read_exact(out[0], SIZE_MAX, 10000);  // to the end, each wait bounded
    close(out[0]);
    if (child > 0) waitpid(child, nullptr, 0);
    return text;
}

}  // namespace

// The log file, the process-mutex lock, the runtime's own descriptors,
// sockets of every kind and a serial port: nothing the library opened reaches
// a child, started by fork and exec or by posix_spawn.
TEST(CloseOnExec, ChildrenInheritNothingTheLibraryOpened) {
    std::string dir = fs::temp_directory_path() / "keel_cloexec_XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    std::string logs = dir + "/logs/";
    fs::create_directories(logs);
    int master, slave;
    char pty[128];
    ASSERT_EQ(openpty(&master, &slave, pty, nullptr, nullptr), 0);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    close(slave);
    setenv("KEEL_COM1", pty, 1);
    // The client connects to a listener that takes it: a refused connect
    // would close its socket while the descriptors are counted.
    uint16_t listener_port;
    int listener = keel_test::bound(SOCK_STREAM, &listener_port);
    fcntl(listener, F_SETFD, FD_CLOEXEC);
    std::vector<std::string> before = open_files();

    log_set_proc_name("_cloexec");
    log_set_path(logs.data());
    log_start(1, 0);
    log_msg2("held");
    ASSERT_EQ(os_get_proc_mutex(), 0);
    ASSERT_EQ(os_startup(0, 0), 1);  // the queue, the wake-up and the poller
    os_tcp_server_t *server = os_tcp_server_create();
    os_tcp_server_set_local(server, "127.0.0.1", 0);
    ASSERT_EQ(os_tcp_server_open(server), 1);
    os_udp_client_t *udp = os_udp_client_create();
    ASSERT_EQ(os_udp_client_open(udp), 1);
    os_tcp_client_t *tcp = os_tcp_client_create();
    os_tcp_client_set_remote(tcp, "127.0.0.1", listener_port);
    ASSERT_EQ(os_tcp_client_open(tcp, -1), 1);
    os_comm_client_t *port = os_comm_client_create(1, 9600, 8, 'N', 1);
    ASSERT_EQ(os_comm_client_open(port), 1);
    ASSERT_TRUE(keel_test::wait_until([&] { return !fs::is_empty(logs); }));
    std::string log_file = fs::directory_iterator(logs)->path().string();
    std::string lock_file = fs::directory_iterator(dir + "/keel")->path().string();

    std::vector<std::string> ours;
    for (const std::string &name : open_files())
        if (std::find(before.begin(), before.end(), name) == before.end()) ours.push_back(name);
    EXPECT_TRUE(keel_test::is_open(log_file) && keel_test::is_open(lock_file)) << "the library holds both";
    EXPECT_GE(ours.size(), 7u) << "the log file, the lock, sockets, the port and the runtime's descriptors";
    size_t fds = open_files().size();
    for (bool spawn : {false, true}) {
        std::vector<std::string> inherited = keel_test::lines_of(child_descriptors(spawn));
        EXPECT_TRUE(std::any_of(inherited.begin(), inherited.end(),
                                [](const std::string &s) { return s.rfind("pipe:[", 0) == 0; }))
            << "the listing shows the pipe the child writes to";
        for (const std::string &name : ours)
            EXPECT_EQ(std::count(inherited.begin(), inherited.end(), name), 0)
                << (spawn ? "posix_spawn" : "fork and exec") << ": " << name;
    }
    EXPECT_EQ(open_files().size(), fds);
    os_comm_client_destroy(port);
    os_tcp_client_destroy(tcp);
    os_udp_client_destroy(udp);
    os_tcp_server_destroy(server);
    close(master), close(listener);
    fs::remove_all(dir);
}
