#include "NerivaneKit/probing/ProbeEngine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <system_error>
#include <thread>

#include "NerivaneKit/path/PathMonitor.h"
#include "NerivaneKit/platform/MachClock.h"
#include "NerivaneKit/platform/RepeatingTimer.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "NerivaneKit/probing/ProbeError.h"
#include "NerivaneKit/probing/TCPProber.h"

namespace nerivane {
namespace {

// Truncated to whole nanoseconds, as the queue and the timer take them.
std::chrono::nanoseconds nanoseconds(Seconds seconds) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(seconds);
}

std::string describeTargets(const std::vector<Target>& targets) {
    std::string text;
    for (const auto& target : targets) {
        if (!text.empty()) text += ' ';
        text += target.role.text() + "=" + target.address.text();
    }
    return text;
}

}  // namespace

ProbeEngine::ProbeEngine(TargetSettings settings, Seconds interval, EventHandler onEvent)
    : ProbeEngine(std::move(settings), interval, std::move(onEvent), Environment{}) {}

ProbeEngine::ProbeEngine(TargetSettings settings, Seconds interval, EventHandler onEvent, Environment environment)
    : environment_(std::move(environment)),
      onEvent_(std::move(onEvent)),
      log_("targets", environment_.identifier),
      queue_(std::make_unique<SerialQueue>(environment_.identifier + ".probe")),
      settings_(std::move(settings)),
      interval_(usableInterval(interval)) {
    if (!environment_.sweep && !environment_.makePathSource) {
        environment_.sweep = [](const ProbeAddress& destination) {
            HopSweep::Options options;
            options.reverseNames = true;
            return HopSweep::run(destination, options);
        };
    }
    icmp_ = std::make_unique<ICMPProber>(
        *queue_, false, probeTimeout,
        [this](const ProbeResult& result) { handleProbeResult(ProbeProtocol::icmp, result); }, environment_.icmp);
    tcp_ = std::make_unique<TCPProber>(*queue_, probeTimeout,
                                       [this](const ProbeResult& result) { handleProbeResult(ProbeProtocol::tcp, result); });
    auto source = environment_.makePathSource ? environment_.makePathSource() : nullptr;
    pathMonitor_ = std::make_unique<PathMonitor>(
        *queue_, [this](const NetworkPath& path) { handlePathChange(path); }, std::move(source));
    inbox_->engine = this;
}

ProbeEngine::~ProbeEngine() {
    // Lookups still running are left to finish on their own; nobody waits.
    {
        std::lock_guard lock(inbox_->mutex);
        inbox_->engine = nullptr;
    }
    queue_->sync([this] {
        stopOnQueue();
        // The probers' and monitor's sources belong to the probe queue.
        pathMonitor_.reset();
        tcp_.reset();
        icmp_.reset();
    });
    // An answer handed in before the inbox closed finds the raised generation.
    queue_.reset();
}

EngineTime ProbeEngine::now() const {
    return std::chrono::time_point_cast<Seconds>(environment_.clock.monotonic());
}

std::chrono::nanoseconds ProbeEngine::sleptTicks() const {
    const auto continuous = environment_.clock.continuous().time_since_epoch();
    const auto monotonic = environment_.clock.monotonic().time_since_epoch();
    return continuous > monotonic ? continuous - monotonic : std::chrono::nanoseconds{};
}

void ProbeEngine::start() {
    queue_->async([this] {
        sleepTotal_ = sleptTicks();
        pathMonitor_->start();
    });
}

void ProbeEngine::stop() {
    queue_->sync([this] { stopOnQueue(); });
}

void ProbeEngine::stopOnQueue() {
    pathMonitor_->stop();
    setTimer(std::nullopt);
    generation_ += 1;
    resetProbers();
    icmp_->close();
}

void ProbeEngine::setSettings(TargetSettings settings) {
    queue_->async([this, settings = std::move(settings)] {
        if (settings == settings_) return;
        settings_ = settings;
        reconfigure();
    });
}

Seconds ProbeEngine::usableInterval(Seconds interval) {
    if (std::isnan(interval.count())) return shortestInterval;
    return std::clamp(interval, shortestInterval, longestInterval);
}

void ProbeEngine::setInterval(Seconds interval) {
    queue_->async([this, interval = usableInterval(interval)] {
        interval_ = interval;
        if (!order_.empty()) setTimer(effectiveInterval());
    });
}

void ProbeEngine::handlePathChange(const NetworkPath& path) {
    path_ = path;
    reconfigure();
}

