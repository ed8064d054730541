#include "nerivane/app/CommandLine.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "NerivaneKit/text/CommandHelp.h"
#include "nerivane/app/ConsoleReadout.h"
#include "nerivane/core/MetricsAddress.h"

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

// Every option the parser knows; --help and the man page's check read them
// from here.
constexpr CommandHelp::Option optionTable[] = {
    {"--console", "", "run in the terminal even where a tray is available"},
    {"--json", "",
     "print one JSON object per line instead of text: {\"type\":\"snapshot\",...} with the verdict, its "
     "explanation, the network path and per target its role, host, address, status, state and metrics; "
     "{\"type\":\"event\",...} per outage or spike; {\"type\":\"notification\",...} per notification; "
     "{\"type\":\"probing\",...} when probing stops or resumes (implies --console)"},
    {"--exit-after", "SECONDS",
     "quit after this long, exactly as on SIGTERM: probing stops and the history is written, current minute "
     "included"},
    {"--metrics", "ADDR:PORT",
     "serve Prometheus metrics at http://ADDR:PORT/metrics, bound to exactly that address (127.0.0.1:9101 keeps "
     "them on this machine); overrides metricsListen. A port in use or a name that does not resolve is a usage "
     "error"},
    {"--log", "", "copy the log messages to standard error as well"},
    {"--diagnostics", "",
     "print the running instance's diagnostics report (or, with none running, what the stored settings and "
     "history tell) and exit; probes nothing"},
    {"--version", "", "print the version"},
    {"--help", "", "print this text"},
};

}  // namespace

std::span<const CommandHelp::Option> CommandLine::options() { return optionTable; }

std::variant<CommandLine, std::string> CommandLine::parse(const std::vector<std::string>& arguments) {
    auto parsed = CommandHelp::parse(optionTable, arguments);
    if (const auto* error = std::get_if<std::string>(&parsed)) return *error;
    const auto& given = std::get<CommandHelp::Arguments>(parsed);
    if (!given.words.empty()) return "unexpected argument " + CommandHelp::quoted(given.words.front());
    CommandLine options;
    options.console = given.has("--console");
    options.json = given.has("--json");
    options.log = given.has("--log");
    options.diagnostics = given.has("--diagnostics");
    options.help = given.has("--help");
    options.version = given.has("--version");
    if (const auto value = given.value("--exit-after")) {
        options.exitAfter = seconds(*value);
        if (!options.exitAfter)
            return "option --exit-after needs a number of seconds above 0 and at most 2000000, not " +
                   CommandHelp::quoted(*value);
    }
    if (const auto value = given.value("--metrics")) {
        options.metrics = *value;
        const auto address = MetricsAddress::parse(*value);
        if (const auto* problem = std::get_if<std::string>(&address)) return "option --metrics: " + *problem;
    }
    // JSON is a readout format: asking for it asks for the readout.
    if (options.json) options.console = true;
    return options;
}

