// The tray item. Its controller over the model driven by a fake monitor: one
// render per change of what the item shows, the context menu's rules, the
// first-run card's 3-second rule, the spoken description of the readout,
// memory that stays flat across renders and openings of the popup; the
// desktop portal's color-scheme, read at start and followed through
// SettingChanged, on a private bus with a stand-in portal, back to the
// fallback for "no preference" (the tray's own colours are read under X11:
// the XEmbed tray harness sets them on a real tray). Then the readout's
// renders checked by their pixels: marks, dimming, the trace's newest point,
// an image intact through the next render, the ink of the appearance, the
// compact readout at the sizes trays ask for. With NERIVANE_PICTURES set, the
// renders are written there.

#include <gtest/gtest.h>

#include <malloc.h>

#include <QDBusVariant>
#include <QMenu>
#include <QPainter>
#include <QPixmapCache>
#include <QPushButton>
#include <QSignalSpy>
#include <algorithm>
#include <cmath>
#include <map>

#include "support/qt/PrivateBus.h"
#include "support/widgets/PopoverHarness.h"
#include "nerivane/ui/history/HistoryCard.h"
#include "nerivane/ui/menubar/MenuBarRenderer.h"
#include "nerivane/ui/menubar/StatusItemController.h"
#include "nerivane/ui/menubar/TrayAppearanceWatcher.h"
#include "nerivane/ui/popover/PopoverFooter.h"

namespace nerivane {
namespace {

using namespace test;

MonitorSnapshot reading(double latest, Verdict verdict = Verdict::good, TargetStatus routerStatus = TargetStatus::icmp) {
    auto internet = measured(scenes::cloudflare, TargetState::ok(), latest, 40, 3);  // 7.5 % lost rounds to 8
    internet.metrics.jitter = 1.23;
    auto gateway = measured(scenes::router, TargetState::ok(), 0.42);
    gateway.status = routerStatus;
    return scenes::snapshot(path(NetworkPath::Kind::ethernet), verdict, TargetState::ok(), {internet, gateway});
}

struct Item {
    PopoverHarness harness;
    int quits = 0;
    const bool welcomed = (harness.preferences.setDidShowFirstRun(true), true);
    StatusItemController controller{*harness.model, harness.preferences, [this] { quits += 1; }, [this] { return harness.clock; }};

