// nerivane-probe: runs the probe engine on the current network path and
// prints every engine event as one line, or with --monitor what the monitor
// makes of them (a line per snapshot and per outage or spike), as text or
// JSON, until interrupted or for --seconds. For people and tests; the lab
// runs it inside its client namespace.

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "NerivaneKit/text/CommandHelp.h"
#include "NerivaneKit/text/JsonLine.h"
#include "NerivaneKit/analysis/Monitor.h"
#include "NerivaneKit/platform/LogStore.h"
#include "NerivaneKit/platform/MachClock.h"
#include "NerivaneKit/probing/ProbeEngine.h"

namespace {

using nerivane::Monitor;
using nerivane::ProbeEngine;
using nerivane::JsonLine;

struct Options {
    nerivane::TargetSettings settings;
    nerivane::Seconds interval{1.0};
    nerivane::Seconds seconds{0};  // 0: until interrupted
    bool verboseLog = false;
    bool monitor = false;
    bool json = false;
    bool help = false;
    bool version = false;
};

namespace Help = nerivane::CommandHelp;

constexpr std::string_view program = "nerivane-probe";

// Every option the parser knows; --help prints them from here.
constexpr Help::Option optionTable[] = {
    {"--internet", "HOST[,HOST]", "internet hosts (default 1.1.1.1,8.8.8.8)"},
    {"--custom", "HOST[,HOST]", "custom hosts (default none)"},
    {"--no-ipv6", "", "do not probe the first host's IPv6 partner"},
    {"--interval", "SECONDS", "seconds between regular probes, 0.1 to 3600 (default 1)"},
    {"--seconds", "N", "stop after N seconds (default: until interrupted)"},
    {"--monitor", "", "print snapshots and events, not engine events"},
    {"--json", "", "one JSON object per line instead of text (with \"type\" snapshot or event, or the engine "
                   "event's name)"},
    {"--log", "", "also print the engine's log lines to standard error"},
    {"--version", "", "print the version"},
    {"--help", "", "print this text"},
};

std::string usage() {
    using Help::paragraph;
    return "usage: nerivane-probe [OPTIONS]\n\n" +
           paragraph("Runs the probe engine on the current network path and prints every event: targets "
                     "(role=address), status changes, results with protocol and milliseconds, names not (yet) "
                     "resolved, and ticks; each line starts with seconds since start.") +
           "\n" +
           paragraph("With --monitor it prints what the monitor makes of them instead: a snapshot line after each "
                     "probing round, with the shown verdict, the internet state, the IPv6 problem flag and per "
                     "target its role, address, status, state and metrics (latest, median, p95, baseline, jitter "
                     "in ms; sent, lost, late; '-' when absent), and an event line (its log line) when an outage "
                     "or latency spike ends.") +
           "\n" +
           paragraph("Probes go to the real network: run it only where that is allowed (the lab runs it inside "
                     "its client namespace: lab/lab exec nerivane-probe).") +
           "\noptions:\n" + Help::entries(Help::rows(optionTable)) + "\n" +
           paragraph("SIGINT and SIGTERM stop it. Exit status: 0 when stopped, 2 for a usage error.");
}

std::vector<std::string> splitHosts(const std::string& text) {
    std::vector<std::string> hosts;
    std::string host;
    for (char c : text + ",") {
        if (c == ',') {
            if (!host.empty()) hosts.push_back(host);
            host.clear();
        } else if (c != ' ') {
            host += c;
        }
    }
    return hosts;
}

std::optional<double> parseNumber(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(value)) return std::nullopt;
    return value;
}

