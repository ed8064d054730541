#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "nerivane/core/Preferences.h"
#include "nerivane/core/QtSupport.h"

namespace nerivane {
namespace {

class PreferencesTest : public ::testing::Test {
protected:
    QString path(const QString& name = QStringLiteral("nerivane.conf")) const { return dir.filePath(name); }

    // QSettings keeps files it has read in a process-wide cache with their
    // typed values; a file written here under a new name is parsed afresh,
    // as on the next launch.
    QString writeFile(const QByteArray& text, const QString& name) {
        QFile file(path(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[General]\n" + text);
        return file.fileName();
    }

    QByteArray fileText(const QString& file) {
        QFile in(file);
        EXPECT_TRUE(in.open(QIODevice::ReadOnly));
        return in.readAll();
    }

    QTemporaryDir dir;
};

TEST_F(PreferencesTest, EmptyStoreGivesTheDefaults) {
    Preferences preferences(path());
    EXPECT_EQ(preferences.displayStyle(), DisplayStyle::textAndTrace);
    EXPECT_EQ(preferences.menuBarTarget(), MenuBarTarget::internet);
    EXPECT_EQ(preferences.interval(), 1.0);
    EXPECT_EQ(preferences.batteryInterval(), 5.0);
    EXPECT_EQ(preferences.primaryHost(), "1.1.1.1");
    EXPECT_EQ(preferences.secondaryHost(), "8.8.8.8");
    EXPECT_TRUE(preferences.probeIPv6());
    EXPECT_TRUE(preferences.customHosts().isEmpty());
    EXPECT_FALSE(preferences.keepMonitoringWhileLocked());
    EXPECT_EQ(preferences.retentionDays(), 30);
    EXPECT_FALSE(preferences.notifyOutages());
    EXPECT_FALSE(preferences.notifyVerdictChanges());
    EXPECT_EQ(preferences.accent(), Accent::phosphor);
    EXPECT_FALSE(preferences.didShowFirstRun());
    EXPECT_EQ(preferences.targetSettings(), (TargetSettings{{"1.1.1.1", "8.8.8.8"}, true, {}}));
}

TEST_F(PreferencesTest, StoredTextsThatCannotBeReadFallBack) {
    const QString file = writeFile("displayStyle=both\n"
                                   "menuBarTarget=everything\n"
                                   "accent=neon\n"
                                   "interval=fast\n"
                                   "batteryInterval=\n"
                                   "probeIPv6=maybe\n"
                                   "retentionDays=many\n"
                                   "notifyOutages=2\n"
                                   "primaryHost=\"a, b\"\n"
                                   "secondaryHost=c, d\n",
                                   QStringLiteral("odd.conf"));
    Preferences preferences(file);
    EXPECT_EQ(preferences.displayStyle(), DisplayStyle::textAndTrace);
    EXPECT_EQ(preferences.menuBarTarget(), MenuBarTarget::internet);
    EXPECT_EQ(preferences.accent(), Accent::phosphor);
    // Numbers and booleans that do not read as such are 0 and false, not the registered defaults.
    EXPECT_EQ(preferences.interval(), 0.0);
    EXPECT_EQ(preferences.batteryInterval(), 0.0);
    EXPECT_FALSE(preferences.probeIPv6());
    EXPECT_EQ(preferences.retentionDays(), 0);
    EXPECT_TRUE(preferences.notifyOutages());
    // A quoted text with a comma is one host; an unquoted one is a list, not a host.
    EXPECT_EQ(preferences.primaryHost(), "a, b");
    EXPECT_EQ(preferences.secondaryHost(), "");
}

TEST_F(PreferencesTest, StoredValuesAreTakenAsReadWithoutClamping) {
    const QString file = writeFile("displayStyle=trace\n"
                                   "menuBarTarget=both\n"
                                   "accent=amber\n"
                                   "interval=0.25\n"
                                   "batteryInterval=60\n"
                                   "probeIPv6=false\n"
                                   "retentionDays=12.9\n"
                                   "secondaryHost=\n"
                                   "customHosts=nas.local\n"
                                   "keepMonitoringWhileLocked=true\n"
                                   "didShowFirstRun=1\n",
                                   QStringLiteral("set.conf"));
    Preferences preferences(file);
    EXPECT_EQ(preferences.displayStyle(), DisplayStyle::trace);
    EXPECT_EQ(preferences.menuBarTarget(), MenuBarTarget::both);
    EXPECT_EQ(preferences.accent(), Accent::amber);
    EXPECT_EQ(preferences.interval(), 0.25);
    EXPECT_EQ(preferences.batteryInterval(), 60.0);
    EXPECT_FALSE(preferences.probeIPv6());
    EXPECT_EQ(preferences.retentionDays(), 12);
    // A stored empty secondary is the user's choice, not a missing value.
    EXPECT_EQ(preferences.secondaryHost(), "");
    EXPECT_EQ(preferences.customHosts(), QStringList{"nas.local"});
    EXPECT_TRUE(preferences.keepMonitoringWhileLocked());
    EXPECT_TRUE(preferences.didShowFirstRun());
}

TEST_F(PreferencesTest, EverySettingSurvivesTheNextLaunch) {
    {
        Preferences preferences(path());
        preferences.setDisplayStyle(DisplayStyle::text);
        preferences.setMenuBarTarget(MenuBarTarget::router);
        preferences.setInterval(0.5);
        preferences.setBatteryInterval(10);
        preferences.setPrimaryHost(QStringLiteral("9.9.9.9"));
        preferences.setSecondaryHost(QString());
        preferences.setProbeIPv6(false);
        preferences.setCustomHosts({QStringLiteral("a,b"), QStringLiteral(" nas ")});
        preferences.setKeepMonitoringWhileLocked(true);
        preferences.setRetentionDays(90);
        preferences.setNotifyOutages(true);
        preferences.setNotifyVerdictChanges(true);
        preferences.setAccent(Accent::system);
        preferences.setDidShowFirstRun(true);
    }
    // Written at once: a copy of the file taken now holds everything.
    const QString copy = path(QStringLiteral("copy.conf"));
    ASSERT_TRUE(QFile::copy(path(), copy));
    Preferences preferences(copy);
    EXPECT_EQ(preferences.displayStyle(), DisplayStyle::text);
    EXPECT_EQ(preferences.menuBarTarget(), MenuBarTarget::router);
    EXPECT_EQ(preferences.interval(), 0.5);
    EXPECT_EQ(preferences.batteryInterval(), 10.0);
    EXPECT_EQ(preferences.primaryHost(), "9.9.9.9");
    EXPECT_EQ(preferences.secondaryHost(), "");
    EXPECT_FALSE(preferences.probeIPv6());
    EXPECT_EQ(preferences.customHosts(), (QStringList{"a,b", " nas "}));
    EXPECT_TRUE(preferences.keepMonitoringWhileLocked());
    EXPECT_EQ(preferences.retentionDays(), 90);
    EXPECT_TRUE(preferences.notifyOutages());
    EXPECT_TRUE(preferences.notifyVerdictChanges());
    EXPECT_EQ(preferences.accent(), Accent::system);
    EXPECT_TRUE(preferences.didShowFirstRun());
    EXPECT_TRUE(fileText(copy).contains("displayStyle=text\n"));
}

TEST_F(PreferencesTest, CustomHostListsOfEveryLengthSurvive) {
    for (const QStringList& hosts : {QStringList{}, QStringList{"one"}, QStringList{"x", "y", "z"}}) {
        const QString name = QStringLiteral("hosts%1.conf").arg(hosts.size());
        {
            Preferences preferences(path(name));
            preferences.setCustomHosts({"placeholder"});
            preferences.setCustomHosts(hosts);
        }
        const QString copy = path(QStringLiteral("copy-") + name);
        ASSERT_TRUE(QFile::copy(path(name), copy));
        EXPECT_EQ(Preferences(copy).customHosts(), hosts);
    }
}

TEST_F(PreferencesTest, OnlyARealChangeIsAnnouncedButEverySetIsWritten) {
    Preferences preferences(path());
    int intervalChanges = 0;
    int hostChanges = 0;
    int styleChanges = 0;
    QObject::connect(&preferences, &Preferences::intervalChanged, [&] { ++intervalChanges; });
    QObject::connect(&preferences, &Preferences::customHostsChanged, [&] { ++hostChanges; });
    QObject::connect(&preferences, &Preferences::displayStyleChanged, [&] { ++styleChanges; });

    // The registered default is the value: setting it is no change, but it is stored.
    preferences.setInterval(1.0);
    preferences.setDisplayStyle(DisplayStyle::textAndTrace);
    EXPECT_EQ(intervalChanges, 0);
    EXPECT_EQ(styleChanges, 0);
    EXPECT_TRUE(fileText(path()).contains("interval=1\n"));
    EXPECT_TRUE(fileText(path()).contains("displayStyle=textAndTrace\n"));

    preferences.setInterval(2.0);
    preferences.setInterval(2.0);
    EXPECT_EQ(intervalChanges, 1);
    EXPECT_EQ(preferences.interval(), 2.0);

    preferences.setCustomHosts({"a"});
    preferences.setCustomHosts({"a"});
    preferences.setCustomHosts({"a", "b"});
    EXPECT_EQ(hostChanges, 2);
}

TEST_F(PreferencesTest, ChangeSignalsAreDeliveredAfterTheValueIsStored) {
    Preferences preferences(path());
    QByteArray seen;
    QObject::connect(&preferences, &Preferences::accentChanged, [&] {
        EXPECT_EQ(preferences.accent(), Accent::cyan);
        seen = fileText(path());
    });
    preferences.setAccent(Accent::cyan);
    EXPECT_TRUE(seen.contains("accent=cyan\n"));
}

TEST_F(PreferencesTest, InternetHostsAreTrimmedAndDeduplicated) {
    Preferences preferences(path());
    preferences.setPrimaryHost(QStringLiteral(" \t\n"));
    EXPECT_EQ(preferences.targetSettings().internetHosts, (std::vector<std::string>{"1.1.1.1", "8.8.8.8"}));

    preferences.setPrimaryHost(QStringLiteral("1.1.1.1"));
    preferences.setSecondaryHost(QStringLiteral(" 1.1.1.1\n"));
    EXPECT_EQ(preferences.targetSettings().internetHosts, std::vector<std::string>{"1.1.1.1"});

    preferences.setSecondaryHost(QString());
    EXPECT_EQ(preferences.targetSettings().internetHosts, std::vector<std::string>{"1.1.1.1"});

    preferences.setPrimaryHost(QStringLiteral("  one.example\n"));
    preferences.setSecondaryHost(QStringLiteral("\ttwo.example "));
    EXPECT_EQ(preferences.targetSettings().internetHosts, (std::vector<std::string>{"one.example", "two.example"}));
    // The stored values keep their blanks; only the derived settings are trimmed.
    EXPECT_EQ(preferences.primaryHost(), "  one.example\n");

    preferences.setProbeIPv6(false);
    EXPECT_FALSE(preferences.targetSettings().probeIPv6);
}

TEST_F(PreferencesTest, CustomHostsAreTrimmedAndAtMostTwoAreKept) {
    Preferences preferences(path());
    preferences.setCustomHosts({"", "  nas.local ", "printer", "camera"});
    EXPECT_EQ(preferences.targetSettings().customHosts, (std::vector<std::string>{"nas.local", "printer"}));

    preferences.setCustomHosts({" ", "\n", "solo"});
    EXPECT_EQ(preferences.targetSettings().customHosts, std::vector<std::string>{"solo"});
}

TEST(PreferencesLabels, IntervalAndRetentionLabels) {
    EXPECT_EQ(Preferences::intervalLabel(0.5), "½s");
    EXPECT_EQ(Preferences::intervalLabel(0.99), "½s");
    EXPECT_EQ(Preferences::intervalLabel(1), "1s");
    EXPECT_EQ(Preferences::intervalLabel(2.7), "2s");
    EXPECT_EQ(Preferences::intervalLabel(10), "10s");
    EXPECT_EQ(Preferences::retentionLabel(7), "7d");
    EXPECT_EQ(Preferences::retentionLabel(90), "90d");
}

}  // namespace
}  // namespace nerivane
