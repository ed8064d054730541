#include "nerivane/ui/popover/PopoverWindow.h"

#include <QCursor>
#include <QDateTime>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "nerivane/core/AppModel.h"

namespace nerivane {
namespace {

// Room left between the window and the item it hangs from.
constexpr int gap = 4;

}  // namespace

PopoverWindow::PopoverWindow(AppModel& model, QWidget* parent)
    : QWidget(parent, Qt::Popup | Qt::FramelessWindowHint), model_(model) {
    setAttribute(Qt::WA_DeleteOnClose, false);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(6);
    setMinimumWidth(320);
    setMaximumWidth(360);

    auto* product = new QLabel(QStringLiteral("nerivane"), this);
    QFont productFont = product->font();
    productFont.setBold(true);
    product->setFont(productFont);
    status_ = new QLabel(this);
    QFont statusFont = status_->font();
    statusFont.setPointSizeF(statusFont.pointSizeF() * 1.3);
    statusFont.setBold(true);
    status_->setFont(statusFont);
    explanation_ = new QLabel(this);
    explanation_->setWordWrap(true);
    network_ = new QLabel(this);
    network_->setTextFormat(Qt::RichText);
    for (QWidget* widget : {static_cast<QWidget*>(product), static_cast<QWidget*>(status_),
                            static_cast<QWidget*>(explanation_), static_cast<QWidget*>(network_)})
        column->addWidget(widget);
    column->addStretch(1);

    connect(&model_, &AppModel::changed, this, &PopoverWindow::updateHeader);
    connect(&model_, &AppModel::offlineSinceChanged, this, &PopoverWindow::updateHeader);
    updateHeader();
}

PopoverWindow::~PopoverWindow() = default;

QString PopoverWindow::statusText(const MonitorSnapshot& snapshot, std::optional<double> pausedUntil,
                                  const VerdictTexts::Context& context) {
    if (pausedUntil) {
        const auto end = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::llround(*pausedUntil * 1000)), context.zone);
        return QStringLiteral("Paused until ") + context.locale.toString(end.time(), QLocale::ShortFormat);
    }
    return VerdictTexts::verdictTitle(snapshot.verdict);
}

QString PopoverWindow::networkLine(const MonitorSnapshot& snapshot) {
    QString line;
    switch (snapshot.path.kind) {
    case NetworkPath::Kind::wifi: line = QStringLiteral("Wi\u2011Fi"); break;
    case NetworkPath::Kind::ethernet: line = QStringLiteral("Ethernet"); break;
    case NetworkPath::Kind::cellular: line = QStringLiteral("Cellular"); break;
    case NetworkPath::Kind::other: line = QStringLiteral("Other"); break;
    }
    if (snapshot.path.isVPN) line += QStringLiteral(" <span style=\"color: gray\">via VPN</span>");
    if (snapshot.ipv6Problem) line += QStringLiteral(" <span style=\"color: #e8871e\">IPv6 problem</span>");
    return line;
}

void PopoverWindow::updateHeader() {
    const auto context = VerdictTexts::Context::current();
    const MonitorSnapshot& snapshot = model_.snapshot();
    status_->setText(statusText(snapshot, model_.pausedUntil(), context));
    explanation_->setText(VerdictTexts::verdictExplanation(snapshot, model_.offlineSince(), context));
    network_->setText(networkLine(snapshot));
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

void PopoverWindow::showAnchored(const QRect& anchor) {
    adjustSize();
    const QPoint cursor = QCursor::pos();
    QScreen* screen = anchor.isEmpty() ? QGuiApplication::screenAt(cursor) : QGuiApplication::screenAt(anchor.center());
    if (screen == nullptr) screen = QGuiApplication::primaryScreen();
    const QRect area = screen != nullptr ? screen->availableGeometry() : QRect(QPoint(0, 0), size());
    setGeometry(placement(size(), anchor, area, cursor));
    show();
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
