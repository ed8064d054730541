#include "nerivane/ui/menubar/StatusItemController.h"

#include <malloc.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDateTime>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QIcon>
#include <QLayout>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QTimer>

#include "NerivaneKit/platform/Log.h"
#include "nerivane/core/AppModel.h"
#include "nerivane/core/Preferences.h"
#include "nerivane/core/VerdictTexts.h"
#include "nerivane/export/AtomicFile.h"
#include "nerivane/export/DiagnosticsReport.h"
#include "nerivane/ui/menubar/TrayIconEngine.h"
#include "nerivane/updates/Updater.h"
#include "nerivane/ui/popover/PopoverPlaces.h"
#include "nerivane/ui/popover/PopoverSnapshot.h"
#include "nerivane/ui/popover/PopoverView.h"

namespace nerivane {
namespace {

double deviceScale() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->devicePixelRatio() : 1.0;
}

// The footer names the build's version; a build without one shows "dev".
PopoverView::Options popoverOptions() {
    PopoverView::Options options;
#ifdef NERIVANE_VERSION
    options.version = QStringLiteral(NERIVANE_VERSION);
#endif
    return options;
}

// The internet's latest latency as the readout says it ("12 ms"); empty while there is none.
QString internetLatency(const MonitorSnapshot& snapshot) {
    for (const auto& target : snapshot.targets) {
        if (target.target.role != TargetRole::internet(0)) continue;
        if (!target.metrics.latest || target.state.kind == TargetState::Kind::down) return {};
        return VerdictTexts::millisecondsText(target.metrics.latest);
    }
    return {};
}

// How often a window looks for a tray host that started after it.
constexpr int trayWatchMilliseconds = 2000;

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
    if (auto bus = QDBusConnection::sessionBus(); bus.isConnected()) {
        menuExporter_ = std::make_unique<DBusMenuExporter>(menu_, bus);
        sni_ = std::make_unique<StatusNotifierItem>(bus, QStringLiteral("nerivane"),
                                                    QDBusObjectPath(QString::fromLatin1(DBusMenuExporter::objectPath)));
        connect(sni_.get(), &StatusNotifierItem::activated, this, [this] { togglePopover(false); });
        // Hosts that cannot draw a dbusmenu ask us to show the menu.
        connect(sni_.get(), &StatusNotifierItem::contextMenuRequested, this, [this](QPoint at) { menu_.popup(at); });
        // The middle button and the wheel do nothing, as on the XEmbed icon.
        connect(sni_.get(), &StatusNotifierItem::watcherAppeared, this, &StatusItemController::useStatusNotifierItem);
    }

    connect(&trayWatch_, &QTimer::timeout, this, [this] {
        if (QSystemTrayIcon::isSystemTrayAvailable()) leaveWindow();
    });
    connect(&model_, &AppModel::changed, this, &StatusItemController::render);
    connect(&preferences_, &Preferences::displayStyleChanged, this, &StatusItemController::render);
    connect(&preferences_, &Preferences::menuBarTargetChanged, this, &StatusItemController::render);
    connect(&preferences_, &Preferences::trayLabelChanged, this, &StatusItemController::updateLabel);
    connect(&appearance_, &TrayAppearanceWatcher::appearanceChanged, this, &StatusItemController::render);
    // A click on our notification opens the popup and never closes it.
    QPointer<StatusItemController> self(this);
    model_.notifier().onOpen = [self] {
        if (self && !self->isPopoverShown()) self->togglePopover(false);
    };

    render();
    if (sni_ && sni_->watcherPresent()) {
        useStatusNotifierItem();
    } else {
        tray_.show();
    }
    // From the event loop, once the owner has handed over the update checker.
    QTimer::singleShot(0, this, [this, self] {
        if (auto* popupSnapshot = PopoverSnapshot::startFromEnvironment(
                model_, popoverState_, popoverActions(), PopoverPlaces::make(model_, popoverState_, updater_, clock_),
                popoverOptions(),
                [self] { return self && self->isPopoverShown(); }, this)) {
            // The report of the moment pictured, for checking both together.
            const QString report = qEnvironmentVariable("NERIVANE_DIAGNOSTICS");
            if (!report.isEmpty()) connect(popupSnapshot, &PopoverSnapshot::finished, this, [this, report] {
                DiagnosticsReport::collect(model_, this, [report](const QString& text) {
                    if (const auto error = AtomicFile::write(report, text.toUtf8()))
                        Log("app").error("NERIVANE_DIAGNOSTICS: " + error->toStdString());
                });
            });
        }
    });
}

