// nerivane-probe run as a program in the lab's client namespace. The engine
// reads replies only once per tick and 0.25 s after it, so the times it
// prints show whether round trips are taken from the kernel's arrival stamps
// rather than from when the socket was read.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
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

    // Every line: seconds since start (never going back), then the event;
    // a result: role, protocol, seq=N, outcome and its milliseconds.
    std::istringstream lines(*text);
    std::string line;
    double previous = 0;
    std::map<std::string, int> kinds;
    std::vector<double> times;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        double seconds = -1, milliseconds = 0;
        std::string kind, role, protocol, sequence, outcome;
        ASSERT_TRUE(words >> seconds >> kind) << line;
        EXPECT_GE(seconds, previous) << line;
        previous = seconds;
        ++kinds[kind];
        if (kind != "result" || !(words >> role >> protocol >> sequence >> outcome) || role != "internet[0]") continue;
        EXPECT_EQ(protocol + " " + sequence.substr(0, 4) + " " + outcome, "icmp seq= reply") << line;
        ASSERT_TRUE(words >> milliseconds) << line;
        times.push_back(milliseconds);
    }
    EXPECT_EQ(kinds["targets"], 1);
    EXPECT_GE(kinds["tick"], 5);
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
