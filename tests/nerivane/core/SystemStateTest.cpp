#include <gtest/gtest.h>

#include <QDBusObjectPath>
#include <unistd.h>

#include "nerivane/core/SystemState.h"
#include "support/qt/PrivateBus.h"

namespace nerivane {
namespace {

using test::waitUntil;
using R = SlowRateReason;

const QString upower = QStringLiteral("org.freedesktop.UPower"), upowerPath = QStringLiteral("/org/freedesktop/UPower");
const QString profiles = upower + QStringLiteral(".PowerProfiles"), profilesPath = upowerPath + QStringLiteral("/PowerProfiles");
const QString oldProfiles = QStringLiteral("net.hadess.PowerProfiles"), oldProfilesPath = QStringLiteral("/net/hadess/PowerProfiles");
const QString session = QStringLiteral("org.freedesktop.login1.Session");
const QString ourSession = QStringLiteral("/org/freedesktop/login1/session/_32"), otherSession = QStringLiteral("/org/freedesktop/login1/session/c7");
const QString screenSaver = QStringLiteral("org.freedesktop.ScreenSaver");
const QString battery = QStringLiteral("OnBattery"), active = QStringLiteral("ActiveProfile"), hint = QStringLiteral("LockedHint");

TEST(SystemStateRules, SlowRateReasonsByPriorityTheirIntervalAndTheSimulatedLock) {
    using Row = std::tuple<bool, bool, bool, bool, std::optional<R>>;
    for (const auto& [onBattery, lowPower, constrained, expensive, reason] :
         {Row{1, 1, 1, 1, R::battery}, Row{0, 1, 1, 1, R::lowPowerMode}, Row{0, 0, 1, 1, R::lowDataMode}, Row{0, 0, 0, 1, R::expensivePath}, Row{0, 0, 0, 0, {}}})
        EXPECT_EQ(slowRateReason(onBattery, lowPower, [&] { NetworkPath p; p.isExpensive = expensive, p.isConstrained = constrained; return p; }()), reason)
            << lowPower << constrained;
    // Any reason selects the battery interval; either counts as an hour at most.
    EXPECT_EQ((std::vector<double>{probingInterval({}, 1, 5), probingInterval(R::expensivePath, 1, 5), probingInterval({}, 1e10, 5),
                                   probingInterval(R::battery, 1, 7200)}), (std::vector<double>{1, 5, 3600, 3600}));
    EXPECT_EQ(settingsHint(R::lowPowerMode, 0.5), "The power saver profile is on, so probing every ½s.");
    EXPECT_TRUE(SystemState::lockStopsProbing(true, false) && !SystemState::lockStopsProbing(true, true) && !SystemState::lockStopsProbing(false, false));
    using Window = std::optional<std::pair<double, double>>;
    EXPECT_EQ(SystemState::parseLockTest(",0.5,,2,"), (Window{{0.5, 2}}));
    for (const char* text : {"5", "5,20,30", "a,b", ""})
        EXPECT_EQ(SystemState::parseLockTest(QString::fromLatin1(text)), std::nullopt) << text;
}

// SystemState against stand-ins of UPower, power-profiles-daemon, logind and
// the screensaver on a private bus that serves as both system and session bus.
class SystemStateBus : public test::BusTest {
protected:
    void own(const QString& service, const QString& path, const QString& interface, const QString& property, const QVariant& value) {
        services->object(path).setPropertyValue(interface, property, value);
        ASSERT_TRUE(services->own(service));
    }

    // logind with our session (found by process id) and a session "c7".
    void startLogin(bool ourLocked, bool otherLocked) {
        auto& manager = services->object(QStringLiteral("/org/freedesktop/login1"));
        const QString interface = QStringLiteral("org.freedesktop.login1.Manager");
        manager.setMethod(interface, QStringLiteral("GetSessionByPID"), [this](const QDBusMessage& message) {
            askedPID = message.arguments().value(0).toUInt();
            return std::optional<QVariantList>{{QVariant::fromValue(QDBusObjectPath(ourSession))}};
        });
        manager.setMethod(interface, QStringLiteral("GetSession"), [](const QDBusMessage& message) -> std::optional<QVariantList> {
            if (message.arguments().value(0).toString() != QStringLiteral("c7")) return std::nullopt;
            return QVariantList{QVariant::fromValue(QDBusObjectPath(otherSession))};
        });
        services->object(otherSession).setPropertyValue(session, hint, otherLocked);
        own(QStringLiteral("org.freedesktop.login1"), ourSession, session, hint, ourLocked);
    }

    void makeState(SystemState::Environment environment = {}) {
        state = std::make_unique<SystemState>(*client, *client, std::move(environment));
        state->onChange = [this] { ++changes; };
    }

    // Signals from one connection arrive in order: once a later change is
    // seen, everything sent before it has been handled.
    void flushWithProfileChange(const QString& profile) {
        if (!std::exchange(profilesStarted, true)) own(profiles, profilesPath, profiles, active, QStringLiteral("balanced"));
        services->changeProperty(profilesPath, profiles, active, profile);
        ASSERT_TRUE(waitUntil([&] { return state->lowPowerMode() == (profile == QStringLiteral("power-saver")); }));
    }