StatusItemController::~StatusItemController() {
    model_.notifier().onOpen = nullptr;
    tray_.setContextMenu(nullptr);
}

void StatusItemController::useWindow() {
    if (window_) return;
    tray_.hide();
    window_ = std::make_unique<ReadoutWindow>(
        [this] { quit_(); }, [this] { preferences_.setDidShowPanelHint(true); }, !preferences_.didShowPanelHint());
    trayWatch_.start(trayWatchMilliseconds);
    // The title and the icon come with the next render: force it.
    lastRender_.reset();
    render();
    showInWindow(false);
}

void StatusItemController::leaveWindow() {
    if (!window_) return;
    trayWatch_.stop();
    window_.reset();
    model_.setDetailsVisible(false);
    Log("app").info("a tray host appeared; the readout moves from its window to the panel");
    lastRender_.reset();
    render();
    if (!(sni_ && sni_->isActive())) tray_.show();
}

void StatusItemController::showInWindow(bool showSettings) {
    if (showSettings) popoverState_.setShowingSettings(true);
    // A new view where the page changed (first run, settings), else the one shown.
    if (window_->view() == nullptr || showSettings || popoverState_.showingFirstRun())
        window_->setView(new PopoverView(model_, popoverState_, popoverActions(),
                                         PopoverPlaces::make(model_, popoverState_, updater_, clock_), popoverOptions()));
    model_.setDetailsVisible(true);
    window_->present();
}

void StatusItemController::useStatusNotifierItem() {
    leaveWindow();
    if (sni_->isActive()) return;
    // The XEmbed icon is off the tray before the panel shows ours: never two.
    tray_.hide();
    sni_->registerWithWatcher();
}

void StatusItemController::hide() {
    tray_.hide();
    if (sni_) sni_->stop();
}

void StatusItemController::updateLabel() {
    if (!sni_) return;
    if (!preferences_.trayLabel()) {
        sni_->setLabel({}, {});
        return;
    }
    // The wide readout's values whatever the display style: a label has no trace.
    const MenuBarTarget target = preferences_.menuBarTarget();
    const auto layout = MenuBarLayout::make(model_.snapshot(), {}, {}, DisplayStyle::text, target,
                                            model_.pausedUntil().has_value());
    sni_->setLabel(QString::fromStdString(layout.label()), QString::fromStdString(MenuBarLayout::labelGuide(target)));
}

void StatusItemController::render() {
    updateLabel();
    const QString spoken = VerdictTexts::spokenReadout(model_.snapshot(), model_.pausedUntil());
    const QString label = QAccessible::isActive() ? spoken : QStringLiteral("nerivane");
    if (label != lastAccessibilityLabel_) lastAccessibilityLabel_ = label;
    if (sni_) sni_->setAccessibleDescription(spoken);
    const bool onBus = sni_ && sni_->isActive();
    // The tooltip is what a tray offers for reading the whole readout, and
    // the name screen readers announce: the verdict and the values in words,
    // which change more often than the picture.
    if (const QString tip = QStringLiteral("nerivane: ") + spoken; tip != toolTip_) {
        toolTip_ = tip;
        if (!onBus) tray_.setToolTip(toolTip_);
        // All of it as the title, as hosts show the title most prominently.
        if (sni_) sni_->setToolTip(toolTip_, {});
    }
    if (window_)
        window_->setWindowTitle(
            ReadoutWindow::title(internetLatency(model_.snapshot()), VerdictTexts::verdictTitle(model_.snapshot())));

    RenderKey key{MenuBarLayout::make(model_), CompactReadout::make(model_), appearance_.appearance(), deviceScale()};
    if (key == lastRender_) return;
    lastRender_ = key;

    std::vector<QPixmap> pixmaps;
    StatusNotifierPixmaps wirePixmaps;
    const auto add = [&](const QImage& image) {
        if (sni_) wirePixmaps << StatusNotifierPixmap::fromImage(image);
        pixmaps.push_back(QPixmap::fromImage(image));
    };
    for (const int side : iconSizes) {
        add(renderer_.renderCompact(key.compact, key.appearance, side));
        if (key.scale > 1) {
            const int pixels = static_cast<int>(std::lround(side * key.scale));
            add(renderer_.renderCompact(key.compact, key.appearance, pixels, key.scale));
        }
    }
    if (sni_) sni_->setIcon(std::move(wirePixmaps));
    // The previous pictures go with the previous icon: none stays in a cache.
    // The XEmbed icon, hidden while our item is on the bus, is left alone then.
    const QIcon icon = TrayIconEngine::icon(std::move(pixmaps));
    if (!onBus && !window_) tray_.setIcon(icon);
    if (window_) window_->setWindowIcon(icon);
    if (snapshot_) snapshot_->write(key.layout, key.appearance, key.scale);
    renderCount_ += 1;
    emit rendered();
}