std::string CommandLine::usage() {
    using CommandHelp::entries;
    using CommandHelp::paragraph;
    std::string text =
        "usage: nerivane [--console] [--json] [--exit-after SECONDS]\n"
        "                [--metrics ADDR:PORT] [--log]\n"
        "       nerivane --diagnostics\n\n" +
        paragraph("nerivane watches the quality of the network connection: about once a second it probes the "
                  "router, two internet hosts (1.1.1.1 and 8.8.8.8 unless the settings say otherwise, and the "
                  "first one's IPv6 partner on dual-stack networks) and up to two custom hosts, by ICMP echo or, "
                  "for hosts that do not answer pings, by TCP connection attempts to port 443, and reaches a "
                  "verdict: good, internet problem or down, local network problem or down, connection problem or "
                  "down, internet not measurable, or offline. Every probe is kept in a per-minute history (see "
                  "nerivane-history).") +
        "\n" +
        paragraph("It also watches the DNS servers the system uses: every 15 s (every 5 s while one fails) it asks "
                  "each one for dnsProbeName and says when name lookups fail or are slow. And it grades latency "
                  "under load from the user's own traffic, without a speed test: the round trips while the link "
                  "is busy against those while it is idle give A+ (under 5 ms added), A (30 ms), B (60 ms), C "
                  "(200 ms), D (400 ms) or F, per direction.") +
        "\n" +
        paragraph("In a desktop session with a system tray it is a tray item; a click opens its window. Without a "
                  "display or a tray host, or with --console or --json, it runs in the terminal and says why on "
                  "standard error. On a terminal it keeps a status area redrawn in place (the verdict, a row per "
                  "target with last, median, 95th percentile and loss, DNS and load) above a line per change: "
                  "verdict, a target's state, the path, an outage or latency spike that has ended, a "
                  "notification. Piped or with --log it writes the lines per change and a heartbeat line each "
                  "minute; --json writes the lines described in docs/json.md. Probes go to the real network: run it only where that is allowed "
                  "(scripts/demo runs it inside the lab's own network namespaces).") +
        "\noptions:\n" + entries(CommandHelp::rows(optionTable));
    text += "\n" + std::string(ConsoleReadout::legend);
    text += "\nsettings, in the INI file $XDG_CONFIG_HOME/nerivane/nerivane.conf (~/.config):\n" +
            entries({{"interval", "seconds between probes on power (default 1)"},
                     {"batteryInterval", "seconds between probes on battery, power saver or a metered "
                                         "connection (default 5)"},
                     {"primaryHost", "the first internet host (default 1.1.1.1)"},
                     {"secondaryHost", "the second internet host (default 8.8.8.8)"},
                     {"probeIPv6", "also probe the first host's IPv6 partner (default true)"},
                     {"customHosts", "up to two more hosts, comma-separated"},
                     {"dnsProbeName", "the name asked of each DNS server (default example.com)"},
                     {"keepMonitoringWhileLocked", "keep probing while the screen is locked (default false)"},
                     {"retentionDays", "days of history kept (default 30; 0 or less: all)"},
                     {"notifyOutages", "notify of internet outages (default false)"},
                     {"notifyVerdictChanges", "notify of lasting verdict changes (default false)"},
                     {"displayStyle", "the tray readout: text, trace or textAndTrace (default)"},
                     {"menuBarTarget", "what the tray shows: internet (default), router or both"},
                     {"trayLabel", "the value as text beside the tray icon, where the tray host shows labels "
                                   "(default true)"},
                     {"accent", "the window's colours: phosphor (default), cyan, magenta, amber or system"},
                     {"metricsListen", "ADDR:PORT of the metrics endpoint (default empty: none)"},
                     {"automaticallyChecksForUpdates", "in builds with a release feed: check for a newer "
                                                       "version (default true)"},
                     {"automaticallyDownloadsUpdates", "in such builds: also download it (default false)"}}) +
            "\nenvironment:\n" +
            entries({{"NERIVANE_HISTORY", "the history database file (default "
                                          "$XDG_DATA_HOME/nerivane/history.sqlite)"},
                     {"NERIVANE_HOSTS", "comma-separated internet hosts that replace the settings' ones"},
                     {"NERIVANE_ON_BATTERY", "\"1\" probes as if on battery"},
                     {"NERIVANE_SNAPSHOT", "FILE.png: write the tray readout as a picture after every change, in "
                                           "either front end"},
                     {"NERIVANE_DEV_LOG", "FILE: keep a log of self-checks (Wi-Fi link, errors, time lost to "
                                          "sleep) for a bug report"}}) +
            "\nfiles:\n" +
            entries({{"$XDG_DATA_HOME/nerivane/history.sqlite",
                      "the history (~/.local/share): per-minute rows for 7 days, hourly rows after that, kept for "
                      "retentionDays; nerivane-history reads it"},
                     {"~/.config/autostart/org.nerivane.Nerivane.desktop", "present when nerivane starts at login"}}) +
            "\n" +
            paragraph("SIGTERM, SIGINT and SIGHUP quit cleanly: probing stops and the history is written.") +
            "\n" + paragraph("Exit status: 0 after a clean quit, 2 for a usage error.");
    return text;
}

}  // namespace nerivane
