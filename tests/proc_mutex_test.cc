// The per-executable mutex: SHA-1 names against FIPS 180-4 and sha1sum, and real competing processes.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "keel/os_proc.h"
#include "proc/proc_internal.h"
#include "test_support.h"

namespace fs = std::filesystem;

// Run as a competitor: prints what os_get_proc_mutex gave and its process id; a holder lets go once its output
// is closed. Both end normally (exit), as a program does.
static const bool kProbe = [] {
    const char *mode = getenv("KEEL_MUTEX_PROBE");
    if (mode == nullptr) return false;
    alarm(60);  // the deadline of every wait for this process
    printf("%d %d\n", os_get_proc_mutex(), static_cast<int>(getpid()));
    fflush(stdout);
    pollfd out = {1, 0, 0};
    if (std::string(mode) == "hold") poll(&out, 1, -1);
    exit(0);
}();

struct Probe {
    FILE *out;
    int answer = -2, pid = 0;
    Probe(const std::string &exe, const std::string &mode)
        : out(popen(("exec env KEEL_MUTEX_PROBE=" + mode + " '" + exe + "' 2>/dev/null").c_str(), "r")) {
        if (out == nullptr || fscanf(out, "%d %d", &answer, &pid) != 2) ADD_FAILURE() << "no answer from " << exe;
    }
    ~Probe() { if (out != nullptr) pclose(out); }
};

static size_t entries_in(const fs::path &dir) {
    return fs::exists(dir) ? static_cast<size_t>(std::distance(fs::directory_iterator(dir), {})) : 0;
}

TEST(MutexName, Sha1MatchesStandardVectorsAndSha1sum) {
    const struct { std::string text, digest; } cases[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"}, {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"}};
    for (const auto &c : cases) {
        char *hex = nullptr;
        int len = 0;
        ASSERT_EQ(generate_hash_string(c.text.c_str(), &hex, &len), 1);
        EXPECT_EQ(std::string(hex, static_cast<size_t>(len)), c.digest) << c.text;
        free(hex);
    }
    auto sha1sum = [](const std::string &text) { return keel_test::output_of("sha1sum", text).substr(0, 40); };
    const std::string path = "/opt/some app/bin/Program \xe4\xb8\xad";
    char *name = proc_mutex_name(path.c_str());
    EXPECT_EQ(std::string(name), sha1sum(path + ":0") + "_" + sha1sum(path + ":1") + "_mutex");
    free(name);
}

TEST(ProcMutex, OneHolderPerExecutableFileUntilItEnds) {
    size_t fds = entries_in("/proc/self/fd");
    std::string dir = fs::temp_directory_path() / "keel_lock_XXXXXX";
    std::string self = fs::read_symlink("/proc/self/exe");
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const fs::path locks = dir + "/keel";
    setenv("XDG_RUNTIME_DIR", "/proc/keel-cannot-exist", 1);
    EXPECT_EQ(os_get_proc_mutex(), -1);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);  // a lock directory of this run's own
    fs::create_directory(dir + "/a");
    for (const std::string &copy : {dir + "/copy", dir + "/a/copy"}) fs::copy_file(self, copy);
    {
        Probe first(self, "hold"), second(self, "once"), a(dir + "/copy", "hold"), b(dir + "/a/copy", "hold");
        EXPECT_TRUE(first.answer == 0 && second.answer == 1) << first.answer << " " << second.answer;
        EXPECT_TRUE(a.answer == 0 && b.answer == 0) << "copies in two directories: " << a.answer << " " << b.answer;
        keel_test::StderrCapture cap;
        EXPECT_EQ(os_get_proc_mutex(), 1) << "this process runs the same executable as the first";
        EXPECT_NE(cap.text().find("_mutex' - Already exists: YES"), std::string::npos);
        EXPECT_EQ(entries_in(locks), 3u);
    }
    EXPECT_EQ(entries_in(locks), 0u) << "holders that end normally remove their lock files";

    {
        Probe killed(self, "hold");
        ASSERT_EQ(killed.answer, 0);
        kill(killed.pid, SIGKILL);
    }
    EXPECT_EQ(entries_in(locks), 1u) << "a killed holder leaves its file";
    EXPECT_EQ(Probe(self, "once").answer, 0) << "the kernel released the hold of the killed process";
    EXPECT_EQ(entries_in(locks), 0u) << "and the next holder removed the file as it ended";

    keel_test::StderrCapture cap;
    EXPECT_EQ(os_get_proc_mutex(), 0);
    EXPECT_NE(cap.text().find("_mutex' - Already exists: NO"), std::string::npos);
    EXPECT_EQ(os_get_proc_mutex(), 1) << "a second call in the holding process finds it";
    EXPECT_EQ(Probe(self, "once").answer, 1) << "and closes only the descriptor it opened itself";
    EXPECT_EQ(entries_in("/proc/self/fd"), fds + 1) << "the hold is the one descriptor kept";

    const std::string lock = (locks / fs::directory_iterator(locks)->path().filename()).string();
    pid_t child = fork();
    if (child == 0) {  // a forked child does not share the hold
        bool shared = false;
        for (const auto &fd : fs::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            shared = shared || fs::read_symlink(fd.path(), ec).string() == lock;
        }
        _exit(shared ? 1 : 0);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child kept the lock descriptor";
    EXPECT_EQ(Probe(self, "once").answer, 1) << "closing the child's copy left the hold in place";
    fs::remove_all(dir);
}
