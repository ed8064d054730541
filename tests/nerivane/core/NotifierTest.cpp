#include <gtest/gtest.h>

#include <QDBusArgument>

#include "nerivane/core/Notifier.h"
#include "support/qt/PrivateBus.h"

namespace nerivane {
namespace {

using test::waitUntil;

// The notifier against a stand-in notification server on a private bus.
class NotifierBus : public test::BusTest {};

TEST_F(NotifierBus, PostedAlertsBecomeNotifyCallsAndOnlyAClickOnOursOpensThePopover) {
    test::NotificationServer server(*services);
    Notifier notifier(*client);
    int opened = 0;
    notifier.onOpen = [&] { ++opened; };
    // Replies arrive in order: once a later call is answered, the notifier
    // has seen the ids of everything it posted before, and every signal
    // sent before it has been handled.
    const auto askPermission = [&] {
        std::optional<Notifier::Permission> answer;
        notifier.requestPermission([&](Notifier::Permission permission) { answer = permission; });
        EXPECT_FALSE(answer.has_value()) << "answered from within the request";
        EXPECT_TRUE(waitUntil([&] { return answer.has_value(); })) << "no answer to the permission request";
        return answer;
    };
    // Without a server there is nobody to ask, and posting is harmless.
    EXPECT_EQ(askPermission(), Notifier::Permission::unavailable);
    notifier.post(AlertTracker::InternetBack{Seconds{5}}, {});
    ASSERT_TRUE(server.start());

    notifier.post(AlertTracker::InternetDown{Date{}, {"1.1.1.1"}, Verdict::internetDown}, {});
    notifier.post(AlertTracker::InternetBack{Seconds{125}}, {});
    ASSERT_EQ(askPermission(), Notifier::Permission::granted);
    const auto calls = server.calls();
    ASSERT_EQ(calls.size(), 2u);
    const QVariantList& down = calls[0];
    ASSERT_TRUE(calls[0].size() == 8 && calls[1].size() == 8);
    const auto hints = [&](std::size_t i) { return qdbus_cast<QVariantMap>(calls[i][6].value<QDBusArgument>()); };
    // Nothing replaces an earlier notification; only an outage makes a sound.
    EXPECT_EQ((QVariantList{down[0], down[3], down[5], calls[1][1], calls[1][4]}),
              (QVariantList{"nerivane", "Internet down", QStringList{"default", "Open"}, 0u, "It was down for 2 min 5 s."}));
    const QString entry = QStringLiteral("org.nerivane.Nerivane");
    EXPECT_EQ(hints(0), (QVariantMap{{"desktop-entry", entry}, {"sound-name", "message-new-instant"}, {"category", "network.disconnected"}}));
    EXPECT_EQ(hints(1), (QVariantMap{{"desktop-entry", entry}, {"suppress-sound", true}, {"category", "network.connected"}}));
    // An outage that a portal explains says what cures it.
    const auto signIn = Notifier::content(AlertTracker::InternetDown{Date{}, {"1.1.1.1"}, Verdict::signInNeeded},
                                          [] { MonitorSnapshot shown; return shown.verdict = Verdict::signInNeeded, shown; }());
    EXPECT_TRUE(signIn.title == "Sign in to this network" && signIn.sound && signIn.body.endsWith(". This network wants you to sign in before it lets traffic through."));

    // Someone else's notification, and another action on ours, open nothing.
    server.invoke(7, QStringLiteral("default"));
    server.invoke(100, QStringLiteral("dismiss"));
    server.invoke(100, QStringLiteral("default"));
    ASSERT_TRUE(waitUntil([&] { return opened > 0; }));
    askPermission();
    EXPECT_EQ(opened, 1);
    // Once closed, its id may belong to someone else.
    server.close(100);
    server.invoke(100, QStringLiteral("default"));
    askPermission();
    EXPECT_EQ(opened, 1);
}

}  // namespace
}  // namespace nerivane
