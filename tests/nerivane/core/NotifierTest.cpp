#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusMetaType>

#include "nerivane/core/Notifier.h"
#include "nerivane/core/PrivateBus.h"
#include "nerivane/core/QtSupport.h"

namespace nerivane {
namespace {

using test::application;
using test::waitUntil;

// 2024-01-06 10:00:00 UTC.
constexpr double saturdayMorning = 1704535200;

VerdictTexts::Context english() {
    return {QLocale(QLocale::English, QLocale::UnitedStates), QTimeZone::utc(), saturdayMorning};
}

QString plain(QString text) {
    return text.replace(QChar(0x202f), QLatin1Char(' '));
}

TEST(NotifierContent, InternetDownNamesHostsAndStart) {
    const AlertTracker::InternetDown down{saturdayMorning - 60, {"1.1.1.1", "8.8.8.8"}, Verdict::internetDown};
    const auto content = Notifier::content(down, {}, english());
    EXPECT_EQ(content.title, "Internet down");
    EXPECT_EQ(plain(content.body), "No reply from 1.1.1.1 and 8.8.8.8 since 9:59 AM.");
    EXPECT_TRUE(content.sound);

    const AlertTracker::InternetDown routerToo{saturdayMorning - 60, {"1.1.1.1"}, Verdict::localDown};
    EXPECT_EQ(plain(Notifier::content(routerToo, {}, english()).body),
              "No reply from 1.1.1.1 since 9:59 AM. The router isn't answering either.");
    const AlertTracker::InternetDown noRouter{saturdayMorning - 60, {"1.1.1.1"}, Verdict::connectionDown};
    EXPECT_EQ(plain(Notifier::content(noRouter, {}, english()).body), "No reply from 1.1.1.1 since 9:59 AM.");
}

TEST(NotifierContent, InternetBackSaysHowLong) {
    auto content = Notifier::content(AlertTracker::InternetBack{0.4}, {}, english());
    EXPECT_EQ(content.title, "Internet back");
    EXPECT_EQ(content.body, "It was down for 1s.");
    EXPECT_FALSE(content.sound);
    EXPECT_EQ(Notifier::content(AlertTracker::InternetBack{3725.9}, {}, english()).body, "It was down for 1h 2m.");
}

TEST(NotifierContent, VerdictChangeUsesTitleAndExplanation) {
    MonitorSnapshot snapshot;
    snapshot.verdict = Verdict::offline;
    // The notification never says since when: that is the popover's business.
    const auto content = Notifier::content(AlertTracker::VerdictChanged{Verdict::localDown}, snapshot, english());
    EXPECT_EQ(content.title, "Local network down");
    EXPECT_EQ(content.body, "No network.");
    EXPECT_FALSE(content.sound);
}

// A stand-in notification server that records every Notify call.
class NotifierBus : public ::testing::Test {
protected:
    struct Call {
        QVariantList arguments;
        QVariantMap hints;
    };

    static void SetUpTestSuite() {
        application();
        bus = new test::PrivateBus;
    }
    static void TearDownTestSuite() {
        delete bus;
        bus = nullptr;
    }

    void SetUp() override {
        if (!bus->isRunning()) GTEST_SKIP() << "no dbus-daemon to run a private bus";
        static int serial = 0;
        ++serial;
        services = std::make_unique<test::StandIns>(*bus, QStringLiteral("server-%1").arg(serial));
        client = std::make_unique<QDBusConnection>(bus->connect(QStringLiteral("app-%1").arg(serial)));
        notifier = std::make_unique<Notifier>(*client);
        notifier->onOpen = [this] { ++opened; };
    }

    void TearDown() override {
        notifier.reset();
        services.reset();
    }

    void startServer() {
        auto& server = services->object(path);
        server.setMethod(interface, QStringLiteral("Notify"), [this](const QDBusMessage& message) -> std::optional<QVariantList> {
            Call call{message.arguments(), {}};
            if (call.arguments.size() == 8) {
                call.hints = qdbus_cast<QVariantMap>(call.arguments[6].value<QDBusArgument>());
            }
            std::lock_guard lock(mutex);
            calls.push_back(call);
            return QVariantList{QVariant::fromValue(nextID++)};
        });
        server.setMethod(interface, QStringLiteral("GetServerInformation"), [](const QDBusMessage&) {
            return std::optional<QVariantList>{{QStringLiteral("stand-in"), QStringLiteral("nerivane tests"),
                                                QStringLiteral("1.0"), QStringLiteral("1.2")}};
        });
        ASSERT_TRUE(services->own(service));
    }

    std::vector<Call> recorded() {
        std::lock_guard lock(mutex);
        return calls;
    }

