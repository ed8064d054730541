// The chart's legend: a swatch and a word per series (median, p95, loss, and
// signal only when the chart has a signal line). Owned by the history card;
// main thread.
#pragma once

#include <QWidget>

#include "nerivane/core/Accent.h"

namespace nerivane {

class ChartLegend : public QWidget {
    Q_OBJECT

public:
    explicit ChartLegend(QWidget* parent = nullptr);

    void setShowRSSI(bool show);
    bool showRSSI() const { return showRSSI_; }
    void setAccent(Accent accent);
    void setIncreasedContrast(bool on);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool showRSSI_ = false;
    Accent accent_ = Accent::phosphor;
    bool increasedContrast_ = false;
};

}  // namespace nerivane
