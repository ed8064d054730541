#include "nerivane/ui/menubar/ReadoutLayer.h"

namespace nerivane {
namespace {

// One channel pair at a time, x times a / 255 rounded, as the raster engine
// computes it: layers laid with it match pixels painted with QPainter.
QRgb multiply(QRgb x, uint a) {
    uint redBlue = (x & 0xff00ff) * a;
    redBlue = ((redBlue + ((redBlue >> 8) & 0xff00ff) + 0x800080) >> 8) & 0xff00ff;
    uint alphaGreen = ((x >> 8) & 0xff00ff) * a;
    alphaGreen = (alphaGreen + ((alphaGreen >> 8) & 0xff00ff) + 0x800080) & 0xff00ff00;
    return redBlue | alphaGreen;
}

}  // namespace

// Each pixel beneath times keep / 255 (what Clear with coverage 255 - keep
// leaves of it), then the layer's pixel SourceOver.
void ReadoutLayer::layOver(QImage& canvas) const {
    const QRect area = QRect(origin, pixels.size()) & canvas.rect();
    uchar* const bits = canvas.bits();
    const qsizetype stride = canvas.bytesPerLine();
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const int row = y - origin.y();
        const auto* source = reinterpret_cast<const QRgb*>(pixels.constScanLine(row));
        auto* target = reinterpret_cast<QRgb*>(bits + y * stride);
        for (int x = area.left(); x <= area.right(); ++x) {
            const int column = x - origin.x();
            QRgb beneath = target[x];
            if (!keep.empty()) {
                const uint kept = keep[static_cast<std::size_t>(row * pixels.width() + column)];
                if (kept < 255) beneath = multiply(beneath, kept);
            }
            const QRgb pixel = source[column];
            target[x] = pixel + multiply(beneath, 255 - qAlpha(pixel));
        }
    }
}

}  // namespace nerivane
