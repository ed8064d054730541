// The monitor: owns the monitor core and one ProbeEngine, folds the engine's
// events into the core with the current monitor time, logs every network
// event (category "stats") and hands snapshots and events to its owner, the
// application model. handle() and every onUpdate call run on the engine's
// probe queue; the monitor never changes threads.
//
// Times: monitor time is seconds of the continuous clock (CLOCK_BOOTTIME),
// which keeps counting through sleep. Probe send times are ticks of the
// monotonic clock, which does not; so a result is dated by its age, not by
// its tick value: its time is monitor now minus (monotonic now - sentAt).
// Dates are wall-clock: date(t) = wall now + (t - monitor now), worked out
// only where a record leaves the core.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <variant>
#include <vector>

#include "NerivaneKit/analysis/MonitorControl.h"
#include "NerivaneKit/analysis/MonitorCore.h"
#include "NerivaneKit/analysis/MonitorSnapshot.h"
#include "NerivaneKit/analysis/NetworkEvent.h"
#include "NerivaneKit/analysis/ProbeRecord.h"
#include "NerivaneKit/load/LinkCapacity.h"
#include "NerivaneKit/load/LinkCounters.h"
#include "NerivaneKit/load/TrafficSample.h"
#include "NerivaneKit/lookup/LookupSettings.h"
#include "NerivaneKit/lookup/NameLookups.h"
#include "NerivaneKit/platform/Clocks.h"
#include "NerivaneKit/platform/Log.h"
#include "NerivaneKit/probing/ProbeEngine.h"
#include "NerivaneKit/probing/TargetSettings.h"

namespace nerivane {

class SerialQueue;

class Monitor : public MonitorControl {
public:
    // A snapshot, and the probe records and traffic counter reads gathered since the previous one.
    struct SnapshotUpdate {
        MonitorSnapshot snapshot;
        std::vector<ProbeRecord> probes;
        std::vector<TrafficSample> traffic;
        bool operator==(const SnapshotUpdate&) const = default;
    };
    // An outage or spike that has just ended.
    struct EventUpdate {
        NetworkEvent event;
        bool operator==(const EventUpdate&) const = default;
    };
    using Update = std::variant<SnapshotUpdate, EventUpdate>;
    using UpdateHandler = std::function<void(const Update&)>;

    // The clocks the monitor reads; tests replace them. An empty function
    // means the system's: monitor time from the engine environment's
    // continuous clock, wall time from CLOCK_REALTIME, probe ticks from
    // MachClock::now (the clock the probers stamp send times with).
    struct Clocks {
        std::function<MonitorTime()> monitorNow;
        std::function<Date()> wallNow;
        // Monotonic ticks now, comparable with ProbeResult::sentAt.
        std::function<Ticks()> probeTicks;
    };

    // Creates the core and the engine; starts nothing. A lookup name turns on
    // DNS health probes of the system's servers.
    Monitor(TargetSettings settings, LookupSettings lookups, Seconds interval, UpdateHandler onUpdate);
    Monitor(TargetSettings settings, LookupSettings lookups, Seconds interval, UpdateHandler onUpdate,
            ProbeEngine::Environment environment, Clocks clocks = {});
    // Stops the engine and waits for its queue; call it from neither of the
    // engine's queues (not from inside onUpdate).
    ~Monitor() override;
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // Probes DNS servers as the settings say (tests inject their servers);
    // call it before start. The snapshots then carry the lookups' health.
    void enableLookups(NameLookups::Settings settings);

    void start() override;
    // Returns once the engine has stopped on its queue; replies already
    // waiting may still be handled before that. Open outages then end at the
    // stop and their events are delivered before it returns.
    void stop() override;
    void update(const TargetSettings& settings) override;
    // A new name reaches lookups already on; an empty one changes nothing.
    void updateLookups(const LookupSettings& settings) override;
    void setInterval(Seconds interval) override;
    // The link capacity history remembers; what the monitor sees raises it.
    void setLinkCapacity(LinkCapacity capacity) override;

    // One engine event; the engine calls it on its queue.
    void handle(const ProbeEngine::Event& event);

    // The engine's probe queue, where updates are delivered.
    SerialQueue& queue();
    // Monitor time now, and the date of a monitor time.
    MonitorTime now() const;
    Date date(MonitorTime time) const;

private:
    void publish(const std::vector<NetworkEvent>& events);
    void deliver(MonitorSnapshot snapshot);

    Clocks clocks_;
    UpdateHandler onUpdate_;
    Log log_;
    // Touched only on the engine's queue.
    MonitorCore core_;
    // The engine's latest list of hosts left out for their names; every
    // snapshot carries it.
    std::vector<HostLookup> unresolved_;
    // Probe queue only: the internet looked down in the last snapshot.
    bool internetDown_ = false;
    // Read once per probing tick, on the probe queue.
    LinkCounters counters_;
    // It calls handle() until it is gone, so it goes before the core.
    std::unique_ptr<ProbeEngine> engine_;
    // Last: it posts to the engine's queue, so it goes before the engine.
    std::unique_ptr<NameLookups> lookups_;
};

}  // namespace nerivane
