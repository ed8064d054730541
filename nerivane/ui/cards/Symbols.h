// The popup's small symbols: the icon theme's where a freedesktop name fits,
// with a drawing of our own as fallback (and for the symbols no theme names),
// so the popup looks the same on a desktop without an icon theme.
// Pure drawing; main thread.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPainter>
#include <QRectF>

namespace nerivane::Symbols {

enum class Symbol { product, copy, hourglass, checkmark, settings, back, offline, exportData, spike, outage };

// The theme's icon for the symbol, else ours drawn in ink.
QIcon icon(Symbol symbol, const QColor& ink);
// Our own drawing of the symbol into the square area.
void draw(QPainter& painter, Symbol symbol, const QRectF& area, const QColor& ink);

}  // namespace nerivane::Symbols
