#include "nerivane/ui/popover/PopoverFooter.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>

#include "nerivane/ui/cards/CardColors.h"
#include "nerivane/ui/cards/CardFrame.h"
#include "nerivane/ui/cards/Symbols.h"
#include "nerivane/ui/popover/PopoverState.h"

namespace nerivane {
namespace {

QToolButton* button(const QString& text, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setText(text);
    // Five controls share one line: no frame padding beyond a hair.
    button->setStyleSheet(QStringLiteral("QToolButton { padding: 1px 2px; }"));
    button->setAutoRaise(true);
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setIconSize(QSize(13, 13));
    button->setFocusPolicy(Qt::TabFocus);
    return button;
}

}  // namespace

PopoverFooter::PopoverFooter(PopoverState& state, const PopoverActions& actions, const QString& version, bool hasSettings,
                             QWidget* parent)
    : QWidget(parent), state_(state), actions_(actions) {
    // The row of controls; an update offer, long with both versions, on a line above it.
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    auto* row = new QHBoxLayout;
    column->addLayout(row);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    setFont(small);
    const QColor ink = CardColors::secondary(palette());

    if (actions_.copyDiagnostics) {
        diagnostics_ = button(QString(), this);
        diagnostics_->setToolTip(tr("Copy diagnostics to the clipboard"));
        diagnostics_->setAccessibleDescription(diagnostics_->toolTip());
        connect(diagnostics_, &QToolButton::clicked, this, [this] {
            if (copyState_ == CopyState::copying) return;
            setCopyState(CopyState::copying);
            QPointer<PopoverFooter> footer(this);
            actions_.copyDiagnostics([footer] {
                if (!footer) return;
                footer->setCopyState(CopyState::copied);
                QTimer::singleShot(copiedMilliseconds, footer, [footer] { footer->setCopyState(CopyState::idle); });
            });
        });
        row->addWidget(diagnostics_);
        setCopyState(CopyState::idle);
    }

    const auto newer = actions_.availableUpdate ? actions_.availableUpdate() : std::nullopt;
    if (newer && actions_.installUpdate) {
        // Both versions, so that nobody wonders which one runs.
        update_ = button(tr("update %1 available (running %2)")
                             .arg(*newer, version.isEmpty() ? QStringLiteral("dev") : version),
                         this);
        update_->setToolTip(tr("Install nerivane ") + *newer);
        update_->setAccessibleName(update_->toolTip());
        connect(update_, &QToolButton::clicked, this, [this] { actions_.installUpdate(); });
        column->insertWidget(0, update_, 0, Qt::AlignLeft);
    }

    row->addStretch(1);
    version_ = new QLabel(version.isEmpty() ? QStringLiteral("dev") : version, this);
    version_->setContentsMargins(4, 0, 4, 0);
    CardFrame::setInk(version_, ink);
    version_->setAccessibleName(tr("Version ") + version_->text());
    // The update button names the running version already.
    version_->setVisible(update_ == nullptr);
    row->addWidget(version_);

    if (hasSettings) {
        settings_ = button(QString(), this);
        connect(settings_, &QToolButton::clicked, this, [this] { state_.setShowingSettings(!state_.showingSettings()); });
        connect(&state_, &PopoverState::showingSettingsChanged, this, &PopoverFooter::refreshSettings);
        row->addWidget(settings_);
        refreshSettings();
    }

    quit_ = button(tr("quit"), this);
    quit_->setAccessibleName(tr("Quit nerivane"));
    quit_->setAccessibleDescription(tr("Stops measuring and closes nerivane"));
    connect(quit_, &QToolButton::clicked, this, [this] {
        if (actions_.quit) {
            actions_.quit();
        } else {
            QCoreApplication::quit();
        }
    });
    row->addWidget(quit_);
}

void PopoverFooter::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Once the children have the new palette as well.
    if (event->type() == QEvent::PaletteChange) QMetaObject::invokeMethod(this, &PopoverFooter::applyInks, Qt::QueuedConnection);
}

void PopoverFooter::applyInks() {
    CardFrame::setInk(version_, CardColors::secondary(palette()));
    setCopyState(copyState_);
    if (settings_ != nullptr) refreshSettings();
}

void PopoverFooter::setCopyState(CopyState state) {
    copyState_ = state;
    if (diagnostics_ == nullptr) return;
    const QColor ink = CardColors::secondary(palette());
    switch (state) {
    case CopyState::idle:
        diagnostics_->setText(tr("diagnostics"));
        diagnostics_->setIcon(Symbols::icon(Symbols::Symbol::copy, ink));
        diagnostics_->setAccessibleName(tr("Copy diagnostics"));
        break;
    case CopyState::copying:
        diagnostics_->setText(tr("copying"));
        diagnostics_->setIcon(Symbols::icon(Symbols::Symbol::hourglass, ink));
        diagnostics_->setAccessibleName(tr("Copy diagnostics"));
        break;
    case CopyState::copied:
        diagnostics_->setText(tr("copied"));
        diagnostics_->setIcon(Symbols::icon(Symbols::Symbol::checkmark, ink));
        diagnostics_->setAccessibleName(tr("Diagnostics copied"));
        break;
    }
}

void PopoverFooter::refreshSettings() {
    const QColor ink = CardColors::secondary(palette());
    if (state_.showingSettings()) {
        settings_->setText(tr("done"));
        settings_->setIcon(Symbols::icon(Symbols::Symbol::back, ink));
        settings_->setAccessibleName(tr("Close settings"));
    } else {
        settings_->setText(tr("settings"));
        settings_->setIcon(Symbols::icon(Symbols::Symbol::settings, ink));
        settings_->setAccessibleName(tr("Settings"));
    }
}

}  // namespace nerivane
