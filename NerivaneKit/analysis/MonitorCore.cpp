#include "NerivaneKit/analysis/MonitorCore.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "NerivaneKit/analysis/Thresholds.h"

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
    for (auto& record : records) {
        if (record.target.role == role) return &record;
    }
    return nullptr;
}

NetworkEvent MonitorCore::event(const Record& record, NetworkEvent::Kind kind, double start, double end,
                                std::optional<double> worst) const {
    return NetworkEvent{kind, record.target.role, record.target.host, record.target.address,
                        date(start), date(end), worst};
}

std::vector<NetworkEvent> MonitorCore::reset(Record& record, double now) {
    std::vector<NetworkEvent> events;
    if (auto outage = record.outage.close(now))
        events.push_back(event(record, NetworkEvent::Kind::outage, outage->start, outage->end, std::nullopt));
    record.stats = TargetStats{};
    record.outage = OutageDetector{};
    record.spike = SpikeDetector{};
    return events;
}

std::vector<NetworkEvent> MonitorCore::closeOutages(double now) {
    std::vector<NetworkEvent> events;
    for (auto& record : records) {
        if (auto outage = record.outage.close(now)) {
            record.stats.outageEnded(outage->start, outage->end);
            events.push_back(event(record, NetworkEvent::Kind::outage, outage->start, outage->end, std::nullopt));
        }
    }
    return events;
}

std::vector<NetworkEvent> MonitorCore::install(const NetworkPath& newPath, const std::vector<Target>& targets,
                                               double now, bool extendsPrevious) {
    const bool extends = extendsPrevious && installed && newPath == path &&
                         std::all_of(records.begin(), records.end(), [&](const Record& r) {
                             return std::find(targets.begin(), targets.end(), r.target) != targets.end();
                         });
    std::vector<NetworkEvent> events;
    if (!extends) {
        events = closeOutages(now);
        records.clear();
        filter = VerdictFilter{};
    }
    std::vector<Record> old = std::move(records);
    // Another network's DNS servers tell nothing about this one's.
    if (lookups && newPath != path) lookups = LookupTally{};
    const std::string counted = countedInterface();
    path = newPath;
    // Another interface's load says nothing about this one's.
    if (countedInterface() != counted) {
        traffic = TrafficMeter{};
        load = LoadTracker{};
    }
    records.clear();
    records.reserve(targets.size());
    for (const auto& target : targets) {
        auto kept = std::find_if(old.begin(), old.end(), [&](const Record& r) { return r.target == target; });
        if (kept != old.end()) {
            records.push_back(std::move(*kept));
            continue;
        }
        Record record;
        record.target = target;
        records.push_back(std::move(record));
    }
    installed = true;
    return events;
}

