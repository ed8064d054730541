#include "nerivane/ui/history/ChartGeometry.h"

#include <QCoreApplication>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <map>

#include "nerivane/core/LoadTexts.h"

namespace nerivane {

namespace {

QString tr(const char* text) { return QCoreApplication::translate("ChartView", text); }

// Values at the column centres, broken where a bucket has none; a value with
// no neighbour becomes a stroke half a step (at least 1 point) to each side.
ChartGeometry::Line lineThrough(const std::vector<std::optional<double>>& ys, double step) {
    ChartGeometry::Line line;
    std::vector<QPointF> piece;
    const auto close = [&] {
        if (piece.size() == 1) {
            const double reach = std::max(step / 2, 1.0);
            const QPointF only = piece.front();
            piece = {QPointF(only.x() - reach, only.y()), QPointF(only.x() + reach, only.y())};
        }
        if (!piece.empty()) line.push_back(std::move(piece));
        piece.clear();
    };
    for (std::size_t i = 0; i < ys.size(); ++i) {
        if (ys[i]) {
            piece.emplace_back(step * (static_cast<double>(i) + 0.5), *ys[i]);
        } else {
            close();
        }
    }
    close();
    return line;
}

// Areas under the values (y coordinates) down to floor, cut where a bucket
// has none; each stretch reaches its columns' outer edges.
std::vector<QPolygonF> areasUnder(const std::vector<std::optional<double>>& ys, double step, double left, double floor) {
    std::vector<QPolygonF> areas;
    for (std::size_t i = 0; i < ys.size();) {
        if (!ys[i]) {
            ++i;
            continue;
        }
        QPolygonF area;
        const double start = left + step * static_cast<double>(i);
        area << QPointF(start, floor) << QPointF(start, *ys[i]);
        std::size_t end = i;
        for (; end < ys.size() && ys[end]; ++end) area << QPointF(left + step * (static_cast<double>(end) + 0.5), *ys[end]);
        const double stop = left + step * static_cast<double>(end);
        area << QPointF(stop, *ys[end - 1]) << QPointF(stop, floor);
        areas.push_back(area);
        i = end;
    }
    return areas;
}

}  // namespace

QString ChartGeometry::stateName(MinuteState state) {
    switch (state) {
    case MinuteState::measured: return tr("measured");
    case MinuteState::paused: return tr("paused");
    case MinuteState::locked: return tr("locked");
    case MinuteState::asleep: return tr("asleep");
    case MinuteState::offline: return tr("offline");
    case MinuteState::notRunning: return tr("not running");
    }
    return QString();
}

QString ChartGeometry::noDataName() { return tr("no data yet"); }

bool ChartGeometry::isBeforeHistory(const ChartBucket& bucket, ChartRange range, std::optional<double> firstRecorded) {
    return firstRecorded && bucket.state == MinuteState::notRunning &&
           bucket.start + static_cast<double>(bucketSeconds(range)) <= *firstRecorded;
}

ChartGeometry ChartGeometry::layout(const std::vector<ChartBucket>& buckets, ChartRange range, double floor,
                                    const QRectF& bounds, const std::function<double(const QString&)>& textWidth,
                                    std::optional<double> firstRecorded) {
    ChartGeometry g;
    const auto count = static_cast<std::size_t>(std::max<std::int64_t>(bucketCount(range), 1));
    const std::size_t shown = std::min(buckets.size(), count);
    g.step = bounds.width() / static_cast<double>(count);
    const double plotHeight = std::max(bounds.height() - lossStripHeight - bottomMargin, 0.0);
    g.plot = QRectF(bounds.left(), bounds.top(), bounds.width(), plotHeight);
    g.lossStrip = QRectF(bounds.left(), g.plot.bottom(), bounds.width(), lossStripHeight);

    double largest = 0;
    for (std::size_t i = 0; i < shown; ++i) {
        if (buckets[i].p95) largest = std::max(largest, *buckets[i].p95);
    }
    g.scale = std::max(floor, largest);
    g.scaleLabel = VerdictTexts::millisecondsText(g.scale);

    const double left = bounds.left();
    const double bottom = g.plot.bottom();
    const double span = std::max(plotHeight - 1, 0.0);
    const auto latencyY = [&](std::optional<double> ms) -> std::optional<double> {
        if (!ms) return std::nullopt;
        const double ratio = g.scale > 0 ? std::min(*ms / g.scale, 1.0) : 0;
        return bottom - std::max(ratio, 0.0) * span;
    };

    // Runs of one non-measured state.
    for (std::size_t i = 0; i < shown;) {
        const auto state = buckets[i].state;
        const bool before = isBeforeHistory(buckets[i], range, firstRecorded);
        std::size_t end = i + 1;
        if (state && *state != MinuteState::measured) {
            while (end < shown && buckets[end].state == state &&
                   isBeforeHistory(buckets[end], range, firstRecorded) == before)
                ++end;
            Run run;
            run.state = *state;
            run.beforeHistory = before;
            run.area = QRectF(left + g.step * static_cast<double>(i), g.plot.top(),
                              g.step * static_cast<double>(end - i), plotHeight + lossStripHeight);
            run.name = before ? noDataName() : stateName(*state);
            if (run.area.width() >= textWidth(run.name) + 4) run.labelCentre = run.area.center();
            g.runs.push_back(run);
        }
        i = end;
    }

    std::vector<std::optional<double>> p95, median, signal;
    for (std::size_t i = 0; i < shown; ++i) {
        const ChartBucket& bucket = buckets[i];
        p95.push_back(latencyY(bucket.p95));
        median.push_back(latencyY(bucket.median));
        if (bucket.rssi) {
            const double v = std::clamp((static_cast<double>(*bucket.rssi) + 90) / 60, 0.0, 1.0);
            signal.push_back(bottom - v * span);
        } else {
            signal.push_back(std::nullopt);
        }
        if (bucket.lossPercent && *bucket.lossPercent > 0) {
            const double width = std::max(g.step - 0.5, 1.0);
            const double height =
                std::clamp(*bucket.lossPercent / fullLossPercent * lossStripHeight, minimumLossBar, lossStripHeight);
            const double x = left + g.step * (static_cast<double>(i) + 0.5);
            g.lossBars.emplace_back(x - width / 2, g.lossStrip.top(), width, height);
        }
    }
    for (std::size_t i = 0; i < shown; ++i) {
        for (const auto& value : {buckets[i].sentBitsPerSecond, buckets[i].receivedBitsPerSecond})
            if (value) g.throughputScale = std::max(g.throughputScale, *value);
    }
    g.throughputBand = QRectF(left, bottom - plotHeight * throughputShare, bounds.width(), plotHeight * throughputShare);
    if (g.throughputScale > 0) {
        std::vector<std::optional<double>> sent, received;
        const auto bandY = [&](std::optional<double> bits) -> std::optional<double> {
            if (!bits) return std::nullopt;
            return bottom - std::clamp(*bits / g.throughputScale, 0.0, 1.0) * g.throughputBand.height();
        };
        for (std::size_t i = 0; i < shown; ++i) {
            sent.push_back(bandY(buckets[i].sentBitsPerSecond));
            received.push_back(bandY(buckets[i].receivedBitsPerSecond));
        }
        g.sent = areasUnder(sent, g.step, left, bottom);
        g.received = areasUnder(received, g.step, left, bottom);
    }
    g.p95 = lineThrough(p95, g.step);
    g.median = lineThrough(median, g.step);
    g.signal = lineThrough(signal, g.step);
    for (Line* line : {&g.p95, &g.median, &g.signal}) {
        for (auto& piece : *line) {
            for (auto& point : piece) point.rx() += left;
        }
    }
    return g;
}

QString ChartGeometry::spokenSummary(const std::vector<ChartBucket>& buckets, ChartRange range,
                                     const VerdictTexts::Context& context, std::optional<double> firstRecorded) {
    std::vector<double> medians;
    std::optional<double> highestP95;
    double lossSum = 0;
    int lossCount = 0;
    std::map<MinuteState, double> stateSeconds;
    double noDataSeconds = 0;
    std::optional<double> mostSent, mostReceived;
    for (const ChartBucket& bucket : buckets) {
        if (bucket.sentBitsPerSecond) mostSent = std::max(mostSent.value_or(0), *bucket.sentBitsPerSecond);
        if (bucket.receivedBitsPerSecond) mostReceived = std::max(mostReceived.value_or(0), *bucket.receivedBitsPerSecond);
        if (bucket.median) medians.push_back(*bucket.median);
        if (bucket.p95) highestP95 = std::max(highestP95.value_or(*bucket.p95), *bucket.p95);
        if (bucket.lossPercent) {
            lossSum += *bucket.lossPercent;
            ++lossCount;
        }
        if (isBeforeHistory(bucket, range, firstRecorded))
            noDataSeconds += static_cast<double>(bucketSeconds(range));
        else if (bucket.state && *bucket.state != MinuteState::measured)
            stateSeconds[*bucket.state] += static_cast<double>(bucketSeconds(range));
    }
    if (medians.empty() && !highestP95 && lossCount == 0) return tr("No measurements in this range");

    std::optional<double> median;
    if (!medians.empty()) {
        std::sort(medians.begin(), medians.end());
        // Nearest rank: the value at rank max(ceil(n / 2), 1).
        const auto rank = std::max<std::size_t>((medians.size() + 1) / 2, 1);
        median = medians[rank - 1];
    }
    QString text = tr("Median %1, p95 up to %2")
                       .arg(VerdictTexts::spokenMilliseconds(median, context),
                            VerdictTexts::spokenMilliseconds(highestP95, context));
    if (lossCount > 0) text += tr(", loss %1").arg(VerdictTexts::percentText(lossSum / lossCount));
    for (const auto& [state, seconds] : stateSeconds) {
        text += tr(", %1 %2").arg(stateName(state), VerdictTexts::durationText(seconds, context));
    }
    if (noDataSeconds > 0) text += tr(", %1 %2").arg(noDataName(), VerdictTexts::durationText(noDataSeconds, context));
    if (mostSent || mostReceived) {
        text += tr(", throughput up to %1 sent and %2 received")
                    .arg(LoadTexts::rateText(mostSent.value_or(0)), LoadTexts::rateText(mostReceived.value_or(0)));
    }
    return text;
}

}  // namespace nerivane
