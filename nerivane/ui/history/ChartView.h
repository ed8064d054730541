// The history chart: shaded non-measured runs with their names, throughput
// low under the lines, the p95 and median lines, the signal line, the loss strip and the scale label, painted
// from ChartGeometry. Its accessible description is the spoken summary.
// Owned by the history card; main thread.
#pragma once

#include <QWidget>
#include <optional>
#include <vector>

#include "NerivaneKit/history/ChartBucket.h"
#include "NerivaneKit/history/ChartRange.h"
#include "nerivane/core/Accent.h"

namespace nerivane {

class ChartView : public QWidget {
    Q_OBJECT

public:
    // The plot never shrinks below this latency, so a quiet line stays low.
    static constexpr double defaultFloor = 20;

    explicit ChartView(QWidget* parent = nullptr);

    // firstRecorded: where history begins (ChartGeometry::layout); none when not known.
    void setBuckets(std::vector<ChartBucket> buckets, ChartRange range, std::optional<double> firstRecorded = std::nullopt);
    const std::vector<ChartBucket>& buckets() const { return buckets_; }
    ChartRange range() const { return range_; }
    std::optional<double> firstRecorded() const { return firstRecorded_; }
    void setFloor(double milliseconds);
    void setAccent(Accent accent);
    void setIncreasedContrast(bool on);
    // Whether any bucket has a signal reading (the legend shows it then).
    bool hasSignal() const;
    // Whether any bucket has throughput (the legend shows it then).
    bool hasThroughput() const;

    // Paints into any device: the widget, or an image in tests.
    void draw(QPainter& painter, const QRectF& bounds) const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void updateDescription();

    std::vector<ChartBucket> buckets_;
    ChartRange range_ = ChartRange::hour;
    std::optional<double> firstRecorded_;
    double floor_ = defaultFloor;
    Accent accent_ = Accent::phosphor;
    bool increasedContrast_ = false;
};

}  // namespace nerivane
