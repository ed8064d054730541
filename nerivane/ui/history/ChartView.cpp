#include "nerivane/ui/history/ChartView.h"

#include <QAccessible>
#include <QEvent>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>

#include "nerivane/ui/history/ChartColors.h"
#include "nerivane/ui/history/ChartGeometry.h"

namespace nerivane {

namespace {

// The popup's small step of its own face, so the labels grow with the desktop's font.
QFont labelFont(const QFont& base) {
    QFont font = base;
    font.setPointSizeF(base.pointSizeF() * 0.85);
    return font;
}

void strokeLine(QPainter& painter, const ChartGeometry::Line& line, const QPen& pen) {
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    for (const auto& piece : line) painter.drawPolyline(piece.data(), static_cast<int>(piece.size()));
}

QString rangeStartLabel(ChartRange range) {
    switch (range) {
    case ChartRange::hour: return QObject::tr("1h ago");
    case ChartRange::day: return QObject::tr("24h ago");
    case ChartRange::week: return QObject::tr("7d ago");
    }
    return QString();
}

}  // namespace

ChartView::ChartView(QWidget* parent) : QWidget(parent) {
    setAccessibleName(tr("History chart"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setIncreasedContrast(ChartColors::desktopPrefersContrast());
    updateDescription();
}

void ChartView::setBuckets(std::vector<ChartBucket> buckets, ChartRange range, std::optional<double> firstRecorded) {
    buckets_ = std::move(buckets);
    range_ = range;
    firstRecorded_ = firstRecorded;
    updateDescription();
    update();
}

void ChartView::setFloor(double milliseconds) {
    floor_ = milliseconds;
    update();
}

void ChartView::setAccent(Accent accent) {
    accent_ = accent;
    update();
}

void ChartView::setIncreasedContrast(bool on) {
    increasedContrast_ = on;
    update();
}

bool ChartView::hasSignal() const {
    return std::any_of(buckets_.begin(), buckets_.end(), [](const ChartBucket& b) { return b.rssi.has_value(); });
}

bool ChartView::hasThroughput() const {
    return std::any_of(buckets_.begin(), buckets_.end(),
                       [](const ChartBucket& b) { return b.sentBitsPerSecond || b.receivedBitsPerSecond; });
}

QSize ChartView::sizeHint() const { return {300, 110}; }

void ChartView::updateDescription() {
    const QString summary = ChartGeometry::spokenSummary(buckets_, range_, VerdictTexts::Context::current(), firstRecorded_);
    if (summary == accessibleDescription()) return;
    setAccessibleDescription(summary);
    QAccessibleEvent event(this, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&event);
}

void ChartView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) update();
    QWidget::changeEvent(event);
}

void ChartView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    draw(painter, QRectF(rect()));
}

void ChartView::draw(QPainter& painter, const QRectF& bounds) const {
    const QFont font = labelFont(this->font());
    const QFontMetricsF metrics(font, painter.device());
    // A large font's time labels take more than the usual foot: the plot gives way.
    const double taller = std::max(0.0, metrics.height() - ChartGeometry::bottomMargin);
    const ChartGeometry g = ChartGeometry::layout(buckets_, range_, floor_, bounds.adjusted(0, 0, 0, -taller),
                                                  [&](const QString& text) { return metrics.horizontalAdvance(text); },
                                                  firstRecorded_);
    const ChartColors colors = ChartColors::from(palette(), accent_, increasedContrast_);

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setFont(font);

    // A faint baseline under the plot and the strip, so an empty chart still has a shape.
    QColor rule = colors.secondary;
    rule.setAlphaF(0.35);
    painter.setPen(QPen(rule, 1));
    painter.drawLine(QPointF(g.plot.left(), g.plot.bottom() - 0.5), QPointF(g.plot.right(), g.plot.bottom() - 0.5));
    painter.drawLine(QPointF(g.lossStrip.left(), g.lossStrip.bottom() - 0.5),
                     QPointF(g.lossStrip.right(), g.lossStrip.bottom() - 0.5));

    QColor shade = colors.secondary;
    shade.setAlphaF(colors.runOpacity);
    for (const auto& run : g.runs) painter.fillRect(run.area, shade);
    painter.setPen(colors.secondary);
    for (const auto& run : g.runs) {
        if (!run.labelCentre) continue;
        QRectF box(0, 0, metrics.horizontalAdvance(run.name), metrics.height());
        box.moveCenter(*run.labelCentre);
        painter.drawText(box, Qt::AlignCenter, run.name);
    }

    // Received under sent: downloads are usually the larger of the two.
    painter.setPen(Qt::NoPen);
    for (const auto& [areas, tone] : {std::pair{&g.received, colors.received}, {&g.sent, colors.sent}}) {
        QColor fill = tone;
        fill.setAlphaF(colors.throughputOpacity);
        painter.setBrush(fill);
        for (const auto& area : *areas) painter.drawPolygon(area);
    }

    QPen signalPen(colors.secondary, 1, Qt::DashLine);
    signalPen.setDashPattern({2, 2});
    strokeLine(painter, g.signal, signalPen);
    strokeLine(painter, g.p95, QPen(colors.p95, 1, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
    strokeLine(painter, g.median, QPen(colors.accent, colors.medianWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));

    painter.setRenderHint(QPainter::Antialiasing, false);
    for (const auto& bar : g.lossBars) painter.fillRect(bar, colors.loss);
    painter.setRenderHint(QPainter::Antialiasing);

    painter.setPen(colors.secondary);
    const QRectF scaleBox(g.plot.left() + 2, g.plot.top(), g.plot.width() - 4, metrics.height());
    painter.drawText(scaleBox, Qt::AlignLeft | Qt::AlignTop, g.scaleLabel);
    const QRectF timeBox(bounds.left(), g.lossStrip.bottom(), bounds.width(), bounds.bottom() - g.lossStrip.bottom());
    painter.drawText(timeBox, Qt::AlignLeft | Qt::AlignBottom, rangeStartLabel(range_));
    painter.drawText(timeBox, Qt::AlignRight | Qt::AlignBottom, tr("now"));
    painter.restore();
}

}  // namespace nerivane
