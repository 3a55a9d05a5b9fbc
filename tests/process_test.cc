// Child processes: the command-line split, real programs and their collection.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <string>
#include <vector>

#include "keel/log.h"
#include "keel/os_proc.h"
#include "proc/proc_internal.h"
#include "test_support.h"

TEST(CommandLine, BlanksSeparateQuotesGroupBackslashesEscapeQuotes) {
    const struct { const char *line; std::vector<std::string> args; } cases[] = {
        {"  a \t b  ", {"a", "b"}}, {R"(sh -c "exit 3")", {"sh", "-c", "exit 3"}},
        {R"(a"b c"d "" x)", {"ab cd", "", "x"}}, {R"("unterminated quote)", {"unterminated quote"}},
        {R"(say \"hi\" C:\dir\ "a\\" b)", {"say", "\"hi\"", "C:\\dir\\", "a\\", "b"}}, {" \t ", {}}};
    for (const auto &c : cases) {
        char **argv = split_command_line(c.line), **end = argv;
        while (*end != nullptr) ++end;
        EXPECT_EQ(std::vector<std::string>(argv, end), c.args) << c.line;
        free(argv);
    }
}

TEST(Process, QueryTellsRunningThenEndedWithExitCodeOnEveryCall) {
    log_start(0, 1);
    os_proc_t *sleeper = os_exec_process_ex("sleep 1"), *three = os_exec_process_ex(R"(\bin\sh -c "exit 3")");
    os_proc_t *big = os_exec_process_ex(("true " + std::string(100 * 1024, 'x')).c_str());
    ASSERT_TRUE(sleeper != nullptr && three != nullptr && big != nullptr);
    EXPECT_EQ(os_exec_query(sleeper), 1);
    ASSERT_TRUE(keel_test::wait_until([&] { return os_exec_query(three) == 0 && os_exec_query(big) == 0; }));
    keel_test::StderrCapture cap;
    EXPECT_EQ(os_exec_query(three) + os_exec_query(three), 0) << "still ended after the child was collected";
    std::string text = cap.text();  // one report per call, each with the exit code
    EXPECT_TRUE(keel_test::lines_of(text).size() == 2 && text.find("over: 3") != text.rfind("over: 3")) << text;
    ASSERT_TRUE(keel_test::wait_until([&] { return os_exec_query(sleeper) == 0; }));
    EXPECT_TRUE(sleeper->exit_code == 0 && three->exit_code == 3 && big->exit_code == 0);
    EXPECT_EQ(os_exec_destroy(sleeper) + os_exec_destroy(three) + os_exec_destroy(big), 0);
}

TEST(Process, MissingProgramsFail) {
    KEEL_SKIP_UNDER_EMULATION("reports success for posix_spawnp of a program that does not exist");
    EXPECT_EQ(os_exec_process("true") + os_exec_process("keel-no-such-program") + os_exec_process("   "), 3);
    EXPECT_TRUE(os_exec_process_ex("keel-no-such-program --flag") == nullptr);
    siginfo_t info{};
    EXPECT_TRUE(keel_test::wait_until([&] { return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0; },
                                      std::chrono::seconds(10))) << "every ended child must be collected";
}

TEST(Process, NoChildIsLeftBehind) {
    EXPECT_EQ(os_exec_process(nullptr), 0);
    EXPECT_TRUE(os_exec_process_ex(nullptr) == nullptr);
    os_proc_t *child = os_exec_process_ex("sleep 1");
    ASSERT_NE(child, nullptr);
    pid_t pid = child->hprocess;
    EXPECT_EQ(os_exec_destroy(child) + os_exec_destroy(nullptr) + os_exec_query(nullptr), 0);
    EXPECT_EQ(kill(pid, 0), 0) << "the child goes on";
    siginfo_t info{};  // WNOWAIT: looks for children, running or ended, without collecting any
    EXPECT_TRUE(keel_test::wait_until([&] { return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0; },
                                      std::chrono::seconds(10))) << "every ended child must be collected";
}
