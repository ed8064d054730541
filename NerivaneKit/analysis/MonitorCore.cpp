#include "NerivaneKit/analysis/MonitorCore.h"

#include <algorithm>
#include <iterator>
#include <set>
#include <utility>

#include "NerivaneKit/analysis/Thresholds.h"
#include "NerivaneKit/platform/Invariants.h"

namespace nerivane {
namespace {

enum class Method { icmp, tcp, unmeasured };

Method method(TargetStatus status) {
    switch (status) {
    case TargetStatus::warmingUp:
    case TargetStatus::icmp: return Method::icmp;
    case TargetStatus::tcp: return Method::tcp;
    case TargetStatus::doesntAnswerPing:
    case TargetStatus::unreachableVPN:
    case TargetStatus::pingNotPermitted: return Method::unmeasured;
    }
    return Method::unmeasured;
}

// A local answer is only trusted once both sides have a few replies.
constexpr std::size_t minimumReplies = 5;

}  // namespace

MonitorCore::Record* MonitorCore::record(const TargetRole& role) {
    for (auto& record : records_) {
        if (record.target.role == role) return &record;
    }
    return nullptr;
}

NetworkEvent MonitorCore::event(const Record& record, NetworkEvent::Kind kind, MonitorTime start, MonitorTime end,
                                std::optional<double> worst) const {
    return NetworkEvent{kind, record.target.role, record.target.host, record.target.address,
                        unixDate(start), unixDate(end), worst};
}

std::vector<NetworkEvent> MonitorCore::reset(Record& record, MonitorTime now) {
    std::vector<NetworkEvent> events;
    if (auto outage = record.outage.close(now))
        events.push_back(event(record, NetworkEvent::Kind::outage, outage->start, outage->end, std::nullopt));
    record.stats = TargetStats{};
    record.outage = OutageDetector{};
    record.spike = SpikeDetector{};
    return events;
}

std::vector<NetworkEvent> MonitorCore::closeOutages(MonitorTime now) {
    std::vector<NetworkEvent> events;
    for (auto& record : records_) {
        if (auto outage = record.outage.close(now)) {
            record.stats.outageEnded(outage->start, outage->end);
            events.push_back(event(record, NetworkEvent::Kind::outage, outage->start, outage->end, std::nullopt));
        }
    }
    NERIVANE_CHECK_INVARIANTS();
    return events;
}

std::vector<NetworkEvent> MonitorCore::install(const NetworkPath& newPath, const std::vector<Target>& targets,
                                               MonitorTime now, bool extendsPrevious) {
    const bool extends = extendsPrevious && installed_ && newPath == path_ &&
                         std::all_of(records_.begin(), records_.end(), [&](const Record& r) {
                             return std::find(targets.begin(), targets.end(), r.target) != targets.end();
                         });
    std::vector<NetworkEvent> events;
    if (!extends) {
        events = closeOutages(now);
        records_.clear();
        filter_ = VerdictFilter{};
    }
    std::vector<Record> old = std::move(records_);
    // Another network's DNS servers tell nothing about this one's.
    if (lookups_ && newPath != path_) lookups_ = LookupTally{};
    const std::string counted = countedInterface();
    path_ = newPath;
    // Another interface's load says nothing about this one's; the flights
    // waiting would be classed against a meter that began after them.
    if (countedInterface() != counted) {
        traffic_ = TrafficMeter{};
        load_ = LoadTracker{};
        flights_.clear();
    }
    records_.clear();
    records_.reserve(targets.size());
    for (const auto& target : targets) {
        auto kept = std::find_if(old.begin(), old.end(), [&](const Record& r) { return r.target == target; });
        if (kept != old.end()) {
            records_.push_back(std::move(*kept));
            continue;
        }
        Record record;
        record.target = target;
        records_.push_back(std::move(record));
    }
    installed_ = true;
    NERIVANE_CHECK_INVARIANTS();
    return events;
}

std::vector<NetworkEvent> MonitorCore::statusChanged(const TargetRole& role, TargetStatus status,
                                                     MonitorTime now) {
    Record* found = record(role);
    if (!found) return {};
    std::vector<NetworkEvent> events = changeStatus(*found, status, now);
    NERIVANE_CHECK_INVARIANTS();
    return events;
}

std::vector<NetworkEvent> MonitorCore::changeStatus(Record& changed, TargetStatus status, MonitorTime now) {
    Record* found = &changed;
    const TargetStatus old = found->status;
    found->status = status;

    if (old == TargetStatus::warmingUp) {
        if (status == TargetStatus::icmp) {
            probes_.insert(probes_.end(), std::make_move_iterator(found->warmUpProbes.begin()),
                           std::make_move_iterator(found->warmUpProbes.end()));
            found->warmUpProbes.clear();
            return {};
        }
        if (status != TargetStatus::warmingUp) {
            found->warmUpProbes.clear();
            return reset(*found, now);
        }
        return {};
    }
    if (method(old) != method(status) || method(status) == Method::unmeasured) return reset(*found, now);
    return {};
}

std::vector<NetworkEvent> MonitorCore::result(const TargetRole& role, const ProbeResult::Outcome& outcome,
                                              MonitorTime time) {
    Record* found = record(role);
    if (!found) return {};
    Record& target = *found;

    // The record is dated here, where it leaves monitor time; its load
    // class comes from its flight, classed in monitor time.
    const auto* answer = std::get_if<ProbeResult::Reply>(&outcome);
    const MonitorTime landed = answer ? time + Seconds{answer->milliseconds / 1000} : time + lostFlightSeconds;
    Flight flight{nextFlight_++, {time, std::nullopt}, landed, std::nullopt};
    const ProbeProtocol protocol = target.status == TargetStatus::tcp ? ProbeProtocol::tcp : ProbeProtocol::icmp;
    HeldProbe probe{flight.id, ProbeRecord{target.target, protocol, outcome, unixDate(time)}};
    if (target.status == TargetStatus::warmingUp)
        target.warmUpProbes.push_back(std::move(probe));
    else
        probes_.push_back(std::move(probe));

    const auto kind = target.target.role.kind;
    // Late answers count only in history; the tracker takes the router's
    // and the internet hosts' replies and losses.
    if ((kind == TargetRole::Kind::router || kind == TargetRole::Kind::internet) &&
        !std::holds_alternative<ProbeResult::Late>(outcome)) {
        flight.counted = kind == TargetRole::Kind::router ? LoadTracker::Role::router : LoadTracker::Role::internet;
        if (answer) flight.reply.rtt = answer->milliseconds;
    }
    flights_.push_back(flight);

    std::vector<NetworkEvent> events;
    if (const auto* reply = std::get_if<ProbeResult::Reply>(&outcome)) {
        if (auto spike = target.spike.observe(target.stats.rtts(), reply->milliseconds, time)) {
            target.stats.spikeEnded(spike->start, spike->end);
            events.push_back(event(target, NetworkEvent::Kind::spike, spike->start, spike->end, spike->worst));
        }
        target.stats.record(reply->milliseconds, time);
        if (auto outage = target.outage.reply(time)) {
            target.stats.outageEnded(outage->start, outage->end);
            events.push_back(event(target, NetworkEvent::Kind::outage, outage->start, outage->end, std::nullopt));
        }
        // Only the targets the verdict reads.
        if (!events.empty() && (kind == TargetRole::Kind::router || kind == TargetRole::Kind::internet))
            eventEnded_ = true;
    } else if (std::holds_alternative<ProbeResult::Lost>(outcome)) {
        target.stats.record(std::nullopt, time);
        target.outage.lost(time);
    } else {
        target.stats.recordLate(time);
    }
    NERIVANE_CHECK_INVARIANTS();
    return events;
}

MonitorSnapshot MonitorCore::tick(MonitorTime now) {
    for (auto& record : records_) record.outage.tick(now, record.status);
    return snapshot(now);
}

MonitorSnapshot MonitorCore::snapshot(MonitorTime now) {
    MonitorSnapshot snapshot;
    snapshot.path = path_;
    snapshot.hops = hops_;

    // The router reference: the first router target, its fastest reply ever,
    // trusted only once it has a few replies in its window.
    std::optional<std::size_t> routerIndex;
    for (std::size_t i = 0; i < records_.size() && !routerIndex; ++i) {
        if (records_[i].target.role.kind == TargetRole::Kind::router) routerIndex = i;
    }
    std::optional<double> routerBaseline;
    if (routerIndex && records_[*routerIndex].stats.replyCount() >= minimumReplies)
        routerBaseline = records_[*routerIndex].stats.baseline;

    snapshot.targets.reserve(records_.size());
    for (const auto& record : records_) {
        TargetSnapshot target;
        target.target = record.target;
        target.status = record.status;
        target.metrics = record.stats.metrics();
        target.state = TargetState::evaluate(record.status, record.outage.inOutage(), target.metrics,
                                             Thresholds::forRole(record.target.role));
        // An internet host answering no slower than the fastest router reply
        // is answered by something on the local network.
        target.answeredLocally = record.target.role.isInternet() && routerBaseline && target.metrics.median &&
                                 *target.metrics.median <= *routerBaseline &&
                                 record.stats.replyCount() >= minimumReplies;
        if (record.outage.since) target.outageSince = unixDate(*record.outage.since);
        if (target.metrics.lostInOutages > 0 && !record.stats.endedOutages.empty())
            target.pastOutageStart = unixDate(record.stats.endedOutages.back().start);
        snapshot.targets.push_back(std::move(target));
    }

    markSilence(snapshot, now);
    if (routerIndex) judgeRouterByTraffic(snapshot, *routerIndex);

    std::vector<TargetState> internetStates;
    for (const auto& target : snapshot.targets) {
        if (MonitorSnapshot::isMeasuredInternet(target)) internetStates.push_back(target.state);
    }
    snapshot.internet = TargetState::combine(internetStates);

    // A router that cannot be measured counts as absent for the verdict.
    std::optional<TargetState> routerState;
    if (routerIndex && method(snapshot.targets[*routerIndex].status) != Method::unmeasured)
        routerState = snapshot.targets[*routerIndex].state;

    const Verdict raw =
        installed_ ? decideVerdict(path_.isSatisfied, routerState, snapshot.internet) : Verdict::measuring;
    if (lookups_) snapshot.lookups = lookups_->snapshot(now);
    classifyFlights(now);
    snapshot.load = loadSnapshot();
    std::optional<LoadEvidence> evidence;
    if (snapshot.load) evidence = loadEvidence(snapshot, raw, routerIndex, now);
    // The provider's edge, where ping measures it.
    std::optional<TargetState> providerState;
    for (const auto& target : snapshot.targets) {
        if (target.target.role == TargetRole::provider() && method(target.status) != Method::unmeasured)
            providerState = target.state;
    }
    const Verdict verdict = withProvider(withLoad(raw, evidence, snapshot.lookups), providerState, snapshot.internet);
    // No reply at all is shown at once, and so is the good verdict that an
    // ended outage or spike leaves behind: the window no longer holds its trouble.
    const bool urgent = snapshot.internetSilentSince || (eventEnded_ && verdict == Verdict::good);
    eventEnded_ = false;
    snapshot.verdict = filter_.apply(verdict, now, urgent);

    const TargetSnapshot* ipv6 = nullptr;
    for (const auto& target : snapshot.targets) {
        if (target.target.role.kind == TargetRole::Kind::internetIPv6) {
            ipv6 = &target;
            break;
        }
    }
    snapshot.ipv6Problem = ipv6 && !ipv6->answeredLocally && snapshot.internet == TargetState::ok() &&
                           ipv6->state.isProblem();
    NERIVANE_CHECK_INVARIANTS();
    return snapshot;
}

void MonitorCore::markSilence(MonitorSnapshot& snapshot, MonitorTime now) const {
    // A host is silent when a probe sent after its newest reply has timed out
    // (the outage detector counts it) and no outage has started yet.
    std::optional<MonitorTime> newestReply;
    bool anySilent = false;
    for (std::size_t i = 0; i < records_.size(); ++i) {
        const TargetSnapshot& target = snapshot.targets[i];
        if (!MonitorSnapshot::isMeasuredInternet(target)) continue;
        const Record& record = records_[i];
        if (target.state.kind == TargetState::Kind::down) continue;
        if (target.status == TargetStatus::warmingUp || record.outage.lostInRow == 0) return;
        anySilent = true;
        const auto last = record.outage.lastReply ? record.outage.lastReply : record.outage.firstLost;
        if (last && (!newestReply || *last > *newestReply)) newestReply = *last;
    }
    if (!anySilent) return;
    snapshot.internetSilentSince = unixDate(std::min(newestReply.value_or(now), now));
    for (std::size_t i = 0; i < records_.size(); ++i) {
        TargetSnapshot& target = snapshot.targets[i];
        if (!MonitorSnapshot::isMeasuredInternet(target) || target.state.kind == TargetState::Kind::down) continue;
        Problems problems = target.state.kind == TargetState::Kind::bad ? target.state.problems : Problems{};
        problems.insert(Problems::loss());
        target.state = TargetState::bad(problems);
    }
}

void MonitorCore::judgeRouterByTraffic(MonitorSnapshot& snapshot, std::size_t routerIndex) {
    // Routers often answer their own pings last; what matters is the traffic
    // through them. Slow or jittery router pings with the internet hosts'
    // round trips (which pass the router) below the router's own are no
    // problem of the router's. Loss is not judged this way.
    TargetSnapshot& router = snapshot.targets[routerIndex];
    if (router.state.kind != TargetState::Kind::bad || router.state.problems.contains(Problems::loss())) return;
    const auto lower = [](std::optional<double> internet, std::optional<double> own) {
        return internet && own && *internet < *own;
    };
    bool latency = !router.state.problems.contains(Problems::latency());
    bool jitter = !router.state.problems.contains(Problems::jitter());
    for (const auto& target : snapshot.targets) {
        if (!MonitorSnapshot::isMeasuredInternet(target) || target.status == TargetStatus::warmingUp) continue;
        latency = latency || lower(target.metrics.currentP95(), router.metrics.currentP95());
        jitter = jitter || lower(target.metrics.jitter, router.metrics.jitter);
    }
    if (!latency || !jitter) return;
    router.state = TargetState::ok();
    router.slowToOwnPings = true;
}

std::vector<ProbeRecord> MonitorCore::takeProbes() {
    std::vector<ProbeRecord> taken;
    taken.reserve(probes_.size());
    for (auto& probe : probes_) taken.push_back(std::move(probe.record));
    probes_.clear();
    return taken;
}

std::string MonitorCore::countedInterface() const {
    return path_.physicalInterface.value_or(path_.primaryInterface.value_or(""));
}

void MonitorCore::counters(MonitorTime now, const std::optional<TrafficMeter::Reading>& reading) {
    if (auto sample = traffic_.read(now, date_(now), countedInterface(), reading, capacity_))
        trafficSamples_.push_back(*sample);
    NERIVANE_CHECK_INVARIANTS();
}

std::vector<TrafficSample> MonitorCore::takeTraffic() {
    return std::exchange(trafficSamples_, {});
}

void MonitorCore::setHops(std::vector<HopSweep::Hop> hops) {
    hops_ = std::move(hops);
    NERIVANE_CHECK_INVARIANTS();
}

void MonitorCore::setCapacity(const LinkCapacity& capacity) {
    capacity_ = capacity;
    NERIVANE_CHECK_INVARIANTS();
}

void MonitorCore::enableLookups() {
    lookups_.emplace();
    NERIVANE_CHECK_INVARIANTS();
}

void MonitorCore::recordLookups(MonitorTime now, const std::vector<LookupOutcome>& outcomes) {
    if (lookups_) lookups_->record(now, outcomes);
    NERIVANE_CHECK_INVARIANTS();
}

void MonitorCore::recordSystemLookup(std::optional<Seconds> duration) {
    if (lookups_) lookups_->recordSystem(duration);
    NERIVANE_CHECK_INVARIANTS();
}

ProbeRecord* MonitorCore::heldProbe(std::uint64_t flight) {
    const auto matches = [flight](const HeldProbe& probe) { return probe.flight == flight; };
    if (auto it = std::find_if(probes_.begin(), probes_.end(), matches); it != probes_.end()) return &it->record;
    for (auto& record : records_) {
        auto& held = record.warmUpProbes;
        if (auto it = std::find_if(held.begin(), held.end(), matches); it != held.end()) return &it->record;
    }
    return nullptr;
}

void MonitorCore::classifyFlights(MonitorTime now) {
    const std::optional<MonitorTime> covered = traffic_.coveredUntil();
    std::erase_if(flights_, [&](const Flight& flight) {
        if (covered && flight.landed <= *covered) {
            const LoadClass load = traffic_.classify(flight.reply.time, flight.landed);
            if (flight.counted) load_.add(*flight.counted, flight.reply, load);
            // Gone when handed out before the counters covered it, or dropped with a warm-up.
            if (ProbeRecord* record = heldProbe(flight.id)) record->load = load;
            return true;
        }
        return now - flight.landed > pendingSeconds;
    });
    load_.update(now);
}

bool MonitorCore::invariantsHold() const {
    if (!installed_ && !records_.empty()) return false;
    std::set<TargetRole> roles;
    for (const Record& record : records_) {
        if (!roles.insert(record.target.role).second) return false;
        if (!record.warmUpProbes.empty() && record.status != TargetStatus::warmingUp) return false;
        for (const HeldProbe& probe : record.warmUpProbes) {
            if (!(probe.record.target == record.target) || probe.flight >= nextFlight_) return false;
        }
    }
    for (const HeldProbe& probe : probes_) {
        if (probe.flight >= nextFlight_) return false;
    }
    for (std::size_t i = 0; i < flights_.size(); ++i) {
        if (flights_[i].id >= nextFlight_ || flights_[i].landed < flights_[i].reply.time) return false;
        if (i > 0 && flights_[i].id <= flights_[i - 1].id) return false;
    }
    return traffic_.invariantsHold() && load_.invariantsHold();
}

std::optional<LoadSnapshot> MonitorCore::loadSnapshot() const {
    if (!traffic_.lastReading()) return std::nullopt;
    LoadSnapshot snapshot;
    snapshot.interfaceName = traffic_.interfaceName();
    snapshot.sentBytes = traffic_.lastReading()->sentBytes;
    snapshot.receivedBytes = traffic_.lastReading()->receivedBytes;
    snapshot.capacity = traffic_.capacity(capacity_);
    snapshot.remembered = capacity_;
    if (const auto* latest = traffic_.latest();
        latest && traffic_.lastReadTime() && latest->end == *traffic_.lastReadTime()) {
        snapshot.uploadBitsPerSecond = latest->uploadBitsPerSecond;
        snapshot.downloadBitsPerSecond = latest->downloadBitsPerSecond;
        snapshot.now = latest->load;
    }
    for (const LoadDirection direction : {LoadDirection::upload, LoadDirection::download}) {
        DirectionLoad figures = load_.figures(direction);
        if (const auto& period = traffic_.busy(direction)) {
            figures.lastBusy = unixDate(period->end);
            figures.lastBusyBitsPerSecond = period->bitsPerSecond();
        }
        (direction == LoadDirection::upload ? snapshot.upload : snapshot.download) = figures;
    }
    return snapshot;
}

LoadEvidence MonitorCore::loadEvidence(const MonitorSnapshot& snapshot, Verdict raw,
                                       std::optional<std::size_t> routerIndex, MonitorTime now) const {
    LoadEvidence evidence;
    for (const LoadDirection direction : {LoadDirection::upload, LoadDirection::download}) {
        const auto& period = traffic_.busy(direction);
        if (!period || now - period->end > busyLingerSeconds) continue;
        evidence.busyNow = true;
        const auto& grade = load_.figures(direction).grade;
        if (grade && *grade >= LoadGrade::c) evidence.bloatedNow = true;
    }

    // Only a problem verdict asks how the idle replies alone would judge.
    if (raw != Verdict::internetProblem && raw != Verdict::localProblem && raw != Verdict::connectionProblem)
        return evidence;
    // Each target judged on the replies of its window that met no busy second.
    std::vector<TargetState> idleStates(records_.size());
    for (std::size_t i = 0; i < records_.size(); ++i) {
        const Record& record = records_[i];
        TargetStats idle;
        idle.lateTimes = record.stats.lateTimes;
        idle.baseline = record.stats.baseline;
        idle.endedOutages = record.stats.endedOutages;
        idle.endedSpikes = record.stats.endedSpikes;
        for (const auto& sample : record.stats.samples) {
            const MonitorTime sent = TargetStats::sentAt(sample);
            const MonitorTime until = sent + (sample.rtt ? Seconds{*sample.rtt / 1000} : lostFlightSeconds);
            const LoadClass load = traffic_.classify(sent, until);
            if (isBusy(load, LoadDirection::upload) || isBusy(load, LoadDirection::download))
                evidence.busyInWindow = true;
            else
                idle.samples.push_back(sample);
        }
        const Metrics metrics = idle.metrics();
        const bool measured = record.status != TargetStatus::warmingUp && !record.outage.inOutage();
        // A window that is busy throughout has no idle replies: the idle ones
        // of the load figures stand for it, and they were fine before the load.
        idleStates[i] = measured && metrics.sent == 0
                            ? TargetState::ok()
                            : TargetState::evaluate(record.status, record.outage.inOutage(), metrics,
                                                    Thresholds::forRole(record.target.role));
    }
    std::vector<TargetState> internet;
    for (std::size_t i = 0; i < snapshot.targets.size(); ++i) {
        if (MonitorSnapshot::isMeasuredInternet(snapshot.targets[i])) internet.push_back(idleStates[i]);
    }
    std::optional<TargetState> router;
    if (routerIndex && method(records_[*routerIndex].status) != Method::unmeasured) router = idleStates[*routerIndex];
    evidence.idleVerdict = decideVerdict(path_.isSatisfied, router, TargetState::combine(internet));
    return evidence;
}

}  // namespace nerivane
