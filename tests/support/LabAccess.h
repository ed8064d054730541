// What the lab tests need of the lab they run in: its name and command (from
// lab/run-lab-test), a guard that they really run inside its client
// namespace, the verbs that change it, and its responders' logs, which show
// what the lab did to each probe.
#pragma once

#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace nerivane::labtest {

inline std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

inline std::string labName() { return environment("NERIVANE_LAB"); }

inline std::string labCommand() {
    auto command = environment("NERIVANE_LAB_CMD");
    if (command.empty() && !environment("NERIVANE_SOURCE_DIR").empty())
        command = environment("NERIVANE_SOURCE_DIR") + "/lab/lab";
    return command;
}

// These tests send real probes and change routes: only the lab's client
// namespace may see them.
inline bool insideTheLab() {
    if (labName().empty()) return false;
    struct stat own {}, client {};
    if (::stat("/proc/self/ns/net", &own) != 0) return false;
    if (::stat(("/run/netns/" + labName() + "-c").c_str(), &client) != 0) return false;
    return own.st_ino == client.st_ino && own.st_dev == client.st_dev;
}

// Runs a shell command and returns its standard output; nullopt when it failed.
inline std::optional<std::string> output(const std::string& command) {
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::string text;
    char buffer[4096];
    for (std::size_t count; (count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, count);
    return ::pclose(pipe) == 0 ? std::optional(text) : std::nullopt;
}

// One lab verb, e.g. "set 9.9.9.9 mode=late"; whether it succeeded. A
// failure is told on stderr, as the verb may run on a helper thread.
inline bool lab(const std::string& verb) {
    const std::string command = labCommand() + " " + verb + " --name " + labName() + " >/dev/null";
    const int status = std::system(command.c_str());
    if (status != 0) std::fprintf(stderr, "lab command failed (%d): %s\n", status, command.c_str());
    return status == 0;
}

// The log file of one of the lab's responders ("router", "internet"), as
// `lab status` names it.
inline std::optional<std::string> responderLogPath(const std::string& role) {
    const auto status = output(labCommand() + " status --name " + labName());
    if (!status) return std::nullopt;
    std::istringstream lines(*status);
    std::string line;
    const std::string lead = role + " pid ";
    while (std::getline(lines, line)) {
        const auto start = line.find_first_not_of(' ');
        if (start == std::string::npos || line.compare(start, lead.size(), lead) != 0) continue;
        const auto at = line.find(", log ");
        if (at != std::string::npos) return line.substr(at + 6);
    }
    return std::nullopt;
}

// A responder log line: its local time of day in seconds and the text after it.
struct LogLine {
    double secondsOfDay = 0;
    std::string text;
};

inline std::vector<LogLine> readLog(const std::string& path) {
    std::vector<LogLine> lines;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        int hours = 0, minutes = 0, seconds = 0, millis = 0, used = 0;
        if (std::sscanf(line.c_str(), "%2d:%2d:%2d.%3d %n", &hours, &minutes, &seconds, &millis, &used) != 4) continue;
        lines.push_back({hours * 3600.0 + minutes * 60.0 + seconds + millis / 1000.0, line.substr(used)});
    }
    return lines;
}

// The local time of day, in the responders' log format, for a CLOCK_REALTIME
// value in nanoseconds.
inline double secondsOfDay(std::uint64_t realtimeNanoseconds) {
    const auto seconds = static_cast<time_t>(realtimeNanoseconds / 1'000'000'000ull);
    tm local{};
    ::localtime_r(&seconds, &local);
    return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec +
           static_cast<double>(realtimeNanoseconds % 1'000'000'000ull) / 1e9;
}

// b - a for two times of day, taking the shorter way round midnight.
inline double dayDifference(double a, double b) { return std::remainder(b - a, 86400.0); }

}  // namespace nerivane::labtest
