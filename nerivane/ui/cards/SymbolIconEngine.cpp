#include "nerivane/ui/cards/SymbolIconEngine.h"

#include <QPainter>
#include <QPixmap>
#include <algorithm>

namespace nerivane {

// Why not QIcon::addPixmap: QIcon's pixmap engine files every pixmap it hands
// out in QPixmapCache under the pixmap's serial number, and symbols drawn
// anew for every opening of the popup left new entries each time, holding
// memory until the cache's 10 MB limit.

SymbolIconEngine::SymbolIconEngine(Symbols::Symbol symbol, QColor ink) : symbol_(symbol), ink_(ink) {}

QColor SymbolIconEngine::ink(QIcon::Mode mode) const {
    if (mode != QIcon::Disabled) return ink_;
    QColor faint = ink_;
    faint.setAlphaF(faint.alphaF() * 0.4f);
    return faint;
}

void SymbolIconEngine::paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) {
    Symbols::draw(*painter, symbol_, rect, ink(mode));
}

QPixmap SymbolIconEngine::pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) {
    const int side = std::min(size.width(), size.height());
    if (side <= 0) return {};
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    Symbols::draw(painter, symbol_, QRectF(0, 0, side, side), ink(mode));
    return pixmap;
}

QSize SymbolIconEngine::actualSize(const QSize& size, QIcon::Mode, QIcon::State) {
    const int side = std::min(size.width(), size.height());
    return {side, side};
}

QList<QSize> SymbolIconEngine::availableSizes(QIcon::Mode, QIcon::State) { return {QSize(16, 16), QSize(32, 32)}; }

QIconEngine* SymbolIconEngine::clone() const { return new SymbolIconEngine(symbol_, ink_); }

QString SymbolIconEngine::key() const { return QStringLiteral("nerivane-symbol"); }

}  // namespace nerivane
