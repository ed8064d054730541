// The recent outages and spikes, newest first, with the export menu. Shows
// the model's recent events at once and replaces them with the ten latest
// from history, read on a thread of the card's own after its first paint (a
// SQLite read never blocks the popup). Owned by the popup's column; main thread.
#pragma once

#include <QMenu>
#include <QPointer>
#include <QThreadPool>
#include <QToolButton>
#include <functional>
#include <vector>

#include "NerivaneKit/analysis/NetworkEvent.h"
#include "nerivane/export/CSVExport.h"
#include "nerivane/ui/cards/CardContext.h"
#include "nerivane/ui/cards/CardFrame.h"

namespace nerivane {

class History;

class EventsCard : public CardFrame {
    Q_OBJECT

public:
    static constexpr int limit = 10;
    using ExportHandler = std::function<void(CSVExport::Choice)>;

    // recent: the model's events, oldest first. history may be null (no
    // store), and so may onExport (no export control).
    EventsCard(std::vector<NetworkEvent> recent, History* history, ExportHandler onExport, CardContext context,
               QWidget* parent = nullptr);

    // Starts the history read unless it has started; the first paint calls it.
    void load();
    // Newest first.
    const std::vector<NetworkEvent>& events() const { return events_; }
    // Null without an export handler.
    QMenu* exportMenu() const { return menu_; }

signals:
    // The history read has finished (also when it failed and the list stayed).
    void loaded();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void showEvents(std::vector<NetworkEvent> events);
    void handleLoaded(std::optional<std::vector<NetworkEvent>> events);

    History* history_;
    CardContext context_;
    std::vector<NetworkEvent> events_;
    QWidget* rows_ = nullptr;
    QMenu* menu_ = nullptr;
    bool loadStarted_ = false;
    // The read's thread. Last, so it is waited for first: a card going away
    // (and the model after it) never leaves a read running on the history.
    QThreadPool pool_;
};

}  // namespace nerivane
