#include "nerivane/app/CommandLine.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "nerivane/app/ConsoleReadout.h"
#include "nerivane/metrics/MetricsAddress.h"

namespace nerivane {
namespace {

std::optional<double> seconds(const std::string& text) {
    if (text.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value) || value <= 0) return std::nullopt;
    // A QTimer counts milliseconds in an int.
    if (value > 2'000'000) return std::nullopt;
    return value;
}

}  // namespace

std::variant<CommandLine, std::string> CommandLine::parse(const std::vector<std::string>& arguments) {
    CommandLine options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::optional<std::string> attached;
        std::string name = argument;
        if (const auto equals = argument.find('='); argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            attached = argument.substr(equals + 1);
        }
        const auto flag = [&](bool& field) -> std::optional<std::string> {
            if (attached) return "option " + name + " takes no value";
            field = true;
            return std::nullopt;
        };
        std::optional<std::string> error;
        if (name == "--console") {
            error = flag(options.console);
        } else if (name == "--json") {
            error = flag(options.json);
        } else if (name == "--log") {
            error = flag(options.log);
        } else if (name == "--diagnostics") {
            error = flag(options.diagnostics);
        } else if (name == "--help" || name == "-h") {
            error = flag(options.help);
        } else if (name == "--version") {
            error = flag(options.version);
        } else if (name == "--exit-after") {
            std::string value;
            if (attached) {
                value = *attached;
            } else if (i + 1 < arguments.size()) {
                value = arguments[++i];
            } else {
                return std::string("option --exit-after needs a number of seconds");
            }
            options.exitAfter = seconds(value);
            if (!options.exitAfter)
                return "option --exit-after needs a number of seconds above 0 and at most 2000000, not \"" + value + "\"";
        } else if (name == "--metrics") {
            if (attached) {
                options.metrics = *attached;
            } else if (i + 1 < arguments.size()) {
                options.metrics = arguments[++i];
            } else {
                return std::string("option --metrics needs ADDR:PORT, e.g. 127.0.0.1:9101");
            }
            const auto address = MetricsAddress::parse(*options.metrics);
            if (const auto* problem = std::get_if<std::string>(&address)) return "option --metrics: " + *problem;
        } else {
            return "unknown argument \"" + argument + "\"";
        }
        if (error) return *error;
    }
    // JSON is a readout format: asking for it asks for the readout.
    if (options.json) options.console = true;
    return options;
}

std::string CommandLine::usage() {
    return "usage: nerivane [--console] [--json] [--exit-after SECONDS] [--metrics ADDR:PORT] [--log]\n"
           "       nerivane --diagnostics\n"
           "\n"
           "nerivane watches the quality of the network connection: about once a second\n"
           "it probes the router, two internet hosts (1.1.1.1 and 8.8.8.8 unless the\n"
           "settings say otherwise, and the first one's IPv6 partner on dual-stack\n"
           "networks) and up to two custom hosts, and reaches a verdict: good, internet\n"
           "problem or down, local network problem or down, connection problem or down,\n"
           "internet not measurable, or offline. Every probe is kept in a per-minute\n"
           "history (see nerivane-history).\n"
           "\n"
           "In a desktop session with a system tray it is a tray item; a click opens its\n"
           "window. Without a display or a tray host, or with --console or --json, it\n"
           "runs in the terminal and says why: one line\n"
           "per probing round with the local time, the verdict, the menu-bar readout the\n"
           "settings choose (displayStyle, menuBarTarget) and the explanation; a line per\n"
           "outage or latency spike that has ended, and per notification posted.\n"
           "Probes go to the real network: run it only where that is allowed (scripts/demo\n"
           "runs it inside the lab's own network namespaces).\n"
           "\n"
           "options:\n"
           "  --console             run in the terminal even where a tray is available\n"
           "  --json                print one JSON object per line instead of text:\n"
           "                        {\"type\":\"snapshot\",...} with the verdict, its\n"
           "                        explanation, the network path and per target its\n"
           "                        role, host, address, status, state and metrics;\n"
           "                        {\"type\":\"event\",...} per outage or spike;\n"
           "                        {\"type\":\"notification\",...} per notification;\n"
           "                        {\"type\":\"probing\",...} when probing stops or resumes\n"
           "                        (implies --console)\n"
           "  --exit-after SECONDS  quit after this long, exactly as on SIGTERM: probing\n"
           "                        stops and the history is written, current minute\n"
           "                        included\n"
           "  --metrics ADDR:PORT   serve Prometheus metrics at http://ADDR:PORT/metrics,\n"
           "                        bound to exactly that address (127.0.0.1:9101 keeps\n"
           "                        them on this machine); overrides metricsListen. A\n"
           "                        port in use or a name that does not resolve is a\n"
           "                        usage error\n"
           "  --log                 copy the log messages to standard error as well\n"
           "  --diagnostics         print the running instance's diagnostics report (or,\n"
           "                        with none running, what the stored settings and\n"
           "                        history tell) and exit; probes nothing\n"
           "  --version             print the version\n"
           "  -h, --help            print this text\n"
           "\n"
           "SIGTERM and SIGINT quit cleanly in the same way.\n"
           "\n"
           "settings: the INI file nerivane/nerivane.conf under $XDG_CONFIG_HOME\n"
           "  (~/.config): interval, batteryInterval, primaryHost, secondaryHost,\n"
           "  probeIPv6, customHosts, keepMonitoringWhileLocked, retentionDays,\n"
           "  notifyOutages, notifyVerdictChanges, displayStyle (text, trace,\n"
           "  textAndTrace), menuBarTarget (internet, router, both), metricsListen\n"
           "  (ADDR:PORT of the metrics endpoint; empty: none).\n"
           "\n"
           "environment:\n"
           "  NERIVANE_HISTORY      the history database file (default\n"
           "                        $XDG_DATA_HOME/nerivane/history.sqlite)\n"
           "  NERIVANE_HOSTS        comma-separated internet hosts that replace the\n"
           "                        settings' ones\n"
           "  NERIVANE_ON_BATTERY   \"1\" probes as if on battery\n"
           "  NERIVANE_LOCK_TEST    \"START,END\": act as if the screen were locked from\n"
           "                        START to END seconds after launch\n"
           "\n"
           + std::string(ConsoleReadout::legend) + "\n"
           "exit status: 0 after a clean quit, 2 for a usage error.\n";
}

}  // namespace nerivane
