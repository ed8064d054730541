#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <sstream>

#include "nerivane/core/Preferences.h"
#include "support/qt/QtSupport.h"

namespace nerivane {
namespace {

// Every property in one line, enumerations in the store's own words, so that
// a whole store compares at once.
std::string dump(const Preferences& p) {
    std::ostringstream out;
    out << text(p.displayStyle()) << ' ' << text(p.menuBarTarget()) << ' ' << text(p.accent())
        << " interval=" << p.interval() << " battery=" << p.batteryInterval() << " hosts=" << p.primaryHost().toStdString()
        << '|' << p.secondaryHost().toStdString() << " ipv6=" << p.probeIPv6() << " custom=("
        << p.customHosts().join(QLatin1Char('|')).toStdString() << ") keep=" << p.keepMonitoringWhileLocked()
        << " retention=" << p.retentionDays() << " notify=" << p.notifyOutages() << '/' << p.notifyVerdictChanges()
        << " firstRun=" << p.didShowFirstRun();
    return out.str();
}

class PreferencesTest : public ::testing::Test {
protected:
    QString path(const QString& name = QStringLiteral("nerivane.conf")) const { return dir.filePath(name); }

    // QSettings keeps files it has read in a process-wide cache with their
    // typed values; a file written or copied here under a new name is parsed
    // afresh, as on the next launch.
    QString writeFile(const QByteArray& text, const QString& name) {
        QFile file(path(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[General]\n" + text);
        return file.fileName();
    }
    QString copyOf(const QString& name) {
        const QString copy = path(QStringLiteral("copy-") + name);
        EXPECT_TRUE(QFile::copy(path(name), copy));
        return copy;
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
    EXPECT_EQ(dump(preferences), "textAndTrace internet phosphor interval=1 battery=5 hosts=1.1.1.1|8.8.8.8 ipv6=1 "
                                 "custom=() keep=0 retention=30 notify=0/0 firstRun=0");
    EXPECT_EQ(preferences.targetSettings(), (TargetSettings{{"1.1.1.1", "8.8.8.8"}, true, {}}));
}

TEST_F(PreferencesTest, StoredTextsAreReadWithoutClampingAndFallBackWhenUnreadable) {
    // Unknown enumeration texts fall back; numbers and booleans that do not
    // read as such are 0 and false, not the registered defaults; a quoted
    // text with a comma is one host, an unquoted one is a list, not a host.
    Preferences odd(writeFile("displayStyle=both\nmenuBarTarget=everything\naccent=neon\ninterval=fast\n"
                              "batteryInterval=\nprobeIPv6=maybe\nretentionDays=many\nnotifyOutages=2\n"
                              "primaryHost=\"a, b\"\nsecondaryHost=c, d\n",
                              QStringLiteral("odd.conf")));
    EXPECT_EQ(dump(odd), "textAndTrace internet phosphor interval=0 battery=0 hosts=a, b| ipv6=0 custom=() keep=0 "
                         "retention=0 notify=1/0 firstRun=0");
    // Nothing is clamped; a stored empty secondary is the user's choice, not a missing value.
    Preferences set(writeFile("displayStyle=trace\nmenuBarTarget=both\naccent=amber\ninterval=0.25\n"
                              "batteryInterval=60\nretentionDays=12.9\nsecondaryHost=\ncustomHosts=nas.local\n"
                              "probeIPv6=false\nkeepMonitoringWhileLocked=true\ndidShowFirstRun=1\n",
                              QStringLiteral("set.conf")));
    EXPECT_EQ(dump(set), "trace both amber interval=0.25 battery=60 hosts=1.1.1.1| ipv6=0 custom=(nas.local) keep=1 "
                         "retention=12 notify=0/0 firstRun=1");
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
    const QString copy = copyOf(QStringLiteral("nerivane.conf"));
    EXPECT_EQ(dump(Preferences(copy)), "text router system interval=0.5 battery=10 hosts=9.9.9.9| ipv6=0 "
                                       "custom=(a,b| nas ) keep=1 retention=90 notify=1/1 firstRun=1");
    EXPECT_TRUE(fileText(copy).contains("displayStyle=text\n"));

    // QSettings stores lists of none and of one element in forms of their own.
    for (const QStringList& hosts : {QStringList{}, QStringList{"one"}, QStringList{"x", "y", "z"}}) {
        const QString name = QStringLiteral("hosts%1.conf").arg(hosts.size());
        {
            Preferences preferences(path(name));
            preferences.setCustomHosts({"placeholder"});
            preferences.setCustomHosts(hosts);
        }
        EXPECT_EQ(Preferences(copyOf(name)).customHosts(), hosts);
    }
}

TEST_F(PreferencesTest, OnlyARealChangeIsAnnouncedButEverySetIsWrittenFirst) {
    Preferences preferences(path());
    int intervalChanges = 0;
    int hostChanges = 0;
    int styleChanges = 0;
    QByteArray seenByAccentObserver;
    QObject::connect(&preferences, &Preferences::intervalChanged, [&] { ++intervalChanges; });
    QObject::connect(&preferences, &Preferences::customHostsChanged, [&] { ++hostChanges; });
    QObject::connect(&preferences, &Preferences::displayStyleChanged, [&] { ++styleChanges; });
    QObject::connect(&preferences, &Preferences::accentChanged, [&] {
        EXPECT_EQ(preferences.accent(), Accent::cyan);
        seenByAccentObserver = fileText(path());
    });

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

    // Observers are told after the value is stored.
    preferences.setAccent(Accent::cyan);
    EXPECT_TRUE(seenByAccentObserver.contains("accent=cyan\n"));
}

TEST_F(PreferencesTest, TargetSettingsTrimDeduplicateAndLimitTheHosts) {
    Preferences preferences(path());
    struct Case {
        QString primary;
        QString secondary;
        QStringList custom;
        std::vector<std::string> internet;
        std::vector<std::string> customExpected;
    };
    const std::vector<Case> cases{
        {" \t\n", "8.8.8.8", {}, {"1.1.1.1", "8.8.8.8"}, {}},
        {"1.1.1.1", " 1.1.1.1\n", {}, {"1.1.1.1"}, {}},
        {"1.1.1.1", "", {}, {"1.1.1.1"}, {}},
        {"  one.example\n", "\ttwo.example ", {"", "  nas.local ", "printer", "camera"},
         {"one.example", "two.example"}, {"nas.local", "printer"}},
        {"1.1.1.1", "", {" ", "\n", "solo"}, {"1.1.1.1"}, {"solo"}},
    };
    for (const auto& c : cases) {
        preferences.setPrimaryHost(c.primary);
        preferences.setSecondaryHost(c.secondary);
        preferences.setCustomHosts(c.custom);
        EXPECT_EQ(preferences.targetSettings(), (TargetSettings{c.internet, true, c.customExpected}))
            << c.primary.toStdString() << " / " << c.secondary.toStdString();
        // The stored values keep their blanks; only the derived settings are trimmed.
        EXPECT_EQ(preferences.primaryHost(), c.primary);
    }
    preferences.setProbeIPv6(false);
    EXPECT_FALSE(preferences.targetSettings().probeIPv6);
}

TEST(PreferencesLabels, IntervalAndRetentionLabels) {
    for (const auto& [seconds, label] : std::vector<std::pair<double, const char*>>{
             {0.5, "½s"}, {0.99, "½s"}, {1, "1s"}, {2.7, "2s"}, {10, "10s"}})
        EXPECT_EQ(Preferences::intervalLabel(seconds), QString::fromUtf8(label));
    EXPECT_EQ(Preferences::retentionLabel(7), "7d");
    EXPECT_EQ(Preferences::retentionLabel(90), "90d");
}

}  // namespace
}  // namespace nerivane
