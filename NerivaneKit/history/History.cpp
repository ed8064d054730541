#include "NerivaneKit/history/History.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <system_error>

#include "NerivaneKit/history/HistoryCSV.h"
#include "NerivaneKit/history/HistoryChart.h"

namespace nerivane {

namespace {

using Value = Database::Value;

double systemDate() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The database for a path: its folder is created first, so a fresh
// NERIVANE_HISTORY location or data folder works.
std::shared_ptr<Database> openDatabase(const std::optional<std::string>& path) {
    if (path) {
        const std::filesystem::path folder = std::filesystem::path(*path).parent_path();
        if (!folder.empty()) {
            std::error_code error;
            std::filesystem::create_directories(folder, error);
            if (error) throw Database::Error("open: cannot create folder " + folder.string() + ": " + error.message());
        }
    }
    return std::make_shared<Database>(path);
}

}  // namespace

History::History(const std::optional<std::string>& path) : History(path, Options()) {}

History::History(const std::optional<std::string>& path, Options options)
    : options_(std::move(options)), store_(openDatabase(path), options_.timeZone) {
    if (!options_.date) options_.date = systemDate;
    sleepTotal_ = sleepTicks();
    store_.prepareSchema();
    queue_ = std::make_unique<SerialQueue>(options_.queueLabel);
}

History::~History() {
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

double History::now() const { return options_.date(); }

std::uint64_t History::sleepTicks() const {
    const std::uint64_t continuous = options_.clocks.continuous();
    const std::uint64_t monotonic = options_.clocks.monotonic();
    return continuous > monotonic ? continuous - monotonic : 0;
}

void History::logError(const std::string& description) const { options_.log.error(description); }

int History::retentionDays() {
    return queue_->syncResult([this] { return store_.retentionDays; });
}

void History::setRetentionDays(int days) {
    queue_->async([this, days] { store_.retentionDays = days; });
}

void History::start(std::function<std::optional<std::int64_t>()> rssi) {
    queue_->async([this, rssi = std::move(rssi)] {
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
            store_.flush(std::numeric_limits<double>::infinity(), now(), true);
        } catch (const Database::Error& error) {
            logError(error.description());
        }
    });
}

void History::record(const std::vector<ProbeRecord>& probes, MinuteState state) {
    const double date = now();
    std::lock_guard lock(inboxLock_);
    for (const ProbeRecord& probe : probes) inbox_.entries.emplace_back(probe);
    if (inbox_.lastState != state) {
        inbox_.entries.emplace_back(StateChange{state, date});
        inbox_.lastState = state;
    }
}

void History::setState(MinuteState state) {
    const double date = now();
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
        store_.addEvent(event);
    });
}

void History::record(const ProbeRecord& probe) {
    {
        std::lock_guard lock(inboxLock_);
        inbox_.entries.emplace_back(probe);
    }
    queue_->async([this] { drain(); });
}

void History::drain() {
    {
        std::lock_guard lock(inboxLock_);
        std::swap(inbox_.entries, draining_);
    }
    for (const Entry& entry : draining_) {
        if (auto* probe = std::get_if<ProbeRecord>(&entry)) {
            store_.record(*probe);
        } else {
            const auto& change = std::get<StateChange>(entry);
            store_.apply(change.state, change.date);
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
    const double date = now();
    // The continuous clock runs on through sleep, the monotonic one does not:
    // their difference grows by the time slept.
    const std::uint64_t total = sleepTicks();
    if (total > sleepTotal_) {
        const double slept = static_cast<double>(total - sleepTotal_) / 1'000'000 / 1000;
        sleepTotal_ = total;
        if (slept > 1.0) store_.markAsleep(date - slept, date);
    }
    store_.recordRSSI(date, rssi);
    try {
        store_.flush(date - closeDelay, date, false);
    } catch (const Database::Error& error) {
        // The data stays in memory; a later tick writes it.
        logError(error.description());
    }
}

std::vector<ChartBucket> History::chart(ChartRange range, const TargetRole& role, double date) {
    return queue_->syncResult([&] {
        drain();
        store_.flush(date, date, true);
        return HistoryChart::read(store_, range, role, date);
    });
}

std::vector<NetworkEvent> History::latestEvents(int limit) {
    return queue_->syncResult([&] {
        drain();
        const double date = now();
        store_.flush(date, date, true);
        return store_.events("1 ORDER BY start DESC LIMIT ?", {Value::integer(limit)});
    });
}

std::string History::exportAggregates(double from, double to) {
    return queue_->syncResult([&] {
        drain();
        const double date = now();
        store_.flush(date, date, true);
        return HistoryCSV::exportAggregates(store_, from, to, date);
    });
}

std::string History::exportEvents(double from, double to) {
    return queue_->syncResult([&] {
        drain();
        const double date = now();
        store_.flush(date, date, true);
        return HistoryCSV::exportEvents(store_, from, to);
    });
}

}  // namespace nerivane
