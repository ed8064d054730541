#include <climits>

#include <gtest/gtest.h>

#include "NerivaneKit/probing/TargetRole.h"

namespace nerivane {
namespace {

TEST(TargetRole, StoredTextsParseBackAndOnlyThey) {
    const std::vector<std::pair<TargetRole, std::string>> roles{
        {TargetRole::router(), "router"},         {TargetRole::internetIPv6(), "internet-ipv6"}, {TargetRole::provider(), "provider"},
        {TargetRole::internet(0), "internet[0]"}, {TargetRole::custom(-7), "custom[-7]"},
        {TargetRole::internet(INT_MAX), "internet[2147483647]"}, {TargetRole::custom(INT_MIN), "custom[-2147483648]"},
    };
    for (const auto& [role, text] : roles) {
        EXPECT_EQ(role.text(), text);
        EXPECT_EQ(TargetRole::parse(text), role) << text;
    }
    // One sign and leading zeros are allowed; any bracket separates.
    for (const auto& [text, role] : std::vector<std::pair<std::string, TargetRole>>{
             {"internet[+1]", TargetRole::internet(1)}, {"custom[007]", TargetRole::custom(7)},
             {"[internet]1", TargetRole::internet(1)}, {"custom]3[", TargetRole::custom(3)}})
        EXPECT_EQ(TargetRole::parse(text), role) << text;
    for (const std::string& bad : std::vector<std::string>{
             "", "internet[]", "custom[1x]", "[1]", "internet[1][2]", "router[0]", "Internet[0]", "router ", "internet1",
             "][", "internet[\xd9\xa1]", std::string("internet\0[1]", 12), "internet[++1]", "internet[+]",
             "internet[1-]", "internet[ 1]", "internet[2147483648]", "internet[-2147483649]"})
        EXPECT_FALSE(TargetRole::parse(bad)) << bad;
}

}  // namespace
}  // namespace nerivane