// The options, or the text of the first usage error.
std::variant<Options, std::string> parseOptions(const std::vector<std::string>& words) {
    auto parsed = Help::parse(optionTable, words);
    if (const auto* error = std::get_if<std::string>(&parsed)) return *error;
    const auto& arguments = std::get<Help::Arguments>(parsed);
    if (!arguments.words.empty()) return "unexpected argument " + Help::quoted(arguments.words.front());
    Options options;
    options.help = arguments.has("--help");
    options.version = arguments.has("--version");
    if (const auto hosts = arguments.value("--internet")) options.settings.internetHosts = splitHosts(*hosts);
    if (const auto hosts = arguments.value("--custom")) options.settings.customHosts = splitHosts(*hosts);
    options.settings.probeIPv6 = !arguments.has("--no-ipv6");
    if (const auto text = arguments.value("--interval")) {
        // The application's bounds: fast enough to be a monitor, slow enough
        // not to flood, and within what the timer can hold.
        const auto number = parseNumber(*text);
        if (!number || *number != ProbeEngine::usableInterval(nerivane::Seconds{*number}).count())
            return "--interval needs seconds from 0.1 to 3600, not " + Help::quoted(*text);
        options.interval = nerivane::Seconds{*number};
    }
    if (const auto text = arguments.value("--seconds")) {
        const auto number = parseNumber(*text);
        if (!number || *number <= 0) return "--seconds needs a number above 0, not " + Help::quoted(*text);
        options.seconds = nerivane::Seconds{*number};
    }
    options.verboseLog = arguments.has("--log");
    options.monitor = arguments.has("--monitor");
    options.json = arguments.has("--json");
    return options;
}

std::string describePath(const nerivane::NetworkPath& path) {
    std::string text = "interface=" + path.primaryInterface.value_or("none");
    if (path.isVPN) text += " vpn physical=" + path.physicalInterface.value_or("none");
    text += " kind=" + std::string(nerivane::text(path.kind));
    text += path.isSatisfied ? " satisfied" : " unsatisfied";
    if (path.hasIPv4) text += " ipv4";
    if (path.hasIPv6) text += " ipv6";
    if (path.routerIPv4) text += " router4=" + path.routerIPv4->text();
    if (path.routerIPv6) text += " router6=" + path.routerIPv6->text();
    if (path.isExpensive) text += " expensive";
    return text;
}

std::string describe(const ProbeEngine::Event& event) {
    if (const auto* targets = std::get_if<ProbeEngine::TargetsEvent>(&event)) {
        std::string text = "targets " + describePath(targets->path) + " :";
        for (const auto& target : targets->targets) {
            text += " " + target.role.text() + "=" + target.address.text();
            if (target.host != target.address.text() && target.host != "router") text += "(" + target.host + ")";
        }
        return text;
    }
    if (const auto* status = std::get_if<ProbeEngine::StatusEvent>(&event)) {
        return "status " + status->role.text() + " " + std::string(nerivane::text(status->status));
    }
    if (const auto* result = std::get_if<ProbeEngine::ResultEvent>(&event)) {
        std::string text = "result " + result->role.text() + " " + std::string(nerivane::text(result->probeProtocol)) +
                           " seq=" + std::to_string(result->result.sequence) + " ";
        char ms[32];
        if (const auto* reply = std::get_if<nerivane::ProbeResult::Reply>(&result->result.outcome)) {
            std::snprintf(ms, sizeof ms, "reply %.3f", reply->milliseconds);
            text += ms;
        } else if (const auto* late = std::get_if<nerivane::ProbeResult::Late>(&result->result.outcome)) {
            std::snprintf(ms, sizeof ms, "late %.3f", late->milliseconds);
            text += ms;
        } else {
            text += "lost";
        }
        return text;
    }
    if (const auto* lookups = std::get_if<ProbeEngine::LookupsEvent>(&event)) {
        std::string text = "lookups";
        for (const auto& lookup : lookups->lookups)
            text += " " + lookup.role.text() + "=" + lookup.host + "(" + std::string(nerivane::text(lookup.state)) + ")";
        return text;
    }
    return "tick";
}


