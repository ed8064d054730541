// The card models as tables (a target's rows, under load, Wi-Fi); the
// trace's scale and loss marks.
#include <gtest/gtest.h>

#include "support/widgets/PopoverHarness.h"
#include "nerivane/ui/cards/CardColors.h"
#include "nerivane/ui/cards/CardTexts.h"
#include "nerivane/ui/cards/LoadCard.h"
#include "nerivane/ui/cards/TargetCards.h"
#include "nerivane/ui/cards/TraceView.h"
#include "nerivane/ui/cards/WiFiCard.h"

// Table rows name only the fields a case sets.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace nerivane {
namespace {

using namespace test;

const CardContext context{{QLocale(QLocale::English, QLocale::UnitedStates), QTimeZone::utc(), sceneClock}, Qt::blue};

// A target's rows by state: the state line, its ink and the host's, tags, loss (a dash, not a division by zero,
// with nothing sent); a slow router harmless only while the internet is fine; losses of exactly the last minute.
TEST(Cards, TargetRowsModel) {
    const QPalette palette = scenePalette(false);
    const QColor orange = CardColors::orange(palette), grey = CardColors::secondary(palette);
    auto local = measured(scenes::cloudflare6, TargetState::ok(), 12);
    std::tie(local.status, local.answeredLocally) = std::tuple(TargetStatus::tcp, true);
    const TargetSnapshot waiting{.target = scenes::cloudflare, .status = TargetStatus::warmingUp};
    const auto slow = measured(scenes::router, TargetState::bad(Problems::latency()), 4);
    const std::tuple<TargetSnapshot, std::optional<Verdict>, QString, QColor, QStringList, QString> rows[] = {
        {measured(scenes::cloudflare, TargetState::ok(), 12.3), {}, "", Qt::blue, {}, "0 %"},
        {measured(scenes::cloudflare, TargetState::bad(Problems::loss()), 12.3, 60, 9), {}, "Losing probes", orange, {}, "15 %"},
        {measured(scenes::cloudflare, TargetState::down(), 12.3, 60, 60), {}, "No reply", CardColors::red(palette), {}, "100 %"},
        {waiting, {}, "Measuring", grey, {}, "\u2014"},
        {slow, Verdict::good, "Slow to answer ping; traffic through it is fine", orange, {}, "0 %"},
        {slow, Verdict::internetProblem, "Slow", orange, {}, "0 %"},
        {local, {}, "", Qt::blue, {"IPv6", "TCP", "answered locally"}, "0 %"},
    };
    for (const auto& [target, verdict, state, ink, tags, loss] : rows) {
        const auto shown = TargetCards::rows(target, false, verdict, context, palette);
        QStringList tagTexts;
        for (const auto& tag : shown.tags) tagTexts << tag.text;
        EXPECT_EQ(std::tie(shown.state, shown.stateInk, shown.hostInk, tagTexts, shown.statistics[4].value, shown.spoken),
                  std::tie(state, ink, ink, tags, loss, state));
    }
    const auto second = TargetCards::rows(local, true, {}, context, palette);  // lighter, not bold; only the warning tag orange
    EXPECT_EQ(std::tuple(second.tags[0].ink, second.tags[2].ink, second.hostInk, second.hostBold),
              std::tuple(grey, orange, CardColors::mix(Qt::blue, palette.color(QPalette::Window), 0.3), false));
    const double now = sceneClock;
    const std::vector<TraceSample> samples{
        {now - 60.01, std::nullopt}, {now - 60, std::nullopt}, {now - 30, 12.0}, {now - 12, std::nullopt}, {now - 0.5, std::nullopt}};
    EXPECT_EQ(CardTexts::lostInLastMinute(samples, now), 3);
}

// Per direction the letter, added time and note; hidden offline, without counters or a grade. A good grade with
// the queue unknown says nothing of it, a worse one that it is unknown; one from the router adds nothing.
TEST(Cards, UnderLoadModel) {
    const RoleLoad slow{12, 492, 480, 40, 0}, barely{12, 24, 12, 60, 0};
    const QString waiting = "\u2014,,Not busy long enough to grade yet";
    const std::tuple<Verdict, std::optional<LoadSnapshot>, QString> rows[] = {
        {Verdict::good, {}, ""},
        {Verdict::good, LoadSnapshot{}, ""},
        {Verdict::offline, LoadSnapshot{.upload = {.internet = slow, .grade = LoadGrade::f}}, ""},
        {Verdict::good, LoadSnapshot{.upload = {.internet = slow, .grade = LoadGrade::f, .queue = QueuePlace::beyondRouter}},
         "F,+480 ms,Queue beyond the router," + waiting},
        {Verdict::good, LoadSnapshot{.upload = {.internet = barely, .grade = LoadGrade::a}, .download = {.internet = barely, .grade = LoadGrade::b}},
         "A,+12 ms,,B,+12 ms,Where the queue is not yet known"},
        {Verdict::good, LoadSnapshot{.upload = {.router = slow, .grade = LoadGrade::d, .queue = QueuePlace::thisSide}},
         "D,,Queue on this side of the router," + waiting},
    };
    for (const auto& [verdict, load, texts] : rows) {
        MonitorSnapshot snapshot;
        std::tie(snapshot.verdict, snapshot.load) = std::tie(verdict, load);
        const auto model = LoadCard::model(snapshot, context, scenePalette(false));
        QStringList shown;
        for (const auto& row : model.value_or(LoadCard::Model{})) shown << row.letter << row.added << row.note;
        EXPECT_EQ(model ? shown.join(',') : QString(), texts);
        EXPECT_TRUE(!model || (*model)[0].letterInk == CardColors::grade(*load->upload.grade, scenePalette(false)));
    }
}

// A driver that measures no noise gets no made-up noise or signal to noise; an unknown channel no band.
TEST(Cards, WiFiModel) {
    for (const auto& [info, labels] : {std::pair<WiFiInfo, QStringList>{{-58, -92, 866.7, 36, "5 GHz", 80}, {"signal", "noise", "snr", "rate", "band"}},
                                       {{-58, 0, 72, 6, "2.4 GHz", 20}, {"signal", "rate", "band"}}, {{-71, 0, 6.5}, {"signal", "rate"}}})
        EXPECT_TRUE(std::ranges::equal(WiFiCard::model(info), labels, {}, &CardTexts::Value::label)) << labels.join(',').toStdString();
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
