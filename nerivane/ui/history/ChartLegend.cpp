#include "nerivane/ui/history/ChartLegend.h"

#include <QFontMetricsF>
#include <QPainter>
#include <cmath>

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

QFont ChartLegend::wordFont() const {
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    return small;
}

std::vector<ChartLegend::Item> ChartLegend::items() const {
    const QFontMetricsF metrics(wordFont());
    const double mid = height() / 2.0;
    std::vector<Item> items;
    double x = 0;
    const auto add = [&](Item::Swatch swatch, const QString& word, double boxWidth) {
        const QRectF box(x, mid - 4.5, boxWidth, 9);
        x += boxWidth + gap;
        const QRectF wordBox(x, 0, metrics.horizontalAdvance(word) + 1, height());
        x += wordBox.width() - 1 + spacing;
        items.push_back({swatch, word, box, wordBox});
    };
    add(Item::Swatch::median, tr("median"), swatchWidth);
    add(Item::Swatch::p95, tr("p95"), swatchWidth);
    add(Item::Swatch::loss, tr("loss"), 4);
    if (showRSSI_) add(Item::Swatch::signal, tr("signal"), swatchWidth);
    if (showThroughput_) add(Item::Swatch::throughput, tr("throughput"), swatchWidth);
    return items;
}

void ChartLegend::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setFont(wordFont());
    const ChartColors colors = ChartColors::from(palette(), accent_, increasedContrast_);
    for (const Item& item : items()) {
        const QRectF& box = item.swatchBox;
        // On whole pixels, so a line's swatch is never smeared to a paler two.
        const double mid = std::round(box.center().y());
        const auto line = [&](const QPen& pen) {
            painter.setPen(pen);
            painter.drawLine(QPointF(box.left(), mid), QPointF(box.right(), mid));
        };
        switch (item.swatch) {
        case Item::Swatch::median: line(QPen(colors.accent, 2, Qt::SolidLine, Qt::FlatCap)); break;
        case Item::Swatch::p95: line(QPen(colors.p95, 2, Qt::SolidLine, Qt::FlatCap)); break;
        case Item::Swatch::loss: painter.fillRect(QRectF(box.left(), mid - 3.5, box.width(), 7), colors.loss); break;
        case Item::Swatch::signal: {
            QPen dashed(colors.secondary, 1, Qt::DashLine, Qt::FlatCap);
            dashed.setDashPattern({2, 2});
            line(dashed);
            break;
        }
        case Item::Swatch::throughput:
            // Both tones, received below sent, as the chart stacks them.
            for (const auto& [tone, top] : {std::pair{colors.received, mid - 0.5}, {colors.sent, mid - 4.5}})
                painter.fillRect(QRectF(box.left(), top, box.width(), 4), tone);
            break;
        }
        painter.setPen(colors.secondary);
        painter.drawText(item.wordBox, Qt::AlignVCenter, item.word);
    }
}

}  // namespace nerivane
