#include "nerivane/ui/menubar/TrayIconEngine.h"

#include <QIcon>
#include <QPainter>
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

const QPixmap* TrayIconEngine::closest(const QSize& pixels) const {
    const QPixmap* best = nullptr;
    for (const QPixmap& pixmap : pixmaps_) {
        const bool fits = pixmap.width() >= pixels.width() && pixmap.height() >= pixels.height();
        if (best == nullptr) {
            best = &pixmap;
            continue;
        }
        const bool bestFits = best->width() >= pixels.width() && best->height() >= pixels.height();
        if (fits ? (!bestFits || pixmap.width() < best->width()) : (!bestFits && pixmap.width() > best->width()))
            best = &pixmap;
    }
    return best;
}

QPixmap TrayIconEngine::at(const QSize& pixels) const {
    const QPixmap* best = closest(pixels);
    if (best == nullptr || pixels.isEmpty()) return {};
    if (best->size() == pixels) {
        QPixmap exact = *best;
        exact.setDevicePixelRatio(1);
        return exact;
    }
    return best->scaled(pixels, Qt::KeepAspectRatio, Qt::SmoothTransformation);
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
    const QPixmap* best = closest(size);
    if (best == nullptr) return {};
    return best->size().boundedTo(size);
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
