#include "NerivaneKit/analysis/Monitor.h"

#include <utility>

#include "NerivaneKit/platform/MachClock.h"
#include "NerivaneKit/platform/SerialQueue.h"

namespace nerivane {
namespace {

constexpr double nanosecondsPerSecond = 1e9;

Monitor::Clocks completed(Monitor::Clocks clocks, const ClockSource& engineClock) {
    if (!clocks.monitorNow) {
        std::function<std::uint64_t()> continuous = engineClock.continuous;
        if (!continuous) continuous = &MachClock::continuousNow;
        clocks.monitorNow = [continuous] { return static_cast<double>(continuous()) / nanosecondsPerSecond; };
    }
    if (!clocks.wallNow)
        clocks.wallNow = [] { return static_cast<double>(MachClock::realtimeNow()) / nanosecondsPerSecond; };
    if (!clocks.probeTicks) clocks.probeTicks = &MachClock::now;
    return clocks;
}

}  // namespace

Monitor::Monitor(TargetSettings settings, double interval, UpdateHandler onUpdate)
    : Monitor(std::move(settings), interval, std::move(onUpdate), ProbeEngine::Environment{}) {}

Monitor::Monitor(TargetSettings settings, double interval, UpdateHandler onUpdate,
                 ProbeEngine::Environment environment, Clocks clocks)
    : clocks_(completed(std::move(clocks), environment.clock)),
      onUpdate_(std::move(onUpdate)),
      log_("stats", environment.identifier),
      core_([this](double time) { return date(time); }) {
    engine_ = std::make_unique<ProbeEngine>(
        std::move(settings), interval, [this](const ProbeEngine::Event& event) { handle(event); },
        std::move(environment));
}

Monitor::~Monitor() {
    engine_.reset();
}

void Monitor::start() {
    engine_->start();
}

void Monitor::stop() {
    engine_->stop();
    // An outage still open is over as far as this monitor can tell: it ends
    // at the stop and is handed out like any other event.
    engine_->queue().sync([this] { publish(core_.closeOutages(now())); });
}

void Monitor::update(TargetSettings settings) {
    engine_->setSettings(std::move(settings));
}

void Monitor::setInterval(double seconds) {
    engine_->setInterval(seconds);
}

SerialQueue& Monitor::queue() {
    return engine_->queue();
}

double Monitor::now() const {
    return clocks_.monitorNow();
}

double Monitor::date(double time) const {
    return clocks_.wallNow() + (time - clocks_.monitorNow());
}

void Monitor::handle(const ProbeEngine::Event& event) {
    const double now = this->now();
    if (const auto* targets = std::get_if<ProbeEngine::TargetsEvent>(&event)) {
        publish(core_.install(targets->path, targets->targets, now, targets->extendsPrevious));
        deliver(core_.snapshot(now));
    } else if (const auto* status = std::get_if<ProbeEngine::StatusEvent>(&event)) {
        publish(core_.statusChanged(status->role, status->status, now));
    } else if (const auto* result = std::get_if<ProbeEngine::ResultEvent>(&event)) {
        // The probe was sent this long ago; milliseconds() is 0 for a send
        // time that is not in the past.
        const double age = MachClock::milliseconds(result->result.sentAt, clocks_.probeTicks()) / 1000.0;
        publish(core_.result(result->role, result->result.outcome, now - age));
    } else if (const auto* lookups = std::get_if<ProbeEngine::LookupsEvent>(&event)) {
        lookups_ = lookups->lookups;
        deliver(core_.snapshot(now));
    } else {
        deliver(core_.tick(now));
    }
}

void Monitor::publish(const std::vector<NetworkEvent>& events) {
    for (const auto& event : events) {
        log_.info(event.logLine());
        if (onUpdate_) onUpdate_(EventUpdate{event});
    }
}

void Monitor::deliver(MonitorSnapshot snapshot) {
    snapshot.lookups = lookups_;
    SnapshotUpdate update{std::move(snapshot), core_.takeProbes()};
    if (onUpdate_) onUpdate_(update);
}

}  // namespace nerivane