std::string pathJson(const nerivane::NetworkPath& path) {
    JsonLine json;
    json.boolean("satisfied", path.isSatisfied);
    path.primaryInterface ? json.text("interface", *path.primaryInterface) : json.null("interface");
    json.boolean("vpn", path.isVPN);
    path.physicalInterface ? json.text("physical", *path.physicalInterface) : json.null("physical");
    json.text("kind", nerivane::text(path.kind));
    json.boolean("ipv4", path.hasIPv4).boolean("ipv6", path.hasIPv6);
    path.routerIPv4 ? json.text("router4", path.routerIPv4->text()) : json.null("router4");
    path.routerIPv6 ? json.text("router6", path.routerIPv6->text()) : json.null("router6");
    json.boolean("expensive", path.isExpensive);
    return json.str();
}

std::string eventJson(double seconds, const ProbeEngine::Event& event) {
    JsonLine json;
    json.number("elapsedSeconds", seconds, 6);
    if (const auto* targets = std::get_if<ProbeEngine::TargetsEvent>(&event)) {
        std::string list;
        for (const auto& target : targets->targets) {
            if (!list.empty()) list += ',';
            list += JsonLine()
                        .text("role", target.role.text())
                        .text("host", target.host)
                        .text("address", target.address.text())
                        .str();
        }
        return json.text("type", "targets").raw("path", pathJson(targets->path)).raw("targets", "[" + list + "]").str();
    }
    if (const auto* status = std::get_if<ProbeEngine::StatusEvent>(&event)) {
        return json.text("type", "status")
            .text("role", status->role.text())
            .text("status", nerivane::text(status->status))
            .str();
    }
    if (const auto* result = std::get_if<ProbeEngine::ResultEvent>(&event)) {
        json.text("type", "result")
            .text("role", result->role.text())
            .text("protocol", nerivane::text(result->probeProtocol))
            .integer("sequence", result->result.sequence);
        const char* outcome = result->result.isReply() ? "reply" : result->result.isLate() ? "late" : "lost";
        return json.text("outcome", outcome).number("roundTripMs", result->result.milliseconds()).str();
    }
    if (const auto* lookups = std::get_if<ProbeEngine::LookupsEvent>(&event)) {
        std::string list;
        for (const auto& lookup : lookups->lookups) {
            if (!list.empty()) list += ',';
            list += JsonLine()
                        .text("role", lookup.role.text())
                        .text("host", lookup.host)
                        .text("state", nerivane::text(lookup.state))
                        .str();
        }
        return json.text("type", "lookups").raw("lookups", "[" + list + "]").str();
    }
    return json.text("type", "tick").str();
}

std::string stateText(const nerivane::TargetState& state) {
    const std::string kind(nerivane::text(state.kind));
    return state.kind == nerivane::TargetState::Kind::bad ? kind + "(" + nerivane::text(state.problems) + ")" : kind;
}

std::string milliseconds(const std::optional<double>& value) {
    if (!value) return "-";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f", *value);
    return buffer;
}

std::string describeSnapshot(const Monitor::SnapshotUpdate& update) {
    const auto& snapshot = update.snapshot;
    std::string text = "snapshot verdict=" + std::string(nerivane::text(snapshot.verdict));
    text += " internet=" + (snapshot.internet ? stateText(*snapshot.internet) : std::string("none"));
    text += snapshot.ipv6Problem ? " ipv6Problem=yes" : " ipv6Problem=no";
    text += " probes=" + std::to_string(update.probes.size());
    if (const auto& load = snapshot.load) {
        text += " | load " + load->interfaceName + " now=" + std::string(nerivane::text(load->now)) +
                " upBps=" + std::to_string(std::llround(load->uploadBitsPerSecond)) +
                " downBps=" + std::to_string(std::llround(load->downloadBitsPerSecond));
        for (const auto direction : {nerivane::LoadDirection::upload, nerivane::LoadDirection::download}) {
            const auto& figures = load->direction(direction);
            const auto& role = figures.internet ? figures.internet : figures.router;
            text += " " + std::string(nerivane::text(direction)) + "=" +
                    (figures.grade ? std::string(nerivane::text(*figures.grade)) : std::string("none"));
            if (role) text += "(+" + milliseconds(role->added) + " " + std::string(nerivane::text(figures.queue)) + ")";
        }
    }
    for (const auto& target : snapshot.targets) {
        const auto& m = target.metrics;
        text += " | " + target.target.role.text() + " " + target.target.address.text();
        text += " status=" + std::string(nerivane::text(target.status)) + " state=" + stateText(target.state);
        if (target.answeredLocally) text += " answeredLocally";
        text += " latest=" + milliseconds(m.latest) + " median=" + milliseconds(m.median) +
                " p95=" + milliseconds(m.p95) + " baseline=" + milliseconds(m.baseline) +
                " jitter=" + milliseconds(m.jitter);
        text += " sent=" + std::to_string(m.sent) + " lost=" + std::to_string(m.lost) +
                " late=" + std::to_string(m.late);
    }
    return text;
}

