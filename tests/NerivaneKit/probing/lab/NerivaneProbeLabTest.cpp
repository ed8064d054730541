// nerivane-probe run as a program in the lab's client namespace. The engine
// reads replies only once per tick and 0.25 s after it, so the times it
// prints show whether round trips are taken from the kernel's arrival stamps
// rather than from when the socket was read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "support/LabAccess.h"

namespace nerivane {
namespace {

using namespace labtest;

class NerivaneProbeLab : public ::testing::Test {
protected:
    void SetUp() override {
        if (!insideTheLab()) GTEST_SKIP() << "not inside the client namespace of lab \"" << labName() << "\"";
        ASSERT_FALSE(environment("NERIVANE_BIN_DIR").empty());
        ASSERT_TRUE(lab("reset"));
    }
    void TearDown() override {
        if (insideTheLab()) lab("reset");
    }
};

TEST_F(NerivaneProbeLab, RepliesReadInBatchesKeepTheirRoundTripTime) {
    ASSERT_TRUE(lab("set 1.1.1.1 delay=20 jitter=0"));
    const auto text =
        output(environment("NERIVANE_BIN_DIR") + "/nerivane-probe --seconds 7 --internet 1.1.1.1 --no-ipv6");
    ASSERT_TRUE(text) << "nerivane-probe failed";

    // Every line: seconds since start (never going back), then the event.
    std::istringstream lines(*text);
    std::string line;
    double previous = 0;
    std::size_t targetLines = 0, ticks = 0;
    std::vector<double> times;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        double seconds = -1;
        std::string kind;
        ASSERT_TRUE(words >> seconds >> kind) << line;
        EXPECT_GE(seconds, previous) << line;
        previous = seconds;
        if (kind == "targets") ++targetLines;
        if (kind == "tick") ++ticks;
        if (kind != "result") continue;
        std::string role, protocol, sequence, outcome;
        double milliseconds = 0;
        ASSERT_TRUE(words >> role >> protocol >> sequence >> outcome) << line;
        EXPECT_EQ(sequence.rfind("seq=", 0), 0u) << line;
        if (outcome != "lost") {
            ASSERT_TRUE(words >> milliseconds) << line;
        }
        if (role != "internet[0]") continue;
        EXPECT_EQ(protocol, "icmp");
        ASSERT_EQ(outcome, "reply");
        times.push_back(milliseconds);
    }
    EXPECT_EQ(targetLines, 1u);
    EXPECT_GE(ticks, 5u);
    EXPECT_LT(previous, 7.5);

    ASSERT_GE(times.size(), 5u);
    std::sort(times.begin(), times.end());
    // A reply taken when the batch was read would show up to 250 ms; a
    // busy machine may only delay the lab's answer by a little.
    EXPECT_NEAR(times[times.size() / 2], 20.0, 1.0);
    EXPECT_GE(times.front(), 19.0);
    EXPECT_LT(times.back(), 100.0);
}

}  // namespace
}  // namespace nerivane
