#include "nerivane/ui/popover/PopoverPlaces.h"

#include <QLayout>

#include "nerivane/ui/history/HistoryCard.h"
#include "nerivane/ui/popover/PopoverState.h"
#include "nerivane/ui/settings/LaunchAtLoginSwitch.h"
#include "nerivane/ui/settings/SettingsView.h"
#include "nerivane/updates/Updater.h"

namespace nerivane {

PopoverView::Places PopoverPlaces::make(AppModel& model, PopoverState& state, Updater* updater,
                                        std::function<double()> now) {
    PopoverView::Places places;
    places.historyCard = [&model, &state, now]() -> std::unique_ptr<QWidget> {
        auto owner = std::make_unique<HistoryCard>(model, now);
        HistoryCard* card = owner.get();
        card->setRange(state.chartRange());
        card->setTarget(state.chartTarget());
        QObject::connect(card, &HistoryCard::rangeChanged, &state, &PopoverState::setChartRange);
        QObject::connect(card, &HistoryCard::targetChanged, &state, &PopoverState::setChartTarget);
        QObject::connect(&state, &PopoverState::chartRangeChanged, card,
                         [card, &state] { card->setRange(state.chartRange()); });
        QObject::connect(&state, &PopoverState::chartTargetChanged, card,
                         [card, &state] { card->setTarget(state.chartTarget()); });
        return owner;
    };
    places.settingsPage = [&model, updater]() -> std::unique_ptr<QWidget> {
        auto page = std::make_unique<SettingsView>(model);
        if (updater != nullptr && updater->isEnabled()) page->showUpdates(*updater);
        // The popup's column has margins of its own.
        const QMargins margins = page->layout()->contentsMargins();
        page->layout()->setContentsMargins(0, margins.top(), 0, margins.bottom());
        return page;
    };
    places.launchAtLogin = []() -> std::unique_ptr<QWidget> { return std::make_unique<LaunchAtLoginSwitch>(); };
    return places;
}

}  // namespace nerivane
