// The per-executable mutex: SHA-1 names against FIPS 180-4 and sha1sum, and real competing processes.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "keel/os_proc.h"
#include "proc/proc_internal.h"
#include "test_support.h"

// Run as a competitor: prints what os_get_proc_mutex gave; a holder lets go once its output is closed.
static const bool kProbe = [] {
    const char *mode = getenv("KEEL_MUTEX_PROBE");
    if (mode == nullptr) return false;
    alarm(60);  // the deadline of every wait for this process
    printf("%d\n", os_get_proc_mutex());
    fflush(stdout);
    pollfd out = {1, 0, 0};
    if (std::string(mode) == "hold") poll(&out, 1, -1);
    _exit(0);
}();

struct Probe {
    FILE *out;
    int answer = -2;
    Probe(const std::string &exe, const std::string &mode)
        : out(popen(("exec env KEEL_MUTEX_PROBE=" + mode + " '" + exe + "'").c_str(), "r")) {
        if (out == nullptr || fscanf(out, "%d", &answer) != 1) ADD_FAILURE() << "no answer from " << exe;
    }
    ~Probe() { if (out != nullptr) pclose(out); }
};

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
    std::string dir = std::filesystem::temp_directory_path() / "keel_lock_XXXXXX";
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    setenv("XDG_RUNTIME_DIR", "/proc/keel-cannot-exist", 1);
    EXPECT_EQ(os_get_proc_mutex(), -1);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);  // a lock directory of this run's own
    std::filesystem::create_directory(dir + "/a");
    for (const std::string &copy : {dir + "/copy", dir + "/a/copy"}) std::filesystem::copy_file(self, copy);
    {
        Probe first(self, "hold"), second(self, "once"), a(dir + "/copy", "hold"), b(dir + "/a/copy", "hold");
        EXPECT_TRUE(first.answer == 0 && second.answer == 1) << first.answer << " " << second.answer;
        EXPECT_TRUE(a.answer == 0 && b.answer == 0) << "copies in two directories: " << a.answer << " " << b.answer;
        EXPECT_EQ(os_get_proc_mutex(), 1) << "this process runs the same executable as the first";
    }
    EXPECT_EQ(Probe(self, "once").answer, 0) << "the kernel releases the hold of an ended process";
    EXPECT_EQ(os_get_proc_mutex(), 0);
    EXPECT_EQ(os_get_proc_mutex(), 1) << "a second call in the holding process finds it";
    std::filesystem::remove_all(dir);
}
