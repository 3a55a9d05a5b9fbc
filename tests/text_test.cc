// Text services: charset conversion checked against the iconv command, hex text, copies, the work path.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <iconv.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "keel/os_proc.h"
#include "test_support.h"

static int g_iconv_error = 0;  // while set, iconv fails with an error the converter has no rule for
extern "C" size_t iconv(iconv_t cd, char **in, size_t *in_left, char **out, size_t *out_left) {
    if (g_iconv_error != 0 && in != nullptr) return errno = g_iconv_error, static_cast<size_t>(-1);
    return reinterpret_cast<decltype(&iconv)>(dlsym(RTLD_NEXT, "iconv"))(cd, in, in_left, out, out_left);
}

TEST(CodeConvert, AgreesWithIconvCommandAndReturnsStatuses) {
    const std::string zhong_utf8 = "\xe4\xb8\xad", zhong_gbk = "\xd6\xd0";
    const struct { const char *from, *to; std::string input; } cases[] = {
        {"UTF-8", "GBK", "a" + zhong_utf8 + "\xc3\xa9 b"}, {"GBK", "UTF-8", "x" + zhong_gbk + "\xce\xc4y"},
        {"UTF-8", "ISO-8859-1", "caf\xc3\xa9"}, {"ISO-8859-1", "UTF-8", "caf\xe9\xff"},
        {"GBK", "ISO-8859-1", "A" + zhong_gbk + "B\xb0"},                 // unconvertible, then cut
        {"UTF-8", "GBK", "ok\xff" + zhong_utf8 + "\xfe!"},               // two invalid bytes
        {"UTF-8", "ISO-8859-1", "a" + zhong_utf8 + "b\xc3\xa9\x80z"},    // unconvertible and invalid
        {"UTF-8", "GBK", "end " + zhong_utf8.substr(0, 2)},              // ends inside a sequence
        {"GBK", "UTF-8", "\x81\x20" + zhong_gbk + "\xff\xd6"},           // bad pair, bad byte, cut
        {"UTF-16LE", "UTF-8", std::string("a\0\0\xd8" "b\0c\0", 8)}};   // a lone surrogate is one unit
    for (const auto &c : cases) {
        std::string expected = keel_test::output_of(std::string("iconv -c -f ") + c.from + " -t " + c.to, c.input);
        char save[256] = {0};
        int n = os_code_convert(c.from, c.to, save, sizeof save, c.input.data(), c.input.size());
        EXPECT_TRUE(n == static_cast<int>(expected.size()) && save == expected) << c.from << " to " << c.to << " " << n;
    }
    char save[4] = {0};
    EXPECT_EQ(os_code_convert("UTF-8", "UTF-8", save, sizeof save, "abcdef", 6), -5);
    EXPECT_STREQ(save, "abc") << "the part converted so far stays, with room for its end";
    EXPECT_EQ(os_code_convert("UTF-8", "NO-SUCH", save, 4, "a", 1) + os_code_convert("UTF-8", "GBK", save, 4, "", 0) +
                  os_code_convert("UTF-8", "GBK", save, -1, "a", 1) + os_code_convert(nullptr, "GBK", save, 4, "a", 1),
              -4);
    g_iconv_error = EIO;
    EXPECT_EQ(os_code_convert("UTF-8", "GBK", save, 4, "a", 1), -6);
    g_iconv_error = 0;
}

TEST(Hex, RoundTripEitherCaseOddLengthAndNulls) {
    const unsigned char bytes[] = {0x00, 0xAB, 0xFF};
    char hex[7];
    unsigned char back[3];
    ASSERT_EQ(os_encode(bytes, 3, hex) + os_decode("00ABff", 6, back), 2);
    EXPECT_TRUE(std::string(hex) == "00abff" && memcmp(back, bytes, 3) == 0) << hex;
    os_decode("zz7x5", 5, back);
    EXPECT_TRUE(back[0] == 0 && back[1] == 7 && back[2] == 0xFF) << "bad pair, half pair, odd last digit";
    EXPECT_EQ(os_encode(nullptr, 3, hex) + os_decode("00", 2, nullptr) + os_encode(bytes, 0, nullptr), 1);
}

TEST(System, CopiesAndExecutableDirectory) {
    char *copy = os_strdup("keel");
    os_free(&copy);
    os_free(&copy);  // now NULL: nothing to do
    EXPECT_TRUE(copy == nullptr && os_strdup(nullptr) == nullptr);
    std::string dir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    char buf[4096];
    for (int size : {4096, 5, 1}) {
        ASSERT_EQ(os_get_work_path(buf, size), 1);
        EXPECT_EQ(buf, dir.substr(0, static_cast<size_t>(size - 1)));
    }
    EXPECT_EQ(os_get_work_path(nullptr, 10) + os_get_work_path(buf, 0), 0);
}