    // Replies arrive in order: once a later call is answered, the notifier
    // has seen the ids of everything it posted before.
    std::optional<bool> askPermission() {
        std::optional<bool> answer;
        notifier->requestPermission([&](bool granted) { answer = granted; });
        if (!waitUntil([&] { return answer.has_value(); })) ADD_FAILURE() << "no answer to the permission request";
        return answer;
    }

    void invoke(uint id, const QString& action) {
        services->emitSignal(path, interface, QStringLiteral("ActionInvoked"), {id, action});
    }

    static inline test::PrivateBus* bus = nullptr;
    const QString service = QStringLiteral("org.freedesktop.Notifications");
    const QString path = QStringLiteral("/org/freedesktop/Notifications");
    const QString interface = QStringLiteral("org.freedesktop.Notifications");
    std::unique_ptr<test::StandIns> services;
    std::unique_ptr<QDBusConnection> client;
    std::unique_ptr<Notifier> notifier;
    std::mutex mutex;
    std::vector<Call> calls;
    uint nextID = 100;
    int opened = 0;
};

TEST_F(NotifierBus, PostedAlertsBecomeNotifyCalls) {
    startServer();
    notifier->post(AlertTracker::InternetDown{saturdayMorning, {"1.1.1.1"}, Verdict::internetDown}, {});
    notifier->post(AlertTracker::InternetBack{125}, {});
    notifier->post(AlertTracker::InternetBack{125}, {});
    ASSERT_TRUE(waitUntil([&] { return recorded().size() == 3; }));
    const auto calls = recorded();

    const QVariantList& down = calls[0].arguments;
    ASSERT_EQ(down.size(), 8);
    EXPECT_EQ(down[0].toString(), "nerivane");
    EXPECT_EQ(down[1].toUInt(), 0u);
    EXPECT_EQ(down[3].toString(), "Internet down");
    EXPECT_TRUE(down[4].toString().startsWith(QStringLiteral("No reply from 1.1.1.1 since ")));
    EXPECT_EQ(down[5].toStringList(), (QStringList{"default", "Open"}));
    EXPECT_EQ(down[7].toInt(), -1);
    EXPECT_EQ(calls[0].hints.value(QStringLiteral("sound-name")).toString(), "message-new-instant");
    EXPECT_FALSE(calls[0].hints.contains(QStringLiteral("suppress-sound")));

    const QVariantList& back = calls[1].arguments;
    EXPECT_EQ(back[3].toString(), "Internet back");
    EXPECT_EQ(back[4].toString(), "It was down for 2m 5s.");
    EXPECT_EQ(calls[1].hints.value(QStringLiteral("suppress-sound")).toBool(), true);
    EXPECT_FALSE(calls[1].hints.contains(QStringLiteral("sound-name")));
    // Nothing replaces an earlier notification.
    EXPECT_EQ(calls[2].arguments[1].toUInt(), 0u);
}

TEST_F(NotifierBus, AClickOnOurNotificationOpensThePopover) {
    startServer();
    notifier->post(AlertTracker::InternetBack{5}, {});
    ASSERT_TRUE(waitUntil([&] { return recorded().size() == 1; }));
    ASSERT_EQ(askPermission(), true);

    // Someone else's notification, and another action on ours, open nothing.
    invoke(7, QStringLiteral("default"));
    invoke(100, QStringLiteral("dismiss"));
    invoke(100, QStringLiteral("default"));
    ASSERT_TRUE(waitUntil([&] { return opened > 0; }));
    askPermission();
    EXPECT_EQ(opened, 1);

    // Once closed, its id may belong to someone else.
    services->emitSignal(path, interface, QStringLiteral("NotificationClosed"), {uint(100), uint(2)});
    invoke(100, QStringLiteral("default"));
    askPermission();
    test::runEventsFor(100);
    EXPECT_EQ(opened, 1);
}

TEST_F(NotifierBus, NoNotificationServiceMeansRefused) {
    EXPECT_EQ(askPermission(), false);
    // Posting without a server is harmless.
    notifier->post(AlertTracker::InternetBack{5}, {});
    startServer();
    EXPECT_EQ(askPermission(), true);
}

TEST_F(NotifierBus, NoBusMeansRefused) {
    Notifier unconnected(QDBusConnection(QStringLiteral("never-connected")));
    std::optional<bool> answer;
    unconnected.requestPermission([&](bool granted) { answer = granted; });
    EXPECT_FALSE(answer.has_value());
    ASSERT_TRUE(waitUntil([&] { return answer.has_value(); }));
    EXPECT_FALSE(*answer);
}

}  // namespace
}  // namespace nerivane
