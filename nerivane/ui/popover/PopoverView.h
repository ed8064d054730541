// The popup's content: the header, one scrolling column (the first-run card,
// the target cards with the under-load card after the internet card, or the
// offline card, the history card, the Wi-Fi card, the events card; or the
// settings page in their place) and the footer.
// Built anew each time the popup opens; while it is shown its cards are
// updated in place from the model (target cards of other targets are made anew). Owned by the popup window or the snapshot renderer; main thread.
#pragma once

#include <QPointer>
#include <QScrollArea>
#include <QStringList>
#include <QVBoxLayout>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "nerivane/core/VerdictTexts.h"
#include "nerivane/core/WiFiInfo.h"
#include "nerivane/ui/cards/CardContext.h"
#include "nerivane/ui/popover/PopoverActions.h"

namespace nerivane {

class AppModel;
class EventsCard;
class LoadCard;
class WiFiCard;
class PopoverFooter;
class PopoverHeader;
class PopoverState;
class Preferences;

class PopoverView : public QWidget {
    Q_OBJECT

public:
    // The popup's fixed width: 340 at a 9-point desktop font, wider in
    // proportion to a larger one (never narrower), so a large font cuts nothing.
    static int fixedWidth();

    // Places of the column filled by other parts of the program: each makes
    // a new widget for the view to own, or none, and an empty one leaves its
    // place out. The settings button shows only with a settings page.
    struct Places {
        std::function<std::unique_ptr<QWidget>()> historyCard;
        std::function<std::unique_ptr<QWidget>()> settingsPage;
        std::function<std::unique_ptr<QWidget>()> launchAtLogin;
    };

    struct Options {
        // The build's version; "dev" when empty.
        QString version;
        // The locale, zone and moment of the texts; the user's, now, when empty.
        std::function<VerdictTexts::Context()> context;
        // Wi-Fi details to show in place of the model's (the snapshot's "wifi" page).
        std::optional<WiFiInfo> wifi;
    };

    PopoverView(AppModel& model, PopoverState& state, PopoverActions actions, Places places, Options options,
                QWidget* parent = nullptr);
    ~PopoverView() override;

    // Height of everything without scrolling, for sizing the window.
    int contentHeight() const;
    // How far the column scrolls at the current size; 0 when all of it shows.
    int overflow() const;

    PopoverHeader* header() const { return header_; }
    PopoverFooter* footer() const { return footer_; }
    // Null while the settings page is shown.
    EventsCard* eventsCard() const;
    QWidget* column() const { return column_; }

signals:
    // The content changed size; the window may resize.
    void contentChanged();

protected:
    void changeEvent(QEvent* event) override;

private:
    CardContext cardContext() const;
    void rebuildColumn();
    int scrollBarRoom() const;
    void reserveScrollBar();
    std::unique_ptr<QWidget> outageSwitch();
    void refresh();
    void refreshWiFi();
    void clearLayout(QLayout* layout);

    AppModel& model_;
    Preferences& preferences_;
    PopoverState& state_;
    PopoverActions actions_;
    Places places_;
    Options options_;

    PopoverHeader* header_ = nullptr;
    PopoverFooter* footer_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QWidget* column_ = nullptr;
    QVBoxLayout* targets_ = nullptr;
    // What the target cards shown were made for; empty before the first.
    QStringList targetSet_;
    // Made with the column, kept in the targets' stack after the first card
    // and hidden while it has nothing to show.
    QPointer<LoadCard> loadCard_;
    QPointer<WiFiCard> wifiCard_;
    QPointer<EventsCard> eventsCard_;
};

}  // namespace nerivane
