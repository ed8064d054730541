// nerivane-probe run as a program in the lab's client namespace. The engine
// reads replies only once per tick and 0.25 s after it, so the times it
// prints show whether round trips are taken from the kernel's arrival stamps
// rather than from when the socket was read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "NerivaneKit/probing/lab/LabAccess.h"

namespace nerivane {
namespace {

using namespace labtest;

struct ResultLine {
    std::string role;
    std::string protocol;
    std::string outcome;
    double milliseconds = 0;
};

class NerivaneProbeLab : public ::testing::Test {
protected:
    void SetUp() override {
        if (!insideTheLab()) GTEST_SKIP() << "not inside the client namespace of lab \"" << labName() << "\"";
        ASSERT_FALSE(environment("NERIVANE_BIN_DIR").empty());
        ASSERT_EQ(lab("reset"), 0);
    }
    void TearDown() override {
        if (insideTheLab()) lab("reset");
    }
};

TEST_F(NerivaneProbeLab, RepliesReadInBatchesKeepTheirRoundTripTime) {
    ASSERT_EQ(lab("set 1.1.1.1 delay=20 jitter=0"), 0);
    const auto text =
        output(environment("NERIVANE_BIN_DIR") + "/nerivane-probe --seconds 7 --internet 1.1.1.1 --no-ipv6");
    ASSERT_TRUE(text) << "nerivane-probe failed";

    // Every line: seconds since start (never going back), then the event.
    std::istringstream lines(*text);
    std::string line;
    double previous = 0;
    std::size_t targetLines = 0, ticks = 0;
    std::vector<ResultLine> results;
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
        ResultLine result;
        std::string sequence;
        ASSERT_TRUE(words >> result.role >> result.protocol >> sequence >> result.outcome) << line;
        EXPECT_EQ(sequence.rfind("seq=", 0), 0u) << line;
        if (result.outcome != "lost") {
            ASSERT_TRUE(words >> result.milliseconds) << line;
        }
        results.push_back(result);
    }
    EXPECT_EQ(targetLines, 1u);
    EXPECT_GE(ticks, 5u);
    EXPECT_LT(previous, 7.5);

    std::vector<double> times;
    for (const auto& result : results) {
        if (result.role != "internet[0]") continue;
        EXPECT_EQ(result.protocol, "icmp");
        ASSERT_EQ(result.outcome, "reply");
        times.push_back(result.milliseconds);
    }
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
