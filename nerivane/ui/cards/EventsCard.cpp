#include "nerivane/ui/cards/EventsCard.h"

#include <QCoreApplication>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>

#include "NerivaneKit/history/History.h"
#include "nerivane/ui/cards/CardColors.h"
#include "nerivane/ui/cards/CardTexts.h"
#include "nerivane/ui/cards/EventRow.h"
#include "nerivane/ui/cards/Symbols.h"

namespace nerivane {
EventsCard::EventsCard(std::vector<NetworkEvent> recent, std::vector<Incident::BusySpan> busy, History* history,
                       ExportHandler onExport, CardContext context, QWidget* parent)
    : CardFrame(tr("EVENTS"), parent), history_(history), context_(std::move(context)), busy_(std::move(busy)) {
    if (onExport) {
        auto* button = new QToolButton(this);
        button->setIcon(Symbols::icon(Symbols::Symbol::exportData, CardColors::secondary(palette())));
        button->setIconSize(QSize(14, 14));
        button->setAutoRaise(true);
        button->setToolTip(tr("export csv"));
        button->setAccessibleName(tr("export csv"));
        button->setPopupMode(QToolButton::InstantPopup);
        menu_ = new QMenu(button);
        for (const auto kind : CSVExport::allKinds) {
            QMenu* sub = menu_->addMenu(CSVExport::label(kind));
            for (const auto range : CSVExport::allRanges) {
                QAction* action = sub->addAction(CSVExport::label(range));
                connect(action, &QAction::triggered, this, [onExport, kind, range] { onExport({kind, range}); });
            }
        }
        button->setMenu(menu_);
        titleRow()->addWidget(button);
    }
    merge(recent);
    showIncidents();
}

void EventsCard::merge(const std::vector<NetworkEvent>& events) {
    for (const auto& event : events) {
        // History holds the model's events too: each is shown once.
        if (std::find(events_.begin(), events_.end(), event) == events_.end()) events_.push_back(event);
    }
    std::stable_sort(events_.begin(), events_.end(),
                     [](const NetworkEvent& a, const NetworkEvent& b) { return a.start < b.start; });
}

void EventsCard::add(const NetworkEvent& event, std::vector<Incident::BusySpan> busy) {
    busy_ = std::move(busy);
    merge({event});
    showIncidents();
}

void EventsCard::showIncidents() {
    incidents_ = Incident::group(events_, busy_);
    std::reverse(incidents_.begin(), incidents_.end());
    if (incidents_.size() > static_cast<std::size_t>(limit)) incidents_.resize(limit);
    delete rows_;
    rows_ = new QWidget(this);
    auto* layout = new QVBoxLayout(rows_);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(1);
    if (incidents_.empty()) {
        layout->addWidget(CardFrame::secondaryLabel(tr(CardTexts::noEvents), rows_));
    } else {
        for (const auto& incident : incidents_) layout->addWidget(new EventRow(incident, context_, rows_));
    }
    body()->addWidget(rows_);
}

void EventsCard::load() {
    if (loadStarted_) return;
    loadStarted_ = true;
    if (history_ == nullptr) {
        loaded_ = true;
        emit loaded();
        return;
    }
    History* history = history_;
    QPointer<EventsCard> card(this);
    pool_.start([history, card] {
        std::optional<std::vector<NetworkEvent>> events;
        try {
            events = history->latestEvents(eventLimit);
        } catch (const std::exception&) {
            // The service logs its own errors; the card keeps the model's list.
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [card, events = std::move(events)]() mutable {
                if (card) card->handleLoaded(std::move(events));
            },
            Qt::QueuedConnection);
    });
}

void EventsCard::handleLoaded(std::optional<std::vector<NetworkEvent>> events) {
    if (events) {
        merge(*events);
        showIncidents();
    }
    loaded_ = true;
    emit loaded();
}

void EventsCard::paintEvent(QPaintEvent* event) {
    CardFrame::paintEvent(event);
    if (!loadStarted_) QMetaObject::invokeMethod(this, &EventsCard::load, Qt::QueuedConnection);
}

}  // namespace nerivane
