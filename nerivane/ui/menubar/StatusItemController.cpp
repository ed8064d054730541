#include "nerivane/ui/menubar/StatusItemController.h"

#include <malloc.h>

#include <QAccessible>
#include <QApplication>
#include <QDateTime>
#include <QGuiApplication>
#include <QIcon>
#include <QLayout>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QTimer>

#include "nerivane/core/AppModel.h"
#include "nerivane/core/Preferences.h"
#include "nerivane/core/VerdictTexts.h"
#include "nerivane/ui/popover/PopoverHeader.h"

namespace nerivane {
namespace {

double deviceScale() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->devicePixelRatio() : 1.0;
}

}  // namespace

StatusItemController::StatusItemController(AppModel& model, Preferences& preferences, std::function<void()> quit,
                                           std::function<double()> clock, QObject* parent)
    : QObject(parent),
      model_(model),
      preferences_(preferences),
      quit_(std::move(quit)),
      clock_(clock ? std::move(clock) : [] { return static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000; }),
      appearance_(QDBusConnection::sessionBus()) {
    if (const auto path = MenuBarSnapshot::pathFromEnvironment()) snapshot_ = std::make_unique<MenuBarSnapshot>(*path);

    connect(&tray_, &QSystemTrayIcon::activated, this, &StatusItemController::handleActivated);
    // Rebuilt on every opening: the header and the pause item follow the state.
    connect(&menu_, &QMenu::aboutToShow, this, &StatusItemController::rebuildMenu);
    rebuildMenu();
    tray_.setContextMenu(&menu_);

    connect(&model_, &AppModel::changed, this, &StatusItemController::render);
    connect(&preferences_, &Preferences::displayStyleChanged, this, &StatusItemController::render);
    connect(&preferences_, &Preferences::menuBarTargetChanged, this, &StatusItemController::render);
    connect(&appearance_, &TrayAppearanceWatcher::appearanceChanged, this, &StatusItemController::render);
    // A click on our notification opens the popup and never closes it.
    QPointer<StatusItemController> self(this);
    model_.notifier().onOpen = [self] {
        if (self && !self->isPopoverShown()) self->togglePopover(false);
    };

    render();
    tray_.show();
}

StatusItemController::~StatusItemController() {
    model_.notifier().onOpen = nullptr;
    tray_.setContextMenu(nullptr);
}

void StatusItemController::render() {
    const QString spoken = MenuBarRenderer::accessibilityLabel(model_);
    const QString label = QAccessible::isActive() ? spoken : QStringLiteral("nerivane");
    if (label != lastAccessibilityLabel_) lastAccessibilityLabel_ = label;

    RenderKey key{MenuBarRenderer::layout(model_), CompactReadout::make(model_), appearance_.appearance(), deviceScale()};
    if (key == lastRender_) return;
    lastRender_ = key;

    QIcon icon;
    for (const int side : iconSizes) {
        icon.addPixmap(QPixmap::fromImage(renderer_.renderCompact(key.compact, key.appearance, side)));
        if (key.scale > 1) {
            const int pixels = static_cast<int>(std::lround(side * key.scale));
            icon.addPixmap(QPixmap::fromImage(renderer_.renderCompact(key.compact, key.appearance, pixels, key.scale)));
        }
    }
    tray_.setIcon(icon);
    // The tooltip is what a tray offers for reading the whole readout, and
    // the name screen readers announce.
    toolTip_ = QStringLiteral("nerivane: %1\n%2").arg(VerdictTexts::verdictTitle(model_.snapshot().verdict),
                                                      QString::fromStdString(key.layout.text()));
    if (QAccessible::isActive()) toolTip_ += QLatin1Char('\n') + spoken;
    tray_.setToolTip(toolTip_);
    if (snapshot_) snapshot_->write(key.layout, key.appearance, key.scale);
    renderCount_ += 1;
    emit rendered();
}

void StatusItemController::handleActivated(QSystemTrayIcon::ActivationReason reason) {
    // The context menu opens by itself on a right click (Context).
    if (reason == QSystemTrayIcon::Trigger) togglePopover(false);
}

void StatusItemController::rebuildMenu() {
    menu_.clear();
    const QString header = model_.pausedUntil() ? lastAccessibilityLabel_.value_or(QString())
                                                : VerdictTexts::verdictTitle(model_.snapshot().verdict);
    menu_.addAction(header)->setEnabled(false);
    menu_.addSeparator();
    connect(menu_.addAction(QStringLiteral("Open nerivane")), &QAction::triggered, this,
            &StatusItemController::openPopover);
    if (model_.pausedUntil()) {
        connect(menu_.addAction(QStringLiteral("Resume")), &QAction::triggered, &model_, &AppModel::resume);
    } else {
        connect(menu_.addAction(QStringLiteral("Pause for 1 Hour")), &QAction::triggered, &model_,
                &AppModel::pauseForOneHour);
    }
    QAction* settings = menu_.addAction(QStringLiteral("Settings\u2026"));
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    connect(settings, &QAction::triggered, this, &StatusItemController::openSettings);
    // Inactive until there is an update checker to ask.
    menu_.addAction(QStringLiteral("Check for Updates\u2026"))->setEnabled(false);
    menu_.addSeparator();
    QAction* quit = menu_.addAction(QStringLiteral("Quit nerivane"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, [this] { quit_(); });
}

void StatusItemController::togglePopover(bool showSettings) {
    if (isPopoverShown()) {
        popover_->hide();
        return;
    }
    if (showSettings) showingSettings_ = true;
    if (!popover_) {
        popover_ = std::make_unique<PopoverWindow>();
        popover_->layout()->addWidget(new PopoverHeader(model_, popover_.get()));
        connect(popover_.get(), &PopoverWindow::hidden, this, &StatusItemController::handlePopoverHidden);
    }
    model_.setDetailsVisible(true);
    popoverOpened_ = clock_();
    // XEmbed trays report the icon's rectangle; StatusNotifierItem hosts
    // often do not, and the window goes to the panel's corner by the cursor.
    popover_->showAnchored(tray_.geometry());
}

void StatusItemController::handlePopoverHidden() {
    model_.setDetailsVisible(false);
    if (showingFirstRun_ && popoverOpened_ && clock_() - *popoverOpened_ >= firstRunGlanceSeconds) {
        showingFirstRun_ = false;
        preferences_.setDidShowFirstRun(true);
    }
    QTimer::singleShot(0, this, [this] {
        // A click on the tray item closes the popup on the press and may
        // reopen it on the release: only a popup still hidden is dropped.
        if (popover_ && !popover_->isVisible()) popover_.reset();
        QTimer::singleShot(2000, this, [] { malloc_trim(0); });
    });
}

void StatusItemController::showFirstRunIfNeeded() {
    if (preferences_.didShowFirstRun()) return;
    QTimer::singleShot(1000, this, [this] {
        showingFirstRun_ = true;
        if (!isPopoverShown()) togglePopover(false);
    });
}

}  // namespace nerivane
