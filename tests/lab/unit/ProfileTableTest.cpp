#include <gtest/gtest.h>

#include "lab/responder/ProfileTable.h"

namespace nerivane::lab {
namespace {

ProbeAddress address(const char* text) {
    return *ProbeAddress::parse(text);
}

TEST(ProfileTable, ReadsEveryFieldAndTheGeneration) {
    const auto table = ProfileTable::parse(
        "generation 7\n"
        "# address and profile\n"
        "1.1.1.1 delay=20 jitter=2.5 loss=20 mode=duplicate\n"
        "2606:4700:4700::1111 mode=late   # trailing comment\n"
        "\n"
        "fe80::1 delay=5\n");
    EXPECT_TRUE(table.errors.empty());
    EXPECT_EQ(table.generation, 7u);
    EXPECT_EQ(table.lookup(address("1.1.1.1")), (Profile{20, 2.5, 20, AnswerMode::duplicate}));
    EXPECT_EQ(table.lookup(address("2606:4700:4700::1111")).mode, AnswerMode::late);
    EXPECT_EQ(table.lookup(address("2606:4700:4700::1111")).delayMs, 0);
    EXPECT_EQ(table.lookup(address("fe80::1")).delayMs, 5);
}

TEST(ProfileTable, AddressesWithoutAProfileAnswerPromptly) {
    const auto table = ProfileTable::parse("1.1.1.1 mode=silent\n");
    EXPECT_EQ(table.lookup(address("8.8.8.8")), Profile{});
    EXPECT_EQ(table.generation, 0u);
}

TEST(ProfileTable, ScopeDoesNotMatterForLookups) {
    auto table = ProfileTable::parse("fe80::1 mode=foreign\n");
    auto scoped = address("fe80::1");
    scoped.scopeID = 3;
    EXPECT_EQ(table.lookup(scoped).mode, AnswerMode::foreign);
}

TEST(ProfileTable, SkipsBadLinesAndSaysWhy) {
    const auto table = ProfileTable::parse(
        "1.1.1.1 mode=sometimes\n"
        "8.8.8.8 delay=-3\n"
        "9.9.9.9 loss=101\n"
        "example.lab delay=1\n"
        "2620:fe::fe speed=9\n"
        "2001:4860:4860::8888 delay\n"
        "generation many\n"
        "1.1.1.1 delay=1e300\n"
        "8.8.8.8 jitter=600001\n"
        "10.77.0.1 delay=7 mode=answer\n");
    ASSERT_EQ(table.errors.size(), 9u);
    EXPECT_NE(table.errors[0].find("line 1: unknown mode"), std::string::npos);
    EXPECT_NE(table.errors[3].find("not an address"), std::string::npos);
    EXPECT_EQ(table.profiles.size(), 1u);
    EXPECT_EQ(table.lookup(address("10.77.0.1")).delayMs, 7);
    // A bad line leaves no half-applied profile behind.
    EXPECT_EQ(table.lookup(address("1.1.1.1")), Profile{});
    EXPECT_EQ(table.generation, 0u);
    EXPECT_NE(table.errors[7].find("delay above 600000 ms"), std::string::npos);
}

TEST(ProfileTable, TakesTheLongestDelayItAllows) {
    const auto table = ProfileTable::parse("1.1.1.1 delay=600000 jitter=600000\n");
    EXPECT_TRUE(table.errors.empty());
    EXPECT_EQ(table.lookup(address("1.1.1.1")).delayMs, 600000);
}

TEST(Profile, ReplyDelayStaysWithinJitterAndNeverBelowZero) {
    const Profile profile{20, 5, 0, AnswerMode::answer};
    EXPECT_DOUBLE_EQ(profile.replyDelayMs(0.0), 15);
    EXPECT_DOUBLE_EQ(profile.replyDelayMs(0.5), 20);
    EXPECT_LE(profile.replyDelayMs(0.999999), 25);
    EXPECT_EQ((Profile{1, 10, 0, AnswerMode::answer}.replyDelayMs(0.0)), 0);
}

TEST(Profile, LateRepliesComeAfterATwoSecondTimeOut) {
    const Profile late{0, 0, 0, AnswerMode::late};
    EXPECT_GT(late.replyDelayMs(0.5), 2000);
    EXPECT_DOUBLE_EQ((Profile{100, 0, 0, AnswerMode::late}.replyDelayMs(0.5)), 100 + Profile::lateDelayMs);
}

TEST(Profile, ModeTextsRoundTrip) {
    for (const auto mode : {AnswerMode::answer, AnswerMode::silent, AnswerMode::late, AnswerMode::corrupt,
                            AnswerMode::foreign, AnswerMode::duplicate})
        EXPECT_EQ(parseMode(modeText(mode)), mode);
    EXPECT_EQ(parseMode("Answer"), std::nullopt);
    EXPECT_EQ((Profile{20, 0, 12.5, AnswerMode::late}.text()), "delay=20 jitter=0 loss=12.5 mode=late");
}

}  // namespace
}  // namespace nerivane::lab
