// The "Under load" card: per direction the grade of latency under load as a
// big coloured letter, the milliseconds a busy link adds, where the queue is
// and when the link was last busy. Shown under the internet card once a
// direction has a grade. Built on each refresh of the popup's column; main thread.
#pragma once

#include "NerivaneKit/analysis/MonitorSnapshot.h"
#include "nerivane/ui/cards/CardContext.h"
#include "nerivane/ui/cards/CardFrame.h"

namespace nerivane {

class LoadCard : public CardFrame {
    Q_OBJECT

public:
    LoadCard(const LoadSnapshot& load, const CardContext& context, QWidget* parent = nullptr);

    // The card for the snapshot, or null while no direction has a grade.
    static LoadCard* make(const MonitorSnapshot& snapshot, const CardContext& context);
};

}  // namespace nerivane