std::string directionJson(const nerivane::DirectionLoad& load) {
    // The figures the grade rests on: the internet's, else the router's.
    const auto& role = load.internet ? load.internet : load.router;
    JsonLine json;
    load.grade ? json.text("grade", nerivane::text(*load.grade)) : json.null("grade");
    role ? json.text("role", load.internet ? "internet" : "router") : json.null("role");
    auto field = [&](double nerivane::RoleLoad::*member) {
        return role ? std::optional<double>((*role).*member) : std::nullopt;
    };
    json.number("addedMs", field(&nerivane::RoleLoad::added))
        .number("idleMs", field(&nerivane::RoleLoad::idleMedian))
        .number("busyMs", field(&nerivane::RoleLoad::busyMedian));
    role ? json.integer("busyProbes", role->busyReplies).integer("busyLost", role->busyLost)
         : json.null("busyProbes").null("busyLost");
    json.number("routerAddedMs", load.router ? std::optional<double>(load.router->added) : std::nullopt)
        .text("queue", nerivane::text(load.queue))
        .number("lastBusyUnixSeconds", load.lastBusy, 6)
        .number("lastBusyBitsPerSecond", load.lastBusy ? std::optional<double>(load.lastBusyBitsPerSecond) : std::nullopt, 0);
    return json.str();
}

std::string loadJson(const nerivane::LoadSnapshot& load) {
    return JsonLine()
        .text("interface", load.interfaceName)
        .number("uploadBitsPerSecond", load.uploadBitsPerSecond, 0)
        .number("downloadBitsPerSecond", load.downloadBitsPerSecond, 0)
        .raw("capacity", JsonLine()
                             .number("uploadBitsPerSecond", load.capacity.uploadBitsPerSecond, 0)
                             .number("downloadBitsPerSecond", load.capacity.downloadBitsPerSecond, 0)
                             .str())
        .text("now", nerivane::text(load.now))
        .raw("upload", directionJson(load.upload))
        .raw("download", directionJson(load.download))
        .str();
}

std::string snapshotJson(double seconds, const Monitor::SnapshotUpdate& update) {
    const auto& snapshot = update.snapshot;
    std::string targets;
    for (const auto& target : snapshot.targets) {
        const auto& m = target.metrics;
        JsonLine json;
        json.text("role", target.target.role.text())
            .text("host", target.target.host)
            .text("address", target.target.address.text())
            .text("status", nerivane::text(target.status))
            .text("state", stateText(target.state))
            .boolean("answeredLocally", target.answeredLocally)
            .number("outageSinceUnixSeconds", target.outageSince, 6)
            .number("latestMs", m.latest)
            .number("medianMs", m.median)
            .number("p95Ms", m.p95)
            .number("baselineMs", m.baseline)
            .number("jitterMs", m.jitter)
            .integer("probesSent", m.sent)
            .integer("probesLost", m.lost)
            .integer("probesLate", m.late);
        if (!targets.empty()) targets += ',';
        targets += json.str();
    }
    JsonLine json;
    json.number("elapsedSeconds", seconds, 6).text("type", "snapshot").text("verdict", nerivane::text(snapshot.verdict));
    snapshot.internet ? json.text("internet", stateText(*snapshot.internet)) : json.null("internet");
    return json.boolean("ipv6Problem", snapshot.ipv6Problem)
        .raw("path", pathJson(snapshot.path))
        .raw("targets", "[" + targets + "]")
        .integer("probes", static_cast<long long>(update.probes.size()))
        .raw("load", snapshot.load ? loadJson(*snapshot.load) : "null")
        .str();
}

