#include <gtest/gtest.h>

#include <QDBusObjectPath>
#include <atomic>
#include <unistd.h>

#include "support/qt/PrivateBus.h"
#include "support/qt/QtSupport.h"
#include "nerivane/core/SystemState.h"

namespace nerivane {
namespace {

using test::waitUntil;

const QString upower = QStringLiteral("org.freedesktop.UPower");
const QString upowerPath = QStringLiteral("/org/freedesktop/UPower");
const QString profiles = QStringLiteral("org.freedesktop.UPower.PowerProfiles");
const QString profilesPath = QStringLiteral("/org/freedesktop/UPower/PowerProfiles");
const QString oldProfiles = QStringLiteral("net.hadess.PowerProfiles");
const QString oldProfilesPath = QStringLiteral("/net/hadess/PowerProfiles");
const QString login1 = QStringLiteral("org.freedesktop.login1");
const QString login1Path = QStringLiteral("/org/freedesktop/login1");
const QString manager = QStringLiteral("org.freedesktop.login1.Manager");
const QString session = QStringLiteral("org.freedesktop.login1.Session");
const QString ourSession = QStringLiteral("/org/freedesktop/login1/session/_32");
const QString otherSession = QStringLiteral("/org/freedesktop/login1/session/c7");
const QString screenSaver = QStringLiteral("org.freedesktop.ScreenSaver");

NetworkPath pathWith(bool constrained, bool expensive) {
    NetworkPath path;
    path.isSatisfied = true;
    path.isConstrained = constrained;
    path.isExpensive = expensive;
    return path;
}

TEST(SlowRate, ReasonsInOrderOfPriorityAndTheIntervalTheySelect) {
    EXPECT_EQ(slowRateReason(true, true, pathWith(true, true)), SlowRateReason::battery);
    EXPECT_EQ(slowRateReason(false, true, pathWith(true, true)), SlowRateReason::lowPowerMode);
    EXPECT_EQ(slowRateReason(false, false, pathWith(true, true)), SlowRateReason::lowDataMode);
    EXPECT_EQ(slowRateReason(false, false, pathWith(false, true)), SlowRateReason::expensivePath);
    EXPECT_EQ(slowRateReason(false, false, pathWith(false, false)), std::nullopt);
    // Any reason selects the battery interval.
    EXPECT_EQ(probingInterval(std::nullopt, 1, 5), 1);
    EXPECT_EQ(probingInterval(SlowRateReason::expensivePath, 1, 5), 5);
    // Either interval counts as an hour at most.
    EXPECT_EQ(probingInterval(std::nullopt, 1e10, 5), 3600);
    EXPECT_EQ(probingInterval(SlowRateReason::battery, 1, 7200), 3600);
    EXPECT_EQ(intervalLogLine(5, SlowRateReason::battery), "interval 5.000000 s (battery)");
    EXPECT_EQ(intervalLogLine(0.5, std::nullopt), "interval 0.500000 s");
}

TEST(SlowRate, SettingsHints) {
    EXPECT_EQ(settingsHint(SlowRateReason::battery, 5), "On battery now, so probing every 5s.");
    EXPECT_EQ(settingsHint(SlowRateReason::lowPowerMode, 0.5), "The power saver profile is on, so probing every ½s.");
    EXPECT_EQ(settingsHint(SlowRateReason::lowDataMode, 10), "This network is in Low Data Mode, so probing every 10s.");
    EXPECT_EQ(settingsHint(SlowRateReason::expensivePath, 2.5),
              "This network is a hotspot or metered, so probing every 2s.");
    EXPECT_EQ(settingsHint(std::nullopt, 5),
              "The battery interval also applies with the power saver profile, and on metered networks.");
}

TEST(SystemStateRules, LockStopsProbingUnlessKeptAndOnlyTwoNumbersMakeASimulatedLock) {
    EXPECT_TRUE(SystemState::lockStopsProbing(true, false));
    EXPECT_FALSE(SystemState::lockStopsProbing(true, true));
    EXPECT_FALSE(SystemState::lockStopsProbing(false, false));
    using Window = std::optional<std::pair<double, double>>;
    EXPECT_EQ(SystemState::parseLockTest("5,20"), (Window{{5, 20}}));
    EXPECT_EQ(SystemState::parseLockTest("5,,20"), (Window{{5, 20}}));
    EXPECT_EQ(SystemState::parseLockTest(",0.5,x,2,"), (Window{{0.5, 2}}));
    for (const char* text : {"5", "5,20,30", "a,b", ""})
        EXPECT_EQ(SystemState::parseLockTest(QString::fromLatin1(text)), std::nullopt) << text;
}

// SystemState against stand-ins of UPower, power-profiles-daemon, logind and
// the screensaver on a private bus that serves as both system and session bus.
class SystemStateBus : public test::BusTest {
protected:
    void startUPower(bool onBattery) {
        services->object(upowerPath).setPropertyValue(upower, QStringLiteral("OnBattery"), onBattery);
        ASSERT_TRUE(services->own(upower));
    }

