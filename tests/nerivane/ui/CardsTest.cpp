// The words and geometry of the cards: state lines in their order of rules,
// notes and tags, statistics with nothing sent, the custom card's loss line
// over exactly the last minute, Wi-Fi values, event rows, and the trace's
// placement of samples and loss marks.

#include <gtest/gtest.h>

#include "support/widgets/PopoverHarness.h"
#include "nerivane/ui/cards/CardColors.h"
#include "nerivane/ui/cards/CardTexts.h"
#include "nerivane/ui/cards/TraceView.h"

namespace nerivane {
namespace {

using namespace test;

const VerdictTexts::Context english{QLocale(QLocale::English, QLocale::UnitedStates), QTimeZone::utc(), sceneClock};

struct StateRow {
    const char* name;
    TargetSnapshot target;
    std::optional<Verdict> verdict;
    const char* expected;
};

void PrintTo(const StateRow& row, std::ostream* out) { *out << row.name; }

TargetSnapshot with(TargetSnapshot target, TargetStatus status) {
    target.status = status;
    return target;
}

TargetSnapshot since(TargetSnapshot target, double start) {
    target.outageSince = start;
    return target;
}

class StateLine : public testing::TestWithParam<StateRow> {};

TEST_P(StateLine, FirstMatchingRuleGivesTheWords) {
    const auto& row = GetParam();
    EXPECT_EQ(CardTexts::stateLine(row.target, row.verdict, english).toStdString(), row.expected) << row.name;
}

const auto loss = Problems::loss();
const auto latency = Problems::latency();
const auto jitter = Problems::jitter();

INSTANTIATE_TEST_SUITE_P(
    Cards, StateLine,
    testing::Values(
        StateRow{"warming up beats a bad state", with(measured(scenes::cloudflare, TargetState::bad(loss), 9), TargetStatus::warmingUp),
                 std::nullopt, "Measuring"},
        StateRow{"measuring", measured(scenes::cloudflare, TargetState::measuring(), 9), std::nullopt, "Measuring"},
        StateRow{"ok says nothing", measured(scenes::cloudflare, TargetState::ok(), 9), std::nullopt, ""},
        StateRow{"down since its outage began", since(measured(scenes::google, TargetState::down(), 9), sceneClock - 125),
                 std::nullopt, "No reply since 3:02 PM"},
        StateRow{"slow router while the verdict is good", measured(scenes::router, TargetState::bad(latency), 9), Verdict::good,
                 "Slow to answer ping; traffic through it is fine"},
        StateRow{"slow router while the local network has a problem", measured(scenes::router, TargetState::bad(latency), 9),
                 Verdict::localProblem, "Slow"},
        StateRow{"a bad internet host is not excused by a good verdict",
                 measured(scenes::cloudflare, TargetState::bad(loss | jitter), 9), Verdict::good, "Losing probes and high jitter"},
        StateRow{"loss, latency, jitter in that order", measured(scenes::google, TargetState::bad(jitter | latency | loss), 9),
                 std::nullopt, "Losing probes, slow, and high jitter"}),
    [](const auto& info) { return "row" + std::to_string(info.index); });

TEST(Cards, NotesAndTagsOfEachCard) {
    EXPECT_EQ(CardTexts::internetNote(Verdict::measuring), "Measuring");
    EXPECT_EQ(CardTexts::internetNote(Verdict::internetUnmeasured), "No internet host resolved");
    EXPECT_EQ(CardTexts::routerNote(std::nullopt), "No router on this network");
    const auto router = measured(scenes::router, TargetState::ok(), 1);
    EXPECT_EQ(CardTexts::routerNote(with(router, TargetStatus::unreachableVPN)), "Router can't be reached through the VPN");
    EXPECT_EQ(CardTexts::routerNote(with(router, TargetStatus::doesntAnswerPing)), "Router doesn't answer ping");
    // A router that answers only TCP is measured like any target: a tag, no note.
    EXPECT_EQ(CardTexts::routerNote(with(router, TargetStatus::tcp)), std::nullopt);
    EXPECT_EQ(CardTexts::hostTags(with(router, TargetStatus::tcp)), QStringList{"TCP"});
    auto six = with(measured(scenes::cloudflare6, TargetState::ok(), 1), TargetStatus::tcp);
    six.answeredLocally = true;
    EXPECT_EQ(CardTexts::hostTags(six), (QStringList{"IPv6", "TCP", "answered locally"}));
    EXPECT_EQ(CardTexts::hostTags(measured(scenes::google, TargetState::ok(), 1)), QStringList{});
}

TEST(Cards, StatisticsWithNothingSentAndTheirSpokenForms) {
    const auto nothing = CardTexts::statistics(Metrics{}, english);
    EXPECT_EQ(nothing[4].label, "loss");
    EXPECT_EQ(nothing[4].value, "—");
    EXPECT_EQ(nothing[4].spoken, "0 of 0 lost");
    EXPECT_EQ(nothing[0].value, "—");
    EXPECT_EQ(nothing[0].spoken, "no value");

    const auto some = CardTexts::statistics(measured(scenes::google, TargetState::ok(), 12.34, 60, 3).metrics, english);
    const QStringList labels{some[0].label, some[1].label, some[2].label, some[3].label, some[4].label};
    EXPECT_EQ(labels, (QStringList{"med", "p95", "min", "jit", "loss"}));
    EXPECT_EQ(some[0].value + " " + some[0].unit, "12 ms");
    EXPECT_EQ(some[0].spoken, "12 milliseconds");
    EXPECT_EQ(some[4].value, "5.0%");
    EXPECT_EQ(some[4].spoken, "3 of 60 lost");
}

TEST(Cards, LostInTheLastMinuteCountsExactlySixtySeconds) {
    const double now = sceneClock;
    const std::vector<TraceSample> samples{
        {now - 60.01, std::nullopt},  // just too old
        {now - 60, std::nullopt},     // the minute's first moment
        {now - 30, 12.0},             // answered
        {now - 12, std::nullopt},
        {now - 0.5, std::nullopt},
    };
    EXPECT_EQ(CardTexts::lostInLastMinute(samples, now), 3);
    EXPECT_EQ(CardTexts::lostLine(3), "3 lost in the last minute");
    EXPECT_EQ(CardTexts::lostLine(CardTexts::lostInLastMinute({{now - 61, std::nullopt}, {now - 5, 3.0}}, now)),
              "None lost in the last minute");
}

TEST(Cards, WiFiValuesLeaveOutWhatIsUnknown) {
    const auto values = CardTexts::wifiValues(WiFiInfo{-58, -92, 866.5, std::nullopt, "5 GHz", std::nullopt});
    ASSERT_EQ(values.size(), 5u);
    EXPECT_EQ(values[0].spoken, "signal -58 dBm");
    EXPECT_EQ(values[2].label, "snr");
    EXPECT_EQ(values[2].value, "34");
    EXPECT_EQ(values[2].spoken, "signal to noise 34 dB");
    EXPECT_EQ(values[3].value + " " + values[3].unit, "867 Mbit/s");
    EXPECT_EQ(values[4].value, "5 GHz");
    EXPECT_EQ(CardTexts::channelLine(WiFiInfo{-50, -90, 1, 149, "5 GHz", 80}), "ch 149 · 5 GHz · 80 MHz");
    // A driver that measures no noise: no made-up noise or signal-to-noise figure.
    const auto noNoise = CardTexts::wifiValues(WiFiInfo{-58, 0, 72, 6, "2.4 GHz", 20});
    QStringList labels;
    for (const auto& value : noNoise) labels << value.label;
    EXPECT_EQ(labels, (QStringList{"signal", "rate", "band"}));
}

TEST(Cards, EventRowWordsAndSpokenForm) {
    const NetworkEvent spike{NetworkEvent::Kind::spike, TargetRole::router(), "router", scenes::router.address,
                             sceneClock - 3000, sceneClock - 2991, 212.0};
    const auto texts = CardTexts::eventTexts(spike, english);
    EXPECT_EQ(texts.title, "spike router");
    EXPECT_EQ(texts.worst, "212 ms");
    EXPECT_EQ(texts.duration, "9s");
    EXPECT_EQ(texts.start, "2:15 PM");
    EXPECT_EQ(texts.spoken, "Spike to router at 2:15 PM, 9s, worst 212 milliseconds");
    const NetworkEvent outage{NetworkEvent::Kind::outage, TargetRole::internet(0), "1.1.1.1", scenes::cloudflare.address,
                              sceneClock - 90000, sceneClock - 89958, std::nullopt};
    const auto old = CardTexts::eventTexts(outage, english);
    EXPECT_EQ(old.worst, "");
    EXPECT_EQ(old.spoken, "Outage to 1.1.1.1 at " + old.start + ", 42s");
    EXPECT_NE(old.start.indexOf("Mar"), -1) << "yesterday's event carries its date";
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
    ASSERT_EQ(layout.lines[0].size(), 3u);
    EXPECT_EQ(layout.lines[0][0], QPointF(10, 41 - 5.0 / 80 * 40));
    EXPECT_EQ(layout.lines[0][1], QPointF(70, 41)) << "a lost sample sits on the bottom edge";
    EXPECT_EQ(layout.lines[0][2], QPointF(130, 41 - 0.5 * 40));
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

}  // namespace
}  // namespace nerivane

namespace nerivane {
namespace {

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
        const QPalette palette = test::scenePalette(dark);
        EXPECT_EQ(CardColors::isDark(palette), dark);
        const QColor fill = CardColors::cardFill(palette);
        for (const auto accent : {Accent::phosphor, Accent::cyan, Accent::magenta, Accent::amber}) {
            EXPECT_GE(contrast(CardColors::accent(accent, palette), fill), 3.0) << text(accent) << (dark ? " dark" : " light");
        }
        for (const QColor& warning : {CardColors::orange(palette), CardColors::red(palette), CardColors::secondary(palette)}) {
            EXPECT_GE(contrast(warning, fill), 3.0) << warning.name().toStdString() << (dark ? " dark" : " light");
        }
        EXPECT_EQ(CardColors::accent(Accent::system, palette), palette.color(QPalette::Highlight));
    }
}

}  // namespace
}  // namespace nerivane
