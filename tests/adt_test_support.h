// Each case pairs "the call answered as it should" with the info report from
// `file` it makes (nullptr: none); the captured lines must be exactly those.
#pragma once

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

namespace keel_test {

inline void expect_reports(StderrCapture &cap, const std::string &file,
                           std::initializer_list<std::pair<bool, const char *>> cases) {
    std::vector<std::string> want, got;
    for (const auto &[ok, report] : cases) {
        EXPECT_TRUE(ok) << "the call reporting " << (report != nullptr ? report : "nothing");
        if (report != nullptr) want.push_back(report);
    }
    const std::regex info(R"(\[[-0-9: ]+\] \[info\]  file: )" + file + R"( line: \d+ (.*))");
    std::smatch m;
    for (const auto &line : lines_of(cap.text()))
        got.push_back(std::regex_match(line, m, info) ? m[1].str() : "unexpected: " + line);
    EXPECT_EQ(got, want);
}

}  // namespace keel_test
