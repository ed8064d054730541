#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <sstream>

#include "NerivaneKit/platform/LogStore.h"
#include "nerivane/core/Preferences.h"
#include "support/qt/QtSupport.h"

namespace nerivane {
namespace {

// Every property in one line, enumerations in the store's own words, so that
// a whole store compares at once.
std::string dump(const Preferences& p) {
    std::ostringstream out;
    out << text(p.displayStyle()) << ' ' << text(p.menuBarTarget()) << ' ' << text(p.accent()) << " interval=" << p.interval()
        << " battery=" << p.batteryInterval() << " hosts=" << p.primaryHost().toStdString() << '|' << p.secondaryHost().toStdString()
        << " ipv6=" << p.probeIPv6() << " custom=(" << p.customHosts().join(QLatin1Char('|')).toStdString()
        << ") keep=" << p.keepMonitoringWhileLocked() << " retention=" << p.retentionDays() << " notify=" << p.notifyOutages() << '/'
        << p.notifyVerdictChanges() << " firstRun=" << p.didShowFirstRun();
    return out.str();
}

// QSettings keeps files it has read in a process-wide cache with their typed
// values: every file read here has a name of its own, so it is parsed afresh,
// as on the next launch.
class PreferencesTest : public ::testing::Test {
protected:
    QString fresh() { return dir.filePath(QStringLiteral("%1.conf").arg(++files)); }
    QString copyOf(const QString& path) {
        const QString copy = fresh();
        EXPECT_TRUE(QFile::copy(path, copy));
        return copy;
    }
    QTemporaryDir dir;
    int files = 0;
};

TEST_F(PreferencesTest, StoredTextsAreReadWithoutClampingAndFallBackWhenUnreadable) {
    const std::vector<std::pair<QByteArray, std::string>> rows{
        // Unknown enumeration texts fall back; numbers and booleans that do not read as such are 0 and
        // false; a quoted text with a comma is one text (refused as a host), an unquoted one is a list, not a host.
        {"displayStyle=both\nmenuBarTarget=everything\naccent=neon\ninterval=fast\nbatteryInterval=\nprobeIPv6=maybe\n"
         "retentionDays=many\nnotifyOutages=2\nprimaryHost=\"a, b\"\nsecondaryHost=c, d\n",
         "textAndTrace internet phosphor interval=0 battery=0 hosts=1.1.1.1| ipv6=0 custom=() keep=0 retention=0 notify=1/0 firstRun=0"},
        // Nothing is clamped; a stored empty secondary is the user's choice.
        {"displayStyle=trace\nmenuBarTarget=both\naccent=amber\ninterval=0.25\nbatteryInterval=60\nretentionDays=12.9\n"
         "secondaryHost=\ncustomHosts=nas.local\nprobeIPv6=false\nkeepMonitoringWhileLocked=true\ndidShowFirstRun=1\n",
         "trace both amber interval=0.25 battery=60 hosts=1.1.1.1| ipv6=0 custom=(nas.local) keep=1 retention=12 notify=0/0 firstRun=1"},
    };
    for (const auto& [stored, expected] : rows) {
        QFile file(fresh());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("[General]\n" + stored) > 0);
        file.close();
        EXPECT_EQ(dump(Preferences(file.fileName())), expected);
    }
}

TEST_F(PreferencesTest, TargetSettingsTrimDeduplicateAndLimitTheHostsAndSurviveTheNextLaunch) {
    const QString file = fresh();
    Preferences preferences(file);
    struct Row {
        QString primary, secondary;
        QStringList custom;
        std::vector<std::string> internet, customExpected;
    };
    // QSettings stores lists of none and of one element in forms of their own.
    for (const auto& row : std::vector<Row>{
             {" \t\n", "8.8.8.8", {}, {"1.1.1.1", "8.8.8.8"}, {}}, {"1.1.1.1", " 1.1.1.1\n", {"nas.lan"}, {"1.1.1.1"}, {"nas.lan"}},
             {"  one.example\n", "\ttwo.example ", {"", "  nas.local ", "printer", "camera"}, {"one.example", "two.example"}, {"nas.local", "printer"}},
             {"1.1.1.1", "", {" ", "\n", "solo"}, {"1.1.1.1"}, {"solo"}},
             // One host twice is probed once, whatever its case; the next one takes the free place.
             {"1.1.1.1", "", {"one.lab", " ONE.lab", "two.lab"}, {"1.1.1.1"}, {"one.lab", "two.lab"}}}) {
        preferences.setPrimaryHost(row.primary);
        preferences.setSecondaryHost(row.secondary);
        preferences.setCustomHosts(row.custom);
        EXPECT_EQ(preferences.targetSettings(), (TargetSettings{row.internet, true, row.customExpected})) << row.primary.toStdString();
        EXPECT_EQ(preferences.lookupSettings(), LookupSettings{"example.com"});
        // The stored values keep their blanks; only the derived settings are trimmed.
        EXPECT_EQ(preferences.primaryHost(), row.primary);
        EXPECT_EQ(dump(Preferences(copyOf(file))), dump(preferences));
    }
}

// A hand-edited file is held to the rules typed hosts are: an address that
// this machine or nobody answers, or the resolver's shorthand for one, is
// logged once and its default used; a refused custom host leaves its field
// empty. Lab and real addresses pass. (Which addresses reach no other host,
// IPv6 among them: HostValidationTest.)
TEST_F(PreferencesTest, HandEditedHostsThatReachNoOtherHostAreReplacedByTheirDefaults) {
    struct Row {
        QByteArray stored;
        std::string hosts;
        std::size_t refused;
    };
    const std::vector<Row> rows{
        {"primaryHost=0\nsecondaryHost=127.1\ncustomHosts=0x7f.1, 010.0.0.1", "1.1.1.1|8.8.8.8 custom=(|)", 4},
        {"primaryHost=0.0.0.0\nsecondaryHost=255.255.255.255\ncustomHosts=224.0.0.1, nas.lan", "1.1.1.1|8.8.8.8 custom=(|nas.lan)", 3},
        {"primaryHost=127.0.0.53\nsecondaryHost=\ncustomHosts=\"2001:db8::1, x\"", "1.1.1.1| custom=()", 2},
        {"primaryHost=10.77.0.1\nsecondaryHost=2606:4700:4700::1111\ncustomHosts=silent.lab, 9.9.9.9",
         "10.77.0.1|2606:4700:4700::1111 custom=(silent.lab|9.9.9.9)", 0},
    };
    const auto refusals = [] {
        std::size_t count = 0;
        for (const auto& entry : LogStore::shared().entries(std::chrono::seconds(600)))
            count += entry.message.find("is not used") != std::string::npos;
        return count;
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.stored.toStdString());
        QFile file(fresh());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("[General]\n" + row.stored + "\n") > 0);
        file.close();
        const std::size_t before = refusals();
        const Preferences p(file.fileName());
        EXPECT_EQ(p.primaryHost().toStdString() + '|' + p.secondaryHost().toStdString() + " custom=(" +
                      p.customHosts().join(QLatin1Char('|')).toStdString() + ")",
                  row.hosts);
        EXPECT_EQ(refusals() - before, row.refused);
    }
}

}  // namespace
}  // namespace nerivane
