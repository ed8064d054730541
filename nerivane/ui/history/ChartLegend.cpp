#include "nerivane/ui/history/ChartLegend.h"

#include <QFontMetricsF>
#include <QPainter>

#include "nerivane/ui/history/ChartColors.h"

namespace nerivane {

namespace {
constexpr double swatchWidth = 10;
constexpr double gap = 4;
constexpr double spacing = 12;
}  // namespace

ChartLegend::ChartLegend(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setIncreasedContrast(ChartColors::desktopPrefersContrast());
}

void ChartLegend::setShowRSSI(bool show) {
    showRSSI_ = show;
    updateGeometry();
    update();
}

void ChartLegend::setShowThroughput(bool show) {
    showThroughput_ = show;
    updateGeometry();
    update();
}

void ChartLegend::setAccent(Accent accent) {
    accent_ = accent;
    update();
}

void ChartLegend::setIncreasedContrast(bool on) {
    increasedContrast_ = on;
    update();
}

QSize ChartLegend::sizeHint() const {
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    return {200, static_cast<int>(QFontMetricsF(small).height()) + 2};
}

void ChartLegend::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    painter.setFont(small);
    const QFontMetricsF metrics(small);
    const ChartColors colors = ChartColors::from(palette(), accent_, increasedContrast_);
    const double mid = height() / 2.0;
    double x = 0;

    const auto word = [&](const QString& text) {
        painter.setPen(colors.secondary);
        painter.drawText(QRectF(x, 0, metrics.horizontalAdvance(text) + 1, height()), Qt::AlignVCenter, text);
        x += metrics.horizontalAdvance(text) + spacing;
    };
    const auto lineSwatch = [&](const QPen& pen) {
        painter.setPen(pen);
        painter.drawLine(QPointF(x, mid), QPointF(x + swatchWidth, mid));
        x += swatchWidth + gap;
    };

    lineSwatch(QPen(colors.accent, 1.5, Qt::SolidLine, Qt::FlatCap));
    word(tr("median"));
    QColor p95 = colors.accent;
    p95.setAlphaF(0.4);
    lineSwatch(QPen(p95, 1, Qt::SolidLine, Qt::FlatCap));
    word(tr("p95"));
    painter.fillRect(QRectF(x, mid - 3.5, 4, 7), colors.loss);
    x += 4 + gap;
    word(tr("loss"));
    if (showRSSI_) {
        QPen dashed(colors.secondary, 1, Qt::DashLine, Qt::FlatCap);
        dashed.setDashPattern({2, 2});
        lineSwatch(dashed);
        word(tr("signal"));
    }
    if (showThroughput_) {
        // Both tones, received below sent, as the chart stacks them.
        for (const auto& [tone, top] : {std::pair{colors.received, mid - 0.5}, {colors.sent, mid - 4.5}}) {
            QColor fill = tone;
            fill.setAlphaF(std::max(colors.throughputOpacity, 0.6));
            painter.fillRect(QRectF(x, top, swatchWidth, 4), fill);
        }
        x += swatchWidth + gap;
        word(tr("throughput"));
    }
}

}  // namespace nerivane