void StatusItemController::handleActivated(QSystemTrayIcon::ActivationReason reason) {
    // The context menu opens by itself on a right click (Context).
    // The popup holds no pointer grab: a quick second click on the item, the
    // one that closes it, comes as a double click.
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) togglePopover(false);
}

void StatusItemController::rebuildMenu() {
    // Built once and brought up to date on every opening: the items keep
    // their identity, so a panel's copy of the menu (ids on the bus) stays valid.
    if (menu_.isEmpty()) {
        header_ = menu_.addAction(QString());
        header_->setEnabled(false);
        menu_.addSeparator();
        connect(menu_.addAction(QStringLiteral("Open nerivane")), &QAction::triggered, this,
                &StatusItemController::openPopover);
        signIn_ = menu_.addAction(QStringLiteral("Sign in to this network\u2026"));
        connect(signIn_, &QAction::triggered, this, [this] { openSignInPage(model_.connectivity().signInURL()); });
        // Does what it said when it was shown.
        pause_ = menu_.addAction(QString());
        connect(pause_, &QAction::triggered, this, [this] {
            if (pause_->data().toBool()) {
                model_.resume();
            } else {
                model_.pauseForOneHour();
            }
        });
        // Sentence case and no shortcuts: a tray menu has no keyboard focus to deliver them.
        QAction* settings = menu_.addAction(QStringLiteral("Settings\u2026"));
        connect(settings, &QAction::triggered, this, &StatusItemController::openSettings);
        check_ = menu_.addAction(QStringLiteral("Check for updates\u2026"));
        connect(check_, &QAction::triggered, this, [this] {
            if (updatesEnabled()) updater_->checkForUpdates();
        });
        menu_.addSeparator();
        QAction* quit = menu_.addAction(QStringLiteral("Quit nerivane"));
        connect(quit, &QAction::triggered, this, [this] { quit_(); });
    }
    const bool paused = model_.pausedUntil().has_value();
    header_->setText(paused ? lastAccessibilityLabel_.value_or(QString())
                            : VerdictTexts::verdictTitle(model_.snapshot().verdict));
    signIn_->setVisible(!paused && model_.snapshot().verdict == Verdict::signInNeeded &&
                        model_.connectivity().signInURL().isValid());
    pause_->setText(paused ? QStringLiteral("Resume") : QStringLiteral("Pause for 1 hour"));
    pause_->setData(paused);
    // Gone from builds without an update feed; inactive while a check runs.
    check_->setVisible(updatesEnabled());
    check_->setEnabled(updatesEnabled() && !updater_->isChecking());
}

