// The cards' figures from nothing, losses over exactly the last minute and
// Wi-Fi without a noise figure; the trace's scale and loss marks.
#include <gtest/gtest.h>

#include "support/widgets/PopoverHarness.h"
#include "nerivane/ui/cards/CardTexts.h"
#include "nerivane/ui/cards/TraceView.h"

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


TEST(Cards, TraceScalesByTheFloorOrTheLargestShownAndMarksLossesBelowTheLastMinute) {
    const double now = sceneClock;
    const QRectF plot(0, 0, 120, 30);  // two units a second; the full scale 29 units high
    using S = std::vector<TraceSample>;
    using P = std::vector<QPointF>;
    const S first{{now - 61, 90.0}, {now - 60, 5.0}, {now - 30, 20.0}, {now - 15, std::nullopt}, {now, 40.0}, {now + 1, 80.0}};
    const S second{{now - 30, std::nullopt}, {now - 15, 0.0}};
    const struct {
        std::vector<S> series;
        double floor, scale;
        std::vector<P> lines;
        std::vector<std::pair<double, double>> marks;  // left edge and opacity
    } cases[] = {
        {{first, second}, 10, 40, {{{0, 26.375}, {60, 15.5}, {90, 30}, {120, 1}}, {{60, 30}, {90, 30}}}, {{89.25, 1}, {59.25, 0.5}}},
        {{second}, 2, 2, {{{60, 30}, {90, 30}}}, {{59.25, 1}}},
        {{{{now, 0.0}}}, 0, 0, {{{120, 30}}}, {}},  // no scale: flat at the bottom
        {{}, 10, 10, {}, {}},
    };
    for (const auto& c : cases) {
        std::vector<TraceView::Series> series;
        for (const auto& samples : c.series) series.push_back({samples, Qt::black});
        const auto layout = TraceView::layout(series, c.floor, now, plot);
        EXPECT_EQ(layout.scale, c.scale) << "case " << (&c - cases);
        EXPECT_EQ(layout.lines, c.lines) << "case " << (&c - cases);
        std::vector<std::pair<double, double>> marks;
        for (const auto& mark : layout.marks) {
            EXPECT_EQ(mark.rect, QRectF(mark.rect.left(), 31, 1.5, 4));
            marks.emplace_back(mark.rect.left(), mark.opacity);
        }
        EXPECT_EQ(marks, c.marks) << "case " << (&c - cases);
    }
}

}  // namespace
}  // namespace nerivane
