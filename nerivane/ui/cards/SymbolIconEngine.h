// An icon of one of the popup's symbols in one ink, drawn at whatever size is
// asked and never cached: widgets made on every opening of the popup ask for
// their symbols anew, and nothing of them outlives the icon. A QIcon owns it;
// main thread.
#pragma once

#include <QColor>
#include <QIconEngine>

#include "nerivane/ui/cards/Symbols.h"

namespace nerivane {

class SymbolIconEngine : public QIconEngine {
public:
    SymbolIconEngine(Symbols::Symbol symbol, QColor ink);

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override;
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override;
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override;
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override;
    QIconEngine* clone() const override;
    QString key() const override;

private:
    QColor ink(QIcon::Mode mode) const;

    Symbols::Symbol symbol_;
    QColor ink_;
};

}  // namespace nerivane
