// The small latency chart of a card: the last 60 seconds of one or more trace
// buffers, each a line in its own colour, with lost probes as red marks
// under the bottom edge. layout() is the one mapping from samples to points
// that painting and tests share. Owned by its card; main thread.
#pragma once

#include <QColor>
#include <QPointF>
#include <QRectF>
#include <QWidget>
#include <algorithm>
#include <vector>

#include "nerivane/core/TraceSample.h"

namespace nerivane {

class TraceView : public QWidget {
    Q_OBJECT

public:
    static constexpr double span = 60;
    // Room under the plot for the loss marks.
    static constexpr double markRoom = 5;

    struct Series {
        std::vector<TraceSample> samples;
        QColor colour;
    };

    struct Mark {
        QRectF rect;
        double opacity = 1;
    };

    struct Layout {
        // The vertical scale in milliseconds: the floor or the largest rtt shown.
        double scale = 0;
        // Points of each series in the given order (samples of the last 60 s).
        std::vector<std::vector<QPointF>> lines;
        std::vector<Mark> marks;
    };

    // plot is the area of the lines; the marks hang 1 to 5 units below its bottom.
    static Layout layout(const std::vector<Series>& series, double floor, double now, const QRectF& plot);

    TraceView(std::vector<Series> series, double floor, double now, QWidget* parent = nullptr);

    // Takes the other's samples, floor and moment, and repaints.
    void takeData(TraceView& other);

    bool hasSamples() const {
        return std::any_of(series_.begin(), series_.end(), [](const Series& s) { return !s.samples.empty(); });
    }

    // The scale's label: the top of the plot, "6 ms".
    static QString scaleText(double scale);

    // Draws into area (the plot plus the mark room below it).
    void draw(QPainter& painter, const QRectF& area) const;
    QSize sizeHint() const override { return {300, 44}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QFont scaleFont() const;

    std::vector<Series> series_;
    double floor_;
    double now_;
};

}  // namespace nerivane