    // logind with our session (found by process id) and a session "c7".
    void startLogin(bool ourLocked, bool otherLocked = false) {
        auto& managerObject = services->object(login1Path);
        managerObject.setMethod(manager, QStringLiteral("GetSessionByPID"),
                                [this](const QDBusMessage& message) -> std::optional<QVariantList> {
                                    askedPID = message.arguments().value(0).toUInt();
                                    return QVariantList{QVariant::fromValue(QDBusObjectPath(ourSession))};
                                });
        managerObject.setMethod(manager, QStringLiteral("GetSession"),
                                [](const QDBusMessage& message) -> std::optional<QVariantList> {
                                    if (message.arguments().value(0).toString() != QStringLiteral("c7")) return std::nullopt;
                                    return QVariantList{QVariant::fromValue(QDBusObjectPath(otherSession))};
                                });
        services->object(ourSession).setPropertyValue(session, QStringLiteral("LockedHint"), ourLocked);
        services->object(otherSession).setPropertyValue(session, QStringLiteral("LockedHint"), otherLocked);
        ASSERT_TRUE(services->own(login1));
    }

    void makeState(SystemState::Environment environment = {}) {
        state = std::make_unique<SystemState>(*client, *client, std::move(environment));
        state->onChange = [this] { ++changes; };
    }

    // Signals from one connection arrive in order: once a later change is
    // seen, everything sent before it has been handled.
    // The profiles stand-in is started on first use, in the balanced profile.
    void flushWithProfileChange(const QString& profile) {
        if (!profilesStarted) {
            services->object(profilesPath).setPropertyValue(profiles, QStringLiteral("ActiveProfile"),
                                                            QStringLiteral("balanced"));
            ASSERT_TRUE(services->own(profiles));
            profilesStarted = true;
        }
        services->changeProperty(profilesPath, profiles, QStringLiteral("ActiveProfile"), profile);
        const bool expected = profile == QStringLiteral("power-saver");
        ASSERT_TRUE(waitUntil([&] { return state->lowPowerMode() == expected; }));
    }

