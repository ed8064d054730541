// The scheduler of all probing. It watches the network path, plans the
// targets, keeps one tracker per target and, on a
// repeating timer, sends ICMP echoes and TCP connects. Everything it sees is
// reported as a stream of events on its probe queue. The monitor owns one.
//
// Queues: all engine state lives on `queue` (label identifier + ".probe").
// Planning runs there too, with the answers known so far: the router and
// numeric hosts are probed at once. Each name is looked up on a thread of its
// own, since a lookup may block for as long as the resolver likes (a custom
// "nas.local" without mDNS), and one hanging lookup must hold up neither the
// other targets, nor later plans, nor stop(). An answer comes back to the
// queue and adds its targets to the plan; trackers of the targets already
// probed are kept. A name that is not found is asked again after 5 s,
// doubling up to 5 minutes (DNS may come up after login, a VPN later), and at
// once when the path changes. Work for an older configuration, a lookup's
// answer or retry included, is recognised by its generation and dropped.
//
// The provider's edge: a TTL sweep (HopSweep) toward the first internet
// target runs on a thread of its own when a generation's first internet target
// is planned, every 30 minutes, and at once when every internet target has
// lost its last probes (at most once a minute). The edge it finds is probed as
// a target of role provider, listed after the router. A sweep that finds no
// edge within a generation keeps the one found before: a provider's network
// that is down answers no sweep, and that is when its edge matters most.
//
// Engine time: seconds of the monotonic clock (it stops while the machine
// sleeps); probe send and receive moments are ticks of the same clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "NerivaneKit/path/NetworkPath.h"
#include "NerivaneKit/path/PathSource.h"
#include "NerivaneKit/platform/ApplicationId.h"
#include "NerivaneKit/platform/ClockSource.h"
#include "NerivaneKit/platform/Clocks.h"
#include "NerivaneKit/platform/Log.h"
#include "NerivaneKit/probing/HopSweep.h"
#include "NerivaneKit/probing/HostLookup.h"
#include "NerivaneKit/probing/ICMPProber.h"
#include "NerivaneKit/probing/ProbeProtocol.h"
#include "NerivaneKit/probing/ProbeResult.h"
#include "NerivaneKit/probing/Target.h"
#include "NerivaneKit/probing/TargetPlan.h"
#include "NerivaneKit/probing/TargetSettings.h"
#include "NerivaneKit/probing/TargetStatus.h"
#include "NerivaneKit/probing/TargetTracker.h"

namespace nerivane {

class PathMonitor;
class RepeatingTimer;
class SerialQueue;
class TCPProber;

class ProbeEngine {
public:
    using ProbeProtocol = nerivane::ProbeProtocol;

    struct ProbeKey {
        ProbeProtocol probeProtocol = ProbeProtocol::icmp;
        std::uint16_t sequence = 0;
        bool operator==(const ProbeKey&) const = default;
        auto operator<=>(const ProbeKey&) const = default;
    };

    struct SentProbe {
        TargetRole role;
        bool isCheck = false;
        EngineTime sentAt{};
        bool operator==(const SentProbe&) const = default;
    };

    // A new target list and the path it was planned from. When it extends
    // the previous list (names answered since), the targets already listed
    // go on as they were and only the added ones start warming up.
    struct TargetsEvent {
        NetworkPath path;
        std::vector<Target> targets;
        bool extendsPrevious = false;
        // The newest sweep's hops toward the first internet target.
        std::vector<HopSweep::Hop> hops;
        bool operator==(const TargetsEvent&) const = default;
    };
    // A target's status is now this.
    struct StatusEvent {
        TargetRole role;
        TargetStatus status = TargetStatus::warmingUp;
        bool operator==(const StatusEvent&) const = default;
    };
    // A measurement of a target.
    struct ResultEvent {
        TargetRole role;
        ProbeProtocol probeProtocol = ProbeProtocol::icmp;
        ProbeResult result;
        bool operator==(const ResultEvent&) const = default;
    };
    // A round has finished and its early replies are in.
    struct TickEvent {
        bool operator==(const TickEvent&) const = default;
    };
    // The configured hosts left out of the target list because their names
    // have no address (yet); reported whenever that list changes.
    struct LookupsEvent {
        std::vector<HostLookup> lookups;
        bool operator==(const LookupsEvent&) const = default;
    };
    using Event = std::variant<TargetsEvent, StatusEvent, ResultEvent, TickEvent, LookupsEvent>;
    using EventHandler = std::function<void(const Event&)>;

    // What the engine takes from the system; tests replace parts of it.
    struct Environment {
        // Prefix of the queue labels and the log subsystem.
        std::string identifier = std::string(applicationId);
        ClockSource clock = ClockSource::system();
        TargetPlan::Resolver resolve = &ProbeAddress::resolve;
        // Makes the path monitor's source; empty means the system's.
        std::function<std::unique_ptr<PathSource>()> makePathSource;
        ICMPProber::Environment icmp;
        std::uint16_t tcpPort = 443;
        // Sweeps the hops toward an address (blocking). Empty means
        // HopSweep::run with the system's path, and no sweep at all with a
        // stand-in path source: its addresses lead nowhere real.
        std::function<std::vector<HopSweep::Hop>(const ProbeAddress&)> sweep;
    };

