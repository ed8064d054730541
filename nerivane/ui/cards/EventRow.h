// One incident in the events card: its symbol, title and targets (elided
// when long), worst round-trip time, duration and start time, painted as one
// line and read out as one sentence. Owned by the events card; main thread.
#pragma once

#include <QWidget>

#include "NerivaneKit/analysis/Incident.h"
#include "nerivane/ui/cards/CardContext.h"
#include "nerivane/ui/cards/CardTexts.h"

namespace nerivane {

class EventRow : public QWidget {
    Q_OBJECT

public:
    EventRow(const Incident& incident, const CardContext& context, QWidget* parent = nullptr);

    const CardTexts::EventTexts& texts() const { return texts_; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return {120, sizeHint().height()}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    NetworkEvent::Kind kind_;
    CardTexts::EventTexts texts_;
};

}  // namespace nerivane
