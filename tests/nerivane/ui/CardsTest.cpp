// The words and geometry of the cards (the rest is read off the popup's
// scenes): state lines in their order of rules, statistics with nothing sent,
// the custom card's loss line over exactly the last minute, Wi-Fi without a
// noise figure, the trace's placement of samples and loss marks, and inks
// that read on both palettes.

#include <gtest/gtest.h>

#include "support/widgets/PopoverHarness.h"
#include "nerivane/ui/cards/CardColors.h"
#include "nerivane/ui/cards/CardTexts.h"
#include "nerivane/ui/cards/TraceView.h"

namespace nerivane {
namespace {

using namespace test;

const VerdictTexts::Context english{QLocale(QLocale::English, QLocale::UnitedStates), QTimeZone::utc(), sceneClock};

TargetSnapshot with(TargetSnapshot target, TargetStatus status, std::optional<double> outageSince = {}) {
    target.status = status;
    target.outageSince = outageSince;
    return target;
}

TEST(Cards, StateLineFromTheFirstMatchingRule) {
    const auto loss = Problems::loss(), latency = Problems::latency(), jitter = Problems::jitter();
    const auto bad = [](const Target& target, Problems problems) { return measured(target, TargetState::bad(problems), 9); };
    const struct {
        TargetSnapshot target;
        std::optional<Verdict> verdict;
        const char* expected;
    } rows[] = {
        {with(bad(scenes::cloudflare, loss), TargetStatus::warmingUp), {}, "Measuring"},  // warming up beats a bad state
        {measured(scenes::cloudflare, TargetState::measuring(), 9), {}, "Measuring"},
        {measured(scenes::cloudflare, TargetState::ok(), 9), {}, ""},
        {with(measured(scenes::google, TargetState::down(), 9), TargetStatus::icmp, sceneClock - 125), {}, "No reply since 3:02 PM"},
        {bad(scenes::router, latency), Verdict::good, "Slow to answer ping; traffic through it is fine"},
        {bad(scenes::router, latency), Verdict::localProblem, "Slow"},
        // A bad internet host is not excused by a good verdict.
        {bad(scenes::cloudflare, loss | jitter), Verdict::good, "Losing probes and high jitter"},
        {bad(scenes::google, jitter | latency | loss), {}, "Losing probes, slow, and high jitter"},
    };
    for (const auto& row : rows) EXPECT_EQ(CardTexts::stateLine(row.target, row.verdict, english).toStdString(), row.expected);
}

TEST(Cards, StatisticsLostLinesAndWiFiValues) {
    // Nothing sent: dashes, and no division by zero.
    const auto nothing = CardTexts::statistics(Metrics{}, english);
    EXPECT_EQ(nothing[0].value + nothing[0].spoken, "—no value");
    EXPECT_EQ(nothing[4].value + nothing[4].spoken, "—0 of 0 lost");
    const auto some = CardTexts::statistics(measured(scenes::google, TargetState::ok(), 12.34, 60, 3).metrics, english);
    EXPECT_EQ(some[0].value + " " + some[0].unit + ", " + some[0].spoken, "12 ms, 12 milliseconds");
    EXPECT_EQ(some[4].value + ", " + some[4].spoken, "5.0%, 3 of 60 lost");

    // An event of yesterday carries its date.
    const auto old = CardTexts::eventTexts({NetworkEvent::Kind::outage, TargetRole::internet(0), "1.1.1.1", scenes::cloudflare.address,
                                            sceneClock - 90000, sceneClock - 89958, std::nullopt}, english);
    EXPECT_NE(old.start.indexOf("Mar"), -1) << old.start.toStdString();

    // Exactly the last sixty seconds count.
    const double now = sceneClock;
    const std::vector<TraceSample> samples{
        {now - 60.01, std::nullopt}, {now - 60, std::nullopt}, {now - 30, 12.0}, {now - 12, std::nullopt}, {now - 0.5, std::nullopt}};
    EXPECT_EQ(CardTexts::lostInLastMinute(samples, now), 3);
    EXPECT_EQ(CardTexts::lostLine(3), "3 lost in the last minute");
    EXPECT_EQ(CardTexts::lostLine(0), "None lost in the last minute");

    EXPECT_EQ(CardTexts::channelLine(WiFiInfo{-50, -90, 1, 149, "5 GHz", 80}), "ch 149 · 5 GHz · 80 MHz");
    // A driver that measures no noise: no made-up noise or signal-to-noise figure.
    QStringList labels;
    for (const auto& value : CardTexts::wifiValues(WiFiInfo{-58, 0, 72, 6, "2.4 GHz", 20})) labels << value.label;
    EXPECT_EQ(labels, (QStringList{"signal", "rate", "band"}));
}

TEST(Cards, TracePlacesSamplesByTheirTimeAndScale) {
    const QRectF plot(10, 0, 120, 41);
    const double now = 1000;
    const std::vector<TraceView::Series> series{
        {{{now - 60, 5.0}, {now - 30, std::nullopt}, {now, 40.0}, {now - 61, 500.0}}, Qt::green},
        {{{now - 15, std::nullopt}, {now - 5, 80.0}}, Qt::gray},
    };
    const auto layout = TraceView::layout(series, 10, now, plot);
    // The largest rtt shown (80) beats the floor; the sample older than 60 s is not shown.
    EXPECT_DOUBLE_EQ(layout.scale, 80);
    ASSERT_EQ(layout.lines.size(), 2u);
    EXPECT_EQ(layout.lines[0], (std::vector<QPointF>{{10, 41 - 5.0 / 80 * 40}, {70, 41}, {130, 41 - 0.5 * 40}}))
        << "a lost sample sits on the bottom edge";
    EXPECT_EQ(layout.lines[1][1], QPointF(120, 1)) << "the largest rtt reaches the top";
    ASSERT_EQ(layout.marks.size(), 2u);
    EXPECT_EQ(layout.marks[0].rect, QRectF(69.25, 42, 1.5, 4));
    EXPECT_EQ(layout.marks[0].opacity, 1.0);
    EXPECT_EQ(layout.marks[1].opacity, 0.5) << "marks of later series are half opaque";

    // Below the floor the floor is the scale: a quiet line stays low.
    const auto quiet = TraceView::layout({{{{now - 1, 2.0}}, Qt::green}}, 10, now, plot);
    EXPECT_DOUBLE_EQ(quiet.scale, 10);
    EXPECT_DOUBLE_EQ(quiet.lines[0][0].y(), 41 - 0.2 * 40);
}

// WCAG's contrast ratio of two colours.
double contrast(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& colour) {
        const auto linear = [](double c) { return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
        return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) + 0.0722 * linear(colour.blueF());
    };
    const double x = luminance(a) + 0.05, y = luminance(b) + 0.05;
    return std::max(x, y) / std::min(x, y);
}

TEST(Cards, AccentsReadOnLightAndDarkCards) {
    for (const bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        const QPalette palette = scenePalette(dark);
        EXPECT_EQ(CardColors::isDark(palette), dark);
        const QColor fill = CardColors::cardFill(palette);
        for (const auto accent : {Accent::phosphor, Accent::cyan, Accent::magenta, Accent::amber})
            EXPECT_GE(contrast(CardColors::accent(accent, palette), fill), 3.0) << text(accent);
        for (const QColor& warning : {CardColors::orange(palette), CardColors::red(palette), CardColors::secondary(palette)})
            EXPECT_GE(contrast(warning, fill), 3.0) << warning.name().toStdString();
        EXPECT_EQ(CardColors::accent(Accent::system, palette), palette.color(QPalette::Highlight));
    }
}

}  // namespace
}  // namespace nerivane
