// The popup's placement beside the tray item and on its screen, and its
// visibility flag across show, a second click and Escape.

#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QSignalSpy>

#include "support/widgets/WidgetsSupport.h"
#include "nerivane/ui/popover/PopoverWindow.h"

namespace nerivane {
namespace {

struct PlacementRow {
    const char* name;
    QRect anchor;
    QPoint cursor;
    QRect expected;
};

void PrintTo(const PlacementRow& row, std::ostream* out) { *out << row.name; }

// A 1000 x 800 screen whose available area starts below a 30-pixel top panel.
const QRect screen(0, 30, 1000, 770);
const QSize size(300, 200);

class Placement : public testing::TestWithParam<PlacementRow> {};

TEST_P(Placement, StaysBesideTheItemAndOnTheScreen) {
    const auto& row = GetParam();
    const QRect frame = PopoverWindow::placement(size, row.anchor, screen, row.cursor);
    EXPECT_EQ(frame, row.expected) << row.name;
    EXPECT_TRUE(screen.contains(frame)) << row.name;
}

INSTANTIATE_TEST_SUITE_P(
    PopoverWindow, Placement,
    testing::Values(
        PlacementRow{"item in a top panel, mid screen", QRect(490, 4, 22, 22), {}, QRect(350, 30, 300, 200)},
        PlacementRow{"item at the top right edge", QRect(970, 4, 22, 22), {}, QRect(700, 30, 300, 200)},
        PlacementRow{"item in a bottom panel at the left", QRect(2, 775, 22, 22), {}, QRect(0, 571, 300, 200)},
        PlacementRow{"no geometry, cursor bottom right", QRect(), QPoint(990, 790), QRect(696, 596, 300, 200)},
        PlacementRow{"no geometry, cursor top left", QRect(), QPoint(5, 5), QRect(4, 34, 300, 200)}),
    [](const auto& info) { return "row" + std::to_string(info.index); });

TEST(PopoverWindow, DetailsVisibleWhileShownUntilEscapeOrSecondToggle) {
    test::widgetsApplication();
    PopoverWindow window;
    QSignalSpy shown(&window, &PopoverWindow::shown);
    ASSERT_FALSE(window.detailsVisible());

    window.toggle(QRect(100, 0, 22, 22));
    EXPECT_TRUE(window.detailsVisible());
    EXPECT_EQ(shown.count(), 1);
    window.toggle(QRect(100, 0, 22, 22));
    EXPECT_FALSE(window.detailsVisible());

    window.showAnchored(QRect());
    ASSERT_TRUE(window.isVisible());
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&window, &escape);
    EXPECT_TRUE(test::waitForWidgets([&] { return !window.isVisible(); }));
    EXPECT_FALSE(window.detailsVisible());
    EXPECT_EQ(shown.count(), 2);
}

}  // namespace
}  // namespace nerivane
