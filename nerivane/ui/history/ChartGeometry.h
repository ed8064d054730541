// Where the history chart's shapes go: the one mapping from buckets to
// rectangles, lines and labels that ChartView paints and the tests check, and
// the chart's spoken summary. Pure values; any thread.
//
// Layout from the top: the plot, a 16-point strip for loss bars, 11 points for
// the time labels. Bucket i owns the column [step × i, step × (i + 1)) and
// its values sit at the column's centre. Throughput fills a low band at the
// plot's foot, under the latency lines, on a scale of its own.
#pragma once

#include <QPointF>
#include <QPolygonF>
#include <QRectF>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "NerivaneKit/history/ChartBucket.h"
#include "NerivaneKit/history/ChartRange.h"
#include "nerivane/core/VerdictTexts.h"

namespace nerivane {

struct ChartGeometry {
    static constexpr double lossStripHeight = 16;
    static constexpr double bottomMargin = 11;
    // Loss at or above this fills the strip.
    static constexpr double fullLossPercent = 10;
    static constexpr double minimumLossBar = 1.5;
    // The throughput band's share of the plot's height.
    static constexpr double throughputShare = 0.3;

    // A stretch of buckets sharing one state other than measured.
    struct Run {
        MinuteState state = MinuteState::notRunning;
        // Not running before the first minute history holds: "no data yet".
        bool beforeHistory = false;
        // Over the run's columns, plot and loss strip.
        QRectF area;
        // The state's name, and where its centre goes when it fits.
        QString name;
        std::optional<QPointF> labelCentre;
        bool operator==(const Run&) const = default;
    };

    // One line cut into pieces at missing values; a lone value is a piece of
    // two points, a short horizontal stroke.
    using Line = std::vector<std::vector<QPointF>>;

    QRectF plot;
    QRectF lossStrip;
    double step = 0;
    // The latency at the top of the plot, in milliseconds, and its label.
    double scale = 0;
    QString scaleLabel;
    std::vector<Run> runs;
    Line p95;
    Line median;
    Line signal;
    std::vector<QRectF> lossBars;
    // Bits per second at the band's top: the largest of either direction;
    // 0 where no bucket has throughput (and the areas are empty).
    double throughputScale = 0;
    QRectF throughputBand;
    // Closed areas down to the band's floor, one per stretch of buckets with a value.
    std::vector<QPolygonF> sent;
    std::vector<QPolygonF> received;

    // textWidth measures a run's label in the font it is drawn with.
    // firstRecorded (Unix seconds) is where history begins: time before it
    // was never recorded, so it reads "no data yet" rather than "not
    // running"; none when that is not known.
    static ChartGeometry layout(const std::vector<ChartBucket>& buckets, ChartRange range, double floor,
                                const QRectF& bounds, const std::function<double(const QString&)>& textWidth,
                                std::optional<double> firstRecorded = std::nullopt);

    // "paused", "locked", "asleep", "offline", "not running"; "measured" too.
    static QString stateName(MinuteState state);
    static QString noDataName();
    // A not-running bucket that ends at or before firstRecorded.
    static bool isBeforeHistory(const ChartBucket& bucket, ChartRange range, std::optional<double> firstRecorded);

    // What a screen reader says for the chart: "No measurements in this
    // range", or the median of the bucket medians, the largest p95, the mean
    // loss and the time spent in each non-measured state.
    static QString spokenSummary(const std::vector<ChartBucket>& buckets, ChartRange range,
                                 const VerdictTexts::Context& context = VerdictTexts::Context::current(),
                                 std::optional<double> firstRecorded = std::nullopt);
};

}  // namespace nerivane