    static constexpr Seconds probeTimeout{2.0};
    static constexpr Seconds drainDelay{0.25};
    static constexpr Seconds sentRetention{60.0};
    // A name not found is asked again after the first delay, doubling up to the last.
    static constexpr Seconds firstLookupRetry{5.0};
    static constexpr Seconds longestLookupRetry{300.0};
    static constexpr Seconds sweepEvery{1800.0};
    // Sweeps for a silent internet come at most this often, after this many
    // lost probes in a row at every internet target.
    static constexpr Seconds silentSweep{60.0};
    static constexpr int silentSweepLosses = 3;
    // The probing interval is kept within these: a tiny one would fire without
    // pause, a huge one would overflow the timer's nanoseconds.
    static constexpr Seconds shortestInterval{0.1};
    static constexpr Seconds longestInterval{3600.0};
    // The interval clamped to the two bounds; not a number counts as the shortest.
    static Seconds usableInterval(Seconds interval);

    // Creates the queues, probers and path monitor; starts nothing.
    ProbeEngine(TargetSettings settings, Seconds interval, EventHandler onEvent);
    ProbeEngine(TargetSettings settings, Seconds interval, EventHandler onEvent, Environment environment);
    // Stops everything and waits for the probe queue; call it from neither queue.
    ~ProbeEngine();
    ProbeEngine(const ProbeEngine&) = delete;
    ProbeEngine& operator=(const ProbeEngine&) = delete;

    // Starts the path monitor; its first report starts everything else.
    void start();
    // Stops probing and waits until the probe queue has done so. Replies
    // already waiting are still reported; nothing of the old generation after.
    void stop();
    void setSettings(TargetSettings settings);
    void setInterval(Seconds interval);

    // The probe queue: events are delivered here.
    SerialQueue& queue() { return *queue_; }

    // For tests and diagnostics; call on the probe queue.
    std::optional<Seconds> timerInterval() const { return timerInterval_; }
    int generation() const { return generation_; }
    // Name lookups started and not yet answered, of any generation.
    int lookupsInFlight() const { return lookupsInFlight_; }
    EngineTime now() const;

private:
    // Where lookup threads hand their answers in. The engine closes it
    // before it goes, so a lookup that outlives the engine answers nobody.
    struct LookupInbox {
        std::mutex mutex;
        ProbeEngine* engine = nullptr;
    };

    void handlePathChange(const NetworkPath& path);
    void reconfigure();
    void plan(int generation);
    void startLookup(const std::string& host, int generation);
    void handleLookup(int generation, const std::string& host, std::vector<ProbeAddress> addresses);
    void reportLookups(const std::vector<Target>& targets);
    void startSweep(const char* why);
    void handleSweep(int generation, std::vector<HopSweep::Hop> hops);
    void sweepIfDue(EngineTime now);
    void applyTargets(const NetworkPath& path, const std::vector<Target>& targets, bool extends);
    void tick();
    void sendPlanned(const TargetRole& role, const Target& target, const TargetTracker::Plan& plan, EngineTime now);
    void drainAndTick(int generation);
    void handleProbeResult(ProbeProtocol protocol, const ProbeResult& result);
    void account(const TargetRole& role, ProbeProtocol protocol, bool isCheck, const ProbeResult& result);
    void reportStatus(const TargetRole& role, TargetStatus status, EngineTime now);
    void resetProbers();
    void stopOnQueue();
    Seconds effectiveInterval() const;
    void setTimer(std::optional<Seconds> period);
    // How far the continuous clock is ahead of the monotonic one.
    std::chrono::nanoseconds sleptTicks() const;
    void publish(Event event);
    std::optional<EngineTime> lastCheckFor(const TargetRole& role) const;

    Environment environment_;
    EventHandler onEvent_;
    Log log_;
    // Declared first, destroyed last: everything below may have work queued on it.
    std::unique_ptr<SerialQueue> queue_;
    std::shared_ptr<LookupInbox> inbox_ = std::make_shared<LookupInbox>();

    // Everything below lives on queue_.
    TargetSettings settings_;
    Seconds interval_;
    std::unique_ptr<ICMPProber> icmp_;
    std::unique_ptr<TCPProber> tcp_;
    std::unique_ptr<PathMonitor> pathMonitor_;
    NetworkPath path_;
    // The targets applied in this generation, in plan order, and their roles.
    std::vector<Target> targets_;
    std::vector<TargetRole> order_;
    // This generation's lookup answers by host, and the hosts still asked.
    std::map<std::string, std::vector<ProbeAddress>> answers_;
    std::set<std::string> asked_;
    // This generation's failed lookups by host: how many in a row.
    std::map<std::string, int> lookupFailures_;
    // The names left out as last reported.
    std::vector<HostLookup> lookups_;
    // This generation's first plan has been applied and announced.
    bool announced_ = false;
    int lookupsInFlight_ = 0;
    std::map<TargetRole, TargetTracker> trackers_;
    std::map<TargetRole, EngineTime> lastCheck_;
    bool routerAnswered_ = false;
    // The provider's edge of this generation and the newest sweep's hops.
    std::optional<Target> provider_;
    std::vector<HopSweep::Hop> hops_;
    // The generation whose sweep has started; one sweep runs at a time.
    int sweptGeneration_ = 0;
    bool sweeping_ = false;
    std::optional<EngineTime> lastSweep_;
    // Lost probes in a row per internet target.
    std::map<TargetRole, int> internetLosses_;
    // Every probe sent in the last 60 s; one ICMP probe may report lost and
    // later late, so entries stay until they age out.
    std::map<ProbeKey, SentProbe> sent_;
    int generation_ = 0;
    std::unique_ptr<RepeatingTimer> timer_;
    std::optional<Seconds> timerInterval_;
    // How far the continuous clock was ahead of the monotonic one at the last
    // start or detected wake.
    std::chrono::nanoseconds sleepTotal_{};
};

}  // namespace nerivane
