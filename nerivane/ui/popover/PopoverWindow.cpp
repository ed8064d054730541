#include "nerivane/ui/popover/PopoverWindow.h"

#include "nerivane/ui/popover/PopoverView.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QGuiApplication>
#include <QKeySequence>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>

namespace nerivane {
namespace {

// Room left between the window and the item it hangs from.
constexpr int gap = 4;
// How far the content height estimate may miss (about two lines of text).
constexpr int estimateSlack = 32;
// Wayland tells clients nothing of panels: the room kept free for one at the
// top and the bottom of the screen where the compositor places the popup.
constexpr int panelRoom = 48;

// Screen readers announce the popup as a window named by its title: Qt
// would make a plain widget's interface a filler.
QAccessibleInterface* accessibleWindow(const QString& key, QObject* object) {
    if (key != QLatin1String(PopoverWindow::staticMetaObject.className())) return nullptr;
    return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
}

}  // namespace

PopoverWindow::PopoverWindow(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_DeleteOnClose, false);
    applyWindowKind();
    if (placedByCompositor()) usePlacedByCompositor();
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(6);
    setMinimumWidth(320);
}

PopoverWindow::~PopoverWindow() = default;

bool PopoverWindow::placedByCompositor() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

// A Wayland popup surface needs a parent surface to hang from, which a tray
// item does not give us, and clients cannot place windows at all. So here
// the popup is a frameless top-level that the compositor places (its fixed
// size makes tiling compositors float it), titled so that window lists say
// what it is. It closes as a popup does: on Escape, on a second activation
// (toggle), and when the keyboard goes to another program. It is shown
// without asking for the keyboard; a click gives it the keyboard as any
// window. Wayland has no way for a window to refuse the keyboard, and sway
// gives it to every new window: there the popup has it from the start.
void PopoverWindow::usePlacedByCompositor() {
    compositorPlaced_ = true;
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_ShowWithoutActivating);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QWidget::hide);
    // Our own dialogs (the save panel) keep it open: only a focus that left
    // the program altogether closes it.
    connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* focused) {
        if (focused == nullptr && isVisible()) hide();
    });
}

// Why not Qt::Popup: Qt's accessibility bridge leaves popups out of the
// application's tree, so a screen reader could never reach the popup. A
// frameless tool window above the others is listed, and does what the popup
// did by hand: it closes on Escape, on a second activation of the item and
// when it loses focus to another window.
void PopoverWindow::applyWindowKind() {
    [[maybe_unused]] static const bool installed = (QAccessible::installFactory(accessibleWindow), true);
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setWindowTitle(QStringLiteral("nerivane"));
}

void PopoverWindow::handleFocusChange() {
    // Only focus it had since it was shown: a check left from before it was hidden and shown again is stale.
    if (!isVisible() || isActiveWindow() || !activeSinceShown_) return;
    // Focus gone to another program or to a dialog of ours (the save dialog)
    // ends the popup, as it ended a Qt popup. The XEmbed item's own window
    // takes focus on a click too: that click toggles the popup itself.
    const QWidget* active = QApplication::activeWindow();
    if (active != nullptr && active->windowType() != Qt::Dialog) return;
    hide();
}

QRect PopoverWindow::placement(QSize size, const QRect& anchor, const QRect& screen, QPoint cursor) {
    QRect frame(QPoint(0, 0), size);
    if (anchor.isEmpty()) {
        // No geometry from the host: the corner nearest the cursor, where
        // the panel most likely is.
        const bool right = cursor.x() >= screen.center().x();
        const bool bottom = cursor.y() >= screen.center().y();
        frame.moveLeft(right ? screen.right() - size.width() + 1 - gap : screen.left() + gap);
        frame.moveTop(bottom ? screen.bottom() - size.height() + 1 - gap : screen.top() + gap);
    } else {
        // Below an item in the upper half of the screen, above one in the
        // lower half; centred on it horizontally.
        frame.moveLeft(anchor.center().x() - size.width() / 2);
        if (anchor.center().y() < screen.center().y()) {
            frame.moveTop(anchor.bottom() + 1 + gap);
        } else {
            frame.moveBottom(anchor.top() - 1 - gap);
        }
    }
    frame.moveLeft(std::clamp(frame.left(), screen.left(), std::max(screen.left(), screen.right() - size.width() + 1)));
    frame.moveTop(std::clamp(frame.top(), screen.top(), std::max(screen.top(), screen.bottom() - size.height() + 1)));
    return frame;
}