void ProbeEngine::reconfigure() {
    const int generation = ++generation_;
    setTimer(std::nullopt);
    resetProbers();
    trackers_.clear();
    targets_.clear();
    order_.clear();
    lastCheck_.clear();
    routerAnswered_ = false;
    provider_.reset();
    hops_.clear();
    internetLosses_.clear();
    answers_.clear();
    asked_.clear();
    lookupFailures_.clear();
    announced_ = false;
    queue_->async([this, generation] { plan(generation); });
}

void ProbeEngine::plan(int generation) {
    if (generation != generation_) return;
    // Names without an answer yet count as unresolved for now and are asked.
    std::vector<std::string> unanswered;
    const auto known = [&](const std::string& host) {
        if (auto found = answers_.find(host); found != answers_.end()) return found->second;
        unanswered.push_back(host);
        return std::vector<ProbeAddress>{};
    };
    auto targets = TargetPlan::targets(path_, settings_, known);
    if (provider_ && path_.isSatisfied) {
        // Between the router and the internet hosts, as the path goes.
        const auto afterRouter = std::find_if(targets.begin(), targets.end(),
                                              [](const Target& t) { return t.role != TargetRole::router(); });
        targets.insert(afterRouter, *provider_);
    }
    for (const auto& host : unanswered) {
        if (asked_.insert(host).second) startLookup(host, generation);
    }
    // The first plan of a generation is always announced, even when empty.
    if (!announced_ || targets != targets_) {
        applyTargets(path_, targets, announced_);
        announced_ = true;
    }
    reportLookups(targets);
}

void ProbeEngine::reportLookups(const std::vector<Target>& targets) {
    std::vector<HostLookup> lookups;
    const auto leftOut = [&](const std::vector<std::string>& hosts, TargetRole (*roleAt)(int)) {
        // Only the first two hosts of a list are ever planned.
        for (std::size_t index = 0; index < std::min<std::size_t>(hosts.size(), 2); ++index) {
            const auto& host = hosts[index];
            const TargetRole role = roleAt(static_cast<int>(index));
            if (host.empty() || ProbeAddress::parse(host)) continue;  // nothing to look up
            if (std::any_of(targets.begin(), targets.end(), [&](const Target& t) { return t.role == role; })) continue;
            lookups.push_back({role, host, answers_.contains(host) ? HostLookup::State::notFound
                                                                   : HostLookup::State::lookingUp});
        }
    };
    // Without a usable path nothing is planned and nothing looked up.
    if (path_.isSatisfied) {
        leftOut(settings_.internetHosts, &TargetRole::internet);
        leftOut(settings_.customHosts, &TargetRole::custom);
    }
    if (lookups == lookups_) return;
    lookups_ = lookups;
    publish(LookupsEvent{std::move(lookups)});
}

void ProbeEngine::startSweep(const char* why) {
    if (sweeping_ || !environment_.sweep) return;
    const auto destination = std::find_if(targets_.begin(), targets_.end(),
                                          [](const Target& t) { return t.role.kind == TargetRole::Kind::internet; });
    if (destination == targets_.end()) return;
    sweeping_ = true;
    sweptGeneration_ = generation_;
    lastSweep_ = now();
    log_.info(std::string("sweeping the hops to ") + destination->address.text() + " (" + why + ")");
    // Detached like a lookup, for the same reasons; the inbox outlives us.
    try {
        std::thread([inbox = inbox_, sweep = environment_.sweep, address = destination->address,
                     generation = generation_] {
            auto hops = sweep(address);
            std::lock_guard lock(inbox->mutex);
            if (inbox->engine == nullptr) return;
            inbox->engine->queue_->async([engine = inbox->engine, generation, hops = std::move(hops)]() mutable {
                engine->handleSweep(generation, std::move(hops));
            });
        }).detach();
    } catch (const std::system_error& error) {
        sweeping_ = false;
        log_.error(std::string("sweep not started: ") + error.what());
    }
}

void ProbeEngine::handleSweep(int generation, std::vector<HopSweep::Hop> hops) {
    sweeping_ = false;
    if (generation != generation_) {
        // The path changed meanwhile: its own sweep is due now.
        if (!targets_.empty()) startSweep("path");
        return;
    }
    const auto& router = path_.hasIPv4 ? path_.routerIPv4 : path_.routerIPv6;
    const auto edge = HopSweep::providerEdge(hops, router);
    std::string described;
    for (const auto& hop : hops)
        described += " " + std::to_string(hop.ttl) + "=" + (hop.address ? hop.address->text() : "*");
    log_.info("hops" + described + "; provider edge " + (edge ? edge->address->text() : "none"));
    hops_ = std::move(hops);
    if (edge) provider_ = Target{TargetRole::provider(), edge->address->text(), *edge->address};
    // A new target list goes out with plan(); the same list goes out again so
    // that the hops reach the readouts.
    const auto before = targets_;
    plan(generation);
    if (targets_ == before && announced_) publish(TargetsEvent{path_, targets_, true, hops_});
}

