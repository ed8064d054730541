// The pure heart of the monitor: folds the probe engine's events into one
// record per target (status, window, detectors, held-back warm-up records) and
// builds snapshots with the filtered verdict. Owned by the Monitor and used only
// on the probe queue. It has no clock: every call takes monitor time
// (continuous clock), and `date` turns that into wall-clock dates where a
// record, an event or a snapshot's date leaves the core.
//
// Status changes compare measuring methods (warmingUp and icmp are ICMP, tcp is
// TCP, doesntAnswerPing, unreachableVPN and pingNotPermitted are not measured):
//   warmingUp -> icmp                 release the held-back records, keep the window
//   warmingUp -> tcp / not measured   drop the held-back records, reset
//   not measured -> anything          reset
//   icmp or tcp -> not measured       reset
//   icmp <-> tcp                      reset
//   same method (icmp -> warmingUp)   keep everything
// A reset closes an open outage (its event is returned) and starts a fresh
// window and fresh detectors; a spike in progress is dropped.
//
// A snapshot tells one story, whoever reads it (headline, cards, tray,
// terminal, JSON): the probes of an ended outage or spike stay in the figures
// but are that event's, not the present's; every internet host silent beyond
// the probe time-out is loss before it can be an outage; a router slow only
// to its own pings, with the traffic through it faster, is ok. The filter
// shows what rests on silence or outages at once.
//
// Each probe is classed by the link's load once, in monitor time, when the
// counters cover its flight (send to reply, or to the time-out): that one
// class goes to its history record and, for the router and the internet
// hosts, to the load tracker, so history and the grade cannot disagree.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "NerivaneKit/analysis/LoadEvidence.h"
#include "NerivaneKit/analysis/MonitorSnapshot.h"
#include "NerivaneKit/analysis/NetworkEvent.h"
#include "NerivaneKit/analysis/OutageDetector.h"
#include "NerivaneKit/analysis/ProbeRecord.h"
#include "NerivaneKit/analysis/SpikeDetector.h"
#include "NerivaneKit/analysis/TargetStats.h"
#include "NerivaneKit/analysis/VerdictFilter.h"
#include "NerivaneKit/lookup/LookupTally.h"
#include "NerivaneKit/path/NetworkPath.h"
#include "NerivaneKit/platform/Clocks.h"
#include "NerivaneKit/probing/ProbeResult.h"
#include "NerivaneKit/probing/Target.h"
#include "NerivaneKit/probing/TargetStatus.h"

#include "NerivaneKit/load/LinkCapacity.h"
#include "NerivaneKit/load/LoadTracker.h"
#include "NerivaneKit/load/TrafficMeter.h"

namespace nerivane {

class MonitorCore {
public:
    // A probe record held until the next snapshot (or the end of its
    // target's warm-up), with the flight that gives its load class.
    struct HeldProbe {
        std::uint64_t flight = 0;
        ProbeRecord record;
        bool operator==(const HeldProbe&) const = default;
    };
    struct Record {
        Target target;
        TargetStatus status = TargetStatus::warmingUp;
        TargetStats stats;
        OutageDetector outage;
        SpikeDetector spike;
        // Probe records held back while the target warms up: history gets them
        // only if the target settles on ICMP, so a host that turns out to need
        // TCP does not leave a trail of ICMP losses. Empty unless warming up.
        std::vector<HeldProbe> warmUpProbes;

        bool operator==(const Record&) const = default;
    };

    // A busy direction still counts as busy this long after its last busy
    // interval, so a pause in an upload does not flip the verdict.
    static constexpr Seconds busyLingerSeconds{5};
    // A lost probe was in flight until the probe engine gave up on it.
    static constexpr Seconds lostFlightSeconds{2};
    // Flights the counters never covered (no counters) are dropped after this long.
    static constexpr Seconds pendingSeconds{30};

    explicit MonitorCore(std::function<Date(MonitorTime)> date) : date_(std::move(date)) {}

