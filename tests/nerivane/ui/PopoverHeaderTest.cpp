// The popup header's texts: the pause replaces the verdict's title; a VPN
// path with an IPv6 problem shows both tags after the kind.

#include <gtest/gtest.h>

#include "nerivane/ui/popover/PopoverHeader.h"

namespace nerivane {
namespace {

TEST(PopoverHeader, PauseVpnAndIPv6) {
    const VerdictTexts::Context context{QLocale(QLocale::English, QLocale::UnitedStates), QTimeZone::utc(), 1'700'000'000};
    MonitorSnapshot snapshot;
    snapshot.verdict = Verdict::good;
    EXPECT_EQ(PopoverHeader::statusText(snapshot, std::nullopt, context), "Good");
    EXPECT_EQ(PopoverHeader::statusText(snapshot, 1'700'003'600, context), "Paused until 11:13 PM");
    snapshot.path.kind = NetworkPath::Kind::wifi;
    EXPECT_EQ(PopoverHeader::networkLine(snapshot), "Wi\u2011Fi");
    snapshot.path.isVPN = true;
    snapshot.ipv6Problem = true;
    const QString line = PopoverHeader::networkLine(snapshot);
    EXPECT_TRUE(line.startsWith("Wi\u2011Fi ")) << line.toStdString();
    EXPECT_TRUE(line.contains("via VPN") && line.indexOf("via VPN") < line.indexOf("IPv6 problem")) << line.toStdString();
}

}  // namespace
}  // namespace nerivane
