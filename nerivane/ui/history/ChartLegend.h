// The chart's legend: a swatch and a word per series (median, p95, loss;
// signal and throughput only when the chart has them). Owned by the history card;
// main thread.
#pragma once

#include <QRectF>
#include <QWidget>
#include <vector>

#include "nerivane/core/Accent.h"

namespace nerivane {

class ChartLegend : public QWidget {
    Q_OBJECT

public:
    explicit ChartLegend(QWidget* parent = nullptr);

    void setShowRSSI(bool show);
    bool showRSSI() const { return showRSSI_; }
    void setShowThroughput(bool show);
    bool showThroughput() const { return showThroughput_; }
    void setAccent(Accent accent);
    void setIncreasedContrast(bool on);

    // One entry: where its swatch and its word go (the one layout that
    // painting and the contrast checks share).
    struct Item {
        enum class Swatch { median, p95, loss, signal, throughput };
        Swatch swatch;
        QString word;
        QRectF swatchBox;
        QRectF wordBox;
    };
    std::vector<Item> items() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QFont wordFont() const;

    bool showRSSI_ = false;
    bool showThroughput_ = false;
    Accent accent_ = Accent::phosphor;
    bool increasedContrast_ = false;
};

}  // namespace nerivane