void StatusItemController::setUpdater(Updater* updater) {
    updater_ = updater;
    rebuildMenu();
    if (!updatesEnabled()) return;
    connect(updater_, &Updater::checkFinished, this,
            [](Updater::Outcome outcome, const QString& message, bool userInitiated) {
                if (!userInitiated) return;
                if (outcome == Updater::Outcome::failed) {
                    QMessageBox::warning(nullptr, QStringLiteral("nerivane"), message);
                } else {
                    QMessageBox::information(nullptr, QStringLiteral("nerivane"), message);
                }
            });
}

bool StatusItemController::updatesEnabled() const { return updater_ != nullptr && updater_->isEnabled(); }

// Through the desktop portal where the desktop has one, so a sandbox lets it
// out; else QDesktopServices, which runs xdg-open.
void StatusItemController::openSignInPage(const QUrl& url) {
    if (!url.isValid()) return;
    auto message = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.portal.Desktop"),
                                                  QStringLiteral("/org/freedesktop/portal/desktop"),
                                                  QStringLiteral("org.freedesktop.portal.OpenURI"), QStringLiteral("OpenURI"));
    message << QString() << url.toString() << QVariantMap();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        QDesktopServices::openUrl(url);
        return;
    }
    // Asked without waiting: the portal may ask the user which browser to use.
    auto* call = new QDBusPendingCallWatcher(bus.asyncCall(message, 5000), QCoreApplication::instance());
    QObject::connect(call, &QDBusPendingCallWatcher::finished, call, [url](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        if (finished->isError()) QDesktopServices::openUrl(url);
    });
}

PopoverActions StatusItemController::popoverActions() {
    PopoverActions actions;
    actions.dismissFirstRun = [this] { popoverState_.dismissFirstRun(preferences_); };
    actions.quit = [this] { quit_(); };
    actions.copyDiagnostics = [this](std::function<void()> done) {
        DiagnosticsReport::collect(model_, this, [done = std::move(done)](const QString& text) {
            QClipboard* clipboard = QGuiApplication::clipboard();
            clipboard->setText(text, QClipboard::Clipboard);
            // Middle-click pasting reads the selection where the system has one.
            if (clipboard->supportsSelection()) clipboard->setText(text, QClipboard::Selection);
            if (done) done();
        });
    };
    if (updatesEnabled()) {
        actions.availableUpdate = [this] { return updater_->availableVersion(); };
        actions.installUpdate = [this] { QDesktopServices::openUrl(updater_->updateTarget()); };
    }
    actions.openSignInPage = [](const QUrl& url) { openSignInPage(url); };
    // Started from the event loop: the save dialog's own loop may drop the
    // closed popup, whose menu is still on the stack here.
    actions.exportData = [this](CSVExport::Choice choice) {
        QTimer::singleShot(0, this, [this, choice] {
            if (!exportFlow_) exportFlow_ = std::make_unique<ExportFlow>(model_.history());
            exportFlow_->start(choice);
        });
    };
    return actions;
}

void StatusItemController::togglePopover(bool showSettings) {
    // The window is not toggled: a click or a second launch brings it up.
    if (window_) {
        showInWindow(showSettings);
        return;
    }
    if (isPopoverShown()) {
        popover_->hide();
        return;
    }
    if (showSettings) popoverState_.setShowingSettings(true);
    if (!popover_) {
        popover_ = std::make_unique<PopoverWindow>();
        connect(popover_.get(), &PopoverWindow::hidden, this, &StatusItemController::handlePopoverHidden);
    }
    popover_->setView(new PopoverView(model_, popoverState_, popoverActions(),
                                      PopoverPlaces::make(model_, popoverState_, updater_, clock_), popoverOptions()));
    model_.setDetailsVisible(true);
    popoverOpened_ = clock_();
    // XEmbed trays report the icon's rectangle; StatusNotifierItem hosts
    // often do not, and the window goes to the panel's corner by the cursor.
    popover_->showAnchored(tray_.geometry());
}

void StatusItemController::handlePopoverHidden() {
    model_.setDetailsVisible(false);
    if (popoverOpened_) popoverState_.handleClosed(clock_() - *popoverOpened_, preferences_);
    popoverOpened_.reset();
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
        popoverState_.setShowingFirstRun(true);
        if (!isPopoverShown()) togglePopover(false);
    });
}

}  // namespace nerivane