void PopoverWindow::setView(PopoverView* view) {
    delete view_;
    view_ = view;
    if (view_ == nullptr) return;
    layout()->setContentsMargins(0, 0, 0, 0);
    layout()->addWidget(view_);
    // Cards come and go while the popup is open: it follows their height,
    // once the layouts have settled (never from inside the view's refresh).
    connect(view_, &PopoverView::contentChanged, this, [this] {
        if (isVisible()) QTimer::singleShot(0, this, &PopoverWindow::place);
    });
}

QSize PopoverWindow::fittingSize(int contentWidth, int contentHeight, const QRect& screen) {
    return {std::min(contentWidth, screen.width()), std::min(contentHeight, screen.height())};
}

void PopoverWindow::place() {
    QScreen* screen = anchor_.isEmpty() ? QGuiApplication::screenAt(cursor_) : QGuiApplication::screenAt(anchor_.center());
    if (screen == nullptr) screen = QGuiApplication::primaryScreen();
    const QRect area = screen != nullptr ? screen->availableGeometry() : QRect(0, 0, PopoverView::fixedWidth(), 4096);
    if (view_ == nullptr) {
        adjustSize();
        setGeometry(placement(size(), anchor_, area, cursor_));
        return;
    }
    // Never taller than the room on the item's side: a popup over the item
    // would swallow the click meant to close it.
    QRect room = area;
    if (compositorPlaced_) room.adjust(0, panelRoom, 0, -panelRoom);
    if (!anchor_.isEmpty() && area.contains(anchor_.center())) {
        if (anchor_.center().y() < area.center().y()) {
            room.setTop(std::min(area.bottom(), anchor_.bottom() + 1 + gap));
        } else {
            room.setBottom(std::max(area.top(), anchor_.top() - 1 - gap));
        }
    }
    QSize wanted = fittingSize(PopoverView::fixedWidth(), view_->contentHeight(), room);
    if (isVisible()) {
        // The estimate can fall short of wrapped texts by a line or so: while
        // the column scrolls and the screen has room, grow by what it
        // scrolls; and do not shrink back by less than such a line, or the
        // popup would twitch with every refresh.
        if (view_->overflow() > 0) {
            wanted.setHeight(std::min(room.height(), std::max(wanted.height(), height() + view_->overflow())));
        } else if (wanted.height() < height() && height() - wanted.height() <= estimateSlack) {
            wanted.setHeight(height());
        }
        if (wanted == size()) return;
    }
    setMinimumSize(0, 0);
    setFixedSize(wanted);
    // The cursor of the click, not of now: the popup stays where it opened.
    setGeometry(placement(size(), anchor_, area, cursor_));
}

void PopoverWindow::showAnchored(const QRect& anchor) {
    anchor_ = anchor;
    cursor_ = QCursor::pos();
    place();
    show();
    if (view_ != nullptr) QTimer::singleShot(0, this, &PopoverWindow::place);
    raise();
    // On Wayland activating is asking the compositor for the keyboard: the
    // popup never asks, so what the user was typing into keeps it where the
    // compositor allows.
    if (!compositorPlaced_) activateWindow();
}

void PopoverWindow::toggle(const QRect& anchor) {
    if (isVisible()) {
        hide();
    } else {
        showAnchored(anchor);
    }
}

void PopoverWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        hide();
        return;
    }
    QWidget::keyPressEvent(event);
}

void PopoverWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Queued: while focus moves, the application's active window is not yet the new one.
    if (event->type() != QEvent::ActivationChange) return;
    if (isActiveWindow()) activeSinceShown_ = true;
    QTimer::singleShot(0, this, &PopoverWindow::handleFocusChange);
}

void PopoverWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    activeSinceShown_ = isActiveWindow();
    if (detailsVisible_) return;
    detailsVisible_ = true;
    emit shown();
}

void PopoverWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (!detailsVisible_) return;
    detailsVisible_ = false;
    emit hidden();
}

}  // namespace nerivane