    std::atomic<uint> askedPID{0};  // outlives the state that makes logind's stand-in write it
    std::unique_ptr<SystemState> state;
    int changes = 0;
    bool profilesStarted = false;
};

TEST_F(SystemStateBus, MissingServicesReadAsUnlockedAndFirstReadingsComeFromTheServices) {
    const QDBusConnection none(QStringLiteral("never-connected"));
    SystemState unconnected(none, none, {});
    SystemState alone(*client, *client, {});
    for (const SystemState* each : {&alone, &unconnected})
        EXPECT_FALSE(each->onBattery() || each->lowPowerMode() || each->screenLocked() || each->countsAsLocked());

    own(upower, upowerPath, upower, battery, true);
    startLogin(true, false);
    // The older power-profiles-daemon is read too, and followed.
    own(oldProfiles, oldProfilesPath, oldProfiles, active, QStringLiteral("power-saver"));
    makeState();
    EXPECT_TRUE(state->onBattery() && state->lowPowerMode() && state->screenLocked());
    EXPECT_EQ(askedPID.load(), static_cast<uint>(getpid()));
    services->changeProperty(oldProfilesPath, oldProfiles, active, QStringLiteral("balanced"));
    ASSERT_TRUE(waitUntil([&] { return !state->lowPowerMode(); }));
    EXPECT_EQ(changes, 1);
}

TEST_F(SystemStateBus, BatteryChangesAreReportedOnceAndOnlyExactlyOneForcesTheBattery) {
    own(upower, upowerPath, upower, battery, false);
    for (const QString& value : {QStringLiteral("true"), QStringLiteral("1 "), QStringLiteral(""), QStringLiteral("01")})
        EXPECT_FALSE(SystemState(*client, *client, {value, std::nullopt, std::nullopt}).onBattery()) << value.toStdString();
    SystemState forced(*client, *client, {QStringLiteral("1"), std::nullopt, std::nullopt});
    makeState();
    services->changeProperty(upowerPath, upower, battery, true);
    services->changeProperty(upowerPath, upower, battery, true);
    flushWithProfileChange(QStringLiteral("power-saver"));
    EXPECT_TRUE(state->onBattery());
    EXPECT_EQ(changes, 2);
    // Services that go away are forgotten; those that appear are read.
    services->release(upower);
    ASSERT_TRUE(waitUntil([&] { return !state->onBattery(); }));
    ASSERT_TRUE(services->own(upower));
    ASSERT_TRUE(waitUntil([&] { return state->onBattery(); }));
    services->changeProperty(upowerPath, upower, battery, false);
    ASSERT_TRUE(waitUntil([&] { return !state->onBattery(); }));
    EXPECT_EQ(changes, 5);
    EXPECT_TRUE(forced.onBattery());
}

TEST_F(SystemStateBus, OnlyOurSessionsLockCountsOnceAndTheEnvironmentNamesIt) {
    startLogin(false, true);
    makeState();
    for (const QString& path : {ourSession, ourSession, otherSession}) services->emitSignal(path, session, QStringLiteral("Lock"), {});
    flushWithProfileChange(QStringLiteral("power-saver"));
    EXPECT_TRUE(state->screenLocked() && state->countsAsLocked());
    EXPECT_EQ(changes, 2);
    services->emitSignal(ourSession, session, QStringLiteral("Unlock"), {});
    services->emitSignal(ourSession, session, QStringLiteral("Unlock"), {});
    flushWithProfileChange(QStringLiteral("balanced"));
    EXPECT_FALSE(state->screenLocked());
    EXPECT_EQ(changes, 4);
    // A desktop that sets the locked hint instead of answering Lock.
    services->changeProperty(ourSession, session, hint, true);
    ASSERT_TRUE(waitUntil([&] { return state->screenLocked(); }));

    // With XDG_SESSION_ID, that session is ours, and nothing asks by process id.
    askedPID = 0;
    SystemState named(*client, *client, {std::nullopt, std::nullopt, QStringLiteral("c7")});
    EXPECT_TRUE(named.screenLocked());
    EXPECT_EQ(askedPID.load(), 0u);
    services->emitSignal(otherSession, session, QStringLiteral("Unlock"), {});
    ASSERT_TRUE(waitUntil([&] { return !named.screenLocked(); }));
}

TEST_F(SystemStateBus, ABlankedScreenOrTheSimulatedLockWindowCountsAsLocked) {
    std::vector<bool> seen;
    makeState({std::nullopt, QStringLiteral("0.05,,0.3"), std::nullopt});
    state->onChange = [&] { seen.push_back(state->simulatedLock()); };
    ASSERT_TRUE(waitUntil([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));

    ASSERT_TRUE(services->own(screenSaver));
    services->emitSignal(QStringLiteral("/org/freedesktop/ScreenSaver"), screenSaver, QStringLiteral("ActiveChanged"), {true});
    ASSERT_TRUE(waitUntil([&] { return state->displaysAsleep(); }));
    EXPECT_TRUE(state->countsAsLocked() && !state->screenLocked());
    // A screensaver that goes away cannot keep the displays asleep.
    services->release(screenSaver);
    ASSERT_TRUE(waitUntil([&] { return !state->displaysAsleep(); }));
    EXPECT_EQ(seen.size(), 4u);
}

}  // namespace
}  // namespace nerivane
