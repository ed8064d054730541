// One message of the application's log as the in-process log store keeps it,
// and the levels a message can have. Plain values, copied out to readers such
// as the diagnostics report.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nerivane {

// `info` is the ordinary ("default") level.
enum class LogLevel { debug, info, error };

std::string_view text(LogLevel level);

struct LogEntry {
    // Nanoseconds of the continuous clock (runs through sleep): the age.
    std::uint64_t time = 0;
    // Nanoseconds since the Unix epoch: the wall-clock time for display.
    std::uint64_t date = 0;
    LogLevel level = LogLevel::info;
    std::string subsystem;
    std::string category;
    std::string message;

    bool operator==(const LogEntry&) const = default;
};

}  // namespace nerivane
