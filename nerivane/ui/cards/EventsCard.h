// The recent incidents, newest first, with the export menu. Shows the
// model's recent events at once and adds the latest from history, read on a
// thread of the card's own after its first paint (a SQLite read never blocks
// the popup); events that arrive while it is shown join at once. Events of
// one cause show as one incident. Owned by the popup's column; main thread.
#pragma once

#include <QMenu>
#include <QPointer>
#include <QThreadPool>
#include <QToolButton>
#include <functional>
#include <vector>

#include "NerivaneKit/analysis/Incident.h"
#include "NerivaneKit/analysis/NetworkEvent.h"
#include "nerivane/export/CSVExport.h"
#include "nerivane/ui/cards/CardContext.h"
#include "nerivane/ui/cards/CardFrame.h"

namespace nerivane {

class History;

class EventsCard : public CardFrame {
    Q_OBJECT

public:
    // Incidents shown at most.
    static constexpr int limit = 10;
    // Events read from history: enough for ten incidents of three targets.
    static constexpr int eventLimit = 40;
    using ExportHandler = std::function<void(CSVExport::Choice)>;

    // recent: the model's events, oldest first; busy: the stretches of a busy
    // link the model saw. history may be null (no store), and so may
    // onExport (no export control).
    EventsCard(std::vector<NetworkEvent> recent, std::vector<Incident::BusySpan> busy, History* history,
               ExportHandler onExport, CardContext context, QWidget* parent = nullptr);

    // Starts the history read unless it has started; the first paint calls it.
    void load();
    // The history read has finished (loaded() was sent).
    bool isLoaded() const { return loaded_; }
    // An event that has just ended; one already shown is left alone.
    void add(const NetworkEvent& event, std::vector<Incident::BusySpan> busy);
    // Newest first.
    const std::vector<Incident>& incidents() const { return incidents_; }
    // Null without an export handler.
    QMenu* exportMenu() const { return menu_; }

signals:
    // The history read has finished (also when it failed and the list stayed).
    void loaded();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void merge(const std::vector<NetworkEvent>& events);
    void showIncidents();
    void handleLoaded(std::optional<std::vector<NetworkEvent>> events);

    History* history_;
    CardContext context_;
    // Every event known, by start; grouped into incidents_ for showing.
    std::vector<NetworkEvent> events_;
    std::vector<Incident::BusySpan> busy_;
    std::vector<Incident> incidents_;
    QWidget* rows_ = nullptr;
    QMenu* menu_ = nullptr;
    bool loadStarted_ = false;
    bool loaded_ = false;
    // The read's thread. Last, so it is waited for first: a card going away
    // (and the model after it) never leaves a read running on the history.
    QThreadPool pool_;
};

}  // namespace nerivane
