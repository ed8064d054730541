#include <gtest/gtest.h>

#include "lab/responder/ProfileTable.h"

namespace nerivane::lab {
namespace {

ProbeAddress address(const char* text) { return *ProbeAddress::parse(text); }

TEST(ProfileTable, ReadsEveryFieldAndTheGenerationAndSkipsBadLinesSayingWhy) {
    const auto table = ProfileTable::parse(
        "generation 7\n"
        "# address and profile\n"
        "1.1.1.1 delay=20 jitter=2.5 loss=20 mode=duplicate\n"
        "2606:4700:4700::1111 mode=late   # trailing comment\n"
        "\n"
        "fe80::1 delay=600000 jitter=600000 mode=foreign\n");
    EXPECT_TRUE(table.errors.empty());
    EXPECT_EQ(table.generation, 7u);
    EXPECT_EQ(table.lookup(address("1.1.1.1")), (Profile{20, 2.5, 20, AnswerMode::duplicate}));
    EXPECT_EQ(table.lookup(address("2606:4700:4700::1111")), (Profile{0, 0, 0, AnswerMode::late}));
    // The longest delay allowed; the scope does not matter for lookups.
    auto scoped = address("fe80::1");
    scoped.scopeID = 3;
    EXPECT_EQ(table.lookup(scoped), (Profile{600000, 600000, 0, AnswerMode::foreign}));
    EXPECT_EQ(table.lookup(address("8.8.8.8")), Profile{}) << "no profile: prompt answers";

    const auto bad = ProfileTable::parse(
        "1.1.1.1 mode=sometimes\n8.8.8.8 delay=-3\n9.9.9.9 loss=101\nexample.lab delay=1\n2620:fe::fe speed=9\n"
        "2001:4860:4860::8888 delay\ngeneration many\n1.1.1.1 delay=1e300\n8.8.8.8 jitter=600001\n"
        "10.77.0.1 delay=7 mode=answer\n");
    ASSERT_EQ(bad.errors.size(), 9u);
    EXPECT_NE(bad.errors[0].find("line 1: unknown mode"), std::string::npos);
    EXPECT_NE(bad.errors[3].find("not an address"), std::string::npos);
    EXPECT_NE(bad.errors[7].find("delay above 600000 ms"), std::string::npos);
    EXPECT_EQ(bad.profiles.size(), 1u);
    EXPECT_EQ(bad.lookup(address("10.77.0.1")).delayMs, 7);
    EXPECT_EQ(bad.lookup(address("1.1.1.1")), Profile{}) << "no half-applied profile";
    EXPECT_EQ(bad.generation, 0u);
}

}  // namespace
}  // namespace nerivane::lab
