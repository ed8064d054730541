#include <gtest/gtest.h>

#include "nerivane/app/CommandLine.h"

namespace nerivane {
namespace {

TEST(CommandLine, UsageErrorsNameTheProblem) {
    // For contrast, what is accepted: a value attached or apart; JSON is a
    // readout, so it brings the readout with it.
    const auto accepted = CommandLine::parse({"--json", "--exit-after=90", "--metrics", "[::1]:9101", "--version"});
    EXPECT_EQ(std::get<CommandLine>(accepted), (CommandLine{.console = true, .json = true, .exitAfter = 90, .metrics = "[::1]:9101", .version = true}));
    const std::string seconds = "option --exit-after needs a number of seconds";
    std::vector<std::pair<std::vector<std::string>, std::string>> rows{
        {{"--exit-after"}, "option --exit-after needs a value: SECONDS"},
        {{"--consol"}, "unknown option '--consol'"},
        {{"probe"}, "unexpected argument 'probe'"},
        {{"--json=yes"}, "option --json takes no value"},
        // A metrics address it cannot be is an error, never a silent off.
        {{"--metrics"}, "option --metrics needs a value: ADDR:PORT"},
        // The address's own reasons (MetricsAddressTest), under the option's name.
        {{"--metrics", "127.0.0.1"}, "option --metrics: metrics address \"127.0.0.1\" has no port"},
    };
    for (const char* bad : {"0", "5s", "", "nan", "1e300"})
        rows.push_back({{"--exit-after", bad}, seconds + " above 0 and at most 2000000, not '" + bad + "'"});
    for (const auto& [arguments, problem] : rows) {
        const auto result = CommandLine::parse(arguments);
        ASSERT_TRUE(std::holds_alternative<std::string>(result)) << problem;
        EXPECT_EQ(std::get<std::string>(result).rfind(problem, 0), 0u) << std::get<std::string>(result);
    }
}

}  // namespace
}  // namespace nerivane
