// A fixture for driving the application model headless: fake monitors that
// record what the model asks of them and deliver updates of the test's
// making, an injected clock and environment, preferences and history in a
// temporary folder, and system state and notifier on the private bus.
// Main thread, like the model.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <atomic>
#include <map>
#include <memory>
#include <thread>

#include "NerivaneKit/platform/LogStore.h"
#include "nerivane/core/AppModel.h"
#include "support/HistoryTestSupport.h"
#include "support/qt/PrivateBus.h"
#include "support/qt/QtSupport.h"

namespace nerivane::test {

// What the model did with one monitor it made.
struct FakeRun {
    double interval = 0;
    Monitor::UpdateHandler onUpdate;
    bool started = false;
    bool stopped = false;
    std::vector<double> intervals;
    std::vector<TargetSettings> updates;
    std::vector<LinkCapacity> capacities;
    std::vector<LookupSettings> lookupUpdates;
};

class FakeMonitor : public MonitorControl {
public:
    explicit FakeMonitor(std::shared_ptr<FakeRun> run) : run_(std::move(run)) {}
    void start() override { run_->started = true; }
    void stop() override { run_->stopped = true; }
    void update(const TargetSettings& settings) override { run_->updates.push_back(settings); }
    void updateLookups(const LookupSettings& settings) override { run_->lookupUpdates.push_back(settings); }
    void setInterval(Seconds interval) override { run_->intervals.push_back(interval.count()); }
    void setLinkCapacity(LinkCapacity capacity) override { run_->capacities.push_back(capacity); }

private:
    std::shared_ptr<FakeRun> run_;
};

class ModelTest : public BusTest {
protected:
    static constexpr double start = 1'700'000'000;

    void SetUp() override {
        BusTest::SetUp();
        preferences = std::make_unique<Preferences>(directory.filePath(QStringLiteral("nerivane.conf")));
        variables["NERIVANE_HISTORY"] = directory.filePath(QStringLiteral("history/history.sqlite")).toStdString();
    }

    void TearDown() override {
        model.reset();
        QCoreApplication::sendPostedEvents();
    }

    AppModel::Environment environment() {
        AppModel::Environment environment;
        environment.variable = [this](const char* name) {
            const auto found = variables.find(name);
            return found == variables.end() ? std::nullopt : std::optional(found->second);
        };
        environment.now = [this] { return clock.load(); };
        environment.makeMonitor = [this](const TargetSettings&, const LookupSettings&, Seconds interval,
                                         Monitor::UpdateHandler onUpdate) {
            auto run = std::make_shared<FakeRun>(FakeRun{interval.count(), std::move(onUpdate), false, false, {}, {}, {}, {}});
            runs.push_back(run);
            return std::make_unique<FakeMonitor>(run);
        };
        environment.makeSystemState = [this] {
            return std::make_unique<SystemState>(*client, *client, SystemState::Environment());
        };
        environment.makeNotifier = [this] { return std::make_unique<Notifier>(*client); };
        environment.makeConnectivityWatch = [this] { return std::make_unique<ConnectivityWatch>(*client); };
        environment.localAddress = [](const std::string& name) {
            return name == "wlan0" ? std::optional<std::string>("192.168.1.20") : std::nullopt;
        };
        environment.readWiFi = [](const std::string&) { return std::optional(WiFiInfo{-55, -90, 866.7, 36, "5 GHz", 80}); };
        environment.readSignal = [](const std::string&) { return std::optional(-61); };
        environment.log = Log("app", std::string(Log::defaultSubsystem), logs);
        return environment;
    }

    AppModel& startedModel() {
        model = std::make_unique<AppModel>(*preferences, environment());
        model->start();
        return *model;
    }

    FakeRun& run() { return *runs.back(); }

    // Hands an update to the model the way a monitor does: from a thread of
    // its own; then lets the main thread apply what was posted.
    void deliver(const Monitor::UpdateHandler& handler, const Monitor::Update& update, bool apply = true) {
        std::thread thread([&] { handler(update); });
        thread.join();
        if (apply) QCoreApplication::sendPostedEvents();
    }
    void deliverSnapshot(MonitorSnapshot snapshot, std::vector<ProbeRecord> probes = {}) {
        deliver(run().onUpdate, Monitor::SnapshotUpdate{std::move(snapshot), std::move(probes), {}});
    }

    QTemporaryDir directory;
    std::unique_ptr<Preferences> preferences;
    std::map<std::string, std::string> variables;
    LogStore logs{quietLogs()};
    // The model's wall clock, and so history's; read on history's queue too.
    std::atomic<double> clock = start;
    std::vector<std::shared_ptr<FakeRun>> runs;
    std::unique_ptr<AppModel> model;
};

}  // namespace nerivane::test
