// Drives the popup as a person would see it, without a network: an
// application model fed by a fake monitor with made-up snapshots, probe
// records and events, an in-memory history, buses that are never connected,
// a fixed clock, English texts in UTC, the Fusion style and a light or dark
// palette. Scenes put the model in the states a user meets. Main thread.
#pragma once

#include <QDBusConnection>
#include <QTemporaryDir>
#include <cmath>
#include <memory>
#include <thread>

#include "support/HistoryTestSupport.h"
#include "support/widgets/WidgetsSupport.h"
#include "nerivane/core/AppModel.h"
#include "nerivane/ui/cards/EventsCard.h"
#include "nerivane/ui/popover/PopoverSnapshot.h"
#include "nerivane/ui/popover/PopoverState.h"
#include "nerivane/ui/popover/PopoverView.h"

namespace nerivane::test {

// 2026-03-14 15:05:00 UTC.
inline constexpr double sceneClock = 1773500700;

struct SceneMonitor : MonitorControl {
    explicit SceneMonitor(Monitor::UpdateHandler* handler) : handler(handler) {}
    void start() override {}
    void stop() override { *handler = nullptr; }
    void update(const TargetSettings&) override {}
    void setInterval(Seconds) override {}
    Monitor::UpdateHandler* handler;
};

inline Target target(TargetRole role, const std::string& host, const std::string& address) {
    return {role, host, *ProbeAddress::parse(address)};
}

inline TargetSnapshot measured(Target target, TargetState state, double median, int sent = 60, int lost = 0) {
    TargetSnapshot snapshot;
    snapshot.target = std::move(target), snapshot.status = TargetStatus::icmp, snapshot.state = state;
    Metrics& m = snapshot.metrics;
    m.latest = m.median = median, m.p95 = median * 1.4, m.baseline = median * 0.8, m.jitter = median * 0.08;
    m.sent = sent, m.lost = lost;
    return snapshot;
}

inline NetworkPath path(NetworkPath::Kind kind, bool vpn = false) {
    NetworkPath path;
    path.isSatisfied = path.hasIPv4 = path.hasIPv6 = true;
    path.kind = kind;
    path.isVPN = vpn;
    path.physicalInterface = kind == NetworkPath::Kind::wifi ? "wlan0" : "eth0";
    path.primaryInterface = vpn ? "wg0" : path.physicalInterface;
    path.routerIPv4 = ProbeAddress::parse("192.168.1.1");
    return path;
}

class PopoverHarness {
public:
    // historyFile: a history database to open; an empty one in memory without.
    // systemBus: where NetworkManager is asked.
    explicit PopoverHarness(std::optional<std::string> historyFile = std::nullopt,
                            QDBusConnection systemBus = QDBusConnection(QStringLiteral("never-system")))
        : preferences(directory.filePath(QStringLiteral("nerivane.conf"))) {
        widgetsApplication();
        AppModel::Environment environment;
        environment.variable = [](const char*) -> std::optional<std::string> { return std::nullopt; };
        environment.now = [this] { return clock; };
        environment.makeMonitor = [this](const TargetSettings&, const LookupSettings&, Seconds,
                                         Monitor::UpdateHandler onUpdate) {
            handler = std::move(onUpdate);
            return std::make_unique<SceneMonitor>(&handler);
        };
        environment.openHistory = [historyFile](const std::string&) {
            History::Options options;
            options.log = Log("history", "test", quietLogs());
            return std::make_unique<History>(historyFile, options);
        };
        environment.makeSystemState = [] {
            return std::make_unique<SystemState>(QDBusConnection(QStringLiteral("never-system")),
                                                 QDBusConnection(QStringLiteral("never-session")), SystemState::Environment{});
        };
        environment.makeNotifier = [] { return std::make_unique<Notifier>(QDBusConnection(QStringLiteral("never-notify"))); };
        environment.makeConnectivityWatch = [systemBus] { return std::make_unique<ConnectivityWatch>(systemBus); };
        environment.localAddress = [](const std::string&) -> std::optional<std::string> { return "192.168.1.20"; };
        environment.readWiFi = [](const std::string&) -> std::optional<WiFiInfo> { return WiFiInfo{-58, -92, 866.7, 36, "5 GHz", 80}; };
        environment.readSignal = [](const std::string&) -> std::optional<int> { return std::nullopt; };
        environment.log = Log("app", "test", quietLogs());
        model = std::make_unique<AppModel>(preferences, std::move(environment));
        model->start();
    }

    ~PopoverHarness() {
        model.reset();
        QCoreApplication::sendPostedEvents();
    }