    // Starts over with a new target list: open outages end now (their events
    // are returned), every target restarts warming up with an empty window.
    // A list that extends the previous one (a name lookup answered late, same
    // path) adds its new targets and keeps the others and the verdict as they are.
    std::vector<NetworkEvent> install(const NetworkPath& path, const std::vector<Target>& targets, MonitorTime now,
                                      bool extendsPrevious = false);
    // Monitoring stops (quit, pause, lock, sleep): open outages end now and
    // their events are returned, so they are recorded rather than lost.
    std::vector<NetworkEvent> closeOutages(MonitorTime now);
    std::vector<NetworkEvent> statusChanged(const TargetRole& role, TargetStatus status, MonitorTime now);
    // One probe outcome of the probe sent at time. Events come spike first.
    std::vector<NetworkEvent> result(const TargetRole& role, const ProbeResult::Outcome& outcome, MonitorTime time);
    // Lets the outage detectors see the time pass, then builds a snapshot.
    MonitorSnapshot tick(MonitorTime now);
    // Builds a snapshot; feeds the verdict filter, so it is not const.
    MonitorSnapshot snapshot(MonitorTime now);
    // Hands out the records gathered since the last call.
    std::vector<ProbeRecord> takeProbes();
    // The interface whose counters tell the path's traffic: beneath a VPN the physical one.
    std::string countedInterface() const;
    // One read of that interface's counters (none: it could not be read).
    void counters(MonitorTime now, const std::optional<TrafficMeter::Reading>& reading);
    std::vector<TrafficSample> takeTraffic();

    // The engine's newest hop sweep, passed on with every snapshot.
    void setHops(std::vector<HopSweep::Hop> hops);
    // The link capacity history remembers.
    void setCapacity(const LinkCapacity& capacity);
    // Starts tallying DNS health; the snapshots carry it from then on.
    void enableLookups();
    // One round of name lookups, or the system resolver's time; ignored until lookups are enabled.
    void recordLookups(MonitorTime now, const std::vector<LookupOutcome>& outcomes);
    void recordSystemLookup(std::optional<Seconds> duration);

    const std::vector<Record>& records() const { return records_; }
    const TrafficMeter& traffic() const { return traffic_; }
    const LoadTracker& load() const { return load_; }

    bool invariantsHold() const;

private:
    // A probe waiting for the counters to cover its flight; then it is
    // classed once.
    struct Flight {
        std::uint64_t id = 0;
        // Send time, and the round trip of a reply.
        LoadTracker::Reply reply;
        // When it stopped being in flight (answer or time-out).
        MonitorTime landed;
        // The load tracker's role of a router or internet reply or loss.
        std::optional<LoadTracker::Role> counted;
        bool operator==(const Flight&) const = default;
    };

    Record* record(const TargetRole& role);
    std::vector<NetworkEvent> reset(Record& record, MonitorTime now);
    std::vector<NetworkEvent> changeStatus(Record& changed, TargetStatus status, MonitorTime now);
    // Every measured internet host without a reply beyond its time-out: the
    // snapshot says since when, and their states say loss.
    void markSilence(MonitorSnapshot& snapshot, MonitorTime now) const;
    // A router slow only to its own pings is ok; its snapshot says so.
    static void judgeRouterByTraffic(MonitorSnapshot& snapshot, std::size_t routerIndex);
    // Classes the flights the counters cover, gives their records and the
    // load tracker the class, and updates the tracker.
    void classifyFlights(MonitorTime now);
    ProbeRecord* heldProbe(std::uint64_t flight);
    std::optional<LoadSnapshot> loadSnapshot() const;
    LoadEvidence loadEvidence(const MonitorSnapshot& snapshot, Verdict raw, std::optional<std::size_t> routerIndex,
                              MonitorTime now) const;
    NetworkEvent event(const Record& record, NetworkEvent::Kind kind, MonitorTime start, MonitorTime end,
                       std::optional<double> worst) const;
    // The Unix seconds records carry.
    double unixDate(MonitorTime time) const { return unixSeconds(date_(time)); }

    // Monitor time to wall-clock date.
    std::function<Date(MonitorTime)> date_;
    // The path of the installed target list.
    NetworkPath path_ = NetworkPath::empty();
    // In the order of the installed target list; one per role; empty until installed.
    std::vector<Record> records_;
    // A target list has been installed at least once; until then the verdict is measuring.
    bool installed_ = false;
    VerdictFilter filter_;
    // DNS health, present while the monitor probes name lookups.
    std::optional<LookupTally> lookups_;
    // The engine's newest sweep, passed on with every snapshot.
    std::vector<HopSweep::Hop> hops_;
    // The link capacity history remembers.
    LinkCapacity capacity_;
    // Records waiting to be handed out with the next snapshot.
    std::vector<HeldProbe> probes_;
    // Flights not yet classed, in the order their probes were folded in;
    // every id below nextFlight_, each landing no earlier than its send.
    std::vector<Flight> flights_;
    std::uint64_t nextFlight_ = 0;
    // The path interface's traffic and the latency under load; both start
    // over (with the flights) when the counted interface changes.
    TrafficMeter traffic_;
    LoadTracker load_;
    // Counter reads waiting to be handed out with the next snapshot.
    std::vector<TrafficSample> trafficSamples_;
    // An outage or spike ended since the last snapshot.
    bool eventEnded_ = false;
};

}  // namespace nerivane
