// What the lab tests need of the lab they run in: its name and command (from
// lab/run-lab-test), a guard that they really run inside its client
// namespace, the verbs that change it, and its responders' logs.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace nerivane::labtest {

inline std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

inline std::string labName() { return environment("NERIVANE_LAB"); }

// Set by lab/run-lab-test.
inline std::string labCommand() { return environment("NERIVANE_LAB_CMD"); }

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

// The lines of one of the lab's responders' logs ("router", "internet"),
// which tell what the lab did to each probe.
inline std::vector<std::string> responderLog(const std::string& role) {
    std::ifstream file("/run/nerivane-lab/" + labName() + "/" + role + ".log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

}  // namespace nerivane::labtest
