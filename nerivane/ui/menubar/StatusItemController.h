// The application's item in the system tray: shows the compact readout at
// every size a tray host may ask for, re-rendering only when what it shows
// changed; carries the readout and the verdict in its tooltip and, where the
// host shows labels, the readout's text beside the icon; opens and closes
// the popup on a click; offers the context menu; schedules the first-run
// card; writes NERIVANE_SNAPSHOT. Served as our own StatusNotifierItem where
// a watcher runs at launch (or appears later), as an XEmbed icon otherwise. Created by the application
// delegate after launch, lives until the application ends; main thread.
#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

#include "nerivane/core/CompactReadout.h"
#include "nerivane/core/MenuBarLayout.h"
#include "nerivane/ui/menubar/DBusMenuExporter.h"
#include "nerivane/ui/menubar/MenuBarRenderer.h"
#include "nerivane/ui/menubar/MenuBarSnapshot.h"
#include "nerivane/ui/menubar/ReadoutWindow.h"
#include "nerivane/ui/menubar/StatusNotifierItem.h"
#include "nerivane/ui/menubar/TrayAppearanceWatcher.h"
#include "nerivane/ui/popover/ExportFlow.h"
#include "nerivane/ui/popover/PopoverActions.h"
#include "nerivane/ui/popover/PopoverState.h"
#include "nerivane/ui/popover/PopoverWindow.h"

namespace nerivane {

class AppModel;
class Preferences;
class Updater;

class StatusItemController : public QObject {
    Q_OBJECT

public:
    // Equal keys mean identical pictures.
    struct RenderKey {
        MenuBarLayout layout;
        CompactReadout compact;
        TrayAppearance appearance;
        double scale = 1;
        bool operator==(const RenderKey&) const = default;
    };

    // The icon's sizes in pixels that hosts ask for (SNI hosts pick theirs).
    static constexpr int iconSizes[] = {16, 22, 24, 32, 48};
    // quit ends the application through its one quit path; clock gives
    // Unix seconds (the wall clock when empty) to the popup's glance and its
    // history chart.
    StatusItemController(AppModel& model, Preferences& preferences, std::function<void()> quit,
                         std::function<double()> clock = {}, QObject* parent = nullptr);
    ~StatusItemController() override;

    // The update checker, owned by the caller and outliving the item; with an
    // enabled one the menu checks for updates and the footer offers new versions.
    void setUpdater(Updater* updater);

    // After construction: the first-run card one second later, unless shown before.
    void showFirstRunIfNeeded();

    void togglePopover(bool showSettings);
    void openPopover() { togglePopover(false); }
    void openSettings() { togglePopover(true); }

    QSystemTrayIcon& trayIcon() { return tray_; }
    // Null without a session bus.
    StatusNotifierItem* statusNotifierItem() { return sni_.get(); }
    // Where no tray host runs: the popup's content in an application window
    // instead of the item, until a host appears (XEmbed or StatusNotifierItem).
    void useWindow();
    // Null while the item is on a panel.
    ReadoutWindow* window() { return window_.get(); }
    // Takes the item off the panel, at termination.
    void hide();
    QMenu& menu() { return menu_; }
    // Present while the popup is open (and until it is dropped after closing).
    PopoverWindow* popover() { return popover_.get(); }
    bool isPopoverShown() const { return popover_ && popover_->isVisible(); }
    bool showingFirstRun() const { return popoverState_.showingFirstRun(); }
    bool showingSettings() const { return popoverState_.showingSettings(); }
    PopoverState& popoverState() { return popoverState_; }
    int renderCount() const { return renderCount_; }
    const QString& toolTip() const { return toolTip_; }

signals:
    // After every render that changed the icon.
    void rendered();

private:
    // Opens a portal's sign-in page in the user's browser.
    static void openSignInPage(const QUrl& url);
    void render();
    void handleActivated(QSystemTrayIcon::ActivationReason reason);
    void updateLabel();
    // From the XEmbed icon to our StatusNotifierItem, when a watcher runs.
    void useStatusNotifierItem();
    // From the window to the tray item, once a host runs.
    void leaveWindow();
    void showInWindow(bool showSettings);
    void handlePopoverHidden();
    void rebuildMenu();
    PopoverActions popoverActions();
    bool updatesEnabled() const;

    AppModel& model_;
    Preferences& preferences_;
    std::function<void()> quit_;
    std::function<double()> clock_;
    QSystemTrayIcon tray_;
    QMenu menu_;
    // The menu's items that change between openings.
    QAction* header_ = nullptr;
    QAction* pause_ = nullptr;
    QAction* check_ = nullptr;
    QAction* signIn_ = nullptr;
    // The menu and the item on the session bus; declared after the menu they publish.
    std::unique_ptr<DBusMenuExporter> menuExporter_;
    std::unique_ptr<StatusNotifierItem> sni_;
    TrayAppearanceWatcher appearance_;
    MenuBarRenderer renderer_;
    std::unique_ptr<MenuBarSnapshot> snapshot_;
    // The popup's page state, kept across openings; outlives the views.
    PopoverState popoverState_;
    std::unique_ptr<PopoverWindow> popover_;
    // Present while no tray host runs; the watch looks for one meanwhile.
    std::unique_ptr<ReadoutWindow> window_;
    QTimer trayWatch_;
    // Made at the first export, once the history exists.
    std::unique_ptr<ExportFlow> exportFlow_;
    Updater* updater_ = nullptr;
    // Unix seconds of the last opening.
    std::optional<double> popoverOpened_;
    std::optional<RenderKey> lastRender_;
    std::optional<QString> lastAccessibilityLabel_;
    QString toolTip_;
    int renderCount_ = 0;
};

}  // namespace nerivane
