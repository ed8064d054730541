// The pure heart of the monitor: folds the probe engine's events into one
// record per target (status, window, detectors, held-back warm-up records) and
// builds snapshots with the filtered verdict. Owned by the Monitor and used only
// on the probe queue. It has no clock: every call takes monitor seconds
// (continuous clock), and `date` turns those into wall-clock dates.
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
#pragma once

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
#include "NerivaneKit/probing/ProbeResult.h"
#include "NerivaneKit/probing/Target.h"
#include "NerivaneKit/probing/TargetStatus.h"

#include "NerivaneKit/load/LinkCapacity.h"
#include "NerivaneKit/load/LoadTracker.h"
#include "NerivaneKit/load/TrafficMeter.h"

namespace nerivane {

struct MonitorCore {
    struct Record {
        Target target;
        TargetStatus status = TargetStatus::warmingUp;
        TargetStats stats;
        OutageDetector outage;
        SpikeDetector spike;
        // Probe records held back while the target warms up: history gets them
        // only if the target settles on ICMP, so a host that turns out to need
        // TCP does not leave a trail of ICMP losses.
        std::vector<ProbeRecord> warmUpProbes;

        bool operator==(const Record&) const = default;
    };

    // Monitor seconds to wall-clock date (Unix seconds).
    std::function<double(double)> date;
    // The path of the installed target list.
    NetworkPath path = NetworkPath::empty();
    // In the order of the installed target list.
    std::vector<Record> records;
    // A target list has been installed at least once; until then the verdict is measuring.
    bool installed = false;
    VerdictFilter filter;
    // DNS health, present while the monitor probes name lookups.
    std::optional<LookupTally> lookups;
    // The engine's newest sweep, passed on with every snapshot.
    std::vector<HopSweep::Hop> hops;
    // The link capacity history remembers.
    LinkCapacity capacity;
    // Records waiting to be handed out with the next snapshot.
    std::vector<ProbeRecord> probes;
    // The path interface's traffic and the latency under load; both start
    // over when the counted interface changes.
    TrafficMeter traffic;
    LoadTracker load;
    // Counter reads waiting to be handed out with the next snapshot.
    std::vector<TrafficSample> trafficSamples;
    // An outage or spike ended since the last snapshot.
    bool eventEnded = false;

    // A busy direction still counts as busy this long after its last busy
    // interval, so a pause in an upload does not flip the verdict.
    static constexpr double busyLingerSeconds = 5;
    // A lost probe was in flight until the probe engine gave up on it.
    static constexpr double lostFlightSeconds = 2;

    explicit MonitorCore(std::function<double(double)> date) : date(std::move(date)) {}

    // Starts over with a new target list: open outages end now (their events
    // are returned), every target restarts warming up with an empty window.
    // A list that extends the previous one (a name lookup answered late, same
    // path) adds its new targets and keeps the others and the verdict as they are.
    std::vector<NetworkEvent> install(const NetworkPath& path, const std::vector<Target>& targets, double now,
                                      bool extendsPrevious = false);
    // Monitoring stops (quit, pause, lock, sleep): open outages end now and
    // their events are returned, so they are recorded rather than lost.
    std::vector<NetworkEvent> closeOutages(double now);
    std::vector<NetworkEvent> statusChanged(const TargetRole& role, TargetStatus status, double now);
    // One probe outcome of the probe sent at time. Events come spike first.
    std::vector<NetworkEvent> result(const TargetRole& role, const ProbeResult::Outcome& outcome, double time);
    // Lets the outage detectors see the time pass, then builds a snapshot.
    MonitorSnapshot tick(double now);
    // Builds a snapshot; feeds the verdict filter, so it is not const.
    MonitorSnapshot snapshot(double now);
    // Hands out the records gathered since the last call.
    std::vector<ProbeRecord> takeProbes();
    // The interface whose counters tell the path's traffic: beneath a VPN the physical one.
    std::string countedInterface() const;
    // One read of that interface's counters (none: it could not be read).
    void counters(double now, const std::optional<TrafficMeter::Reading>& reading);
    std::vector<TrafficSample> takeTraffic();

private:
    Record* record(const TargetRole& role);
    std::vector<NetworkEvent> reset(Record& record, double now);
    // Every measured internet host without a reply beyond its time-out: the
    // snapshot says since when, and their states say loss.
    void markSilence(MonitorSnapshot& snapshot, double now) const;
    // A router slow only to its own pings is ok; its snapshot says so.
    static void judgeRouterByTraffic(MonitorSnapshot& snapshot, std::size_t routerIndex);
    void classifyProbes(double now);
    std::optional<LoadSnapshot> loadSnapshot() const;
    LoadEvidence loadEvidence(const MonitorSnapshot& snapshot, Verdict raw, std::optional<std::size_t> routerIndex,
                              double now) const;
    NetworkEvent event(const Record& record, NetworkEvent::Kind kind, double start, double end,
                       std::optional<double> worst) const;
};

}  // namespace nerivane
