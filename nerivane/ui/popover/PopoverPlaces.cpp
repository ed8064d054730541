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
    places.historyCard = [&model, &state, now]() -> QWidget* {
        auto* card = new HistoryCard(model, now);
        card->setRange(state.chartRange());
        card->setTarget(state.chartTarget());
        QObject::connect(card, &HistoryCard::rangeChanged, &state, &PopoverState::setChartRange);
        QObject::connect(card, &HistoryCard::targetChanged, &state, &PopoverState::setChartTarget);
        QObject::connect(&state, &PopoverState::chartRangeChanged, card,
                         [card, &state] { card->setRange(state.chartRange()); });
        QObject::connect(&state, &PopoverState::chartTargetChanged, card,
                         [card, &state] { card->setTarget(state.chartTarget()); });
        return card;
    };
    places.settingsPage = [&model, updater]() -> QWidget* {
        auto* page = new SettingsView(model);
        if (updater != nullptr && updater->isEnabled()) page->showUpdates(*updater);
        // The popup's column has margins of its own.
        const QMargins margins = page->layout()->contentsMargins();
        page->layout()->setContentsMargins(0, margins.top(), 0, margins.bottom());
        return page;
    };
    places.launchAtLogin = []() -> QWidget* { return new LaunchAtLoginSwitch(); };
    return places;
}

}  // namespace nerivane
