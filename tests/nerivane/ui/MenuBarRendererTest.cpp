// The tray readout: the layout's rules, the wide render checked by pixels
// (marks, dimming, the trace's newest point, the two canvases), the ink per
// appearance and the compact readout at the sizes trays ask for. With
// NERIVANE_PICTURES set to a folder, the renders are written there as PNG.

#include <gtest/gtest.h>

#include <QDir>

#include "support/widgets/WidgetsSupport.h"
#include "nerivane/ui/menubar/MenuBarRenderer.h"

namespace nerivane {
namespace {

using D = DisplayStyle;
using M = MenuBarTarget;
using Mark = MenuBarLayout::Mark;
using Values = std::vector<std::optional<double>>;

void keep(const QImage& image, const QString& name) {
    const QByteArray folder = qgetenv("NERIVANE_PICTURES");
    if (!folder.isEmpty()) image.save(QDir(QString::fromUtf8(folder)).filePath(name + QStringLiteral(".png")));
}

TargetSnapshot target(TargetRole role, TargetStatus status, std::optional<double> latest) {
    TargetSnapshot target;
    target.target = {role, role.text(), *ProbeAddress::parse(role == TargetRole::router() ? "10.0.0.1" : "1.1.1.1")};
    target.status = status;
    target.state = TargetState::ok();
    target.metrics.latest = latest;
    return target;
}

MonitorSnapshot snapshot(Verdict verdict, std::optional<double> internet = 12.0) {
    MonitorSnapshot snapshot;
    snapshot.verdict = verdict;
    snapshot.targets.push_back(target(TargetRole::router(), TargetStatus::icmp, 0.42));
    snapshot.targets.push_back(target(TargetRole::internet(0), TargetStatus::icmp, internet));
    return snapshot;
}

// The largest alpha within the columns [from, to) of the image.
int maxAlpha(const QImage& image, int from, int to, int top = 0, int bottom = -1) {
    if (bottom < 0) bottom = image.height();
    int alpha = 0;
    for (int y = top; y < bottom; ++y)
        for (int x = std::max(0, from); x < std::min(to, image.width()); ++x) alpha = std::max(alpha, qAlpha(image.pixel(x, y)));
    return alpha;
}

TEST(MenuBarLayout, PiecesFollowStyleTargetAndPause) {
    MonitorSnapshot noInternet = snapshot(Verdict::internetUnmeasured);
    noInternet.targets.pop_back();
    const Values trace{5.0, std::nullopt, 20.0};
    EXPECT_EQ(MenuBarLayout::make(snapshot(Verdict::good), trace, trace, D::text, M::router, false).pieces,
              (std::vector<MenuBarLayout::Piece>{MenuBarLayout::Stacked{"RTT", "0.4ms"}, Mark::none}));
    EXPECT_EQ(MenuBarLayout::make(snapshot(Verdict::internetDown), trace, {1.0}, D::trace, M::both, false).pieces,
              (std::vector<MenuBarLayout::Piece>{MenuBarLayout::Traces{{0.5}, {0.25, std::nullopt, 1.0}}, Mark::down}));
    // A missing target: the dash alone under the caption, padded in a row.
    EXPECT_EQ(MenuBarLayout::make(noInternet, {}, {}, D::text, M::internet, false).pieces.front(),
              MenuBarLayout::Piece(MenuBarLayout::Stacked{"RTT", "\u2014"}));
    EXPECT_EQ(MenuBarLayout::make(noInternet, {}, {}, D::text, M::both, false).pieces.front(),
              MenuBarLayout::Piece(MenuBarLayout::Pair{"R 0.4ms", "I     \u2014"}));
    const auto paused = MenuBarLayout::make(snapshot(Verdict::good), {}, {}, D::textAndTrace, M::internet, true);
    EXPECT_TRUE(paused.dimmed);
    EXPECT_EQ(paused.pieces.back(), MenuBarLayout::Piece(Mark::paused));

    test::widgetsApplication();
    MenuBarRenderer renderer;
    const auto layout = MenuBarLayout::make(snapshot(Verdict::good), trace, {}, D::textAndTrace, M::internet, false);
    EXPECT_EQ(renderer.width(layout), std::ceil(28 + renderer.stackedWidth() + 6 + 8));
    EXPECT_GT(renderer.stackedWidth(), 20);
}

TEST(MenuBarRenderer, MarksDimmingAndTheNewestTracePoint) {
    test::widgetsApplication();
    MenuBarRenderer renderer;
    const TrayAppearance dark;
    const double scale = 2;
    const int mid = static_cast<int>(MenuBarRenderer::barHeight / 2 * scale);
    const auto markOnly = [&](Mark mark) { return *renderer.render({{mark}, false}, dark, scale); };

    // Centre column at x = 3 points: opaque where the shape has ink.
    const QImage problem = markOnly(Mark::problem).copy();
    EXPECT_EQ(problem.width(), 12);
    EXPECT_GT(qAlpha(problem.pixel(6, mid - 4)), 200) << "the stroke of !";
    EXPECT_LT(qAlpha(problem.pixel(6, mid + 5)), 60) << "the gap above the dot";
    EXPECT_GT(qAlpha(problem.pixel(6, mid + 9)), 150) << "the dot";
    const QImage down = markOnly(Mark::down).copy();
    EXPECT_GT(qAlpha(down.pixel(6, mid)), 200) << "where the diagonals cross";
    EXPECT_LT(qAlpha(down.pixel(6, mid - 5)), 60);
    const QImage paused = markOnly(Mark::paused).copy();
    EXPECT_GT(qAlpha(paused.pixel(3, mid)), 200);
    EXPECT_GT(qAlpha(paused.pixel(9, mid)), 200);
    EXPECT_LT(qAlpha(paused.pixel(6, mid)), 60) << "between the bars";
    EXPECT_EQ(maxAlpha(markOnly(Mark::none), 0, 12), 0);

    // Paused: the text at 40 %, the pause mark at full strength.
    const auto dimmed = MenuBarLayout::make(snapshot(Verdict::good), {}, {}, D::text, M::internet, true);
    const QImage wide = renderer.render(dimmed, dark, scale)->copy();
    keep(wide, QStringLiteral("wide-paused"));
    const int stacked = static_cast<int>(renderer.stackedWidth() * scale);
    EXPECT_GT(maxAlpha(wide, 0, stacked), 60);
    EXPECT_LE(maxAlpha(wide, 0, stacked), 103);
    EXPECT_GT(maxAlpha(wide, stacked, wide.width()), 240);

    // A rising trace: its highest point lies at the right edge of the box.
    const Values rising{1.0, 2.0, 4.0, 8.0, 16.0, 32.0};
    const auto traced = MenuBarLayout::make(snapshot(Verdict::good), rising, {}, D::trace, M::internet, false);
    const QImage trace = renderer.render(traced, dark, scale)->copy();
    keep(trace, QStringLiteral("wide-trace"));
    const int top = static_cast<int>((MenuBarRenderer::barHeight / 2 - 8) * scale);
    EXPECT_GT(maxAlpha(trace, 52, 56, top, top + 4), 150) << "newest point at the top right";
    EXPECT_EQ(maxAlpha(trace, 0, 40, top, top + 8), 0) << "older, lower points";
    // One level: the baseline alone.
    const QImage single = renderer.render({{MenuBarLayout::Trace{{1.0}}}, false}, dark, scale)->copy();
    EXPECT_EQ(maxAlpha(single, 0, 56, 0, mid + 15), 0);
    EXPECT_GT(maxAlpha(single, 0, 56, mid + 15, mid + 17), 0);
}

TEST(MenuBarRenderer, TwoCanvasesInTurnKeepThePreviousImage) {
    test::widgetsApplication();
    MenuBarRenderer renderer;
    const TrayAppearance dark;
    const auto layout = [](double ms) {
        return MenuBarLayout::make(snapshot(Verdict::internetProblem, ms), {1.0, ms}, {}, D::textAndTrace, M::internet, false);
    };
    const QImage first = *renderer.render(layout(12), dark, 2);
    const QImage kept = first.copy();
    keep(first, QStringLiteral("wide-12ms"));
    const QImage second = *renderer.render(layout(345), dark, 2);
    keep(second, QStringLiteral("wide-345ms"));
    EXPECT_NE(first.constBits(), second.constBits());
    EXPECT_EQ(first, kept) << "the earlier image is intact";
    EXPECT_NE(first, second);
    const QImage third = *renderer.render(layout(12), dark, 2);
    EXPECT_EQ(third.constBits(), first.constBits()) << "the first canvas again";
    EXPECT_EQ(third, kept);
    // The cells of the second value's digits were made once and kept.
    const auto cells = renderer.glyphCount();
    renderer.render(layout(345), dark, 2);
    EXPECT_EQ(renderer.glyphCount(), cells);
}

TEST(TrayAppearance, InkKeyFromEachSource) {
    struct Row {
        std::optional<QColor> tray;
        std::optional<unsigned> scheme;
        TrayAppearance::Source source;
        QString key;
        QColor label;
    };
    const std::vector<Row> rows{
        {QColor(0x20, 0x20, 0x20), 1u, TrayAppearance::Source::tray, "tray#202020@2", QColor(0x20, 0x20, 0x20)},
        {std::nullopt, 2u, TrayAppearance::Source::colorScheme, "light@2", QColor(0x1a, 0x1a, 0x1a)},
        {std::nullopt, 1u, TrayAppearance::Source::colorScheme, "dark@2", QColor(0xf2, 0xf2, 0xf2)},
        {std::nullopt, 0u, TrayAppearance::Source::fallback, "dark@2", QColor(0xf2, 0xf2, 0xf2)},
        {std::nullopt, std::nullopt, TrayAppearance::Source::fallback, "dark@2", QColor(0xf2, 0xf2, 0xf2)},
    };
    test::widgetsApplication();
    MenuBarRenderer renderer;
    const auto layout = MenuBarLayout::make(snapshot(Verdict::good), {}, {}, D::text, M::internet, false);
    for (const auto& row : rows) {
        const auto appearance = TrayAppearance::resolve(row.tray, row.scheme);
        EXPECT_EQ(appearance.source, row.source);
        const QImage image = renderer.render(layout, appearance, 2)->copy();
        EXPECT_EQ(renderer.ink().key, row.key);
        // The value's ink is the label colour.
        QColor darkest = Qt::transparent;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (qAlpha(image.pixel(x, y)) == 255) darkest = QColor::fromRgba(image.pixel(x, y));
        EXPECT_EQ(darkest.rgb(), row.label.rgb()) << row.key.toStdString();
    }
    // Back to an earlier appearance: the cells are made again, in its colour.
    renderer.render(layout, TrayAppearance::resolve(std::nullopt, 2u), 2);
    EXPECT_EQ(renderer.ink().key, "light@2");
    EXPECT_GT(renderer.glyphCount(), 0u);
    renderer.render(MenuBarLayout::make(snapshot(Verdict::good), {}, {}, D::text, M::internet, true),
                    TrayAppearance::resolve(std::nullopt, 2u), 2);
    EXPECT_EQ(renderer.ink().key, "light@2-dimmed");
}

class Compact : public testing::TestWithParam<int> {};

TEST_P(Compact, DigitsFillTheSlotBesideTheBadge) {
    test::widgetsApplication();
    MenuBarRenderer renderer;
    const int side = GetParam();
    const TrayAppearance dark;
    const Values trace{10.0, 14.0, 12.0, 30.0, 12.0};
    const auto readout = CompactReadout::make(snapshot(Verdict::internetProblem, 12.4), trace, {}, D::textAndTrace,
                                              M::internet, false);
    EXPECT_EQ(readout.digits, "12");
    const QImage image = renderer.renderCompact(readout, dark, side);
    keep(image, QStringLiteral("compact-%1").arg(side));
    ASSERT_EQ(image.size(), QSize(side, side));
    // Opaque digit ink over most of the slot's height and width.
    int left = side, right = -1, top = side, bottom = -1;
    for (int y = side / 2; y < side; ++y)
        for (int x = 0; x < side; ++x)
            if (qAlpha(image.pixel(x, y)) > 200) {
                left = std::min(left, x), right = std::max(right, x);
                top = std::min(top, y), bottom = std::max(bottom, y);
            }
    EXPECT_GE(right - left + 1, side * 6 / 10) << "digit width";
    EXPECT_GE(bottom - side / 2 + 1, side * 4 / 10) << "digits reach down to the bottom";
    // The badge: a full-strength disc in the top right corner.
    const int badge = static_cast<int>(std::round(side * 0.38));
    EXPECT_EQ(maxAlpha(image, side - badge, side, 0, badge), 255);

    // Paused: dimmed digits, the pause badge at full strength; seconds keep their unit.
    const auto paused = CompactReadout::make(snapshot(Verdict::good, 1234), {}, {}, D::text, M::internet, true);
    EXPECT_EQ(paused.digits, "1.2s");
    const QImage dim = renderer.renderCompact(paused, dark, side);
    keep(dim, QStringLiteral("compact-paused-%1").arg(side));
    EXPECT_LE(maxAlpha(dim, 0, side, side * 6 / 10, side), 103);
    EXPECT_EQ(maxAlpha(dim, side - badge, side, 0, badge), 255);
}

INSTANTIATE_TEST_SUITE_P(MenuBarRenderer, Compact, testing::Values(16, 22, 32));

}  // namespace
}  // namespace nerivane
