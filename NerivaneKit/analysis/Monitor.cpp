#include "NerivaneKit/analysis/Monitor.h"

#include <utility>

#include "NerivaneKit/platform/MachClock.h"
#include "NerivaneKit/platform/SerialQueue.h"

namespace nerivane {
namespace {

constexpr double nanosecondsPerSecond = 1e9;

Monitor::Clocks completed(Monitor::Clocks clocks, const ClockSource& engineClock) {
    if (!clocks.monitorNow) {
        std::function<ContinuousClock::time_point()> continuous = engineClock.continuous;
        if (!continuous) continuous = &MachClock::continuousNow;
        clocks.monitorNow = [continuous] {
            return MonitorTime{Seconds{static_cast<double>(continuous().time_since_epoch().count()) / nanosecondsPerSecond}};
        };
    }
    if (!clocks.wallNow)
        clocks.wallNow = [] {
            return Date{Seconds{static_cast<double>(MachClock::realtimeNow().time_since_epoch().count()) / nanosecondsPerSecond}};
        };
    if (!clocks.probeTicks) clocks.probeTicks = &MachClock::now;
    return clocks;
}

}  // namespace

Monitor::Monitor(TargetSettings settings, LookupSettings lookups, Seconds interval, UpdateHandler onUpdate)
    : Monitor(std::move(settings), std::move(lookups), interval, std::move(onUpdate), ProbeEngine::Environment{}) {}

Monitor::Monitor(TargetSettings settings, LookupSettings lookups, Seconds interval, UpdateHandler onUpdate,
                 ProbeEngine::Environment environment, Clocks clocks)
    : clocks_(completed(std::move(clocks), environment.clock)),
      onUpdate_(std::move(onUpdate)),
      log_("stats", environment.identifier),
      core_([this](MonitorTime time) { return date(time); }) {
    engine_ = std::make_unique<ProbeEngine>(
        std::move(settings), interval, [this](const ProbeEngine::Event& event) { handle(event); },
        std::move(environment));
    if (!lookups.name.empty()) {
        NameLookups::Settings probes;
        probes.name = std::move(lookups.name);
        enableLookups(std::move(probes));
    }
}

Monitor::~Monitor() {
    lookups_.reset();
    engine_.reset();
}

void Monitor::enableLookups(NameLookups::Settings settings) {
    SerialQueue& queue = engine_->queue();
    queue.sync([this] { core_.enableLookups(); });
    lookups_ = std::make_unique<NameLookups>(
        std::move(settings),
        [this, &queue](const std::vector<LookupOutcome>& outcomes) {
            queue.async([this, outcomes] { core_.recordLookups(now(), outcomes); });
        },
        [this, &queue](std::optional<Seconds> took) {
            queue.async([this, took] {
                core_.recordSystemLookup(took);
            });
        });
}

void Monitor::start() {
    engine_->start();
    if (lookups_) lookups_->start();
}

void Monitor::stop() {
    if (lookups_) lookups_->stop();
    engine_->stop();
    // An outage still open is over as far as this monitor can tell: it ends
    // at the stop and is handed out like any other event.
    engine_->queue().sync([this] { publish(core_.closeOutages(now())); });
}

void Monitor::update(const TargetSettings& settings) {
    engine_->setSettings(settings);
}

void Monitor::updateLookups(const LookupSettings& settings) {
    if (lookups_ && !settings.name.empty()) lookups_->setName(settings.name);
}

void Monitor::setInterval(Seconds interval) {
    engine_->setInterval(interval);
}

void Monitor::setLinkCapacity(LinkCapacity capacity) {
    queue().async([this, capacity] { core_.setCapacity(capacity); });
}

SerialQueue& Monitor::queue() {
    return engine_->queue();
}

MonitorTime Monitor::now() const {
    return clocks_.monitorNow();
}

Date Monitor::date(MonitorTime time) const {
    return clocks_.wallNow() + (time - clocks_.monitorNow());
}

void Monitor::handle(const ProbeEngine::Event& event) {
    const MonitorTime now = this->now();
    if (const auto* targets = std::get_if<ProbeEngine::TargetsEvent>(&event)) {
        core_.setHops(targets->hops);
        publish(core_.install(targets->path, targets->targets, now, targets->extendsPrevious));
        // A new path may bring new DNS servers: ask them at once.
        if (lookups_ && !targets->extendsPrevious) lookups_->probeNow();
        deliver(core_.snapshot(now));
    } else if (const auto* status = std::get_if<ProbeEngine::StatusEvent>(&event)) {
        publish(core_.statusChanged(status->role, status->status, now));
    } else if (const auto* result = std::get_if<ProbeEngine::ResultEvent>(&event)) {
        // The probe was sent this long ago; milliseconds() is 0 for a send
        // time that is not in the past.
        const Seconds age{MachClock::milliseconds(result->result.sentAt, clocks_.probeTicks()).count() / 1000.0};
        publish(core_.result(result->role, result->result.outcome, now - age));
    } else if (const auto* lookups = std::get_if<ProbeEngine::LookupsEvent>(&event)) {
        unresolved_ = lookups->lookups;
        deliver(core_.snapshot(now));
    } else {
        // The counters first: the replies of this round are classed by them.
        core_.counters(now, counters_.read(core_.countedInterface()));
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
    snapshot.unresolved = unresolved_;
    // The internet looking down may be the DNS server: ask it at once.
    const bool internetDown = snapshot.internet && snapshot.internet->kind == TargetState::Kind::down;
    if (lookups_ && internetDown && !internetDown_) lookups_->probeNow();
    internetDown_ = internetDown;
    SnapshotUpdate update{std::move(snapshot), core_.takeProbes(), core_.takeTraffic()};
    if (onUpdate_) onUpdate_(update);
}

}  // namespace nerivane
