#include "NerivaneKit/platform/LogStore.h"

// The code location of every message would be this file; leave it out.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "NerivaneKit/platform/MachClock.h"
#include "NerivaneKit/platform/UniqueFd.h"

namespace nerivane {
namespace {

// When the entry was written, on the continuous clock.
ContinuousClock::time_point stamp(const LogEntry& entry) {
    return ContinuousClock::time_point{std::chrono::nanoseconds(static_cast<std::int64_t>(entry.time))};
}

int priority(LogLevel level) {
    switch (level) {
    case LogLevel::debug: return LOG_DEBUG;
    case LogLevel::info: return LOG_INFO;
    case LogLevel::error: return LOG_ERR;
    }
    return LOG_INFO;
}

}  // namespace

LogStore::LogStore(Configuration configuration)
    : journal_(configuration.journal),
      stderrDescriptor_(configuration.stderrDescriptor),
      stderrOutput_(configuration.stderrOutput),
      continuous_(configuration.continuous ? std::move(configuration.continuous) : ContinuousNow(&MachClock::continuousNow)),
      realtime_(configuration.realtime ? std::move(configuration.realtime) : RealtimeNow(&MachClock::realtimeNow)),
      retention_(configuration.retention),
      capacity_(configuration.capacity) {}

LogStore& LogStore::shared() {
    static LogStore store([] {
        Configuration configuration;
        configuration.journal = journalReachable();
        return configuration;
    }());
    return store;
}

bool LogStore::journalReachable(const std::string& socketPath) {
    sockaddr_un address{};
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket) return false;
    return ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

void LogStore::write(LogLevel level, std::string_view subsystem, std::string_view category, std::string_view message) {
    LogEntry entry{0, 0, level, std::string(subsystem), std::string(category), std::string(message)};
    {
        std::lock_guard lock(mutex_);
        // Stamped under the lock so the ring stays in time order.
        const auto now = continuous_();
        entry.time = static_cast<std::uint64_t>(now.time_since_epoch().count());
        entry.date = static_cast<std::uint64_t>(realtime_().time_since_epoch().count());
        ring_.push_back(entry);
        prune(now);
    }

    const StderrOutput output = stderrOutput_.load();
    bool journaled = false;
    if (journal_) journaled = sendToJournal(entry);
    // Debug messages reach a terminal only when asked for (--log); the
    // diagnostics report has them all the same.
    const bool fallback = !journaled && ((output == StderrOutput::withoutJournal && entry.level != LogLevel::debug) ||
                                         (output == StderrOutput::errorsWithoutJournal && entry.level == LogLevel::error));
    if (output == StderrOutput::always || fallback) writeToStderr(entry);
}

void LogStore::prune(ContinuousClock::time_point now) {
    while (!ring_.empty()) {
        const auto oldest = stamp(ring_.front());
        const bool expired = now > oldest && now - oldest > retention_;
        if (!expired && ring_.size() <= capacity_) break;
        ring_.pop_front();
    }
}

std::vector<LogEntry> LogStore::entries(std::chrono::seconds window) const {
    const auto span = std::max(window, std::chrono::seconds(0));
    std::lock_guard lock(mutex_);
    const auto now = continuous_();
    std::vector<LogEntry> result;
    for (const auto& entry : ring_) {
        if (now <= stamp(entry) || now - stamp(entry) <= span) result.push_back(entry);
    }
    return result;
}

std::vector<LogEntry> LogStore::entries(std::chrono::seconds window, std::string_view subsystem) const {
    auto result = entries(window);
    std::erase_if(result, [&](const LogEntry& entry) { return entry.subsystem != subsystem; });
    return result;
}

void LogStore::setStderrOutput(StderrOutput output) { stderrOutput_.store(output); }
LogStore::StderrOutput LogStore::stderrOutput() const { return stderrOutput_.load(); }

std::string LogStore::stderrLine(const LogEntry& entry) {
    const std::time_t seconds = static_cast<std::time_t>(entry.date / 1'000'000'000ull);
    const unsigned milliseconds = static_cast<unsigned>(entry.date / 1'000'000ull % 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char clock[16] = {};
    std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
    char stamp[24] = {};
    std::snprintf(stamp, sizeof stamp, "%s.%03u", clock, milliseconds);

    std::string line = stamp;
    line += " ";
    line += journalIdentifier;
    line += "[" + entry.category + "] ";
    if (entry.level != LogLevel::info) {
        line += text(entry.level);
        line += ": ";
    }
    line += entry.message;
    return line;
}

bool LogStore::sendToJournal(const LogEntry& entry) const {
    const std::string identifier(journalIdentifier);
    return sd_journal_send("MESSAGE=%s", entry.message.c_str(), "PRIORITY=%i", priority(entry.level),
                           "SYSLOG_IDENTIFIER=%s", identifier.c_str(), "NERIVANE_SUBSYSTEM=%s", entry.subsystem.c_str(),
                           "NERIVANE_CATEGORY=%s", entry.category.c_str(), nullptr) >= 0;
}

void LogStore::writeToStderr(const LogEntry& entry) const {
    // One write per line, so lines from several threads do not interleave.
    const std::string line = stderrLine(entry) + "\n";
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(stderrDescriptor_, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to complain to
        written += static_cast<std::size_t>(n);
    }
}

}  // namespace nerivane
