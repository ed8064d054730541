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
EventsCard::EventsCard(std::vector<NetworkEvent> recent, History* history, ExportHandler onExport, CardContext context,
                       QWidget* parent)
    : CardFrame(tr("EVENTS"), parent), history_(history), context_(std::move(context)) {
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
    std::reverse(recent.begin(), recent.end());
    if (recent.size() > static_cast<std::size_t>(limit)) recent.resize(limit);
    showEvents(std::move(recent));
}

void EventsCard::showEvents(std::vector<NetworkEvent> events) {
    events_ = std::move(events);
    delete rows_;
    rows_ = new QWidget(this);
    auto* layout = new QVBoxLayout(rows_);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(1);
    if (events_.empty()) {
        layout->addWidget(CardFrame::secondaryLabel(tr(CardTexts::noEvents), rows_));
    } else {
        for (const auto& event : events_) layout->addWidget(new EventRow(event, context_, rows_));
    }
    body()->addWidget(rows_);
}

void EventsCard::load() {
    if (loadStarted_) return;
    loadStarted_ = true;
    if (history_ == nullptr) {
        emit loaded();
        return;
    }
    History* history = history_;
    QPointer<EventsCard> card(this);
    pool_.start([history, card] {
        std::optional<std::vector<NetworkEvent>> events;
        try {
            events = history->latestEvents(limit);
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
    if (events) showEvents(std::move(*events));
    emit loaded();
}

void EventsCard::paintEvent(QPaintEvent* event) {
    CardFrame::paintEvent(event);
    if (!loadStarted_) QMetaObject::invokeMethod(this, &EventsCard::load, Qt::QueuedConnection);
}

}  // namespace nerivane
