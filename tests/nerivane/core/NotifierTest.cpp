#include <gtest/gtest.h>

#include "nerivane/core/Notifier.h"
#include "support/qt/PrivateBus.h"
#include "support/qt/QtSupport.h"

namespace nerivane {
namespace {

using test::waitUntil;

// 2024-01-06 10:00:00 UTC.
constexpr double saturdayMorning = 1704535200;

TEST(NotifierContent, TitleBodyAndSoundOfEachAlert) {
    const VerdictTexts::Context english{QLocale(QLocale::English, QLocale::UnitedStates), QTimeZone::utc(), saturdayMorning};
    MonitorSnapshot offline;
    offline.verdict = Verdict::offline;
    using Down = AlertTracker::InternetDown;
    const std::vector<std::tuple<AlertTracker::Alert, MonitorSnapshot, Notifier::Content>> rows{
        {Down{saturdayMorning - 60, {"1.1.1.1", "8.8.8.8"}, Verdict::internetDown}, {},
         {"Internet down", "No reply from 1.1.1.1 and 8.8.8.8 since 9:59 AM.", true}},
        {Down{saturdayMorning - 60, {"1.1.1.1"}, Verdict::localDown}, {},
         {"Internet down", "No reply from 1.1.1.1 since 9:59 AM. The router isn't answering either.", true}},
        {AlertTracker::InternetBack{3725.9}, {}, {"Internet back", "It was down for 1h 2m.", false}},
        // A verdict change explains the snapshot, never since when.
        {AlertTracker::VerdictChanged{Verdict::localDown}, offline, {"Local network down", "No network.", false}},
    };
    for (const auto& [alert, snapshot, expected] : rows) {
        auto content = Notifier::content(alert, snapshot, english);
        content.body.replace(QChar(0x202f), QLatin1Char(' '));  // newer locale data: a narrow space before AM
        EXPECT_EQ(content, expected) << expected.body.toStdString();
    }
}

// The notifier against a stand-in notification server on a private bus.
class NotifierBus : public test::BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        server = std::make_unique<test::NotificationServer>(*services);
        notifier = std::make_unique<Notifier>(*client);
        notifier->onOpen = [this] { ++opened; };
    }

    // Replies arrive in order: once a later call is answered, the notifier
    // has seen the ids of everything it posted before, and every signal
    // sent before it has been handled.
    std::optional<bool> askPermission(Notifier& asking) {
        std::optional<bool> answer;
        asking.requestPermission([&](bool granted) { answer = granted; });
        EXPECT_FALSE(answer.has_value()) << "answered from within the request";
        EXPECT_TRUE(waitUntil([&] { return answer.has_value(); })) << "no answer to the permission request";
        return answer;
    }

    std::unique_ptr<test::NotificationServer> server;
    std::unique_ptr<Notifier> notifier;
    int opened = 0;
};

TEST_F(NotifierBus, PostedAlertsBecomeNotifyCallsAndOnlyAClickOnOursOpensThePopover) {
    // Without a server (or a bus) permission is refused, and posting is harmless.
    EXPECT_EQ(askPermission(*notifier), false);
    Notifier unconnected(QDBusConnection(QStringLiteral("never-connected")));
    EXPECT_EQ(askPermission(unconnected), false);
    notifier->post(AlertTracker::InternetBack{5}, {});
    ASSERT_TRUE(server->start());

    notifier->post(AlertTracker::InternetDown{saturdayMorning, {"1.1.1.1"}, Verdict::internetDown}, {});
    notifier->post(AlertTracker::InternetBack{125}, {});
    ASSERT_EQ(askPermission(*notifier), true);
    const auto calls = server->calls();
    ASSERT_EQ(calls.size(), 2u);
    const QVariantList& down = calls[0].arguments;
    ASSERT_EQ(down.size(), 8);
    // Nothing replaces an earlier notification; only an outage makes a sound.
    EXPECT_EQ((QVariantList{down[0], down[3], down[5], calls[1].arguments[1]}),
              (QVariantList{"nerivane", "Internet down", QStringList{"default", "Open"}, 0u}));
    const QString entry = QStringLiteral("org.nerivane.Nerivane");
    EXPECT_EQ(calls[0].hints, (QVariantMap{{"desktop-entry", entry}, {"sound-name", "message-new-instant"}, {"category", "network.disconnected"}}));
    EXPECT_EQ(calls[1].hints, (QVariantMap{{"desktop-entry", entry}, {"suppress-sound", true}, {"category", "network.connected"}}));

    // Someone else's notification, and another action on ours, open nothing.
    server->invoke(7, QStringLiteral("default"));
    server->invoke(100, QStringLiteral("dismiss"));
    server->invoke(100, QStringLiteral("default"));
    ASSERT_TRUE(waitUntil([&] { return opened > 0; }));
    askPermission(*notifier);
    EXPECT_EQ(opened, 1);
    // Once closed, its id may belong to someone else.
    server->close(100);
    server->invoke(100, QStringLiteral("default"));
    askPermission(*notifier);
    EXPECT_EQ(opened, 1);
}

}  // namespace
}  // namespace nerivane