std::vector<NetworkEvent> MonitorCore::statusChanged(const TargetRole& role, TargetStatus status, double now) {
    Record* found = record(role);
    if (!found) return {};
    const TargetStatus old = found->status;
    found->status = status;

    if (old == TargetStatus::warmingUp) {
        if (status == TargetStatus::icmp) {
            probes.insert(probes.end(), std::make_move_iterator(found->warmUpProbes.begin()),
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
                                              double time) {
    Record* found = record(role);
    if (!found) return {};
    Record& target = *found;

    ProbeRecord probe{target.target, target.status == TargetStatus::tcp ? ProbeProtocol::tcp : ProbeProtocol::icmp,
                      outcome, date(time)};
    if (target.status == TargetStatus::warmingUp)
        target.warmUpProbes.push_back(std::move(probe));
    else
        probes.push_back(std::move(probe));

    const auto kind = target.target.role.kind;
    if (kind == TargetRole::Kind::router || kind == TargetRole::Kind::internet) {
        const auto role = kind == TargetRole::Kind::router ? LoadTracker::Role::router : LoadTracker::Role::internet;
        if (const auto* reply = std::get_if<ProbeResult::Reply>(&outcome))
            load.add(role, {time, reply->milliseconds}, time + reply->milliseconds / 1000);
        else if (std::holds_alternative<ProbeResult::Lost>(outcome))
            load.add(role, {time, std::nullopt}, time + lostFlightSeconds);
    }

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
        if (!events.empty() && (kind == TargetRole::Kind::router || kind == TargetRole::Kind::internet)) eventEnded = true;
    } else if (std::holds_alternative<ProbeResult::Lost>(outcome)) {
        target.stats.record(std::nullopt, time);
        target.outage.lost(time);
    } else {
        target.stats.recordLate(time);
    }
    return events;
}

MonitorSnapshot MonitorCore::tick(double now) {
    for (auto& record : records) record.outage.tick(now, record.status);
    return snapshot(now);
}

MonitorSnapshot MonitorCore::snapshot(double now) {
    MonitorSnapshot snapshot;
    snapshot.path = path;
    snapshot.hops = hops;

    // The router reference: the first router target, its fastest reply ever,
    // trusted only once it has a few replies in its window.
    std::optional<std::size_t> routerIndex;
    for (std::size_t i = 0; i < records.size() && !routerIndex; ++i) {
        if (records[i].target.role.kind == TargetRole::Kind::router) routerIndex = i;
    }
    std::optional<double> routerBaseline;
    if (routerIndex && records[*routerIndex].stats.replyCount() >= minimumReplies)
        routerBaseline = records[*routerIndex].stats.baseline;

    snapshot.targets.reserve(records.size());
    for (const auto& record : records) {
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
        if (record.outage.since) target.outageSince = date(*record.outage.since);
        if (target.metrics.lostInOutages > 0 && !record.stats.endedOutages.empty())
            target.pastOutageStart = date(record.stats.endedOutages.back().start);
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

    const Verdict raw = installed ? decideVerdict(path.isSatisfied, routerState, snapshot.internet) : Verdict::measuring;
    if (lookups) snapshot.lookups = lookups->snapshot(MonitorTime{Seconds{now}});
    load.update(now, traffic);
    classifyProbes(now);
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
    const bool urgent = snapshot.internetSilentSince || (eventEnded && verdict == Verdict::good);
    eventEnded = false;
    snapshot.verdict = filter.apply(verdict, now, urgent);

    const TargetSnapshot* ipv6 = nullptr;
    for (const auto& target : snapshot.targets) {
        if (target.target.role.kind == TargetRole::Kind::internetIPv6) {
            ipv6 = &target;
            break;
        }
    }
    snapshot.ipv6Problem = ipv6 && !ipv6->answeredLocally && snapshot.internet == TargetState::ok() &&
                           ipv6->state.isProblem();
    return snapshot;
}

void MonitorCore::markSilence(MonitorSnapshot& snapshot, double now) const {
    // A host is silent when a probe sent after its newest reply has timed out
    // (the outage detector counts it) and no outage has started yet.
    std::optional<double> newestReply;
    bool anySilent = false;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const TargetSnapshot& target = snapshot.targets[i];
        if (!MonitorSnapshot::isMeasuredInternet(target)) continue;
        const Record& record = records[i];
        if (target.state.kind == TargetState::Kind::down) continue;
        if (target.status == TargetStatus::warmingUp || record.outage.lostInRow == 0) return;
        anySilent = true;
        const auto last = record.outage.lastReply ? record.outage.lastReply : record.outage.firstLost;
        if (last && (!newestReply || *last > *newestReply)) newestReply = *last;
    }
    if (!anySilent) return;
    snapshot.internetSilentSince = date(std::min(newestReply.value_or(now), now));
    for (std::size_t i = 0; i < records.size(); ++i) {
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
    return std::exchange(probes, {});
}

std::string MonitorCore::countedInterface() const {
    return path.physicalInterface.value_or(path.primaryInterface.value_or(""));
}

void MonitorCore::counters(double now, const std::optional<TrafficMeter::Reading>& reading) {
    if (auto sample = traffic.read(now, date(now), countedInterface(), reading, capacity))
        trafficSamples.push_back(*sample);
}

std::vector<TrafficSample> MonitorCore::takeTraffic() {
    return std::exchange(trafficSamples, {});
}

void MonitorCore::classifyProbes(double now) {
    // Records carry dates; the meter counts in monitor seconds.
    const double offset = date(now) - now;
    auto classify = [&](ProbeRecord& probe) {
        if (probe.load != LoadClass::unknown) return;
        const double from = probe.sentAt - offset;
        const auto* reply = std::get_if<ProbeResult::Reply>(&probe.outcome);
        probe.load = traffic.classify(from, from + (reply ? reply->milliseconds / 1000 : lostFlightSeconds));
    };
    for (auto& probe : probes) classify(probe);
    for (auto& record : records) {
        for (auto& probe : record.warmUpProbes) classify(probe);
    }
}

std::optional<LoadSnapshot> MonitorCore::loadSnapshot() const {
    if (!traffic.lastReading) return std::nullopt;
    LoadSnapshot snapshot;
    snapshot.interfaceName = traffic.interfaceName;
    snapshot.sentBytes = traffic.lastReading->sentBytes;
    snapshot.receivedBytes = traffic.lastReading->receivedBytes;
    snapshot.capacity = traffic.capacity(capacity);
    snapshot.remembered = capacity;
    if (const auto* latest = traffic.latest(); latest && traffic.lastReadTime && latest->end == *traffic.lastReadTime) {
        snapshot.uploadBitsPerSecond = latest->uploadBitsPerSecond;
        snapshot.downloadBitsPerSecond = latest->downloadBitsPerSecond;
        snapshot.now = latest->load;
    }
    for (const LoadDirection direction : {LoadDirection::upload, LoadDirection::download}) {
        const auto at = static_cast<std::size_t>(direction);
        DirectionLoad figures = load.figures[at];
        if (const auto& period = traffic.busy[at]) {
            figures.lastBusy = date(period->end);
            figures.lastBusyBitsPerSecond = period->bitsPerSecond();
        }
        (direction == LoadDirection::upload ? snapshot.upload : snapshot.download) = figures;
    }
    return snapshot;
}

LoadEvidence MonitorCore::loadEvidence(const MonitorSnapshot& snapshot, Verdict raw,
                                       std::optional<std::size_t> routerIndex, double now) const {
    LoadEvidence evidence;
    for (const LoadDirection direction : {LoadDirection::upload, LoadDirection::download}) {
        const auto at = static_cast<std::size_t>(direction);
        const auto& period = traffic.busy[at];
        if (!period || now - period->end > busyLingerSeconds) continue;
        evidence.busyNow = true;
        const auto& grade = load.figures[at].grade;
        if (grade && *grade >= LoadGrade::c) evidence.bloatedNow = true;
    }

    // Only a problem verdict asks how the idle replies alone would judge.
    if (raw != Verdict::internetProblem && raw != Verdict::localProblem && raw != Verdict::connectionProblem)
        return evidence;
    // Each target judged on the replies of its window that met no busy second.
    std::vector<TargetState> idleStates(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        const Record& record = records[i];
        TargetStats idle;
        idle.lateTimes = record.stats.lateTimes;
        idle.baseline = record.stats.baseline;
        idle.endedOutages = record.stats.endedOutages;
        idle.endedSpikes = record.stats.endedSpikes;
        for (const auto& sample : record.stats.samples) {
            const double until = sample.time + (sample.rtt ? *sample.rtt / 1000 : lostFlightSeconds);
            const LoadClass load = traffic.classify(sample.time, until);
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
    if (routerIndex && method(records[*routerIndex].status) != Method::unmeasured) router = idleStates[*routerIndex];
    evidence.idleVerdict = decideVerdict(path.isSatisfied, router, TargetState::combine(internet));
    return evidence;
}

}  // namespace nerivane
