// Descriptors the library holds (the log file, the process-mutex lock, the
// runtime's, sockets, serial ports) are close-on-exec: a child that the caller starts on its own lists its
// descriptors, and none of them is one of the library's.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>

#include "keel/log.h"
#include "keel/os_comm.h"
#include "keel/os_net.h"
#include "keel/os_runtime.h"
#include "keel/os_proc.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// What this process's descriptors name.
std::vector<std::string> open_files() {
    std::vector<std::string> names;
    for (const auto &fd : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        names.push_back(fs::read_symlink(fd.path(), ec).string());
    }
    return names;
}

bool contains(const std::vector<std::string> &names, const std::string &name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

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
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        pollfd p = {out[0], POLLIN, 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char chunk[4096];
        ssize_t n = read(out[0], chunk, sizeof chunk);
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    close(out[0]);
    int status;
    if (child > 0) waitpid(child, &status, 0);
    return text;
}

}  // namespace

TEST(CloseOnExec, ChildrenInheritNeitherTheLogFileNorTheMutexLock) {
    std::string dir = fs::temp_directory_path() / "keel_cloexec_XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    std::string logs = dir + "/logs/";
    fs::create_directories(logs);
    log_set_proc_name("_cloexec");
    log_set_path(logs.data());
    log_start(1, 1);
    {
        keel_test::StderrCapture quiet;
        log_msg2("held");
        ASSERT_EQ(os_get_proc_mutex(), 0);
    }
    ASSERT_TRUE(keel_test::wait_until([&] { return !fs::is_empty(logs); }));
    std::string log_file = fs::directory_iterator(logs)->path().string();
    std::string lock_file = fs::directory_iterator(dir + "/keel")->path().string();
    size_t fds = open_files().size();
    ASSERT_TRUE(contains(open_files(), log_file) && contains(open_files(), lock_file)) << "the library holds both";

    for (bool spawn : {false, true}) {
        const char *how = spawn ? "posix_spawn" : "fork and exec";
        std::vector<std::string> inherited = keel_test::lines_of(child_descriptors(spawn));
        EXPECT_TRUE(std::any_of(inherited.begin(), inherited.end(),
                                [](const std::string &s) { return s.rfind("pipe:[", 0) == 0; }))
            << how << ": the listing shows the pipe the child writes to";
        EXPECT_FALSE(contains(inherited, log_file)) << how << ": the child inherited the log file";
        EXPECT_FALSE(contains(inherited, lock_file)) << how << ": the child inherited the mutex lock";
    }
    EXPECT_EQ(open_files().size(), fds);
    fs::remove_all(dir);
}

// Sockets of every kind, the runtime's own descriptors and a serial port are
// close-on-exec as well: nothing the library opened reaches the child.
TEST(CloseOnExec, ChildrenInheritNoSocketNorPort) {
    log_start(0, 0);
    int master, slave;
    char pty[128];
    ASSERT_EQ(openpty(&master, &slave, pty, nullptr, nullptr), 0);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    close(slave);
    setenv("KEEL_COM1", pty, 1);
    std::vector<std::string> before = open_files();

    ASSERT_EQ(os_startup(0, 0), 1);  // the queue, the wake-up and the poller
    os_tcp_server_t *server = os_tcp_server_create();
    os_tcp_server_set_local(server, "127.0.0.1", 0);
    ASSERT_EQ(os_tcp_server_open(server), 1);
    os_udp_client_t *udp = os_udp_client_create();
    ASSERT_EQ(os_udp_client_open(udp), 1);
    os_tcp_client_t *tcp = os_tcp_client_create();
    os_tcp_client_set_remote(tcp, "127.0.0.1", 9);
    ASSERT_EQ(os_tcp_client_open(tcp, -1), 1);
    os_comm_client_t *port = os_comm_client_create(1, 9600, 8, 'N', 1);
    ASSERT_EQ(os_comm_client_open(port), 1);

    std::vector<std::string> ours;
    for (const std::string &name : open_files())
        if (!contains(before, name)) ours.push_back(name);
    EXPECT_GE(ours.size(), 5u) << "sockets, the port and the runtime's descriptors";
    for (bool spawn : {false, true}) {
        std::vector<std::string> inherited = keel_test::lines_of(child_descriptors(spawn));
        for (const std::string &name : ours)
            EXPECT_FALSE(contains(inherited, name)) << (spawn ? "posix_spawn" : "fork and exec") << ": " << name;
    }
    os_comm_client_destroy(port);
    os_tcp_client_destroy(tcp);
    os_udp_client_destroy(udp);
    os_tcp_server_destroy(server);
    close(master);
}
