// nerivane-probe run as a program in the lab's client namespace. The engine
// reads replies only once per tick and 0.25 s after it, so the times it
// prints show whether round trips are taken from the kernel's arrival stamps
// rather than from when the socket was read.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "support/LabAccess.h"

namespace nerivane {
namespace {

using namespace labtest;

TEST(NerivaneProbeLab, RepliesReadInBatchesKeepTheirRoundTripTime) {
    if (!insideTheLab()) GTEST_SKIP() << "not inside the client namespace of lab \"" << labName() << "\"";
    ASSERT_TRUE(lab("reset") && lab("set 1.1.1.1 delay=20 jitter=0"));
    const auto text =
        output(environment("NERIVANE_BIN_DIR") + "/nerivane-probe --seconds 7 --internet 1.1.1.1 --no-ipv6");
    ASSERT_TRUE(text) << "nerivane-probe failed";

    // A result line: seconds since start, "result", role, protocol, seq=N,
    // outcome and its milliseconds.
    std::istringstream lines(*text);
    std::vector<double> times;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        double seconds = 0, milliseconds = 0;
        std::string kind, role, protocol, sequence, outcome;
        if (!(words >> seconds >> kind >> role >> protocol >> sequence >> outcome) || role != "internet[0]") continue;
        EXPECT_EQ(kind + " " + protocol + " " + outcome, "result icmp reply") << line;
        ASSERT_TRUE(words >> milliseconds) << line;
        times.push_back(milliseconds);
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
