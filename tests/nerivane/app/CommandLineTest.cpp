#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "nerivane/app/CommandLine.h"

namespace nerivane {
namespace {

CommandLine parsed(const std::vector<std::string>& arguments) {
    auto result = CommandLine::parse(arguments);
    EXPECT_TRUE(std::holds_alternative<CommandLine>(result)) << std::get<std::string>(result);
    return std::holds_alternative<CommandLine>(result) ? std::get<CommandLine>(result) : CommandLine{};
}

std::string error(const std::vector<std::string>& arguments) {
    auto result = CommandLine::parse(arguments);
    EXPECT_TRUE(std::holds_alternative<std::string>(result));
    return std::holds_alternative<std::string>(result) ? std::get<std::string>(result) : std::string();
}

TEST(CommandLine, Options) {
    EXPECT_EQ(parsed({}), CommandLine{});
    CommandLine expected;
    expected.console = true;
    expected.exitAfter = 90;
    EXPECT_EQ(parsed({"--console", "--exit-after", "90"}), expected);
    EXPECT_EQ(parsed({"--console", "--exit-after=90"}), expected);
    EXPECT_EQ(parsed({"--exit-after", "0.5"}).exitAfter, 0.5);
    // JSON is a readout, so it brings the readout with it.
    const auto json = parsed({"--json"});
    EXPECT_TRUE(json.json);
    EXPECT_TRUE(json.console);
    EXPECT_TRUE(parsed({"-h"}).help);
    EXPECT_TRUE(parsed({"--log", "--version"}).version);
}

TEST(CommandLine, UsageErrorsNameTheProblem) {
    EXPECT_EQ(error({"--exit-after"}), "option --exit-after needs a number of seconds");
    for (const char* bad : {"0", "-3", "ten", "5s", "", "nan", "inf", "1e300"}) {
        EXPECT_EQ(error({"--exit-after", bad}),
                  std::string("option --exit-after needs a number of seconds above 0 and at most 2000000, not \"") + bad + "\"");
    }
    EXPECT_EQ(error({"--consol"}), "unknown argument \"--consol\"");
    EXPECT_EQ(error({"probe"}), "unknown argument \"probe\"");
    EXPECT_EQ(error({"--json=yes"}), "option --json takes no value");
}

}  // namespace
}  // namespace nerivane