    static LogStore& quietLogs() {
        static LogStore store{nerivane::quietLogs()};
        return store;
    }

    // Hands an update to the model from another thread, as a monitor does,
    // then lets the main thread apply it.
    void deliver(const Monitor::Update& update) {
        std::thread([&] { handler(update); }).join();
        QCoreApplication::sendPostedEvents();
    }
    void deliver(MonitorSnapshot snapshot, std::vector<ProbeRecord> probes = {}) {
        deliver(Monitor::SnapshotUpdate{std::move(snapshot), std::move(probes), {}});
    }

    VerdictTexts::Context context() const { return {QLocale(QLocale::English, QLocale::UnitedStates), QTimeZone::utc(), clock}; }

    std::unique_ptr<PopoverView> view(PopoverActions actions = {}, PopoverView::Places places = {}) {
        return std::make_unique<PopoverView>(*model, state, std::move(actions), std::move(places),
                                             PopoverView::Options{QStringLiteral("1.0.0"), [this] { return context(); }, std::nullopt});
    }

    // The view's picture once the history read is in.
    QImage picture(PopoverView& view) {
        if (auto* events = view.eventsCard()) {
            events->load();
            waitForWidgets([&] { return events->isLoaded(); });
        }
        return PopoverSnapshot::render(view);
    }

