#include <gtest/gtest.h>

#include <QString>

#include "nerivane/app/ConsoleReadout.h"

namespace nerivane {
namespace {

// The status area of one custom host with the figures given, on a terminal
// of the width given: the verdict, the heading, the target, the DNS row.
QStringList area(std::optional<double> milliseconds, int sent, int lost, std::string host, int columns = 100) {
    TargetSnapshot target;
    target.target = {TargetRole::custom(0), std::move(host), *ProbeAddress::parse("2001:db8:ffff:ffff:ffff:ffff:ffff:1")};
    target.status = TargetStatus::icmp, target.state = TargetState::ok();
    target.metrics.latest = target.metrics.median = target.metrics.p95 = milliseconds;
    target.metrics.sent = sent, target.metrics.lost = lost;
    MonitorSnapshot snapshot;
    snapshot.targets = {target};
    snapshot.lookups = LookupSnapshot{};  // probing, no server known yet
    const VerdictTexts::Context context{QLocale(QLocale::English, QLocale::UnitedStates), QTimeZone::utc(), 1704535200, 0, true};
    QStringList rows;
    for (const auto& row : ConsoleReadout::statusRows(snapshot, {}, {}, context, columns)) rows << QString::fromStdString(row);
    return rows;
}

TEST(ConsoleReadout, StatusRowsKeepTheirColumnsWhateverTheFiguresAndFitTheTerminal) {
    const QStringList first = area(std::nullopt, 0, 0, "nas.lan");
    ASSERT_EQ(first.size(), 4);
    EXPECT_TRUE(first[0].startsWith(QStringLiteral("10:00:00 AM"))) << first[0].toStdString();
    EXPECT_EQ(first[3].simplified(), QStringLiteral("DNS checking"));
    const QString& heading = first[1];
    for (const auto& rows : {first, area(0.04, 60, 0, "nas.lan"), area(999.4, 60, 60, "a-long-name.of.a.host.example"),
                             area(12345, 1, 1, "nas.lan"), area(9.95, 1000, 7, "10.0.0.7")}) {
        EXPECT_EQ(rows[1], heading);
        // Each figure's last character stands under its heading's.
        for (qsizetype i = 1; i + 1 < heading.indexOf(QLatin1String("state")); ++i) {
            if (heading[i] == u' ' || heading[i + 1] != u' ') continue;
            EXPECT_TRUE(rows[2][i] != u' ' && rows[2][i + 1] == u' ') << i << "\n" << heading.toStdString() << "\n" << rows[2].toStdString();
        }
    }
    for (const QString& row : area(999.4, 60, 60, "a-long-name.of.a.host.example", 40)) EXPECT_LE(row.size(), 39) << row.toStdString();
}

}  // namespace
}  // namespace nerivane
