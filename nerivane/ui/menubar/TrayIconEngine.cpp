#include "nerivane/ui/menubar/TrayIconEngine.h"

#include <QIcon>
#include <QPainter>
#include <algorithm>
#include <utility>

namespace nerivane {

// Why an engine of our own: QIcon's pixmap engine puts every pixmap it hands
// out (to the XEmbed item's paint, to the StatusNotifierItem's IconPixmap)
// into QPixmapCache under the pixmap's serial number. A readout that changes
// every second made new entries every second, each keeping a dead picture
// alive until the cache's 10 MB limit was reached: memory grew for an hour.

TrayIconEngine::TrayIconEngine(std::vector<QPixmap> pixmaps) : pixmaps_(std::move(pixmaps)) {}

QIcon TrayIconEngine::icon(std::vector<QPixmap> pixmaps) {
    // QIcon takes the engine and deletes it with its last copy.
    return QIcon(new TrayIconEngine(std::move(pixmaps)));
}

const QPixmap* TrayIconEngine::closest(int side) const {
    const QPixmap* best = nullptr;
    for (const QPixmap& pixmap : pixmaps_) {
        if (best == nullptr) {
            best = &pixmap;
        } else if (pixmap.width() >= side) {
            if (best->width() < side || pixmap.width() < best->width()) best = &pixmap;
        } else if (best->width() < side && pixmap.width() > best->width()) {
            best = &pixmap;
        }
    }
    return best;
}

QPixmap TrayIconEngine::at(const QSize& pixels) const {
    // The pictures are square: a slot taller or wider than it is square (an
    // XEmbed tray's 22 x 26) shows the one as wide as its shorter side.
    const int side = std::min(pixels.width(), pixels.height());
    const QPixmap* best = closest(side);
    if (best == nullptr || side <= 0) return {};
    if (best->width() == side) {
        QPixmap exact = *best;
        exact.setDevicePixelRatio(1);
        return exact;
    }
    return best->scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

void TrayIconEngine::paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) {
    const qreal ratio = painter->device() != nullptr ? painter->device()->devicePixelRatio() : 1;
    QPixmap pixmap = at(rect.size() * ratio);
    if (pixmap.isNull()) return;
    pixmap.setDevicePixelRatio(ratio);
    QRect target(QPoint(0, 0), pixmap.deviceIndependentSize().toSize());
    target.moveCenter(rect.center());
    painter->drawPixmap(target, pixmap);
}

QPixmap TrayIconEngine::pixmap(const QSize& size, QIcon::Mode, QIcon::State) { return at(size); }

QSize TrayIconEngine::actualSize(const QSize& size, QIcon::Mode, QIcon::State) {
    const int side = std::min(size.width(), size.height());
    const QPixmap* best = closest(side);
    if (best == nullptr) return {};
    const int shown = std::min(side, best->width());
    return {shown, shown};
}

QList<QSize> TrayIconEngine::availableSizes(QIcon::Mode, QIcon::State) {
    QList<QSize> sizes;
    for (const QPixmap& pixmap : pixmaps_) sizes << pixmap.size();
    return sizes;
}

QIconEngine* TrayIconEngine::clone() const { return new TrayIconEngine(pixmaps_); }

QString TrayIconEngine::key() const { return QStringLiteral("nerivane-tray"); }

bool TrayIconEngine::isNull() { return pixmaps_.empty(); }

}  // namespace nerivane
