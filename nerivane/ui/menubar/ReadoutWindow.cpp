#include "nerivane/ui/menubar/ReadoutWindow.h"

#include <QCloseEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>
#include <algorithm>

#include "nerivane/ui/popover/PopoverView.h"

namespace nerivane {

ReadoutWindow::ReadoutWindow(std::function<void()> close, std::function<void()> dismissHint, bool showHint,
                             QWidget* parent)
    : QWidget(parent, Qt::Window), close_(std::move(close)) {
    setWindowTitle(QStringLiteral("nerivane"));
    setObjectName(QStringLiteral("readoutWindow"));
    column_ = new QVBoxLayout(this);
    column_->setContentsMargins(12, 12, 12, 12);
    column_->setSpacing(8);
    if (showHint) {
        // Drawn in the palette's own colours, so it reads in light and dark alike.
        hint_ = new QFrame(this);
        hint_->setFrameShape(QFrame::StyledPanel);
        auto* row = new QHBoxLayout(hint_);
        auto* text = new QLabel(hintText(), hint_);
        text->setWordWrap(true);
        text->setTextInteractionFlags(Qt::TextSelectableByMouse);
        row->addWidget(text, 1);
        auto* gotIt = new QPushButton(tr("Got it"), hint_);
        row->addWidget(gotIt, 0, Qt::AlignTop);
        connect(gotIt, &QPushButton::clicked, this, [this, dismissHint = std::move(dismissHint)] {
            hint_->hide();
            hint_->deleteLater();
            hint_ = nullptr;
            if (dismissHint) dismissHint();
            fitToContent();
        });
        column_->addWidget(hint_);
    }
    setFixedWidth(PopoverView::fixedWidth() + 24);
    // A window, unlike a tray menu, takes the keys every window does.
    for (const auto key : {QKeySequence::Close, QKeySequence::Quit})
        connect(new QShortcut(QKeySequence(key), this), &QShortcut::activated, this, &QWidget::close);
}

ReadoutWindow::~ReadoutWindow() = default;

QString ReadoutWindow::title(const QString& latency, const QString& verdict) {
    if (latency.isEmpty()) return tr("%1 \u2014 nerivane").arg(verdict);
    return tr("%1 \u00b7 %2 \u2014 nerivane").arg(latency, verdict);
}

QString ReadoutWindow::hintText() {
    return tr("This desktop has no panel area for tray items, so nerivane shows its readout in this window. "
              "On GNOME, the extension \u201cAppIndicator and KStatusNotifierItem Support\u201d adds one "
              "(package gnome-shell-extension-appindicator); once it is on, nerivane moves to the panel by itself.");
}

bool ReadoutWindow::showsHint() const { return hint_ != nullptr; }

void ReadoutWindow::setView(PopoverView* view) {
    if (view_ != nullptr) {
        column_->removeWidget(view_);
        view_->deleteLater();
    }
    view_ = view;
    view_->setParent(this);
    column_->addWidget(view_, 1);
    connect(view_, &PopoverView::contentChanged, this, &ReadoutWindow::fitToContent);
    fitToContent();
}

void ReadoutWindow::present() {
    if (isMinimized()) {
        showNormal();
    } else {
        show();
    }
    raise();
    activateWindow();
}

void ReadoutWindow::fitToContent() {
    if (view_ == nullptr) return;
    // As tall as the content, within the screen; the view's column scrolls beyond.
    const QScreen* screen = this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen();
    const int room = screen != nullptr ? screen->availableGeometry().height() - 64 : 800;
    const int hint = hint_ != nullptr ? hint_->sizeHint().height() + column_->spacing() : 0;
    const int wanted = view_->contentHeight() + hint + 24;
    resize(width(), std::clamp(wanted, 240, std::max(240, room)));
}

void ReadoutWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    if (close_) close_();
}

}  // namespace nerivane