    std::atomic<uint> askedPID{0};  // outlives the state that makes logind's stand-in write it
    std::unique_ptr<SystemState> state;
    int changes = 0;
    bool profilesStarted = false;
};

TEST_F(SystemStateBus, MissingServicesReadAsFalseAndUnlocked) {
    makeState();
    EXPECT_FALSE(state->onBattery());
    EXPECT_FALSE(state->lowPowerMode());
    EXPECT_FALSE(state->screenLocked());
    EXPECT_FALSE(state->displaysAsleep());
    EXPECT_FALSE(state->simulatedLock());
    EXPECT_FALSE(state->countsAsLocked());

    // Without any bus at all, the same.
    const QDBusConnection none(QStringLiteral("never-connected"));
    SystemState unconnected(none, none, {});
    EXPECT_FALSE(unconnected.onBattery());
    EXPECT_FALSE(unconnected.screenLocked());
    EXPECT_EQ(changes, 0);
}

TEST_F(SystemStateBus, FirstReadingsComeFromTheServices) {
    startUPower(true);
    services->object(profilesPath).setPropertyValue(profiles, QStringLiteral("ActiveProfile"), QStringLiteral("power-saver"));
    ASSERT_TRUE(services->own(profiles));
    startLogin(true);
    makeState();
    EXPECT_TRUE(state->onBattery());
    EXPECT_TRUE(state->lowPowerMode());
    EXPECT_TRUE(state->screenLocked());
    EXPECT_EQ(askedPID.load(), static_cast<uint>(getpid()));
    EXPECT_EQ(state->slowRateReason(pathWith(true, false)), SlowRateReason::battery);

    // The older power-profiles-daemon is read too, and followed.
    services->object(oldProfilesPath).setPropertyValue(oldProfiles, QStringLiteral("ActiveProfile"), QStringLiteral("power-saver"));
    ASSERT_TRUE(services->own(oldProfiles));
    services->release(profiles);
    SystemState older(*client, *client, {});
    int olderChanges = 0;
    older.onChange = [&] { ++olderChanges; };
    EXPECT_TRUE(older.lowPowerMode());
    services->changeProperty(oldProfilesPath, oldProfiles, QStringLiteral("ActiveProfile"), QStringLiteral("balanced"));
    ASSERT_TRUE(waitUntil([&] { return !older.lowPowerMode(); }));
    EXPECT_EQ(olderChanges, 1);
}

TEST_F(SystemStateBus, BatteryChangeIsReportedOnce) {
    startUPower(false);
    makeState();
    ASSERT_FALSE(state->onBattery());

    services->changeProperty(upowerPath, upower, QStringLiteral("OnBattery"), true);
    ASSERT_TRUE(waitUntil([&] { return state->onBattery(); }));
    EXPECT_EQ(changes, 1);

    // The same value again is no change.
    services->changeProperty(upowerPath, upower, QStringLiteral("OnBattery"), true);
    flushWithProfileChange(QStringLiteral("power-saver"));
    EXPECT_EQ(changes, 2);
    EXPECT_TRUE(state->onBattery());

    services->changeProperty(upowerPath, upower, QStringLiteral("OnBattery"), false);
    ASSERT_TRUE(waitUntil([&] { return !state->onBattery(); }));
    EXPECT_EQ(changes, 3);
}

TEST_F(SystemStateBus, OnlyExactlyOneForcesTheBatteryWhateverUPowerSays) {
    startUPower(false);
    for (const QString& value : {QStringLiteral("true"), QStringLiteral("1 "), QStringLiteral(""), QStringLiteral("01")}) {
        SystemState other(*client, *client, {value, std::nullopt, std::nullopt});
        EXPECT_FALSE(other.onBattery()) << value.toStdString();
    }
    makeState({QStringLiteral("1"), std::nullopt, std::nullopt});
    EXPECT_TRUE(state->onBattery());
    services->changeProperty(upowerPath, upower, QStringLiteral("OnBattery"), false);
    flushWithProfileChange(QStringLiteral("power-saver"));
    EXPECT_TRUE(state->onBattery());
    EXPECT_EQ(changes, 1);
}

TEST_F(SystemStateBus, LockAndUnlockAreReportedOnceEach) {
    startLogin(false);
    makeState();
    ASSERT_FALSE(state->screenLocked());

    services->emitSignal(ourSession, session, QStringLiteral("Lock"), {});
    services->emitSignal(ourSession, session, QStringLiteral("Lock"), {});
    flushWithProfileChange(QStringLiteral("power-saver"));
    EXPECT_TRUE(state->screenLocked());
    EXPECT_TRUE(state->countsAsLocked());
    EXPECT_EQ(changes, 2);

    services->emitSignal(ourSession, session, QStringLiteral("Unlock"), {});
    services->emitSignal(ourSession, session, QStringLiteral("Unlock"), {});
    flushWithProfileChange(QStringLiteral("balanced"));
    EXPECT_FALSE(state->screenLocked());
    EXPECT_EQ(changes, 4);

    // A desktop that sets the locked hint instead of answering Lock.
    services->changeProperty(ourSession, session, QStringLiteral("LockedHint"), true);
    ASSERT_TRUE(waitUntil([&] { return state->screenLocked(); }));
    EXPECT_EQ(changes, 5);
}

TEST_F(SystemStateBus, OnlyOurSessionCountsAndTheEnvironmentNamesIt) {
    startLogin(false, true);
    makeState();
    services->emitSignal(otherSession, session, QStringLiteral("Lock"), {});
    flushWithProfileChange(QStringLiteral("power-saver"));
    EXPECT_FALSE(state->screenLocked());

    // With XDG_SESSION_ID, that session is ours, and nothing asks by process id.
    askedPID = 0;
    SystemState named(*client, *client, {std::nullopt, std::nullopt, QStringLiteral("c7")});
    EXPECT_TRUE(named.screenLocked());
    EXPECT_EQ(askedPID.load(), 0u);
    services->emitSignal(otherSession, session, QStringLiteral("Unlock"), {});
    ASSERT_TRUE(waitUntil([&] { return !named.screenLocked(); }));
}

// Services that appear later are read; those that go away are forgotten.
TEST_F(SystemStateBus, ServicesComeAndGoAndABlankedScreenCountsAsLocked) {
    makeState();
    ASSERT_FALSE(state->onBattery());
    startUPower(true);
    ASSERT_TRUE(waitUntil([&] { return state->onBattery(); }));
    services->release(upower);
    ASSERT_TRUE(waitUntil([&] { return !state->onBattery(); }));
    EXPECT_EQ(changes, 2);

    ASSERT_TRUE(services->own(screenSaver));
    services->emitSignal(QStringLiteral("/org/freedesktop/ScreenSaver"), screenSaver, QStringLiteral("ActiveChanged"),
                         {true});
    ASSERT_TRUE(waitUntil([&] { return state->displaysAsleep(); }));
    EXPECT_FALSE(state->screenLocked());
    EXPECT_TRUE(state->countsAsLocked());
    // A screensaver that goes away cannot keep the displays asleep.
    services->release(screenSaver);
    ASSERT_TRUE(waitUntil([&] { return !state->displaysAsleep(); }));
    EXPECT_EQ(changes, 4);
}

TEST_F(SystemStateBus, SimulatedLockWindow) {
    std::vector<bool> seen;
    state = std::make_unique<SystemState>(*client, *client,
                                          SystemState::Environment{std::nullopt, QStringLiteral("0.05,,0.3"), std::nullopt});
    state->onChange = [&] { seen.push_back(state->simulatedLock()); };
    EXPECT_FALSE(state->simulatedLock());
    ASSERT_TRUE(waitUntil([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));
}

}  // namespace
}  // namespace nerivane
