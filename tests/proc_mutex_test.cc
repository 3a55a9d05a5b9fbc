// The per-executable mutex: its SHA-1 name checked against the FIPS 180-4
// vectors and sha1sum, and real processes of this executable (and of copies
// of it in other directories) competing for it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>

#include "keel/log.h"
#include "keel/os_proc.h"
#include "proc/proc_internal.h"
#include "test_support.h"

namespace fs = std::filesystem;
using keel_test::StderrCapture;

namespace {

// Started by the tests below as a competitor: prints what os_get_proc_mutex
// gave, then, in "hold" mode, keeps its hold until it is killed.
const bool kProbe = [] {
    const char *mode = getenv("KEEL_MUTEX_PROBE");
    if (mode == nullptr) return false;
    log_start(0, 0);
    printf("%d\n", os_get_proc_mutex());
    fflush(stdout);
    if (std::string(mode) == "hold") pause();
    _exit(0);
}();

std::string sha1(const std::string &text) {
    char *hex = nullptr;
    int len = 0;
    EXPECT_EQ(generate_hash_string(text.c_str(), &hex, &len), 1);
    std::string out(hex, static_cast<size_t>(len));
    free(hex);
    return out;
}

std::string sha1sum(const std::string &text) { return keel_test::output_of("sha1sum", text).substr(0, 40); }

struct Probe {
    pid_t pid;
    int answer;  // what the probe's os_get_proc_mutex gave; -2 for no answer
};

// Runs exe as a probe and reads its answer, with a deadline.
Probe run_probe(const std::string &exe, const char *mode) {
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string env = std::string("KEEL_MUTEX_PROBE=") + mode;
    std::string runtime = std::string("XDG_RUNTIME_DIR=") + getenv("XDG_RUNTIME_DIR");
    char *argv[] = {const_cast<char *>(exe.c_str()), nullptr};
    char *envp[] = {env.data(), runtime.data(), nullptr};
    Probe probe{-1, -2};
    EXPECT_EQ(posix_spawn(&probe.pid, exe.c_str(), &actions, nullptr, argv, envp), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    char line[16] = {0};
    if (keel_test::wait_until([&] { return read(out[0], line, sizeof line - 1) > 0; }, std::chrono::seconds(20)))
        probe.answer = atoi(line);
    close(out[0]);
    return probe;
}

bool end_probe(const Probe &probe) {
    kill(probe.pid, SIGKILL);
    return waitpid(probe.pid, nullptr, 0) == probe.pid;
}

// Each case gets a lock directory of its own, so parallel runs never meet.
std::string private_lock_dir() {
    std::string dir = fs::temp_directory_path() / "keel_lock_XXXXXX";
    EXPECT_NE(mkdtemp(dir.data()), nullptr);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    return dir;
}

}  // namespace

TEST(MutexName, Sha1MatchesStandardVectorsAndSha1sum) {
    EXPECT_EQ(sha1("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    const std::string path = "/opt/some app/bin/Program \xe4\xb8\xad";
    char *name = proc_mutex_name(path.c_str());
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(std::string(name), sha1sum(path + ":0") + "_" + sha1sum(path + ":1") + "_mutex");
    EXPECT_EQ(strlen(name), 87u);
    free(name);
}

TEST(ProcMutex, SecondProcessOfOneExecutableSeesTheFirstUntilItEnds) {
    std::string dir = private_lock_dir();
    Probe first = run_probe("/proc/self/exe", "hold");
    EXPECT_EQ(first.answer, 0);
    Probe second = run_probe("/proc/self/exe", "once");
    EXPECT_EQ(second.answer, 1);
    log_start(0, 1);
    StderrCapture cap;
    EXPECT_EQ(os_get_proc_mutex(), 1) << "this process runs the same executable";
    EXPECT_NE(cap.text().find("[error]"), std::string::npos);
    EXPECT_NE(cap.text().find("_mutex' - Already exists: YES"), std::string::npos) << cap.text();
    ASSERT_TRUE(end_probe(first) && end_probe(second));
    Probe third = run_probe("/proc/self/exe", "once");
    EXPECT_EQ(third.answer, 0) << "the kernel releases the hold of an ended process";
    end_probe(third);
    fs::remove_all(dir);
}

TEST(ProcMutex, CopiesInTwoDirectoriesHaveNamesOfTheirOwn) {
    std::string dir = private_lock_dir();
    for (const char *sub : {"/a", "/b"}) {
        fs::create_directory(dir + sub);
        fs::copy_file(fs::read_symlink("/proc/self/exe"), dir + sub + "/copy");
    }
    Probe a = run_probe(dir + "/a/copy", "hold");
    Probe b = run_probe(dir + "/b/copy", "hold");
    EXPECT_TRUE(a.answer == 0 && b.answer == 0) << a.answer << " " << b.answer;
    log_start(0, 1);
    StderrCapture cap;
    EXPECT_EQ(os_get_proc_mutex(), 0);
    EXPECT_EQ(os_get_proc_mutex(), 1) << "a second call in the holding process finds it";
    EXPECT_NE(cap.text().find("Already exists: NO"), std::string::npos);
    end_probe(a);
    end_probe(b);
    fs::remove_all(dir);
}

TEST(ProcMutex, UnusableLockDirectoryGivesMinusOne) {
    setenv("XDG_RUNTIME_DIR", "/proc/keel-cannot-exist", 1);
    log_start(0, 1);
    StderrCapture cap;
    EXPECT_EQ(os_get_proc_mutex(), -1);
    EXPECT_NE(cap.text().find("CreateMutexA failed, errno: "), std::string::npos);
}
