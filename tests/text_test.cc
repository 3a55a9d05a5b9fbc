// Text services: charset conversion checked against the iconv command (valid,
// invalid and truncated input), its statuses, hexadecimal text, copies, the
// local time and the executable's directory.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "keel/log.h"
#include "keel/os_proc.h"
#include "test_support.h"

using keel_test::StderrCapture;

namespace {

std::string convert(const char *from, const char *to, const std::string &input, int *result) {
    char save[256] = {0};
    *result = os_code_convert(from, to, save, sizeof save, input.data(), static_cast<uint32_t>(input.size()));
    return save;
}

}  // namespace

TEST(CodeConvert, AgreesWithIconvCommandOnValidInvalidAndTruncatedInput) {
    log_start(0, 5);
    const std::string zhong_utf8 = "\xe4\xb8\xad", zhong_gbk = "\xd6\xd0";
    const struct { const char *from, *to; std::string input; } cases[] = {
        {"UTF-8", "GBK", "a" + zhong_utf8 + "\xc3\xa9 b"},
        {"GBK", "UTF-8", "x" + zhong_gbk + "\xce\xc4y"},
        {"UTF-8", "ISO-8859-1", "caf\xc3\xa9"},
        {"ISO-8859-1", "UTF-8", "caf\xe9\xff"},
        {"GBK", "ISO-8859-1", "A" + zhong_gbk + "B\xb0"},                 // unconvertible, then cut
        {"UTF-8", "GBK", "ok\xff" + zhong_utf8 + "\xfe!"},               // two invalid bytes
        {"UTF-8", "ISO-8859-1", "a" + zhong_utf8 + "b\xc3\xa9\x80z"},    // unconvertible and invalid
        {"UTF-8", "GBK", "end " + zhong_utf8.substr(0, 2)},              // ends inside a sequence
        {"GBK", "UTF-8", "\x81\x20" + zhong_gbk + "\xff\xd6"},           // bad pair, bad byte, cut
        {"UTF-16LE", "UTF-8", std::string("a\0\0\xd8" "b\0c\0", 8)},    // a lone surrogate is one unit
    };
    for (const auto &c : cases) {
        std::string expected = keel_test::output_of(std::string("iconv -c -f ") + c.from + " -t " + c.to, c.input);
        int result = 0;
        EXPECT_EQ(convert(c.from, c.to, c.input, &result), expected) << c.from << " to " << c.to;
        EXPECT_EQ(result, static_cast<int>(expected.size())) << c.from << " to " << c.to;
    }
}

TEST(CodeConvert, ReportsFirstInvalidSequenceOnceAndReturnsStatuses) {
    log_start(0, 1);
    int result = 0;
    StderrCapture cap;
    EXPECT_EQ(convert("UTF-8", "GBK", "a\xff" "b\xfe" "c", &result), "abc");
    EXPECT_EQ(result, 3);
    EXPECT_EQ(keel_test::lines_of(cap.text()).size(), 1u) << cap.text();
    EXPECT_NE(cap.text().find("errno == EILSEQ status = -3"), std::string::npos);

    char small[4] = {0};
    StderrCapture statuses;
    EXPECT_EQ(os_code_convert("UTF-8", "UTF-8", small, sizeof small, "abcdef", 6), -5);
    EXPECT_STREQ(small, "abc") << "the part converted so far stays, with room for its end";
    EXPECT_EQ(os_code_convert("UTF-8", "NO-SUCH-SET", small, 4, "a", 1), -1);
    EXPECT_EQ(os_code_convert("UTF-8", "GBK", small, 4, "", 0), -1);
    EXPECT_EQ(os_code_convert("UTF-8", "GBK", small, -1, "a", 1) + os_code_convert(nullptr, "GBK", small, 4, "a", 1), -2);
    std::string text = statuses.text();
    for (const char *msg : {"errno == E2BIG status = -5", "not supoort to[NO-SUCH-SET] from[UTF-8]",
                            "from UTF-8 to GBK, src , savelen 4",
                            "from == NULL || to == NULL || save == NULL || src == NULL"})
        EXPECT_NE(text.find(msg), std::string::npos) << msg << "\n" << text;
}

TEST(Hex, RoundTripEitherCaseOddLengthAndNulls) {
    const unsigned char bytes[] = {0x00, 0xAB, 0xFF};
    char hex[7];
    unsigned char back[3] = {1, 1, 1};
    ASSERT_EQ(os_encode(bytes, 3, hex), 1);
    EXPECT_STREQ(hex, "00abff");
    ASSERT_EQ(os_decode("00ABff", 6, back), 1);
    EXPECT_EQ(memcmp(back, bytes, 3), 0);
    unsigned char odd[3] = {9, 9, 9};
    os_decode("12345", 5, odd);
    EXPECT_TRUE(odd[0] == 0x12 && odd[1] == 0x34 && odd[2] == 9) << "the odd digit is ignored";
    os_decode("zz7x", 4, odd);
    EXPECT_TRUE(odd[0] == 0 && odd[1] == 7) << "a bad pair gives 0, a half pair its digit";
    log_start(0, 1);
    StderrCapture cap;
    EXPECT_EQ(os_encode(nullptr, 3, hex) + os_decode("00", 2, nullptr), 0);
    EXPECT_EQ(os_encode(bytes, 0, nullptr), 1) << "nothing to write";
    EXPECT_EQ(keel_test::lines_of(cap.text()).size(), 2u);
}

TEST(Strings, CopyAndReleaseThroughTheAddress) {
    char *copy = os_strdup("keel");
    EXPECT_STREQ(copy, "keel");
    EXPECT_EQ(os_strdup(nullptr), nullptr);
    os_free(&copy);
    EXPECT_EQ(copy, nullptr);
    os_free(&copy);  // a pointer that holds NULL: nothing to do
    log_start(0, 1);
    StderrCapture cap;
    os_free(nullptr);
    EXPECT_NE(cap.text().find("buf == NULL"), std::string::npos);
}

TEST(System, LocalTimeAndExecutableDirectory) {
    os_localtime_t t = {};
    time_t before = time(nullptr);
    EXPECT_EQ(os_get_localtime(&t) + os_get_localtime(nullptr), 2);
    struct tm now;
    localtime_r(&before, &now);
    EXPECT_EQ(t.year, now.tm_year + 1900);
    EXPECT_TRUE(t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 && t.hour < 24);

    std::string dir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    char buf[4096];
    ASSERT_EQ(os_get_work_path(buf, sizeof buf), 1);
    EXPECT_EQ(buf, dir);
    ASSERT_EQ(os_get_work_path(buf, 5), 1);
    EXPECT_EQ(buf, dir.substr(0, 4));
    ASSERT_EQ(os_get_work_path(buf, 1), 1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(os_get_work_path(nullptr, 10) + os_get_work_path(buf, 0), 0);
}
