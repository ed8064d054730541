// A logger for one subsystem and category ("app", "targets", "stats",
// "history"), the way the application's components write to the log. Cheap
// to copy and immutable: use it from any thread. Messages go to a LogStore,
// the process's shared one unless another is given.
#pragma once

#include <string>
#include <string_view>

#include "NerivaneKit/platform/ApplicationId.h"
#include "NerivaneKit/platform/LogEntry.h"
#include "NerivaneKit/platform/LogStore.h"

namespace nerivane {

class Log {
public:
    static constexpr std::string_view defaultSubsystem = applicationId;

    explicit Log(std::string category, std::string subsystem = std::string(defaultSubsystem));
    Log(std::string category, std::string subsystem, LogStore& store);

    void debug(std::string_view message) const { write(LogLevel::debug, message); }
    void info(std::string_view message) const { write(LogLevel::info, message); }
    void error(std::string_view message) const { write(LogLevel::error, message); }
    void write(LogLevel level, std::string_view message) const;

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

    // printf-style formatting into a string, for building messages.
    static std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));

private:
    std::string category_;
    std::string subsystem_;
    LogStore* store_;
};

}  // namespace nerivane
