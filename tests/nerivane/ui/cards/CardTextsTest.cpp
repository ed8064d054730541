// The cards' figures from nothing, losses over exactly the last minute and
// Wi-Fi without a noise figure.
#include <gtest/gtest.h>

#include "support/widgets/PopoverHarness.h"
#include "nerivane/ui/cards/CardTexts.h"

namespace nerivane {
namespace {

using namespace test;

TEST(Cards, FiguresFromNothingLossesOfExactlyTheLastMinuteAndWiFiWithoutNoise) {
    const VerdictTexts::Context english{QLocale(QLocale::English, QLocale::UnitedStates), QTimeZone::utc(), sceneClock};
    // Nothing sent: dashes, and no division by zero.
    const auto nothing = CardTexts::statistics(Metrics{}, english);
    EXPECT_EQ(nothing[0].value + nothing[0].spoken + nothing[4].value + nothing[4].spoken, "—no value—0 of 0 lost");

    const double now = sceneClock;
    const std::vector<TraceSample> samples{
        {now - 60.01, std::nullopt}, {now - 60, std::nullopt}, {now - 30, 12.0}, {now - 12, std::nullopt}, {now - 0.5, std::nullopt}};
    EXPECT_EQ(CardTexts::lostInLastMinute(samples, now), 3);

    // A driver that measures no noise: no made-up noise or signal-to-noise figure.
    QStringList labels;
    for (const auto& value : CardTexts::wifiValues(WiFiInfo{-58, 0, 72, 6, "2.4 GHz", 20})) labels << value.label;
    EXPECT_EQ(labels, (QStringList{"signal", "rate", "band"}));
}

}  // namespace
}  // namespace nerivane
