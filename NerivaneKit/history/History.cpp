#include "NerivaneKit/history/History.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>

#include "NerivaneKit/history/HistoryCSV.h"
#include "NerivaneKit/history/HistoryChart.h"
#include "NerivaneKit/history/HistoryFile.h"

namespace nerivane {

namespace {

using Value = Database::Value;

double systemDate() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Each missing level of the folder is made 0700; existing ones are left as
// they are, since they may be shared places such as /tmp.
void createFolder(const std::filesystem::path& folder) {
    std::filesystem::path level;
    for (const auto& part : folder) {
        level /= part;
        if (::mkdir(level.c_str(), 0700) != 0 && errno != EEXIST)
            throw Database::Error("open: cannot create folder " + level.string() + ": " + std::strerror(errno));
    }
}

// The folder, the file's checks, then the claim on the file: nothing is
// written, not even the lock, for a file that is refused.
WriterLock claim(const std::optional<std::string>& path) {
    if (!path) return WriterLock();
    const std::filesystem::path folder = std::filesystem::path(*path).parent_path();
    if (!folder.empty()) createFolder(folder);
    HistoryFile::checkForWriting(*path);
    return WriterLock(*path);
}

std::shared_ptr<Database> openDatabase(const std::optional<std::string>& path) {
    if (path) return HistoryFile::openForWriting(*path);
    return std::make_shared<Database>(path);
}

}  // namespace

History::History(const std::optional<std::string>& path) : History(path, Options()) {}

History::History(const std::optional<std::string>& path, Options options)
    : options_(std::move(options)), lock_(claim(path)), writer_(openDatabase(path), options_.timeZone) {
    if (!options_.date) options_.date = systemDate;
    sleepTotal_ = sleepTicks();
    writer_.setMayMaintain([this](Date date) { return mayMaintain(date); });
    writer_.prepareSchema();
    queue_ = std::make_unique<SerialQueue>(options_.queueLabel);
    lifeline_->history = this;
}

History::~History() {
    // A background read under way finishes first; later ones find nothing.
    {
        std::unique_lock lock(lifeline_->mutex);
        lifeline_->history = nullptr;
    }
    // The timer lives on the queue: it is cancelled and destroyed there.
    queue_->sync([this] { timer_.reset(); });
}

std::optional<std::string> History::defaultPath(const char* xdgDataHome, const char* home) {
    // Relative values of XDG_DATA_HOME are invalid and ignored.
    if (xdgDataHome && xdgDataHome[0] == '/') return std::string(xdgDataHome) + "/nerivane/history.sqlite";
    if (home && home[0] != '\0') return std::string(home) + "/.local/share/nerivane/history.sqlite";
    return std::nullopt;
}

std::optional<std::string> History::defaultPath() { return defaultPath(std::getenv("XDG_DATA_HOME"), std::getenv("HOME")); }

std::optional<std::string> History::configuredPath() {
    // An empty value would make SQLite open a private temporary file: treat it as unset.
    const char* override = std::getenv("NERIVANE_HISTORY");
    if (override && override[0] != '\0') return std::string(override);
    return defaultPath();
}

Date History::now() const { return dateFromUnixSeconds(options_.date()); }

double History::uptime() const {
    return static_cast<double>(options_.clocks.continuous().time_since_epoch().count()) / 1e9;
}

std::uint64_t History::sleepTicks() const {
    const auto continuous = static_cast<std::uint64_t>(options_.clocks.continuous().time_since_epoch().count());
    const auto monotonic = static_cast<std::uint64_t>(options_.clocks.monotonic().time_since_epoch().count());
    return continuous > monotonic ? continuous - monotonic : 0;
}

void History::logError(const std::string& description) const { options_.log.error(description); }

int History::retentionDays() {
    return queue_->syncResult([this] { return writer_.retentionDays(); });
}

void History::setRetentionDays(int days) {
    queue_->async([this, days] { takeRetention(days); });
}

void History::takeRetention(int days) {
    if (days < 1 && days != writer_.retentionDays())
        options_.log.error(Log::format("retention of %d days is not valid: history is kept until a valid one is set", days));
    writer_.setRetentionDays(days);
}

void History::start(int retentionDays, std::function<std::optional<std::int64_t>()> rssi) {
    queue_->async([this, retentionDays, rssi = std::move(rssi)] {
        takeRetention(retentionDays);
        rssi_ = rssi;
        timer_ = std::make_unique<RepeatingTimer>(*queue_, [this] { tickOnQueue(); });
        timer_->start(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(tickSeconds)));
        tickOnQueue();
    });
}