void ProbeEngine::sweepIfDue(EngineTime now) {
    if (sweeping_ || !lastSweep_) return;
    if (now - *lastSweep_ >= sweepEvery) {
        startSweep("every 30 minutes");
        return;
    }
    if (now - *lastSweep_ < silentSweep) return;
    int internet = 0;
    for (const auto& target : targets_) {
        if (target.role.kind != TargetRole::Kind::internet) continue;
        ++internet;
        const auto found = internetLosses_.find(target.role);
        if (found == internetLosses_.end() || found->second < silentSweepLosses) return;
    }
    if (internet > 0) startSweep("the internet is silent");
}

void ProbeEngine::startLookup(const std::string& host, int generation) {
    // Detached: a lookup cannot be interrupted, and nothing may wait for it.
    try {
        std::thread([inbox = inbox_, resolve = environment_.resolve, host, generation] {
            auto addresses = resolve(host);
            std::lock_guard lock(inbox->mutex);
            if (inbox->engine == nullptr) return;
            inbox->engine->queue_->async(
                [engine = inbox->engine, generation, host, addresses = std::move(addresses)]() mutable {
                    engine->handleLookup(generation, host, std::move(addresses));
                });
        }).detach();
        ++lookupsInFlight_;
    } catch (const std::system_error& error) {
        // Out of threads: the host stays unresolved until the next plan.
        log_.error("lookup of " + host + " not started: " + error.what());
    }
}

void ProbeEngine::handleLookup(int generation, const std::string& host, std::vector<ProbeAddress> addresses) {
    --lookupsInFlight_;
    if (generation != generation_) return;  // planned for a path or settings that are gone
    if (addresses.empty()) {
        // Kept as an empty answer meanwhile, so the plan says "not found"
        // and does not ask at once again.
        const int failures = ++lookupFailures_[host];
        const Seconds delay = std::min(firstLookupRetry * std::ldexp(1.0, std::min(failures - 1, 16)),
                                       longestLookupRetry);
        log_.info("no address for " + host + "; asking again in " + std::to_string(std::lround(delay.count())) + " s");
        queue_->asyncAfter(nanoseconds(delay), [this, generation, host] {
            if (generation == generation_) startLookup(host, generation);
        });
    } else {
        lookupFailures_.erase(host);
    }
    answers_[host] = std::move(addresses);
    plan(generation);
}

void ProbeEngine::applyTargets(const NetworkPath& path, const std::vector<Target>& targets, bool extends) {
    // Within a generation answers only add targets; the ones already probed
    // keep their trackers and go on without a new warm-up.
    const EngineTime now = this->now();
    std::map<TargetRole, TargetTracker> trackers;
    std::vector<TargetRole> added;
    for (const auto& target : targets) {
        auto kept = trackers_.find(target.role);
        if (kept != trackers_.end() && kept->second.target == target) {
            trackers.insert_or_assign(target.role, std::move(kept->second));
        } else {
            trackers.insert_or_assign(target.role, TargetTracker(target, path.isVPN, now));
            lastCheck_.erase(target.role);
            added.push_back(target.role);
        }
    }
    const bool wasProbing = !order_.empty();
    trackers_ = std::move(trackers);
    targets_ = targets;
    order_.clear();
    for (const auto& target : targets) order_.push_back(target.role);

    // The path is the one internet traffic takes: the route to these.
    std::vector<ProbeAddress> internet;
    for (const auto& target : targets) {
        if (target.role.kind == TargetRole::Kind::internet || target.role.kind == TargetRole::Kind::internetIPv6)
            internet.push_back(target.address);
    }
    pathMonitor_->setInternetAddresses(internet);

    log_.info("path " + path.primaryInterface.value_or("none") + (path.isVPN ? " (VPN)" : "") + " targets " +
              describeTargets(targets));
    publish(TargetsEvent{path, targets, extends, hops_});
    for (const auto& role : added) publish(StatusEvent{role, TargetStatus::warmingUp});
    if (sweptGeneration_ != generation_) startSweep("path");

    if (targets.empty()) return;
    if (wasProbing) {
        setTimer(effectiveInterval());  // the new trackers are probed on the next tick
    } else {
        setTimer(Seconds{1.0});
        tick();
    }
}

