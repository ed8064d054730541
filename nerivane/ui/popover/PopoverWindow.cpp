#include "nerivane/ui/popover/PopoverWindow.h"

#include "nerivane/ui/popover/PopoverView.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

namespace nerivane {
namespace {

// Room left between the window and the item it hangs from.
constexpr int gap = 4;

}  // namespace

PopoverWindow::PopoverWindow(QWidget* parent) : QWidget(parent, Qt::Popup | Qt::FramelessWindowHint) {
    setAttribute(Qt::WA_DeleteOnClose, false);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(6);
    setMinimumWidth(320);
}

PopoverWindow::~PopoverWindow() = default;

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
    // Cards come and go while the popup is open: it follows their height.
    connect(view_, &PopoverView::contentChanged, this, [this] {
        if (isVisible()) place();
    });
}

QSize PopoverWindow::fittingSize(int contentWidth, int contentHeight, const QRect& screen) {
    return {std::min(contentWidth, screen.width()), std::min(contentHeight, screen.height())};
}

void PopoverWindow::place() {
    const QPoint cursor = QCursor::pos();
    QScreen* screen = anchor_.isEmpty() ? QGuiApplication::screenAt(cursor) : QGuiApplication::screenAt(anchor_.center());
    if (screen == nullptr) screen = QGuiApplication::primaryScreen();
    if (view_ != nullptr) {
        const QRect room = screen != nullptr ? screen->availableGeometry() : QRect(0, 0, PopoverView::width, 4096);
        const QSize fitting = fittingSize(PopoverView::width, view_->contentHeight(), room);
        setMinimumSize(0, 0);
        setFixedSize(fitting);
    } else {
        adjustSize();
    }
    const QRect area = screen != nullptr ? screen->availableGeometry() : QRect(QPoint(0, 0), size());
    setGeometry(placement(size(), anchor_, area, cursor));
    if (view_ != nullptr && isVisible()) {
        // The estimate can fall short of wrapped texts: grow while the
        // column scrolls and the screen has room.
        QCoreApplication::sendPostedEvents();
        const int overflow = view_->overflow();
        if (overflow > 0 && height() < area.height()) {
            setFixedSize(width(), std::min(area.height(), height() + overflow));
            setGeometry(placement(size(), anchor_, area, cursor));
        }
    }
}

void PopoverWindow::showAnchored(const QRect& anchor) {
    anchor_ = anchor;
    place();
    show();
    if (view_ != nullptr) place();
    raise();
    activateWindow();
}

void PopoverWindow::toggle(const QRect& anchor) {
    if (isVisible()) {
        hide();
    } else {
        showAnchored(anchor);
    }
}

void PopoverWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
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
