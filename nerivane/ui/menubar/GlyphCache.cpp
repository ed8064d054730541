#include "nerivane/ui/menubar/GlyphCache.h"

#include <QFontMetricsF>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "nerivane/ui/menubar/ReadoutFonts.h"

namespace nerivane {

std::size_t GlyphCache::KeyHash::operator()(const Key& key) const noexcept {
    const std::size_t size = std::hash<double>{}(key.fontSize);
    return size ^ (std::hash<int>{}(key.alpha) << 1) ^ (std::hash<char32_t>{}(key.character) << 9) ^
           (std::hash<unsigned>{}(key.rgb) << 17);
}

const GlyphCache::Cell& GlyphCache::cell(ReadoutFonts& fonts, const QFont& font, const QColor& color,
                                         char32_t character, double scale) {
    const Key key{font.pointSizeF(), color.alpha(), character, color.rgb() & 0xffffffu};
    if (auto found = cells_.find(key); found != cells_.end()) return found->second;

    const QFontMetricsF metrics(font, &ReadoutFonts::metricsDevice());
    const int width = static_cast<int>(std::ceil(fonts.advance(font) * scale)) + 4;
    const int height = static_cast<int>(
        std::ceil(scale * (metrics.ascent() + metrics.descent() + std::max(0.0, metrics.leading()))));
    Cell cell;
    cell.pixels = QImage(width, height, QImage::Format_ARGB32_Premultiplied);
    if (cell.pixels.isNull()) return cells_.emplace(key, Cell{}).first->second;
    cell.pixels.setDotsPerMeterX(ReadoutFonts::dotsPerMeterAt72);
    cell.pixels.setDotsPerMeterY(ReadoutFonts::dotsPerMeterAt72);
    cell.pixels.fill(Qt::transparent);
    {
        QPainter painter(&cell.pixels);
        painter.scale(scale, scale);
        painter.setFont(font);
        painter.setPen(color);
        painter.drawText(QPointF(2 / scale, metrics.ascent()), QString::fromUcs4(&character, 1));
    }
    int left = width, right = 0, top = height, bottom = 0;
    for (int y = 0; y < height; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(cell.pixels.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            if (qAlpha(line[x]) == 0) continue;
            left = std::min(left, x);
            right = std::max(right, x + 1);
            top = std::min(top, y);
            bottom = std::max(bottom, y + 1);
        }
    }
    if (left < right) {
        cell.columns = {left, right};
        cell.rows = {top, bottom};
    }
    return cells_.emplace(key, std::move(cell)).first->second;
}

void GlyphCache::draw(QImage& canvas, ReadoutFonts& fonts, const QFont& font, const QColor& color,
                      const std::string& text, double left, double top, double width, double scale) {
    const std::u32string characters = QString::fromStdString(text).toStdU32String();
    const double step = fonts.advance(font);
    const double start = left + (width - step * static_cast<double>(characters.size())) / 2;
    const int topPixel = static_cast<int>(std::lround(top * scale));
    for (std::size_t i = 0; i < characters.size(); ++i) {
        if (characters[i] == U' ') continue;
        const Cell& glyph = cell(fonts, font, color, characters[i], scale);
        if (glyph.columns.isEmpty()) continue;
        const int leftPixel = static_cast<int>(std::lround(scale * (start + step * static_cast<double>(i)))) - 2;
        // The ink rectangle, clipped to the canvas.
        const int x0 = std::max(glyph.columns.begin, -leftPixel);
        const int x1 = std::min(glyph.columns.end, canvas.width() - leftPixel);
        const int y0 = std::max(glyph.rows.begin, -topPixel);
        const int y1 = std::min(glyph.rows.end, canvas.height() - topPixel);
        if (x0 >= x1) continue;
        const auto bytes = static_cast<std::size_t>(x1 - x0) * 4;
        for (int y = y0; y < y1; ++y) {
            const uchar* source = glyph.pixels.constScanLine(y) + static_cast<std::size_t>(x0) * 4;
            uchar* target = canvas.bits() + (topPixel + y) * canvas.bytesPerLine() +
                            static_cast<std::size_t>(leftPixel + x0) * 4;
            for (std::size_t k = 0; k < bytes; ++k) target[k] = std::max(target[k], source[k]);
        }
    }
}

}  // namespace nerivane