void ProbeEngine::tick() {
    const auto slept = sleptTicks();
    if (slept > sleepTotal_ && slept - sleepTotal_ > MachClock::ticks(Seconds{1.0})) {
        sleepTotal_ = slept;
        log_.info("woke from sleep");
        reconfigure();
        return;
    }

    icmp_->poll();
    tcp_->expire();

    const EngineTime now = this->now();
    for (const auto& role : order_) {
        auto found = trackers_.find(role);
        if (found == trackers_.end()) continue;
        auto& tracker = found->second;
        if (auto settled = tracker.settle(now)) reportStatus(role, *settled, now);
        const auto plan = tracker.plan(now, interval_, routerAnswered_, lastCheckFor(role));
        sendPlanned(role, tracker.target, plan, now);
    }

    sweepIfDue(now);
    std::erase_if(sent_, [now](const auto& entry) { return now - entry.second.sentAt >= sentRetention; });
    setTimer(effectiveInterval());

    const int generation = generation_;
    queue_->asyncAfter(nanoseconds(drainDelay), [this, generation] { drainAndTick(generation); });
}

void ProbeEngine::sendPlanned(const TargetRole& role, const Target& target, const TargetTracker::Plan& plan,
                              EngineTime now) {
    // A probe that cannot be sent counts as lost at once.
    const auto lostNow = [&] { return ProbeResult{target.address, 0, environment_.clock.monotonic(), ProbeResult::Lost{}}; };
    if (plan.sendICMP) {
        try {
            const auto sequence = icmp_->send(target.address);
            sent_[ProbeKey{ProbeProtocol::icmp, sequence}] = SentProbe{role, plan.icmpIsCheck, now};
        } catch (const ProbeError& error) {
            // A user who may not ping loses nothing: the target is not probed.
            if (!error.isPermissionDenied()) {
                account(role, ProbeProtocol::icmp, plan.icmpIsCheck, lostNow());
            } else if (auto found = trackers_.find(role); found != trackers_.end()) {
                if (auto status = found->second.refuseICMP()) reportStatus(role, *status, now);
            }
        }
        if (plan.icmpIsCheck) lastCheck_[role] = now;
    }
    if (plan.sendTCP) {
        try {
            const auto sequence = tcp_->send(target.address, environment_.tcpPort);
            sent_[ProbeKey{ProbeProtocol::tcp, sequence}] = SentProbe{role, plan.tcpIsCheck, now};
        } catch (const ProbeError&) {
            account(role, ProbeProtocol::tcp, plan.tcpIsCheck, lostNow());
        }
    }
}

void ProbeEngine::drainAndTick(int generation) {
    if (generation != generation_) return;
    icmp_->drain();
    publish(TickEvent{});
}

void ProbeEngine::handleProbeResult(ProbeProtocol protocol, const ProbeResult& result) {
    const auto found = sent_.find(ProbeKey{protocol, result.sequence});
    if (found == sent_.end()) return;  // an earlier generation's, or older than a minute
    const SentProbe probe = found->second;
    account(probe.role, protocol, probe.isCheck, result);
}

void ProbeEngine::account(const TargetRole& role, ProbeProtocol protocol, bool isCheck, const ProbeResult& result) {
    auto found = trackers_.find(role);
    if (found == trackers_.end()) return;
    const auto accounting = found->second.account(result, protocol, isCheck, interval_);
    if (accounting.routerAnswered) routerAnswered_ = true;
    if (accounting.isMeasurement && role.kind == TargetRole::Kind::internet)
        internetLosses_[role] = result.isLost() ? internetLosses_[role] + 1 : 0;
    if (accounting.isMeasurement) publish(ResultEvent{role, protocol, result});
    if (accounting.newStatus) reportStatus(role, *accounting.newStatus, now());
}

void ProbeEngine::reportStatus(const TargetRole& role, TargetStatus status, EngineTime now) {
    // A status without ICMP measurements gets its first ICMP check a minute from now.
    if (status != TargetStatus::warmingUp && status != TargetStatus::icmp) {
        lastCheck_[role] = now;
    }
    log_.info(role.text() + " " + std::string(text(status)));
    publish(StatusEvent{role, status});
}

void ProbeEngine::resetProbers() {
    icmp_->reset();
    tcp_->cancelAll();
    sent_.clear();
}

Seconds ProbeEngine::effectiveInterval() const {
    for (const auto& [role, tracker] : trackers_) {
        if (tracker.needsFastTicks()) return std::min(interval_, Seconds{1.0});
    }
    return interval_;
}

void ProbeEngine::setTimer(std::optional<Seconds> period) {
    if (period == timerInterval_) return;  // a running timer keeps its phase
    timer_.reset();
    timerInterval_ = period;
    if (!period) return;
    timer_ = std::make_unique<RepeatingTimer>(*queue_, [this] { tick(); });
    timer_->start(nanoseconds(*period));
}

std::optional<EngineTime> ProbeEngine::lastCheckFor(const TargetRole& role) const {
    const auto found = lastCheck_.find(role);
    if (found == lastCheck_.end()) return std::nullopt;
    return found->second;
}

void ProbeEngine::publish(Event event) {
    if (onEvent_) onEvent_(event);
}

}  // namespace nerivane
