#include "nerivane/ui/cards/TraceView.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>

#include "nerivane/core/VerdictTexts.h"
#include "nerivane/ui/cards/CardColors.h"

namespace nerivane {

TraceView::Layout TraceView::layout(const std::vector<Series>& series, double floor, double now, const QRectF& plot) {
    const double from = now - span;
    const auto shown = [&](const TraceSample& sample) { return sample.sentAt >= from && sample.sentAt <= now; };
    Layout result;
    result.scale = floor;
    for (const auto& one : series) {
        for (const auto& sample : one.samples) {
            if (shown(sample) && sample.rtt) result.scale = std::max(result.scale, *sample.rtt);
        }
    }
    const double bottom = plot.bottom();
    for (std::size_t index = 0; index < series.size(); ++index) {
        std::vector<QPointF> points;
        for (const auto& sample : series[index].samples) {
            if (!shown(sample)) continue;
            const double x = plot.left() + (sample.sentAt - from) / span * plot.width();
            double y = bottom;
            if (sample.rtt && result.scale > 0) {
                y = bottom - std::min(*sample.rtt / result.scale, 1.0) * (plot.height() - 1);
            } else if (!sample.rtt) {
                result.marks.push_back({QRectF(x - 0.75, bottom + 1, 1.5, 4), index == 0 ? 1.0 : 0.5});
            }
            points.emplace_back(x, y);
        }
        result.lines.push_back(std::move(points));
    }
    return result;
}

TraceView::TraceView(std::vector<Series> series, double floor, double now, QWidget* parent)
    : QWidget(parent), series_(std::move(series)), floor_(floor), now_(now) {
    setMinimumHeight(34);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QFont TraceView::scaleFont() const {
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.8);
    return small;
}

QString TraceView::scaleText(double scale) { return VerdictTexts::millisecondsText(scale); }

void TraceView::draw(QPainter& painter, const QRectF& area) const {
    // The scale's top value at the right, beside the lines rather than under them.
    const QFontMetricsF metrics(scaleFont(), painter.device());
    const double gutter = metrics.horizontalAdvance(QStringLiteral("000 ms")) + 4;
    const QRectF plot = area.adjusted(0, 0, -gutter, -markRoom);
    const Layout geometry = layout(series_, floor_, now_, plot);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    if (hasSamples()) {
        painter.setFont(scaleFont());
        painter.setPen(CardColors::secondaryText(palette()));
        painter.drawText(QRectF(plot.right() + 4, area.top(), gutter - 4, metrics.height()), Qt::AlignLeft | Qt::AlignTop,
                         scaleText(geometry.scale));
    }
    // A faint baseline, so an empty or flat trace still reads as a chart.
    painter.setPen(QPen(CardColors::mix(palette().color(QPalette::Window), palette().color(QPalette::WindowText), 0.18), 1));
    painter.drawLine(QPointF(plot.left(), plot.bottom() + 0.5), QPointF(plot.right(), plot.bottom() + 0.5));
    // Last to first, so the first series lies on top.
    for (std::size_t index = geometry.lines.size(); index-- > 0;) {
        const auto& points = geometry.lines[index];
        if (points.size() < 2) continue;
        painter.setPen(QPen(series_[index].colour, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPolyline(points.data(), static_cast<int>(points.size()));
    }
    painter.setPen(Qt::NoPen);
    QColor red = CardColors::red(palette());
    for (const auto& mark : geometry.marks) {
        red.setAlphaF(static_cast<float>(mark.opacity));
        painter.fillRect(mark.rect, red);
    }
    painter.restore();
}

void TraceView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    draw(painter, QRectF(rect()));
}

void TraceView::takeData(TraceView& other) {
    series_ = std::move(other.series_);
    floor_ = other.floor_;
    now_ = other.now_;
    update();
}

}  // namespace nerivane
