// nerivane-probe: runs the probe engine on the current network path and
// prints every engine event as one line, until interrupted or for --seconds.
// For people and tests; the lab runs it inside its client namespace.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "NerivaneKit/platform/LogStore.h"
#include "NerivaneKit/platform/MachClock.h"
#include "NerivaneKit/probing/ProbeEngine.h"

namespace {

using nerivane::ProbeEngine;

struct Options {
    nerivane::TargetSettings settings;
    double interval = 1.0;
    double seconds = 0;  // 0: until interrupted
    bool verboseLog = false;
};

void printUsage(std::FILE* out) {
    std::fputs(
        "usage: nerivane-probe [options]\n"
        "Runs the probe engine on the current network path and prints every event:\n"
        "  targets (role=address), status changes, results with protocol and\n"
        "  milliseconds, and ticks; each line starts with seconds since start.\n"
        "options:\n"
        "  --internet HOST[,HOST]  internet hosts (default 1.1.1.1,8.8.8.8)\n"
        "  --custom HOST[,HOST]    custom hosts (default none)\n"
        "  --no-ipv6               do not probe the first host's IPv6 partner\n"
        "  --interval SECONDS      seconds between regular probes (default 1)\n"
        "  --seconds N             stop after N seconds (default: until interrupted)\n"
        "  --log                   also print the engine's log lines to stderr\n"
        "  --help                  this text\n",
        out);
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

bool parseNumber(const char* text, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= 0;
}

// Returns false (after a message) for bad arguments.
bool parseOptions(int argc, char** argv, Options& options, bool& help) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "nerivane-probe: %s needs a value\n", arg.c_str());
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--internet") {
            const char* v = value();
            if (!v) return false;
            options.settings.internetHosts = splitHosts(v);
        } else if (arg == "--custom") {
            const char* v = value();
            if (!v) return false;
            options.settings.customHosts = splitHosts(v);
        } else if (arg == "--no-ipv6") {
            options.settings.probeIPv6 = false;
        } else if (arg == "--interval" || arg == "--seconds") {
            const char* v = value();
            double number = 0;
            if (!v) return false;
            if (!parseNumber(v, number) || (arg == "--interval" && number <= 0)) {
                std::fprintf(stderr, "nerivane-probe: %s wants a positive number, not \"%s\"\n", arg.c_str(), v);
                return false;
            }
            (arg == "--interval" ? options.interval : options.seconds) = number;
        } else if (arg == "--log") {
            options.verboseLog = true;
        } else {
            std::fprintf(stderr, "nerivane-probe: unknown option \"%s\" (see --help)\n", arg.c_str());
            return false;
        }
    }
    return true;
}

std::string describePath(const nerivane::NetworkPath& path) {
    static constexpr const char* kinds[] = {"wifi", "ethernet", "cellular", "other"};
    std::string text = "interface=" + path.primaryInterface.value_or("none");
    if (path.isVPN) text += " vpn physical=" + path.physicalInterface.value_or("none");
    text += std::string(" kind=") + kinds[static_cast<int>(path.kind)];
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
    return "tick";
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool help = false;
    if (!parseOptions(argc, argv, options, help)) return 2;
    if (help) {
        printUsage(stdout);
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

    const std::uint64_t start = nerivane::MachClock::now();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ProbeEngine engine(options.settings, options.interval, [start](const ProbeEngine::Event& event) {
        const double seconds = nerivane::MachClock::milliseconds(start, nerivane::MachClock::now()) / 1000.0;
        std::printf("%.3f %s\n", seconds, describe(event).c_str());
    });
    engine.start();

    // Wait for SIGINT or SIGTERM, or until the deadline.
    const std::uint64_t deadline = start + nerivane::MachClock::ticks(options.seconds);
    for (;;) {
        timespec wait{};
        timespec* timeout = nullptr;
        if (options.seconds > 0) {
            const std::uint64_t now = nerivane::MachClock::now();
            if (now >= deadline) break;
            const std::uint64_t left = deadline - now;
            wait.tv_sec = static_cast<time_t>(left / 1'000'000'000ull);
            wait.tv_nsec = static_cast<long>(left % 1'000'000'000ull);
            timeout = &wait;
        }
        const int received = sigtimedwait(&signals, nullptr, timeout);
        if (received == SIGINT || received == SIGTERM) break;
        if (received < 0 && errno == EAGAIN) break;
    }
    engine.stop();
    return 0;
}
