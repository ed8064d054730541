// The options of the nerivane program, parsed from its arguments before
// anything else starts, and the help text that explains them. A plain value.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "NerivaneKit/text/CommandHelp.h"

namespace nerivane {

struct CommandLine {
    // Run without the tray item and print a readout to standard output.
    bool console = false;
    // The readout as one JSON object per line.
    bool json = false;
    // End cleanly, as on SIGTERM, after this many seconds.
    std::optional<double> exitAfter;
    // Copy every log message to standard error as well.
    bool log = false;
    // ADDR:PORT of the Prometheus endpoint; overrides the metricsListen setting.
    std::optional<std::string> metrics;
    // Print the running instance's diagnostics report (or what the stored
    // settings and history tell) and exit, without probing.
    bool diagnostics = false;
    bool help = false;
    bool version = false;

    bool operator==(const CommandLine&) const = default;

    // Every option the parser knows, as --help explains it.
    static std::span<const CommandHelp::Option> options();
    // The options, or the text of the first usage error.
    static std::variant<CommandLine, std::string> parse(const std::vector<std::string>& arguments);
    static std::string usage();
};

}  // namespace nerivane