    QTemporaryDir directory;
    Preferences preferences;
    double clock = sceneClock;
    Monitor::UpdateHandler handler;
    std::unique_ptr<AppModel> model;
    PopoverState state;
};

// The states a user meets, as the model would hold them.
namespace scenes {

inline const Target router = target(TargetRole::router(), "router", "192.168.1.1");
inline const Target cloudflare = target(TargetRole::internet(0), "1.1.1.1", "1.1.1.1");
inline const Target google = target(TargetRole::internet(1), "8.8.8.8", "8.8.8.8");
inline const Target cloudflare6 = target(TargetRole::internetIPv6(), "1.1.1.1", "2606:4700:4700::1111");
inline const Target nas = target(TargetRole::custom(0), "nas.home.arpa", "192.168.1.40");

// A minute of once-a-second probes to the target ending now, appended to
// records: replies wobbling over [base, base + spread], none where lost(i).
inline void minute(std::vector<ProbeRecord>& records, double now, const Target& target, double base, double spread,
                   const std::function<bool(int)>& lost = [](int) { return false; }, int pace = 1) {
    for (int i = 0; i < 60; ++i)
        records.push_back({target, ProbeProtocol::icmp,
                           lost(i) ? ProbeResult::Outcome(ProbeResult::Lost{})
                                   : ProbeResult::Reply{base + spread * (0.5 + 0.5 * std::sin(i * pace * 0.7))},
                           now - 59.5 + i});
}

inline void events(PopoverHarness& harness) {
    const double now = harness.clock;
    using K = NetworkEvent::Kind;
    for (const auto& [kind, target, ago, length, worst] : {std::tuple{K::outage, cloudflare, 7400, 42, std::optional<double>()},
                                                           {K::spike, router, 3000, 9, 212.0}, {K::spike, google, 600, 4, 184.5}})
        harness.deliver(Monitor::EventUpdate{{kind, target.role, target.host, target.address, now - ago, now - ago + length, worst}});
}

inline MonitorSnapshot snapshot(NetworkPath path, Verdict verdict, std::optional<TargetState> internet, std::vector<TargetSnapshot> targets) {
    MonitorSnapshot snapshot;
    std::tie(snapshot.path, snapshot.verdict, snapshot.internet, snapshot.targets) = std::tie(path, verdict, internet, targets);
    return snapshot;
}

// Everything fine, with a minute of probes, and no events yet.
inline void goodWithoutEvents(PopoverHarness& harness) {
    const double now = harness.clock;
    const auto ok = TargetState::ok();
    std::vector<ProbeRecord> records;
    for (const auto& [target, base, spread] : {std::tuple{router, 1.0, 0.6}, {cloudflare, 11.0, 4.0}, {google, 14.0, 5.0}, {cloudflare6, 12.0, 3.0}})
        minute(records, now, target, base, spread, [&](int i) { return target == cloudflare && i == 41; });
    minute(records, now, nas, 2, 1, [](int i) { return i == 12 || i == 30 || i == 51; });
    harness.deliver(snapshot(path(NetworkPath::Kind::ethernet), Verdict::good, ok,
                             {measured(router, ok, 1.2), measured(cloudflare, ok, 12.3), measured(google, ok, 15.8),
                              measured(cloudflare6, ok, 13.1), measured(nas, ok, 2.4, 60, 3)}),
                    records);
}

inline void good(PopoverHarness& harness) {
    goodWithoutEvents(harness);
    events(harness);
}

// One internet outage of 31 s that began three minutes ago, as the monitor
// reports it: one event per internet target, each when its replies came back.
inline const std::vector<Target> outageTargets{cloudflare, google, cloudflare6};
inline NetworkEvent outageOf(const PopoverHarness& harness, std::size_t i) {
    const Target& target = outageTargets.at(i);
    const double start = harness.clock - 180 + 0.2 * static_cast<double>(i);
    return {NetworkEvent::Kind::outage, target.role, target.host, target.address, start, start + 31, {}};
}
inline void outageIncident(PopoverHarness& harness) {
    goodWithoutEvents(harness);
    for (std::size_t i = 0; i < outageTargets.size(); ++i) harness.deliver(Monitor::EventUpdate{outageOf(harness, i)});
}

// Pings fine, DNS not: the good scene with the router's resolver failing
// (timeouts; its last answer, 12 ms, two minutes ago) or answering after a
// second and a half.
inline void lookups(PopoverHarness& harness, bool failing) {
    good(harness);
    MonitorSnapshot state = harness.model->snapshot();
    const ResolverServer router{"192.168.1.1", 53, "eth0"};
    state.lookups = failing ? LookupSnapshot{{{router, 0.012, 1, LookupFailure::timeout, std::nullopt, 130.0}},
                                             LookupSnapshot::Health::failing, std::nullopt, false, 1}
                            : LookupSnapshot{{{router, 1.52, 0, std::nullopt, 1.48}}, LookupSnapshot::Health::slow,
                                             std::nullopt, false, 1};
    state.verdict = failing ? Verdict::lookupsFailing : Verdict::lookupsSlow;
    harness.deliver(state);
}

// The good scene after a bloated upload 4 minutes ago (F, beyond the
// router) and a lean download 25 minutes ago.
inline void underLoad(PopoverHarness& harness) {
    good(harness);
    MonitorSnapshot state = harness.model->snapshot();
    LoadSnapshot load;
    load.interfaceName = "eth0";
    load.upload = {RoleLoad{12, 492, 480, 40, 0}, RoleLoad{1.1, 1.6, 0.5, 40, 0}, LoadGrade::f, QueuePlace::beyondRouter,
                   harness.clock - 250, 12e6};
    load.download = {RoleLoad{12, 24, 12, 60, 0}, RoleLoad{1.1, 1.3, 0.2, 60, 0}, LoadGrade::a, QueuePlace::unknown,
                     harness.clock - 1500, 85e6};
    state.load = load;
    harness.deliver(state);
}

// Its hour of history: 12 ms idle, the download 25 minutes ago barely
// slower, the upload 4 minutes ago near half a second.
inline std::vector<ChartBucket> underLoadHour(ChartRange, const TargetRole&, double now) {
    std::vector<ChartBucket> buckets;
    for (int i = 0; i < 60; ++i) {
        const bool upload = i >= 52 && i <= 55, download = i >= 31 && i <= 35;
        ChartBucket bucket{now - 3600 + 60.0 * i, MinuteState::measured, upload ? 470 : download ? 22 : 12,
                           upload ? 560 : download ? 30 : 18, 0, {}, upload ? 12e6 : 0.3e6, download ? 85e6 : 1.5e6};
        buckets.push_back(bucket);
    }
    return buckets;
}

inline void internetDown(PopoverHarness& harness) {
    const double now = harness.clock;
    auto one = measured(cloudflare, TargetState::down(), 12.0, 60, 40), two = measured(google, TargetState::down(), 15.0, 60, 40);
    one.outageSince = now - 41;
    two.outageSince = now - 40;
    std::vector<ProbeRecord> records;
    minute(records, now, router, 1, 0.6);
    for (const auto& target : {cloudflare, google}) minute(records, now, target, 12, 4, [](int i) { return i >= 19; });
    harness.deliver(snapshot(path(NetworkPath::Kind::ethernet), Verdict::internetDown, TargetState::down(),
                             {measured(router, TargetState::ok(), 1.3), one, two}),
                    records);
    events(harness);
}

// The provider's edge silent with every internet host; the router fine.
inline void providerDown(PopoverHarness& harness) {
    const double now = harness.clock;
    const Target edge = target(TargetRole::provider(), "100.64.0.1", "100.64.0.1");
    auto hop = measured(edge, TargetState::down(), 4.0, 60, 40), one = measured(cloudflare, TargetState::down(), 12.0, 60, 40);
    hop.outageSince = one.outageSince = now - 41;
    std::vector<ProbeRecord> records;
    minute(records, now, router, 1, 0.6);
    for (const auto& target : {edge, cloudflare}) minute(records, now, target, target == edge ? 4 : 12, 2, [](int i) { return i >= 19; });
    harness.deliver(snapshot(path(NetworkPath::Kind::ethernet), Verdict::providerDown, TargetState::down(),
                             {measured(router, TargetState::ok(), 1.3), hop, one}),
                    records);
}

inline void localProblem(PopoverHarness& harness) {
    const auto loss = Problems::loss();
    std::vector<ProbeRecord> records;
    for (const auto& [target, base, spread] : {std::tuple{router, 3.0, 9.0}, {cloudflare, 16.0, 30.0}, {google, 60.0, 70.0}})
        minute(records, harness.clock, target, base, spread, [](int i) { return i % 9 == 4; }, 3);
    harness.deliver(snapshot(path(NetworkPath::Kind::wifi), Verdict::localProblem, TargetState::bad(loss),
                             {measured(router, TargetState::bad(loss | Problems::jitter()), 4.2, 60, 7),
                              measured(cloudflare, TargetState::bad(loss), 19.0, 60, 7),
                              measured(google, TargetState::bad(loss | Problems::latency()), 88.0, 60, 8)}),
                    records);
    harness.model->setDetailsVisible(true);
    waitForWidgets([&] { return harness.model->wifi().has_value(); });
    events(harness);
}

// Good again 20 s after a 30-second internet outage whose losses are still in
// the window, beside a router that answers its own pings in 80 ms.
inline void afterOutage(PopoverHarness& harness) {
    const double now = harness.clock;
    const auto ok = TargetState::ok();
    std::vector<ProbeRecord> records;
    minute(records, now, router, 80, 4);
    for (const auto& target : {cloudflare, google}) minute(records, now, target, 12, 4, [](int i) { return i >= 10 && i < 40; });
    auto slowRouter = measured(router, ok, 80);
    slowRouter.slowToOwnPings = true;
    std::vector<TargetSnapshot> targets{slowRouter};
    for (const auto& [target, median] : {std::pair{cloudflare, 12.3}, {google, 15.8}}) {
        auto host = measured(target, ok, median, 60, 31);
        host.metrics.lostInOutages = 30;
        host.pastOutageStart = now - 50;
        targets.push_back(host);
    }
    harness.deliver(snapshot(path(NetworkPath::Kind::ethernet), Verdict::good, ok, targets), records);
    for (const auto& target : {cloudflare, google})
        harness.deliver(Monitor::EventUpdate{{NetworkEvent::Kind::outage, target.role, target.host, target.address, now - 50, now - 20, {}}});
}

inline void vpnWithIPv6Problem(PopoverHarness& harness) {
    auto routerBehindVPN = measured(router, TargetState::measuring(), 0);
    routerBehindVPN.status = TargetStatus::unreachableVPN, routerBehindVPN.metrics = {};
    auto six = measured(cloudflare6, TargetState::down(), 0, 60, 60);
    six.metrics = {}, six.metrics.latest = 30, six.metrics.sent = six.metrics.lost = 60;
    six.outageSince = harness.clock - 300;
    auto tcp = measured(google, TargetState::ok(), 31.0);
    tcp.status = TargetStatus::tcp;
    auto state = snapshot(path(NetworkPath::Kind::ethernet, true), Verdict::good, TargetState::ok(),
                          {routerBehindVPN, measured(cloudflare, TargetState::ok(), 28.4), tcp, six});
    state.ipv6Problem = true;
    std::vector<ProbeRecord> records;
    for (const auto& [target, base] : {std::pair{cloudflare, 27.0}, {google, 30.0}}) minute(records, harness.clock, target, base, 5);
    minute(records, harness.clock, cloudflare6, 0, 0, [](int) { return true; });
    harness.deliver(state, records);
}

inline void offline(PopoverHarness& harness) {
    MonitorSnapshot snapshot;
    snapshot.verdict = Verdict::offline;
    harness.clock -= 200;
    harness.deliver(snapshot);
    harness.clock += 200;
    harness.deliver(snapshot);
    events(harness);
}

inline void paused(PopoverHarness& harness) {
    good(harness);
    harness.model->pauseForOneHour();
}

inline void firstRun(PopoverHarness& harness) {
    std::vector<TargetSnapshot> warming(3);
    for (std::size_t i = 0; i < 3; ++i) warming[i].target = std::array{router, cloudflare, google}[i];
    harness.deliver(snapshot(path(NetworkPath::Kind::wifi), Verdict::measuring, {}, warming));
    harness.state.setShowingFirstRun(true);
}

}  // namespace scenes
}  // namespace nerivane::test
