#include <gtest/gtest.h>

#include "nerivane/app/CommandLine.h"

namespace nerivane {
namespace {

CommandLine parsed(const std::vector<std::string>& arguments) {
    auto result = CommandLine::parse(arguments);
    EXPECT_TRUE(std::holds_alternative<CommandLine>(result)) << std::get<std::string>(result);
    return std::holds_alternative<CommandLine>(result) ? std::get<CommandLine>(result) : CommandLine{};
}

TEST(CommandLine, Options) {
    EXPECT_EQ(parsed({}), CommandLine{});
    const CommandLine expected{.console = true, .exitAfter = 90, .metrics = {}};
    EXPECT_EQ(parsed({"--console", "--exit-after", "90"}), expected);
    EXPECT_EQ(parsed({"--console", "--exit-after=90"}), expected);
    // JSON is a readout, so it brings the readout with it.
    EXPECT_TRUE(parsed({"--json"}).console);
    EXPECT_TRUE(parsed({"--log", "--version"}).version);
    EXPECT_EQ(parsed({"--metrics", "[::1]:9101"}).metrics, "[::1]:9101");
    EXPECT_EQ(parsed({"--metrics=localhost:9101"}).metrics, "localhost:9101");
}

TEST(CommandLine, UsageErrorsNameTheProblem) {
    const std::string seconds = "option --exit-after needs a number of seconds";
    const std::string metrics = "option --metrics: metrics address ";
    std::vector<std::pair<std::vector<std::string>, std::string>> rows{
        {{"--exit-after"}, seconds},
        {{"--consol"}, "unknown argument \"--consol\""},
        {{"probe"}, "unknown argument \"probe\""},
        {{"--json=yes"}, "option --json takes no value"},
        // A metrics address it cannot be is an error, never a silent off.
        {{"--metrics"}, "option --metrics needs ADDR:PORT, e.g. 127.0.0.1:9101"},
        {{"--metrics", "127.0.0.1"}, metrics + "\"127.0.0.1\" has no port"},
        {{"--metrics", "127.0.0.1:"}, metrics + "\"127.0.0.1:\" has no port number"},
        {{"--metrics", "127.0.0.1:http"}, metrics + "\"127.0.0.1:http\" has no port number"},
        {{"--metrics", ":9101"}, metrics + "\":9101\" has no host"},
        {{"--metrics", "::1:9101"}, metrics + "\"::1:9101\": write an IPv6 address in brackets"},
        {{"--metrics", "127.0.0.1:0"}, metrics + "\"127.0.0.1:0\": the port must be from 1 to 65535"},
        {{"--metrics", "127.0.0.1:65536"}, metrics + "\"127.0.0.1:65536\": the port must be from 1 to 65535"},
    };
    for (const char* bad : {"0", "-3", "ten", "5s", "", "nan", "inf", "1e300"})
        rows.push_back({{"--exit-after", bad}, seconds + " above 0 and at most 2000000, not \"" + bad + "\""});
    for (const auto& [arguments, problem] : rows) {
        const auto result = CommandLine::parse(arguments);
        ASSERT_TRUE(std::holds_alternative<std::string>(result)) << problem;
        EXPECT_EQ(std::get<std::string>(result).rfind(problem, 0), 0u) << std::get<std::string>(result);
    }
}

}  // namespace
}  // namespace nerivane
