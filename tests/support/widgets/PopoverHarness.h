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

#include "NerivaneKit/platform/LogStore.h"
#include "support/widgets/WidgetsSupport.h"
#include "nerivane/core/AppModel.h"
#include "nerivane/ui/cards/EventsCard.h"
#include "nerivane/ui/popover/PopoverSnapshot.h"
#include "nerivane/ui/popover/PopoverState.h"
#include "nerivane/ui/popover/PopoverView.h"

namespace nerivane::test {

// 2026-03-14 15:05:00 UTC.
inline constexpr double sceneClock = 1773500700;

class SceneMonitor : public AppModel::MonitorControl {
public:
    explicit SceneMonitor(Monitor::UpdateHandler* handler) : handler_(handler) {}
    void start() override {}
    void stop() override { *handler_ = nullptr; }
    void update(const TargetSettings&) override {}
    void setInterval(double) override {}

private:
    Monitor::UpdateHandler* handler_;
};

inline Target target(TargetRole role, const std::string& host, const std::string& address) {
    return {role, host, *ProbeAddress::parse(address)};
}

inline TargetSnapshot measured(Target target, TargetState state, double median, int sent = 60, int lost = 0) {
    TargetSnapshot snapshot;
    snapshot.target = std::move(target);
    snapshot.status = TargetStatus::icmp;
    snapshot.state = state;
    snapshot.metrics.latest = snapshot.metrics.median = median;
    snapshot.metrics.p95 = median * 1.4;
    snapshot.metrics.baseline = median * 0.8;
    snapshot.metrics.jitter = median * 0.08;
    snapshot.metrics.sent = sent;
    snapshot.metrics.lost = lost;
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
    explicit PopoverHarness(std::optional<std::string> historyFile = std::nullopt)
        : preferences(directory.filePath(QStringLiteral("nerivane.conf"))) {
        widgetsApplication();
        AppModel::Environment environment;
        environment.variable = [](const char*) -> std::optional<std::string> { return std::nullopt; };
        environment.now = [this] { return clock; };
        environment.makeMonitor = [this](const TargetSettings&, double, Monitor::UpdateHandler onUpdate) {
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
        static LogStore store{[] {
            LogStore::Configuration configuration;
            configuration.stderrOutput = LogStore::StderrOutput::never;
            return configuration;
        }()};
        return store;
    }

    // Hands an update to the model from another thread, as a monitor does,
    // then lets the main thread apply it.
    void deliver(const Monitor::Update& update) {
        std::thread([&] { handler(update); }).join();
        QCoreApplication::sendPostedEvents();
    }
    void deliver(MonitorSnapshot snapshot, std::vector<ProbeRecord> probes = {}) {
        deliver(Monitor::SnapshotUpdate{std::move(snapshot), std::move(probes)});
    }
    void event(const NetworkEvent& event) { deliver(Monitor::EventUpdate{event}); }

    // A minute of once-a-second probes to the target ending now, appended to
    // records: rtt(i) for the i-th probe, none for a lost one.
    template <typename RTT>
    static void minute(std::vector<ProbeRecord>& records, const Target& target, double now, RTT rtt) {
        for (int i = 0; i < 60; ++i) {
            const std::optional<double> value = rtt(i);
            records.push_back({target, ProbeProtocol::icmp,
                               value ? ProbeResult::Outcome(ProbeResult::Reply{*value}) : ProbeResult::Outcome(ProbeResult::Lost{}),
                               now - 59.5 + i});
        }
    }

    VerdictTexts::Context context() const { return {QLocale(QLocale::English, QLocale::UnitedStates), QTimeZone::utc(), clock}; }

    std::unique_ptr<PopoverView> view(PopoverActions actions = {}, PopoverView::Places places = {}) {
        PopoverView::Options options;
        options.version = version;
        options.context = [this] { return context(); };
        return std::make_unique<PopoverView>(*model, state, std::move(actions), std::move(places), std::move(options));
    }

    // The view's picture once the history read is in.
    QImage picture(PopoverView& view) {
        if (auto* events = view.eventsCard()) {
            bool loaded = false;
            QObject::connect(events, &EventsCard::loaded, [&] { loaded = true; });
            events->load();
            waitForWidgets([&] { return loaded; });
        }
        return PopoverSnapshot::render(view);
    }

    QTemporaryDir directory;
    Preferences preferences;
    double clock = sceneClock;
    QString version = QStringLiteral("1.0.0");
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

inline double wobble(int i, double base, double spread) { return base + spread * (0.5 + 0.5 * std::sin(i * 0.7)); }
using Probe = std::optional<double>;

inline void events(PopoverHarness& harness) {
    const double now = harness.clock;
    harness.event({NetworkEvent::Kind::outage, cloudflare.role, "1.1.1.1", cloudflare.address, now - 7400, now - 7358, {}});
    harness.event({NetworkEvent::Kind::spike, router.role, "router", router.address, now - 3000, now - 2991, 212.0});
    harness.event({NetworkEvent::Kind::spike, google.role, "8.8.8.8", google.address, now - 600, now - 596, 184.5});
}

inline MonitorSnapshot snapshot(NetworkPath path, Verdict verdict, std::optional<TargetState> internet, std::vector<TargetSnapshot> targets) {
    MonitorSnapshot snapshot;
    snapshot.path = std::move(path);
    snapshot.verdict = verdict;
    snapshot.internet = internet;
    snapshot.targets = std::move(targets);
    return snapshot;
}

inline void good(PopoverHarness& harness) {
    const double now = harness.clock;
    const auto ok = TargetState::ok();
    std::vector<ProbeRecord> records;
    for (const auto& [target, base, spread] : {std::tuple{router, 1.0, 0.6}, std::tuple{cloudflare, 11.0, 4.0},
                                               std::tuple{google, 14.0, 5.0}, std::tuple{cloudflare6, 12.0, 3.0}})
        PopoverHarness::minute(records, target, now, [&](int i) -> Probe {
            if (target == cloudflare && i == 41) return std::nullopt;
            return wobble(i, base, spread);
        });
    PopoverHarness::minute(records, nas, now, [](int i) -> Probe {
        if (i == 12 || i == 30 || i == 51) return std::nullopt;
        return wobble(i, 2.0, 1.0);
    });
    harness.deliver(snapshot(path(NetworkPath::Kind::ethernet), Verdict::good, ok,
                             {measured(router, ok, 1.2), measured(cloudflare, ok, 12.3), measured(google, ok, 15.8),
                              measured(cloudflare6, ok, 13.1), measured(nas, ok, 2.4, 60, 3)}),
                    records);
    events(harness);
}

inline void internetDown(PopoverHarness& harness) {
    const double now = harness.clock;
    auto one = measured(cloudflare, TargetState::down(), 12.0, 60, 40);
    one.outageSince = now - 41;
    auto two = measured(google, TargetState::down(), 15.0, 60, 40);
    two.outageSince = now - 40;
    std::vector<ProbeRecord> records;
    PopoverHarness::minute(records, router, now, [](int i) -> Probe { return wobble(i, 1.0, 0.6); });
    for (const auto& target : {cloudflare, google})
        PopoverHarness::minute(records, target, now, [](int i) -> Probe { return i >= 19 ? Probe() : wobble(i, 12.0, 4.0); });
    harness.deliver(snapshot(path(NetworkPath::Kind::ethernet), Verdict::internetDown, TargetState::down(),
                             {measured(router, TargetState::ok(), 1.3), one, two}),
                    records);
    events(harness);
}

inline void localProblem(PopoverHarness& harness) {
    const auto loss = Problems::loss();
    std::vector<ProbeRecord> records;
    for (const auto& [target, base, spread] :
         {std::tuple{router, 3.0, 9.0}, std::tuple{cloudflare, 16.0, 30.0}, std::tuple{google, 60.0, 70.0}})
        PopoverHarness::minute(records, target, harness.clock,
                               [&](int i) -> Probe { return i % 9 == 4 ? Probe() : wobble(i * 3, base, spread); });
    harness.deliver(snapshot(path(NetworkPath::Kind::wifi), Verdict::localProblem, TargetState::bad(loss),
                             {measured(router, TargetState::bad(loss | Problems::jitter()), 4.2, 60, 7),
                              measured(cloudflare, TargetState::bad(loss), 19.0, 60, 7),
                              measured(google, TargetState::bad(loss | Problems::latency()), 88.0, 60, 8)}),
                    records);
    harness.model->setDetailsVisible(true);
    waitForWidgets([&] { return harness.model->wifi().has_value(); });
    events(harness);
}

inline void vpnWithIPv6Problem(PopoverHarness& harness) {
    auto routerBehindVPN = measured(router, TargetState::measuring(), 0, 0, 0);
    routerBehindVPN.status = TargetStatus::unreachableVPN;
    routerBehindVPN.metrics = {};
    auto six = measured(cloudflare6, TargetState::down(), 30.0, 60, 60);
    six.metrics.median = six.metrics.p95 = six.metrics.baseline = six.metrics.jitter = std::nullopt;
    six.outageSince = harness.clock - 300;
    auto tcp = measured(google, TargetState::ok(), 31.0);
    tcp.status = TargetStatus::tcp;
    auto state = snapshot(path(NetworkPath::Kind::ethernet, true), Verdict::good, TargetState::ok(),
                          {routerBehindVPN, measured(cloudflare, TargetState::ok(), 28.4), tcp, six});
    state.ipv6Problem = true;
    std::vector<ProbeRecord> records;
    for (const auto& [target, base] : {std::pair{cloudflare, 27.0}, std::pair{google, 30.0}})
        PopoverHarness::minute(records, target, harness.clock, [&](int i) -> Probe { return wobble(i, base, 5.0); });
    PopoverHarness::minute(records, cloudflare6, harness.clock, [](int) -> Probe { return std::nullopt; });
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
