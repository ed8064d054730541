// The tray readout: the layout's rules, and the renders checked by their
// pixels (marks, dimming, the trace's newest point, an image intact through
// the next render, the ink per appearance, the compact readout at the sizes
// trays ask for). With NERIVANE_PICTURES set, the renders are written there.

#include <gtest/gtest.h>

#include "support/widgets/WidgetsSupport.h"
#include "nerivane/ui/menubar/MenuBarRenderer.h"

namespace nerivane {
namespace {

using D = DisplayStyle;
using M = MenuBarTarget;
using Mark = MenuBarLayout::Mark;
using Values = std::vector<std::optional<double>>;

TargetSnapshot target(TargetRole role, std::optional<double> latest) {
    TargetSnapshot target;
    target.target = {role, role.text(), *ProbeAddress::parse(role == TargetRole::router() ? "10.0.0.1" : "1.1.1.1")};
    target.status = TargetStatus::icmp;
    target.state = TargetState::ok();
    target.metrics.latest = latest;
    return target;
}

MonitorSnapshot snapshot(Verdict verdict, std::optional<double> internet = 12.0) {
    MonitorSnapshot snapshot;
    snapshot.verdict = verdict;
    snapshot.targets = {target(TargetRole::router(), 0.42), target(TargetRole::internet(0), internet)};
    return snapshot;
}

// The largest alpha within the columns [from, to) and rows [top, bottom).
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
    using P = std::vector<MenuBarLayout::Piece>;
    EXPECT_EQ(MenuBarLayout::make(snapshot(Verdict::good), trace, trace, D::text, M::router, false).pieces,
              (P{MenuBarLayout::Stacked{"RTT", "0.4ms"}, Mark::none}));
    EXPECT_EQ(MenuBarLayout::make(snapshot(Verdict::internetDown), trace, {1.0}, D::trace, M::both, false).pieces,
              (P{MenuBarLayout::Traces{{0.5}, {0.25, std::nullopt, 1.0}}, Mark::down}));
    // A missing target: the dash alone under the caption, padded in a row.
    EXPECT_EQ(MenuBarLayout::make(noInternet, {}, {}, D::text, M::internet, false).pieces.front(),
              MenuBarLayout::Piece(MenuBarLayout::Stacked{"RTT", "\u2014"}));
    EXPECT_EQ(MenuBarLayout::make(noInternet, {}, {}, D::text, M::both, false).pieces.front(),
              MenuBarLayout::Piece(MenuBarLayout::Pair{"R 0.4ms", "I     \u2014"}));
    const auto paused = MenuBarLayout::make(snapshot(Verdict::good), {}, {}, D::textAndTrace, M::internet, true);
    EXPECT_TRUE(paused.dimmed);
    EXPECT_EQ(paused.pieces.back(), MenuBarLayout::Piece(Mark::paused));
}

TEST(MenuBarRenderer, MarksDimmingAndTheNewestTracePoint) {
    test::widgetsApplication();
    MenuBarRenderer renderer;
    const TrayAppearance dark;
    const double scale = 2;
    const int mid = static_cast<int>(MenuBarRenderer::barHeight / 2 * scale);
    const auto markOnly = [&](Mark mark) { return renderer.render({{mark}, false}, dark, scale)->copy(); };

    // Opaque where the shape has ink (the centre column is x = 6 pixels).
    for (const auto& [mark, x, y, inked] :
         {std::tuple{Mark::problem, 6, mid - 4, true}, {Mark::problem, 6, mid + 5, false}, {Mark::problem, 6, mid + 9, true},
          {Mark::down, 6, mid, true}, {Mark::down, 6, mid - 5, false}, {Mark::paused, 3, mid, true}, {Mark::paused, 9, mid, true},
          {Mark::paused, 6, mid, false}}) {
        const QImage image = markOnly(mark);
        EXPECT_EQ(image.width(), 12);
        const int alpha = qAlpha(image.pixel(x, y));
        EXPECT_TRUE(inked ? alpha > 150 : alpha < 60) << int(mark) << " at " << x << "," << y << ": " << alpha;
    }
    EXPECT_EQ(maxAlpha(markOnly(Mark::none), 0, 12), 0);

    // Paused: the text at 40 %, the pause mark at full strength.
    const QImage wide = renderer.render(MenuBarLayout::make(snapshot(Verdict::good), {}, {}, D::text, M::internet, true), dark, scale)
                            ->copy();
    test::keepPicture(wide, QStringLiteral("wide-paused.png"));
    const int stacked = static_cast<int>(renderer.stackedWidth() * scale);
    EXPECT_GT(maxAlpha(wide, 0, stacked), 60);
    EXPECT_LE(maxAlpha(wide, 0, stacked), 103);
    EXPECT_GT(maxAlpha(wide, stacked, wide.width()), 240);

    // A rising trace: its highest point lies at the right edge of the box.
    const Values rising{1.0, 2.0, 4.0, 8.0, 16.0, 32.0};
    const auto traced = MenuBarLayout::make(snapshot(Verdict::good), rising, {}, D::trace, M::internet, false);
    const QImage trace = renderer.render(traced, dark, scale)->copy();
    const int top = static_cast<int>((MenuBarRenderer::barHeight / 2 - 8) * scale);
    EXPECT_GT(maxAlpha(trace, 52, 56, top, top + 4), 150) << "newest point at the top right";
    EXPECT_EQ(maxAlpha(trace, 0, 40, top, top + 8), 0) << "older, lower points";

    // An image stays intact through the next render; the same readout, the same pixels.
    const QImage first = *renderer.render(traced, dark, scale);
    const QImage second = *renderer.render(MenuBarLayout::make(snapshot(Verdict::good, 345), {}, {}, D::text, M::internet, false), dark, scale);
    test::keepPicture(second, QStringLiteral("wide-345ms.png"));
    EXPECT_EQ(first, trace);
    EXPECT_NE(first, second);
    EXPECT_EQ(*renderer.render(traced, dark, scale), trace);
}

TEST(MenuBarRenderer, InkIsTheLabelColourOfEachAppearance) {
    using S = TrayAppearance::Source;
    using Tray = std::optional<QColor>;
    using Scheme = std::optional<unsigned>;
    const QColor light(0xf2, 0xf2, 0xf2), darkInk(0x1a, 0x1a, 0x1a), trayInk(0x20, 0x20, 0x20);
    // The tray's colour, the portal's color-scheme: where the ink comes from and what it is.
    const std::tuple<Tray, Scheme, S, QColor> rows[] = {{trayInk, 1u, S::tray, trayInk},          {{}, 2u, S::colorScheme, darkInk},
                                                        {{}, 1u, S::colorScheme, light},           {{}, 0u, S::fallback, light},
                                                        {{}, std::nullopt, S::fallback, light},    {{}, 2u, S::colorScheme, darkInk}};
    test::widgetsApplication();
    MenuBarRenderer renderer;
    const auto layout = MenuBarLayout::make(snapshot(Verdict::good), {}, {}, D::text, M::internet, false);
    for (const auto& [tray, scheme, source, label] : rows) {
        SCOPED_TRACE(label.name().toStdString());
        const auto appearance = TrayAppearance::resolve(tray, scheme);
        EXPECT_EQ(appearance.source, source);
        const QImage image = renderer.render(layout, appearance, 2)->copy();
        QColor opaque = Qt::transparent;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (qAlpha(image.pixel(x, y)) == 255) opaque = QColor::fromRgba(image.pixel(x, y));
        EXPECT_EQ(opaque.rgb(), label.rgb());
    }
}

class Compact : public testing::TestWithParam<int> {};

TEST_P(Compact, DigitsFillTheSlotBesideTheBadge) {
    test::widgetsApplication();
    MenuBarRenderer renderer;
    const int side = GetParam();
    const TrayAppearance dark;
    const auto readout = CompactReadout::make(snapshot(Verdict::internetProblem, 12.4), {10.0, 14.0, 12.0, 30.0, 12.0}, {},
                                              D::textAndTrace, M::internet, false);
    EXPECT_EQ(readout.digits, "12");
    const QImage image = renderer.renderCompact(readout, dark, side);
    test::keepPicture(image, QStringLiteral("compact-%1.png").arg(side));
    ASSERT_EQ(image.size(), QSize(side, side));
    // Opaque digit ink over most of the slot's height and width.
    int left = side, right = -1, bottom = -1;
    for (int y = side / 2; y < side; ++y)
        for (int x = 0; x < side; ++x)
            if (qAlpha(image.pixel(x, y)) > 200) left = std::min(left, x), right = std::max(right, x), bottom = std::max(bottom, y);
    EXPECT_GE(right - left + 1, side * 6 / 10) << "digit width";
    EXPECT_GE(bottom - side / 2 + 1, side * 4 / 10) << "digits reach down to the bottom";
    // The badge: a full-strength disc in the top right corner.
    const int badge = static_cast<int>(std::round(side * 0.38));
    EXPECT_EQ(maxAlpha(image, side - badge, side, 0, badge), 255);

    // Paused: dimmed digits, the pause badge at full strength; seconds keep their unit.
    const auto paused = CompactReadout::make(snapshot(Verdict::good, 1234), {}, {}, D::text, M::internet, true);
    EXPECT_EQ(paused.digits, "1.2s");
    const QImage dim = renderer.renderCompact(paused, dark, side);
    test::keepPicture(dim, QStringLiteral("compact-paused-%1.png").arg(side));
    EXPECT_LE(maxAlpha(dim, 0, side, side * 6 / 10, side), 103);
    EXPECT_EQ(maxAlpha(dim, side - badge, side, 0, badge), 255);
}

INSTANTIATE_TEST_SUITE_P(MenuBarRenderer, Compact, testing::Values(16, 22, 32));

}  // namespace
}  // namespace nerivane
