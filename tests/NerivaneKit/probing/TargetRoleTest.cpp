#include <climits>

#include <gtest/gtest.h>

#include "NerivaneKit/probing/TargetRole.h"

namespace nerivane {
namespace {

TEST(TargetRole, TextsAreTheStoredForms) {
    EXPECT_EQ(TargetRole::router().text(), "router");
    EXPECT_EQ(TargetRole::internetIPv6().text(), "internet-ipv6");
    EXPECT_EQ(TargetRole::internet(0).text(), "internet[0]");
    EXPECT_EQ(TargetRole::custom(12).text(), "custom[12]");
    EXPECT_EQ(TargetRole::internet(-3).text(), "internet[-3]");
}

TEST(TargetRole, EveryRoleTextParsesBackToTheSameRole) {
    const std::vector<TargetRole> roles{
        TargetRole::router(),     TargetRole::internetIPv6(),   TargetRole::internet(0),
        TargetRole::internet(1),  TargetRole::custom(0),        TargetRole::custom(12),
        TargetRole::custom(-7),   TargetRole::internet(INT_MAX), TargetRole::custom(INT_MIN),
    };
    for (const auto& role : roles) EXPECT_EQ(TargetRole::parse(role.text()), role) << role.text();
}

TEST(TargetRole, IndexMayCarryOneSign) {
    EXPECT_EQ(TargetRole::parse("internet[+1]"), TargetRole::internet(1));
    EXPECT_EQ(TargetRole::parse("custom[-2]"), TargetRole::custom(-2));
    EXPECT_EQ(TargetRole::parse("custom[007]"), TargetRole::custom(7));
    for (const char* bad : {"internet[+-1]", "internet[-+1]", "internet[++1]", "internet[+]", "internet[-]",
                            "internet[1-]", "internet[ 1]", "internet[1 ]", "internet[0x1]", "internet[1.0]",
                            "internet[2147483648]", "internet[-2147483649]", "custom[99999999999999999999]"})
        EXPECT_FALSE(TargetRole::parse(bad)) << bad;
}

TEST(TargetRole, BracketsSplitTheTextAndEmptyPiecesAreDropped) {
    // Any bracket separates; only the two pieces matter.
    EXPECT_EQ(TargetRole::parse("internet[[1]]"), TargetRole::internet(1));
    EXPECT_EQ(TargetRole::parse("[internet]1"), TargetRole::internet(1));
    EXPECT_EQ(TargetRole::parse("custom]3["), TargetRole::custom(3));
    EXPECT_EQ(TargetRole::parse("custom[3"), TargetRole::custom(3));
}

TEST(TargetRole, RefusesEverythingElse) {
    for (const std::string& bad : std::vector<std::string>{"", "internet", "custom", "internet[]", "custom[x]", "custom[1x]", "[1]", "1",
                                  "internet[1]x", "internet[1][2]", "router[0]", "internet-ipv6[0]",
                                  "Internet[0]", "ROUTER", "router ", "internetIPv6", "internet1", "[]", "][",
                                  "internet[\xd9\xa1]", std::string("internet\0[1]", 12)})
        EXPECT_FALSE(TargetRole::parse(bad)) << bad;
}

}  // namespace
}  // namespace nerivane
