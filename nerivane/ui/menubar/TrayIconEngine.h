// The tray item's icon: the compact readout at the sizes trays ask for,
// handed out as they are (or scaled for a size not made) and never put in
// the application-wide pixmap cache. A QIcon owns it; made by the status item
// controller on every render that changed the picture; main thread.
#pragma once

#include <QIconEngine>
#include <QPixmap>
#include <vector>

namespace nerivane {

class TrayIconEngine : public QIconEngine {
public:
    // Pixmaps of the sizes in device pixels that trays ask for.
    explicit TrayIconEngine(std::vector<QPixmap> pixmaps);

    // An icon owning a new engine over these pixmaps.
    static QIcon icon(std::vector<QPixmap> pixmaps);

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override;
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override;
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override;
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override;
    QIconEngine* clone() const override;
    QString key() const override;
    bool isNull() override;

private:
    // The smallest pixmap at least side device pixels wide, else the largest.
    const QPixmap* closest(int side) const;
    QPixmap at(const QSize& pixels) const;

    std::vector<QPixmap> pixmaps_;
};

}  // namespace nerivane
