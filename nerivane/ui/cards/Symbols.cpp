#include "nerivane/ui/cards/Symbols.h"

#include <QPainterPath>

#include "nerivane/ui/cards/SymbolIconEngine.h"

namespace nerivane::Symbols {
namespace {

// Freedesktop icon naming where one fits; empty where none does.
const char* themeName(Symbol symbol) {
    switch (symbol) {
    case Symbol::copy: return "edit-copy";
    case Symbol::settings: return "preferences-system";
    case Symbol::back: return "go-previous";
    case Symbol::offline: return "network-offline";
    case Symbol::exportData: return "document-send";
    default: return "";
    }
}

}  // namespace

void draw(QPainter& painter, Symbol symbol, const QRectF& area, const QColor& ink) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    // Drawn on a 16-unit grid, scaled to the area.
    const double side = std::min(area.width(), area.height());
    painter.translate(area.center().x() - side / 2, area.center().y() - side / 2);
    painter.scale(side / 16, side / 16);
    QPen pen(ink, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    switch (symbol) {
    case Symbol::product:
        painter.setBrush(ink);
        painter.drawEllipse(QPointF(4, 8), 2, 2);
        painter.setBrush(Qt::NoBrush);
        painter.drawArc(QRectF(1, 3, 10, 10), -50 * 16, 100 * 16);
        painter.drawArc(QRectF(-2, 0, 16, 16), -50 * 16, 100 * 16);
        break;
    case Symbol::copy:
        painter.drawRoundedRect(QRectF(2.5, 4.5, 8, 10), 1.5, 1.5);
        painter.drawPolyline(QPolygonF({QPointF(5.5, 2.5), QPointF(12, 2.5), QPointF(13.5, 4), QPointF(13.5, 11.5)}));
        break;
    case Symbol::hourglass:
        painter.drawLine(QPointF(3.5, 1.5), QPointF(12.5, 1.5));
        painter.drawLine(QPointF(3.5, 14.5), QPointF(12.5, 14.5));
        painter.drawPolyline(QPolygonF({QPointF(4.5, 1.5), QPointF(8, 8), QPointF(4.5, 14.5)}));
        painter.drawPolyline(QPolygonF({QPointF(11.5, 1.5), QPointF(8, 8), QPointF(11.5, 14.5)}));
        break;
    case Symbol::checkmark:
        painter.drawPolyline(QPolygonF({QPointF(2.5, 8.5), QPointF(6.5, 12.5), QPointF(13.5, 3.5)}));
        break;
    case Symbol::settings: {
        painter.drawEllipse(QPointF(8, 8), 2.2, 2.2);
        painter.drawEllipse(QPointF(8, 8), 5, 5);
        for (int i = 0; i < 8; ++i) {
            painter.save();
            painter.translate(8, 8);
            painter.rotate(i * 45);
            painter.drawLine(QPointF(0, 5), QPointF(0, 7));
            painter.restore();
        }
        break;
    }
    case Symbol::back:
        painter.drawPolyline(QPolygonF({QPointF(10.5, 2.5), QPointF(5, 8), QPointF(10.5, 13.5)}));
        break;
    case Symbol::offline:
        painter.drawArc(QRectF(1, 3, 14, 14), 45 * 16, 90 * 16);
        painter.drawArc(QRectF(4, 6, 8, 8), 45 * 16, 90 * 16);
        painter.setBrush(ink);
        painter.drawEllipse(QPointF(8, 12.5), 1.2, 1.2);
        painter.drawLine(QPointF(2.5, 2.5), QPointF(13.5, 13.5));
        break;
    case Symbol::exportData:
        painter.drawPolyline(QPolygonF({QPointF(5, 6.5), QPointF(3, 6.5), QPointF(3, 14.5), QPointF(13, 14.5),
                                        QPointF(13, 6.5), QPointF(11, 6.5)}));
        painter.drawLine(QPointF(8, 1.5), QPointF(8, 10));
        painter.drawPolyline(QPolygonF({QPointF(5, 4.5), QPointF(8, 1.5), QPointF(11, 4.5)}));
        break;
    case Symbol::spike:
        painter.drawLine(QPointF(3.5, 12.5), QPointF(12.5, 3.5));
        painter.drawPolyline(QPolygonF({QPointF(6, 3.5), QPointF(12.5, 3.5), QPointF(12.5, 10)}));
        break;
    case Symbol::outage:
        painter.drawEllipse(QPointF(8, 8), 6.5, 6.5);
        painter.drawLine(QPointF(5.5, 5.5), QPointF(10.5, 10.5));
        painter.drawLine(QPointF(10.5, 5.5), QPointF(5.5, 10.5));
        break;
    }
    painter.restore();
}

QIcon icon(Symbol symbol, const QColor& ink) {
    // QIcon owns the engine.
    QIcon drawn(new SymbolIconEngine(symbol, ink));
    const char* name = themeName(symbol);
    if (*name == '\0') return drawn;
    return QIcon::fromTheme(QString::fromLatin1(name), drawn);
}

}  // namespace nerivane::Symbols