void History::close() {
    queue_->sync([this] {
        timer_.reset();
        drain();
        try {
            writer_.flush(dateFromUnixSeconds(std::numeric_limits<double>::infinity()), now(), true);
        } catch (const Database::Error& error) {
            logError(error.description());
        }
    });
}

void History::record(const std::vector<ProbeRecord>& probes, MinuteState state) {
    const Date date = now();
    std::lock_guard lock(inboxLock_);
    for (const ProbeRecord& probe : probes) inbox_.entries.emplace_back(probe);
    if (inbox_.lastState != state) {
        inbox_.entries.emplace_back(StateChange{state, date});
        inbox_.lastState = state;
    }
}

void History::setState(MinuteState state) {
    const Date date = now();
    {
        std::lock_guard lock(inboxLock_);
        inbox_.entries.emplace_back(StateChange{state, date});
        inbox_.lastState = state;
    }
    queue_->async([this] { drain(); });
}

void History::record(const NetworkEvent& event) {
    queue_->async([this, event] {
        drain();
        writer_.addEvent(event);
    });
}

void History::record(const ProbeRecord& probe) {
    {
        std::lock_guard lock(inboxLock_);
        inbox_.entries.emplace_back(probe);
    }
    queue_->async([this] { drain(); });
}

void History::record(const LookupSnapshot& lookups) {
    if (!lookups.latestRound) return;
    const Date date = now();
    std::lock_guard lock(inboxLock_);
    if (inbox_.lastLookupRound == lookups.latestRound) return;
    inbox_.lastLookupRound = lookups.latestRound;
    LookupRound round{date, {}};
    for (const LookupSnapshot::Server& server : lookups.servers)
        round.outcomes.push_back({server.server, server.latestSeconds, server.latestFailure});
    inbox_.entries.emplace_back(std::move(round));
}

void History::record(const std::vector<TrafficSample>& traffic) {
    if (traffic.empty()) return;
    std::lock_guard lock(inboxLock_);
    for (const TrafficSample& sample : traffic) inbox_.entries.emplace_back(sample);
}

LinkCapacity History::linkCapacity() {
    return queue_->syncResult([&] {
        drain();
        const Date date = now();
        writer_.flush(date, date, true);
        return writer_.queries().linkCapacity(date);
    });
}

void History::linkCapacity(std::function<void(LinkCapacity)> done) {
    queue_->async([this, done = std::move(done)] {
        try {
            drain();
            const Date date = now();
            writer_.flush(date, date, true);
            done(writer_.queries().linkCapacity(date));
        } catch (const Database::Error& error) {
            logError("history read: " + error.description());
        }
    });
}

void History::drain() {
    {
        std::lock_guard lock(inboxLock_);
        std::swap(inbox_.entries, draining_);
    }
    for (const Entry& entry : draining_) {
        if (auto* probe = std::get_if<ProbeRecord>(&entry)) {
            writer_.record(*probe);
        } else if (auto* round = std::get_if<LookupRound>(&entry)) {
            writer_.recordLookups(round->date, round->outcomes);
        } else if (auto* sample = std::get_if<TrafficSample>(&entry)) {
            writer_.recordTraffic(*sample);
        } else {
            const auto& change = std::get<StateChange>(entry);
            writer_.apply(change.state, change.date);
        }
    }
    draining_.clear();
}

void History::tick() {
    queue_->sync([this] { tickOnQueue(); });
}