    QStringList menu() {
        emit controller.menu().aboutToShow();
        QStringList texts;
        for (QAction* action : controller.menu().actions())
            if (action->isVisible()) texts << (action->isEnabled() ? action->text() : "(" + action->text() + ")");
        return texts;
    }
    void trigger(const QString& text) {
        for (QAction* action : controller.menu().actions())
            if (action->text() == text) return action->trigger();
        ADD_FAILURE() << "no item " << text.toStdString();
    }
};

TEST(StatusItem, RendersOncePerChangeAndTheMenuFollowsThePause) {
    Item item;
    auto& controller = item.controller;
    const int initial = controller.renderCount();
    for (const double ms : {12.2, 11.9 /* the same "12ms" */, 13.0}) item.harness.deliver(reading(ms));
    EXPECT_EQ(controller.renderCount(), initial + 2);
    EXPECT_EQ(controller.toolTip(),
              "nerivane: Good. Internet 13 milliseconds, jitter 1.2, loss 8 percent. Router 0.4 milliseconds.");

    const QStringList running = item.menu();
    // Sentence case, no update item without a feed, no shortcut a tray menu cannot deliver.
    EXPECT_EQ(running, QStringList({"(Good)", "", "Open nerivane", "Pause for 1 hour", "Settings\u2026", "", "Quit nerivane"}));
    for (QAction* action : controller.menu().actions()) EXPECT_TRUE(action->shortcut().isEmpty()) << action->text().toStdString();
    item.trigger("Pause for 1 hour");
    ASSERT_TRUE(item.harness.model->pausedUntil().has_value());
    EXPECT_EQ(controller.renderCount(), initial + 3) << "dimmed";
    EXPECT_TRUE(VerdictTexts::spokenReadout(item.harness.model->snapshot(), item.harness.model->pausedUntil()).startsWith("Paused until "));
    QStringList paused = running;
    paused.replace(0, "(nerivane)");  // the last spoken label, without a screen reader
    paused.replace(running.indexOf("Pause for 1 hour"), "Resume");
    EXPECT_EQ(item.menu(), paused);
    item.trigger("Resume");
    EXPECT_FALSE(item.harness.model->pausedUntil().has_value());
    item.trigger("Quit nerivane");
    EXPECT_EQ(item.quits, 1);
    // A router answering over TCP only is left out of the spoken description.
    item.harness.deliver(reading(12.4, Verdict::good, TargetStatus::tcp));
    EXPECT_EQ(VerdictTexts::spokenReadout(item.harness.model->snapshot(), item.harness.model->pausedUntil()), "Good. Internet 12 milliseconds, jitter 1.2, loss 8 percent.");
}

// No tray host: the popup's content in a window titled with the readout,
// raised (never closed) by activation, its panel note dismissed for good,
// and closing it quits.
TEST(StatusItem, WithoutATrayHostAWindowStandsIn) {
    fixLook(false);
    Item item;
    auto& controller = item.controller;
    controller.useWindow();
    ReadoutWindow* window = controller.window();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(controller.trayIcon().isVisible());
    item.harness.deliver(reading(13.0));
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "13 ms \u00b7 Good \u2014 nerivane");
    EXPECT_FALSE(window->windowIcon().isNull());
    ASSERT_NE(window->view(), nullptr);
    controller.openPopover();
    controller.openPopover();
    EXPECT_TRUE(window->isVisible()) << "activation raises the window, never closes it";
    EXPECT_FALSE(controller.isPopoverShown());
    ASSERT_TRUE(window->showsHint());
    for (const bool dark : {false, true}) {
        QApplication::setPalette(scenePalette(dark));
        waitForWidgets([] { return false; }, 50);  // the inks that follow the palette
        keepPicture(window->grab().toImage(), dark ? "window-dark.png" : "window-light.png");
    }
    auto* gotIt = window->findChild<QPushButton*>();
    ASSERT_NE(gotIt, nullptr);
    gotIt->click();
    EXPECT_TRUE(item.harness.preferences.didShowPanelHint());
    EXPECT_FALSE(window->showsHint());
    EXPECT_EQ(item.quits, 0);
    window->close();
    EXPECT_EQ(item.quits, 1);
}

TEST(StatusItem, FirstRunCardStaysAfterAGlanceShorterThanThreeSeconds) {
    fixLook(false);
    Item item;
    auto& controller = item.controller;
    item.harness.preferences.setDidShowFirstRun(false);
    controller.showFirstRunIfNeeded();
    ASSERT_TRUE(waitForWidgets([&] { return controller.isPopoverShown(); }));
    EXPECT_TRUE(controller.showingFirstRun());
    item.harness.clock += 2.9;
    controller.popover()->hide();
    EXPECT_TRUE(controller.showingFirstRun());
    EXPECT_FALSE(item.harness.preferences.didShowFirstRun());

    controller.openPopover();
    // The popup's footer names the build's version, not "dev".
    EXPECT_EQ(controller.popover()->view()->footer()->versionText(), QStringLiteral(NERIVANE_VERSION));
    // The picture once the cards' history reads are in.
    PopoverView& view = *controller.popover()->view();
    view.eventsCard()->load();
    ASSERT_TRUE(waitForWidgets([&] { return view.findChild<HistoryCard*>()->isLoaded() && view.eventsCard()->isLoaded(); }));
    keepPicture(PopoverSnapshot::render(view), QStringLiteral("popup-opened-from-tray.png"));
    item.harness.clock += 3.0;
    controller.popover()->hide();
    EXPECT_FALSE(controller.showingFirstRun());
    EXPECT_TRUE(item.harness.preferences.didShowFirstRun());
}

// A readout that changes every second and a popup opened now and then must
// not grow memory: the icons handed to trays and the popup's symbols stay out
// of Qt's application-wide pixmap cache, which keeps every pixmap it was
// given (by serial number) until it holds 10 MB. Measured as the bytes in use
// in the allocator's main arena (this thread's), after a warm-up.
TEST(StatusItem, MemoryStaysFlatAcrossRendersAndOpenings) {
    // The platform's palette, as the application has it. (Over a palette set
    // on the application, as the scenes do, every new widget resolves one of
    // its own, and the style files its pixmaps per palette.)
    QApplication::setPalette(QPalette());
    Item item;
    auto& controller = item.controller;
    int step = 0;
    // What tray hosts do with every new icon: a StatusNotifierItem host reads
    // every size, an XEmbed tray paints its slot's (here 26 pixels). Readings
    // go round 200 values of two and three digits, each unlike the last.
    const auto render = [&] {
        item.harness.deliver(reading(20 + (step++ * 7) % 200));
        const QIcon icon = controller.trayIcon().icon();
        for (const QSize& size : icon.availableSizes()) icon.pixmap(size);
        QImage slot(26, 26, QImage::Format_ARGB32_Premultiplied);
        QPainter painter(&slot);
        icon.paint(&painter, slot.rect());
    };
    const auto open = [&] {
        controller.openPopover();
        ASSERT_NE(controller.popover(), nullptr);
        controller.popover()->grab();
        controller.popover()->hide();
        // The hidden popup is dropped from the event loop.
        QCoreApplication::processEvents();
        ASSERT_EQ(controller.popover(), nullptr);
    };
    // Fonts, glyphs and layouts of every reading are made in the warm-up.
    for (const auto& [what, step, warmUp, times] :
         {std::tuple<const char*, std::function<void()>, int, int>{"renders", render, 200, 300}, {"openings", open, 20, 150}}) {
        // Each case from an empty cache, which holds at most 10 MB.
        QPixmapCache::clear();
        for (int i = 0; i < warmUp; ++i) step();
        const auto before = mallinfo2().uordblks;
        for (int i = 0; i < times; ++i) step();
        const auto grown = static_cast<long>(mallinfo2().uordblks) - static_cast<long>(before);
        EXPECT_LT(grown, 256 * 1024) << times << " " << what << " left " << grown / 1024 << " KiB more in use";
    }
}

class TrayAppearanceWatcherTest : public test::BusTest {
    void SetUp() override { test::widgetsApplication(), BusTest::SetUp(); }
};

TEST_F(TrayAppearanceWatcherTest, PortalColorSchemeAndItsChanges) {
    const QString path = QStringLiteral("/org/freedesktop/portal/desktop"), settings = QStringLiteral("org.freedesktop.portal.Settings");
    const auto changed = [&](const char* group, unsigned scheme) {
        services->emitSignal(path, settings, QStringLiteral("SettingChanged"),
                             {QString::fromLatin1(group), QStringLiteral("color-scheme"), QVariant::fromValue(QDBusVariant(QVariant(scheme)))});
    };
    services->object(path).setMethod(settings, QStringLiteral("Read"), [](const QDBusMessage& call) -> std::optional<QVariantList> {
        if (call.arguments() != QVariantList{QStringLiteral("org.freedesktop.appearance"), QStringLiteral("color-scheme")})
            return std::nullopt;
        // Read answers a variant holding the setting's variant.
        return QVariantList{QVariant::fromValue(QDBusVariant(QVariant::fromValue(QDBusVariant(QVariant(2u)))))};
    });
    ASSERT_TRUE(services->own(QStringLiteral("org.freedesktop.portal.Desktop")));

    TrayAppearanceWatcher watcher(*client);
    ASSERT_TRUE(test::waitForWidgets([&] { return watcher.appearance().name == QStringLiteral("light"); }));
    EXPECT_EQ(watcher.appearance().source, TrayAppearance::Source::colorScheme);

    QSignalSpy spy(&watcher, &TrayAppearanceWatcher::appearanceChanged);
    changed("org.freedesktop.appearance", 1);
    ASSERT_TRUE(test::waitForWidgets([&] { return spy.count() == 1; }));
    EXPECT_EQ(watcher.appearance().name, QStringLiteral("dark"));
    EXPECT_EQ(watcher.appearance().source, TrayAppearance::Source::colorScheme);

    // Other settings change nothing; "no preference" falls back.
    changed("org.gnome.desktop.interface", 2);
    changed("org.freedesktop.appearance", 0);
    ASSERT_TRUE(test::waitForWidgets([&] { return spy.count() == 2; }));
    EXPECT_EQ(watcher.appearance().source, TrayAppearance::Source::fallback);
    services->release(QStringLiteral("org.freedesktop.portal.Desktop"));
}

using D = DisplayStyle;
using M = MenuBarTarget;
using Mark = MenuBarLayout::Mark;
using Values = std::vector<std::optional<double>>;

// The largest alpha within the columns [from, to) and rows [top, bottom).
int maxAlpha(const QImage& image, int from, int to, int top = 0, int bottom = -1) {
    if (bottom < 0) bottom = image.height();
    int alpha = 0;
    for (int y = top; y < bottom; ++y)
        for (int x = std::max(0, from); x < std::min(to, image.width()); ++x) alpha = std::max(alpha, qAlpha(image.pixel(x, y)));
    return alpha;
}

TEST(MenuBarRenderer, MarksDimmingAndTheNewestTracePoint) {
    widgetsApplication();
    MenuBarRenderer renderer;
    const TrayAppearance dark;
    const double scale = 2;
    const int mid = static_cast<int>(ReadoutGeometry::barHeight / 2 * scale);
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
    const auto pausedLayout = MenuBarLayout::make(reading(12), {}, {}, D::text, M::internet, true);
    const QImage wide = renderer.render(pausedLayout, dark, scale)->copy();
    keepPicture(wide, QStringLiteral("wide-paused.png"));
    const int stacked = static_cast<int>(ReadoutGeometry::wide(pausedLayout, renderer.fonts()).pieces[0].width * scale);
    EXPECT_GT(maxAlpha(wide, 0, stacked), 60);
    EXPECT_LE(maxAlpha(wide, 0, stacked), 103);
    EXPECT_GT(maxAlpha(wide, stacked, wide.width()), 240);

    // A rising trace: its highest point lies at the right edge of the box.
    const Values rising{1.0, 2.0, 4.0, 8.0, 16.0, 32.0};
    const auto traced = MenuBarLayout::make(reading(12), rising, {}, D::trace, M::internet, false);
    const QImage trace = renderer.render(traced, dark, scale)->copy();
    const int top = static_cast<int>((ReadoutGeometry::barHeight / 2 - 8) * scale);
    EXPECT_GT(maxAlpha(trace, 52, 56, top, top + 4), 150) << "newest point at the top right";
    EXPECT_EQ(maxAlpha(trace, 0, 40, top, top + 8), 0) << "older, lower points";

    // An image stays intact through the next render; the same readout, the same pixels.
    const QImage first = *renderer.render(traced, dark, scale);
    const QColor trayInk(0x20, 0x20, 0x20);
    const auto layout = MenuBarLayout::make(reading(345), {}, {}, D::text, M::internet, false);
    const QImage second = *renderer.render(layout, TrayAppearance::resolve(trayInk, 1u), scale);
    keepPicture(second, QStringLiteral("wide-345ms.png"));
    EXPECT_EQ(first, trace);
    EXPECT_NE(first, second);
    EXPECT_EQ(*renderer.render(traced, dark, scale), trace);
    // The ink is the tray's own label colour, where the tray has one.
    QColor opaque = Qt::transparent;
    for (int y = 0; y < second.height(); ++y)
        for (int x = 0; x < second.width(); ++x)
            if (qAlpha(second.pixel(x, y)) == 255) opaque = QColor::fromRgba(second.pixel(x, y));
    EXPECT_EQ(opaque.rgb(), trayInk.rgb());
}

// The renderer in a square slot of GetParam() pixels.
class Compact : public testing::TestWithParam<int> {
protected:
    const bool application = (widgetsApplication(), true);
    MenuBarRenderer renderer;
    const int side = GetParam();
};

TEST_P(Compact, DigitsFillTheSlotBesideTheBadge) {
    // A panel known to be dark: the unknown one's plate would fill the slot.
    const TrayAppearance dark = TrayAppearance::resolve(std::nullopt, 1u);
    const auto readout = CompactReadout::make(reading(12.4, Verdict::internetProblem), {10.0, 14.0, 12.0, 30.0, 12.0}, {},
                                              D::textAndTrace, M::internet, false);
    const QImage image = renderer.renderCompact(readout, dark, side);
    keepPicture(image, QStringLiteral("compact-%1.png").arg(side));
    ASSERT_EQ(image.size(), QSize(side, side));
    // Opaque digit ink over most of the slot's height and width.
    int left = side, right = -1, bottom = -1;
    for (int y = side / 2; y < side; ++y)
        for (int x = 0; x < side; ++x)
            if (qAlpha(image.pixel(x, y)) > 200) left = std::min(left, x), right = std::max(right, x), bottom = std::max(bottom, y);
    EXPECT_GE(right - left + 1, side * 45 / 100) << "digit width";
    EXPECT_GE(bottom - side / 2 + 1, side * 4 / 10) << "digits reach down to the bottom";
    // The badge: a full-strength disc in the top right corner.
    const int badge = static_cast<int>(std::round(side * 0.38));
    EXPECT_EQ(maxAlpha(image, side - badge, side, 0, badge), 255);

    // Paused: dimmed digits ("1.2s"), the pause badge at full strength.
    const auto paused = CompactReadout::make(reading(1234), {}, {}, D::text, M::internet, true);
    const QImage dim = renderer.renderCompact(paused, dark, side);
    keepPicture(dim, QStringLiteral("compact-paused-%1.png").arg(side));
    EXPECT_LE(maxAlpha(dim, 0, side, side * 6 / 10, side), 103);
    EXPECT_EQ(maxAlpha(dim, side - badge, side, 0, badge), 255);
}

// The state in the digits' colour, not only in the badge, legible on a
// light and on a dark panel (3:1 for graphics); a sheet of both panels kept.
TEST_P(Compact, StateShowsInTheDigitsOnLightAndDarkPanels) {
    const auto luminance = [](QColor c) {
        const auto channel = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const auto contrast = [&](QColor a, QColor b) {
        const double la = luminance(a), lb = luminance(b);
        return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
    };
    const Values trace{10.0, 14.0, 12.0, 30.0, 12.0, 11.0};
    // Then the panels nothing told us about: light glyphs on a dark plate on both.
    const std::pair<TrayAppearance, QColor> panels[] = {{TrayAppearance::resolve(std::nullopt, 2u), QColor(0xf0, 0xf0, 0xf0)},
                                                        {TrayAppearance::resolve(std::nullopt, 1u), QColor(0x30, 0x30, 0x30)},
                                                        {TrayAppearance{}, QColor(0xf0, 0xf0, 0xf0)},
                                                        {TrayAppearance{}, QColor(0x30, 0x30, 0x30)}};
    const Verdict verdicts[] = {Verdict::good, Verdict::internetProblem, Verdict::internetDown};
    QImage sheet(side * 3 + 8, (side + 6) * 4, QImage::Format_ARGB32_Premultiplied);
    for (int row = 0; row < 4; ++row) {
        const auto& [appearance, panel] = panels[row];
        QPainter painter(&sheet);
        painter.fillRect(0, row * (side + 6), sheet.width(), side + 6, panel);
        std::vector<QRgb> inks;
        for (int column = 0; column < 3; ++column) {
            const auto readout = CompactReadout::make(reading(12.4, verdicts[column]), trace, {}, D::textAndTrace, M::internet, false);
            const QImage image = renderer.renderCompact(readout, appearance, side);
            painter.drawImage(2 + column * (side + 2), row * (side + 6) + 3, image);
            // The digits' ink: the most frequent opaque colour in the lower half.
            std::map<QRgb, int> counts;
            for (int y = side / 2; y < side; ++y)
                for (int x = 0; x < side; ++x)
                    if (qAlpha(image.pixel(x, y)) == 255) counts[image.pixel(x, y)] += 1;
            ASSERT_FALSE(counts.empty());
            if (appearance.source == TrayAppearance::Source::fallback) {
                // The plate: dark pixels of some strength around the light digits.
                int rim = 0;
                for (int y = 0; y < side; ++y)
                    for (int x = 0; x < side; ++x)
                        if (const QRgb p = image.pixel(x, y); qAlpha(p) > 120 && qGray(qUnpremultiply(p)) < 60) rim += 1;
                EXPECT_GE(rim, side) << "no dark plate on the fallback picture";
                continue;
            }
            const QRgb ink = std::max_element(counts.begin(), counts.end(), [](auto a, auto b) { return a.second < b.second; })->first;
            EXPECT_GE(contrast(QColor::fromRgb(ink), panel), 3.0) << appearance.name.toStdString() << " verdict " << column;
            inks.push_back(ink);
        }
        if (row < 2) {
            EXPECT_TRUE(inks[0] != inks[1] && inks[1] != inks[2] && inks[0] != inks[2]) << "good, problem and down look alike";
        }
    }
    keepPicture(sheet.scaled(sheet.size() * 4), QStringLiteral("tray-states-%1.png").arg(side));
}

// Every display choice legible in every slot, on a light and a dark panel:
// the trace style draws no digits and a trace at full strength; target both
// stacks the router's value above from 32 px, else puts its state in a dot.
TEST_P(Compact, EveryDisplayChoice) {
    Values internet, router;
    for (int i = 0; i < 28; ++i)
        internet.push_back(i == 20 ? Values::value_type() : 12 + 6 * std::sin(i * 0.7)), router.push_back(0.5 + 0.3 * std::cos(i));
    for (const auto& appearance : {TrayAppearance::resolve(std::nullopt, 2u), TrayAppearance::resolve(std::nullopt, 1u)}) {
        for (const auto& [style, target] : {std::pair{D::text, M::both}, {D::trace, M::internet}, {D::trace, M::both},
                                           {D::textAndTrace, M::both}}) {
            // A badge over the slot beside the traces alone, too.
            const auto verdict = style == D::trace && target == M::both ? Verdict::internetProblem : Verdict::good;
            const auto readout = CompactReadout::make(reading(12.4, verdict), internet, router, style, target, false);
            const QImage image = renderer.renderCompact(readout, appearance, side);
            keepPicture(image, QStringLiteral("compact-%1-%2-%3-%4.png")
                                   .arg(QString::fromUtf8(text(style)), target == M::both ? "both" : "internet")
                                   .arg(side)
                                   .arg(appearance.name));
            const int corner = static_cast<int>(std::round(side * 0.3));
            if (style == D::trace) {
                EXPECT_TRUE(readout.digits.empty() && readout.routerDigits.empty());
                EXPECT_GT(maxAlpha(image, 0, side, side / 2), 200) << "a trace alone is drawn at full strength";
            } else if (side >= ReadoutGeometry::stackedSide) {
                EXPECT_EQ(maxAlpha(image, 0, side - corner, 0, side / 2), 255) << "the router's row above";
            } else {
                EXPECT_EQ(readout.router, CompactReadout::Router::ok);
                EXPECT_EQ(maxAlpha(image, 0, corner, 0, corner), 255) << "the router's dot";
            }
        }
    }
}

// The parts of a square slot: two rows of digits from 32 px, their top row
// left of the badge, else the router's dot; a trace alone keeps below the badge.
TEST_P(Compact, GeometryKeepsThePartsApart) {
    ReadoutFonts& fonts = renderer.fonts();
    const auto both = ReadoutGeometry::compact(CompactReadout::make(reading(12.4), {}, {}, D::text, M::both, false), side, fonts);
    const auto badge = ReadoutGeometry::badge(side);
    EXPECT_EQ(both.stacked, side >= ReadoutGeometry::stackedSide);
    EXPECT_EQ(both.dot.has_value(), !both.stacked);
    EXPECT_TRUE(both.digits.font && both.routerDigits.font.has_value() == both.stacked);
    EXPECT_TRUE(!both.stacked || both.routerDigits.line.width + badge.diameter + 1 == side);
    // The default style: the trace above the digits, never through them, and clear of the badge.
    const auto traced = ReadoutGeometry::compact(
        CompactReadout::make(reading(12.4, Verdict::internetProblem), {1.0, 30.0, 2.0}, {}, D::textAndTrace, M::internet, false),
        side, fonts);
    EXPECT_TRUE(!traced.traced || (traced.trace.bottom() < traced.digits.line.top &&
                                   traced.trace.right() < side - badge.diameter)) << "trace and digits apart";
    EXPECT_TRUE(traced.traced || side < 22) << "a trace from 22 px";
    const auto alone = ReadoutGeometry::compact(
        CompactReadout::make(reading(12.4, Verdict::internetDown), {1.0, 2.0}, {}, D::trace, M::internet, false), side, fonts);
    EXPECT_TRUE(alone.traceOnly && !alone.digits.font && !alone.dot);
    EXPECT_EQ(alone.trace, QRectF(1, badge.diameter + 1, side - 2, side - badge.diameter - 2));
}

INSTANTIATE_TEST_SUITE_P(MenuBarRenderer, Compact, testing::Values(16, 22, 24, 32),
                         [](const auto& info) { return std::to_string(info.param) + "px"; });

}  // namespace
}  // namespace nerivane
