// Child processes: the command-line split, real programs (true, sleep 1, one
// that exits 3, one that does not exist), and no zombie left behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "keel/log.h"
#include "keel/os_proc.h"
#include "proc/proc_internal.h"
#include "test_support.h"

using keel_test::StderrCapture;
using keel_test::wait_until;

namespace {

std::vector<std::string> split(const char *cmdline) {
    char **argv = split_command_line(cmdline);
    std::vector<std::string> args;
    for (char **a = argv; *a != nullptr; ++a) args.emplace_back(*a);
    free(argv);
    return args;
}

// Processes, zombies included, whose parent is this one.
int my_children() {
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // The name in parentheses may hold blanks: the parent follows the last ")".
        count += std::stoi(line.substr(line.rfind(')') + 4)) == getpid();
    }
    return count;
}

}  // namespace

TEST(CommandLine, BlanksSeparateQuotesGroupBackslashesEscapeQuotes) {
    using V = std::vector<std::string>;
    EXPECT_EQ(split("  a \t b  "), (V{"a", "b"}));
    EXPECT_EQ(split(R"(sh -c "exit 3")"), (V{"sh", "-c", "exit 3"}));
    EXPECT_EQ(split(R"(a"b c"d "" x)"), (V{"ab cd", "", "x"}));
    EXPECT_EQ(split(R"(say \"hi\" C:\dir\ "a\\" b)"), (V{"say", "\"hi\"", "C:\\dir\\", "a\\", "b"}));
    EXPECT_EQ(split(R"("unterminated quote)"), (V{"unterminated quote"}));
    EXPECT_EQ(split(" \t "), V{});
}

TEST(Process, FireAndForgetReportsAndLeavesNoZombie) {
    log_start(0, 1);
    StderrCapture cap;
    EXPECT_EQ(os_exec_process("true") + os_exec_process("keel-no-such-program") + os_exec_process("   "), 3);
    EXPECT_EQ(os_exec_process(nullptr), 0);
    std::string text = cap.text();
    EXPECT_NE(text.find("process success: true\n"), std::string::npos) << text;
    EXPECT_NE(text.find("process failed: keel-no-such-program\n"), std::string::npos) << text;
    EXPECT_NE(text.find("process failed:    \n"), std::string::npos) << text;
    EXPECT_TRUE(wait_until([] { return my_children() == 0; })) << "the ended child must be collected";
}

TEST(Process, QueryTellsRunningThenEndedWithExitCodeOnEveryCall) {
    log_start(0, 1);
    os_proc_t *sleeper = os_exec_process_ex("sleep 1");
    os_proc_t *three = os_exec_process_ex(R"(\bin\sh -c "exit 3")");
    ASSERT_TRUE(sleeper != nullptr && three != nullptr);
    EXPECT_EQ(os_exec_query(sleeper), 1);
    ASSERT_TRUE(wait_until([&] { return os_exec_query(three) == 0; }));
    StderrCapture cap;
    EXPECT_EQ(os_exec_query(three) + os_exec_query(three), 0) << "still ended after the child was collected";
    auto lines = keel_test::lines_of(cap.text());
    ASSERT_EQ(lines.size(), 2u);
    for (const auto &line : lines) EXPECT_NE(line.find("process over: 3"), std::string::npos) << line;
    ASSERT_TRUE(wait_until([&] { return os_exec_query(sleeper) == 0; }));
    EXPECT_EQ(sleeper->exit_code, 0);
    EXPECT_EQ(os_exec_destroy(sleeper) + os_exec_destroy(three) + os_exec_destroy(nullptr) + os_exec_query(nullptr), 0);
}

TEST(Process, MissingProgramNullAndHugeCommandLines) {
    log_start(0, 1);
    StderrCapture cap;
    EXPECT_EQ(os_exec_process_ex("keel-no-such-program --flag"), nullptr);
    EXPECT_EQ(os_exec_process_ex(nullptr), nullptr);
    EXPECT_EQ(os_exec_process_ex(std::string(100 * 1024, ' ').c_str()), nullptr);
    EXPECT_NE(cap.text().find("process failed: keel-no-such-program --flag"), std::string::npos);
    os_proc_t *big = os_exec_process_ex(("true " + std::string(100 * 1024, 'x')).c_str());
    ASSERT_NE(big, nullptr);
    ASSERT_TRUE(wait_until([&] { return os_exec_query(big) == 0; }));
    EXPECT_EQ(big->exit_code, 0);
    os_exec_destroy(big);
}

TEST(Process, DestroyLeavesChildRunningAndItIsCollectedLater) {
    os_proc_t *child = os_exec_process_ex("sleep 1");
    ASSERT_NE(child, nullptr);
    pid_t pid = child->hprocess;
    EXPECT_EQ(os_exec_destroy(child), 0);
    EXPECT_EQ(kill(pid, 0), 0) << "the child goes on";
    EXPECT_TRUE(wait_until([] { return my_children() == 0; }, std::chrono::seconds(10)));
}
