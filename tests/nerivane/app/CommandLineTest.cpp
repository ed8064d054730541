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
    EXPECT_TRUE(parsed({"--diagnostics"}).diagnostics);
    EXPECT_EQ(parsed({"--metrics", "[::1]:9101"}).metrics, "[::1]:9101");
    EXPECT_EQ(parsed({"--metrics=localhost:9101"}).metrics, "localhost:9101");
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

    // A metrics address it cannot be is an error, never a silent off.
    EXPECT_EQ(error({"--metrics"}), "option --metrics needs ADDR:PORT, e.g. 127.0.0.1:9101");
    const std::vector<std::pair<const char*, const char*>> badAddresses{
        {"127.0.0.1", "has no port"},         {"127.0.0.1:", "has no port number"},
        {"127.0.0.1:http", "has no port number"}, {":9101", "has no host"},
        {"::1:9101", "IPv6 address in brackets"}, {"127.0.0.1:0", "from 1 to 65535"},
        {"127.0.0.1:65536", "from 1 to 65535"},
    };
    for (const auto& [bad, problem] : badAddresses) {
        const std::string text = error({"--metrics", bad});
        EXPECT_EQ(text.rfind(std::string("option --metrics: metrics address \"") + bad + "\"", 0), 0u) << text;
        EXPECT_NE(text.find(problem), std::string::npos) << text;
    }
}

}  // namespace
}  // namespace nerivane