void History::tickOnQueue() {
    const std::optional<std::int64_t> rssi = rssi_ ? rssi_() : std::nullopt;
    drain();
    const Date date = now();
    // The continuous clock runs on through sleep, the monotonic one does not:
    // their difference grows by the time slept.
    const std::uint64_t total = sleepTicks();
    if (total > sleepTotal_) {
        const double slept = static_cast<double>(total - sleepTotal_) / 1'000'000 / 1000;
        sleepTotal_ = total;
        if (slept > 1.0) writer_.markAsleep(date - Seconds(slept), date);
    }
    writer_.recordRSSI(date, rssi);
    const double steady = uptime();
    if (retryAt_ && steady < *retryAt_) {
        boundBacklog();
        return;
    }
    try {
        writer_.flush(date - Seconds(closeDelay), date, false);
        failedWrites_ = 0;
        retryAt_.reset();
    } catch (const Database::Error& error) {
        // The data stays in memory; a later tick writes it, after a pause
        // that grows while the failures go on.
        logError(error.description());
        failedWrites_ = std::min(failedWrites_ + 1, 32);
        retryAt_ = steady + std::min(firstRetry * std::ldexp(1.0, failedWrites_ - 1), longestRetry);
        boundBacklog();
    }
}

void History::boundBacklog() {
    const HistoryWriter::Dropped dropped = writer_.dropOldestMinutes(backlogMinutes);
    if (dropped.minutes > 0) {
        const TimeZone& zone = writer_.queries().timeZone();
        logError(Log::format("history cannot be written: dropped %zu unwritten minutes, %s to %s", dropped.minutes,
                             zone.iso8601(dropped.first).c_str(), zone.iso8601(dropped.last).c_str()));
    }
    if (const std::size_t excess = writer_.dropOldestEvents(backlogMinutes); excess > 0)
        logError(Log::format("history cannot be written: dropped %zu unwritten events", excess));
}

bool History::mayMaintain(Date date) {
    const double steady = uptime();
    if (maintenanceHeldUntil_ && steady < *maintenanceHeldUntil_) return false;
    maintenanceHeldUntil_.reset();
    // A wall clock that jumped (a bad RTC, a wrong time server) must not
    // roll up or delete what it takes to be old.
    if (lastMaintenance_) {
        const double wall = (date - lastMaintenance_->date).count();
        const double elapsed = steady - lastMaintenance_->uptime;
        if (!(std::fabs(wall - elapsed) <= clockTolerance)) {
            maintenanceHeldUntil_ = steady + maintenanceHold;
            logError(Log::format("the clock moved %.0f s while %.0f s passed: roll-up and retention wait a day",
                                 wall, elapsed));
            return false;
        }
    }
    lastMaintenance_ = Mark{date, steady};
    return true;
}

std::vector<ChartBucket> History::chart(ChartRange range, const TargetRole& role, Date date) {
    return queue_->syncResult([&] {
        drain();
        writer_.flush(date, date, true);
        return HistoryChart::read(writer_.queries(), range, role, date);
    });
}

std::vector<NetworkEvent> History::latestEvents(int limit) {
    return queue_->syncResult([&] {
        drain();
        const Date date = now();
        writer_.flush(date, date, true);
        return writer_.queries().events("1 ORDER BY start DESC LIMIT ?", {Value::integer(limit)});
    });
}

std::string History::exportAggregates(Date from, Date to) {
    return queue_->syncResult([&] {
        drain();
        const Date date = now();
        writer_.flush(date, date, true);
        return HistoryCSV::exportAggregates(writer_.queries(), from, to, date);
    });
}

std::string History::exportEvents(Date from, Date to) {
    return queue_->syncResult([&] {
        drain();
        const Date date = now();
        writer_.flush(date, date, true);
        return HistoryCSV::exportEvents(writer_.queries(), from, to);
    });
}

HistoryReport::Figures History::report(HistoryReport::Span span, Date now) {
    return queue_->syncResult([&] {
        drain();
        const Date date = this->now();
        writer_.flush(date, date, true);
        return HistoryReport::read(writer_.queries(), span, now);
    });
}

}  // namespace nerivane