std::string networkEventJson(double seconds, const nerivane::NetworkEvent& event) {
    return JsonLine()
        .number("elapsedSeconds", seconds, 6)
        .text("type", "event")
        .text("kind", nerivane::text(event.kind))
        .text("role", event.role.text())
        .text("host", event.host)
        .text("address", event.address.text())
        .number("startUnixSeconds", event.start, 6)
        .number("endUnixSeconds", event.end, 6)
        .number("durationSeconds", event.duration(), 6)
        .number("worstRttMs", event.worstRTT)
        .text("log", event.logLine())
        .str();
}

std::string describeUpdate(double seconds, const Monitor::Update& update, bool json) {
    if (const auto* snapshot = std::get_if<Monitor::SnapshotUpdate>(&update))
        return json ? snapshotJson(seconds, *snapshot) : describeSnapshot(*snapshot);
    const auto& event = std::get<Monitor::EventUpdate>(update).event;
    return json ? networkEventJson(seconds, event) : "event " + event.logLine();
}

}  // namespace

int main(int argc, char** argv) {
    const auto parsed = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (const auto* error = std::get_if<std::string>(&parsed)) {
        std::fputs(Help::errorLine(program, *error).c_str(), stderr);
        return 2;
    }
    const Options& options = std::get<Options>(parsed);
    if (options.help) {
        std::fputs(usage().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("%s %s\n", program.data(), NERIVANE_VERSION);
        return 0;
    }

    // The engine's queues inherit this mask, so the signals reach sigtimedwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    nerivane::LogStore::shared().setStderrOutput(options.verboseLog ? nerivane::LogStore::StderrOutput::always
                                                                   : nerivane::LogStore::StderrOutput::never);

    const nerivane::Ticks start = nerivane::MachClock::now();
    const auto elapsed = [start] {
        return nerivane::MachClock::milliseconds(start, nerivane::MachClock::now()).count() / 1000.0;
    };
    // Both callbacks run on the probe queue, one at a time.
    const auto print = [&options, elapsed](const std::string& line, double seconds) {
        if (options.json)
            std::printf("%s\n", line.c_str());
        else
            std::printf("%.3f %s\n", seconds, line.c_str());
    };
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::unique_ptr<ProbeEngine> engine;
    std::unique_ptr<Monitor> monitor;
    if (options.monitor) {
        const auto onUpdate = [&](const Monitor::Update& update) {
            const double seconds = elapsed();
            print(describeUpdate(seconds, update, options.json), seconds);
        };
        monitor = std::make_unique<Monitor>(options.settings, nerivane::LookupSettings{}, options.interval, onUpdate);
        monitor->start();
    } else {
        engine = std::make_unique<ProbeEngine>(options.settings, options.interval, [&](const ProbeEngine::Event& event) {
            const double seconds = elapsed();
            print(options.json ? eventJson(seconds, event) : describe(event), seconds);
        });
        engine->start();
    }

    // Wait for SIGINT or SIGTERM, or until the deadline.
    const nerivane::Ticks deadline = start + nerivane::MachClock::ticks(options.seconds);
    for (;;) {
        timespec wait{};
        timespec* timeout = nullptr;
        if (options.seconds > nerivane::Seconds{0}) {
            const nerivane::Ticks now = nerivane::MachClock::now();
            if (now >= deadline) break;
            const auto left = deadline - now;
            wait.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
            wait.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
            timeout = &wait;
        }
        const int received = sigtimedwait(&signals, nullptr, timeout);
        if (received == SIGINT || received == SIGTERM) break;
        if (received < 0 && errno == EAGAIN) break;
    }
    if (monitor) monitor->stop();
    if (engine) engine->stop();
    return 0;
}
