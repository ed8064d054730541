#include "nerivane/ui/menubar/MenuBarRenderer.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPainter>
#include <QVarLengthArray>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "NerivaneKit/analysis/TargetSnapshot.h"
#include "nerivane/core/AppModel.h"
#include "NerivaneKit/text/MenuBarText.h"
#include "nerivane/core/VerdictTexts.h"

namespace nerivane {
namespace {

// Fonts are sized in points of 1/72 inch; at 72 dots per inch a point is one
// pixel at scale 1, as on the panel.
constexpr int dotsPerMeterAt72 = 2835;

QImage pointDevice() {
    QImage device(1, 1, QImage::Format_ARGB32_Premultiplied);
    device.setDotsPerMeterX(dotsPerMeterAt72);
    device.setDotsPerMeterY(dotsPerMeterAt72);
    return device;
}

const QImage& metricsDevice() {
    static const QImage device = pointDevice();
    return device;
}

int roundHalfAway(double value) {
    return static_cast<int>(std::lround(value));
}

QColor withAlpha(QColor color, double alpha) {
    color.setAlphaF(static_cast<float>(std::clamp(alpha, 0.0, 1.0)));
    return color;
}

// A hairline (a 16 px icon's trace) goes to Qt's cosmetic stroker, over the
// baseline. A wider line is drawn as segments through Qt's line rasteriser,
// with square caps closing the joins, at a quarter of the cost of a stroked
// path (whose outline and scan conversion were most of a render): opaque
// first, so the caps overlapping at a join saturate instead of darkening,
// then given the line's alpha, then the baseline laid under it. The box must
// be clear beneath, and a trace stays within half a point of its box.
void drawTrace(QPainter& painter, const MenuBarLayout::Levels& levels, const QRectF& box, const QColor& line,
               const QColor& baseline, double lineWidth) {
    const QRectF baselineRect(box.left(), box.bottom() - 0.5, box.width(), 0.5);
    const auto n = levels.size();
    const bool segments = n >= 2 && lineWidth * painter.worldTransform().m11() > 1;
    if (!segments) painter.fillRect(baselineRect, baseline);
    if (n < 2) return;
    const double step = box.width() / 27;
    // A trace holds 28 samples: both arrays stay on the stack.
    QVarLengthArray<QPointF, 32> points(static_cast<qsizetype>(n));
    for (std::size_t i = 0; i < n; ++i) {
        const double level = std::clamp(levels[i].value_or(0.0), 0.0, 1.0);
        points[i] = QPointF(box.right() - step * static_cast<double>(n - 1) + step * static_cast<double>(i),
                            box.bottom() - 0.75 - level * (box.height() - 1.5));
    }
    if (!segments) {
        QPen pen(line, lineWidth);
        pen.setJoinStyle(Qt::BevelJoin);
        pen.setCapStyle(Qt::FlatCap);
        painter.setPen(pen);
        painter.drawPolyline(points.data(), static_cast<int>(n));
        painter.setPen(Qt::NoPen);
        return;
    }
    QVarLengthArray<QLineF, 32> lines;
    for (std::size_t i = 1; i < n; ++i) lines.append(QLineF(points[i - 1], points[i]));
    // The trace's two ends are flat: the oldest and newest points are its edges.
    const auto pullIn = [half = lineWidth / 2](QPointF end, QPointF towards) {
        const QLineF inward(end, towards);
        return inward.length() > half ? inward.pointAt(half / inward.length()) : towards;
    };
    lines.front().setP1(pullIn(points[0], points[1]));
    lines.back().setP2(pullIn(points[n - 1], points[n - 2]));
    QPen pen(QColor(line.red(), line.green(), line.blue()), lineWidth);
    pen.setCapStyle(Qt::SquareCap);
    painter.setPen(pen);
    painter.drawLines(lines.data(), static_cast<int>(lines.size()));
    painter.setPen(Qt::NoPen);
    if (line.alpha() < 255) {
        painter.setCompositionMode(QPainter::CompositionMode_DestinationIn);
        painter.fillRect(box.adjusted(0, -0.9, 0, 0.9), QColor(0, 0, 0, line.alpha()));
    }
    painter.setCompositionMode(QPainter::CompositionMode_DestinationOver);
    painter.fillRect(baselineRect, baseline);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

// The mark centred on (cx, mid), in units of the wide readout's points.
void drawMark(QPainter& painter, MenuBarLayout::Mark mark, double cx, double mid, const QColor& color, double unit) {
    QPen pen(color, 1.5 * unit);
    pen.setCapStyle(Qt::RoundCap);
    painter.setPen(pen);
    switch (mark) {
    case MenuBarLayout::Mark::none: break;
    case MenuBarLayout::Mark::problem:
        painter.drawLine(QPointF(cx, mid - 5.5 * unit), QPointF(cx, mid + 1.5 * unit));
        painter.setPen(Qt::NoPen);
        painter.setBrush(color);
        painter.drawEllipse(QRectF(cx - unit, mid + 3.5 * unit, 2 * unit, 2 * unit));
        painter.setBrush(Qt::NoBrush);
        break;
    case MenuBarLayout::Mark::down:
        painter.drawLine(QPointF(cx - 2.5 * unit, mid - 2.5 * unit), QPointF(cx + 2.5 * unit, mid + 2.5 * unit));
        painter.drawLine(QPointF(cx + 2.5 * unit, mid - 2.5 * unit), QPointF(cx - 2.5 * unit, mid + 2.5 * unit));
        break;
    case MenuBarLayout::Mark::paused:
        painter.drawLine(QPointF(cx - 1.5 * unit, mid - 4.5 * unit), QPointF(cx - 1.5 * unit, mid + 4.5 * unit));
        painter.drawLine(QPointF(cx + 1.5 * unit, mid - 4.5 * unit), QPointF(cx + 1.5 * unit, mid + 4.5 * unit));
        break;
    }
}

// One channel pair at a time, x times a / 255 rounded, as the raster engine
// computes it: layers laid with it match pixels painted with QPainter.
QRgb multiply(QRgb x, uint a) {
    uint redBlue = (x & 0xff00ff) * a;
    redBlue = ((redBlue + ((redBlue >> 8) & 0xff00ff) + 0x800080) >> 8) & 0xff00ff;
    uint alphaGreen = ((x >> 8) & 0xff00ff) * a;
    alphaGreen = (alphaGreen + ((alphaGreen >> 8) & 0xff00ff) + 0x800080) & 0xff00ff00;
    return redBlue | alphaGreen;
}

// Each pixel beneath times keep / 255 (what Clear with coverage 255 - keep
// leaves of it), then the layer's pixel SourceOver.
void lay(QImage& canvas, const MenuBarRenderer::Layer& layer) {
    const QRect area = QRect(layer.origin, layer.pixels.size()) & canvas.rect();
    // The canvas wraps a buffer of our own or was made here: bits() never copies it.
    uchar* const bits = canvas.bits();
    const qsizetype stride = canvas.bytesPerLine();
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const int row = y - layer.origin.y();
        const auto* source = reinterpret_cast<const QRgb*>(layer.pixels.constScanLine(row));
        auto* target = reinterpret_cast<QRgb*>(bits + y * stride);
        for (int x = area.left(); x <= area.right(); ++x) {
            const int column = x - layer.origin.x();
            QRgb beneath = target[x];
            if (!layer.keep.empty()) {
                const uint keep = layer.keep[static_cast<std::size_t>(row * layer.pixels.width() + column)];
                if (keep < 255) beneath = multiply(beneath, keep);
            }
            const QRgb pixel = source[column];
            target[x] = pixel + multiply(beneath, 255 - qAlpha(pixel));
        }
    }
}

// The compact badge: a disc in the mark colour with the mark cut out of it,
// on a ring cleared from whatever lies beneath.
struct Badge {
    double diameter;
    QPointF centre;
    double radius;

    explicit Badge(double side)
        : diameter(std::round(side * 0.38)),
          centre(side - diameter / 2 - 0.5, diameter / 2 + 0.5),
          radius(diameter / 2) {}

    void clearRing(QPainter& painter) const {
        painter.setPen(Qt::NoPen);
        painter.setCompositionMode(QPainter::CompositionMode_Clear);
        painter.setBrush(Qt::black);
        painter.drawEllipse(centre, radius + 1, radius + 1);
    }
    void fillDisc(QPainter& painter, const QColor& color) const {
        painter.setPen(Qt::NoPen);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.setBrush(color);
        painter.drawEllipse(centre, radius, radius);
    }
    void cutMark(QPainter& painter, MenuBarLayout::Mark mark) const {
        painter.setCompositionMode(QPainter::CompositionMode_Clear);
        drawMark(painter, mark, centre.x(), centre.y(), Qt::black, diameter / 14);
    }
    // The pixels the ring may touch.
    QRect bounds() const {
        return QRectF(centre.x() - radius - 1, centre.y() - radius - 1, 2 * radius + 2, 2 * radius + 2)
            .toAlignedRect()
            .adjusted(-1, -1, 1, 1);
    }
};

QImage filled(int side, QColor color) {
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(color);
    return image;
}

double pieceWidth(const MenuBarLayout::Piece& piece, MenuBarRenderer& renderer) {
    if (std::holds_alternative<MenuBarLayout::Stacked>(piece)) return renderer.stackedWidth();
    if (std::holds_alternative<MenuBarLayout::Pair>(piece)) return renderer.pairWidth();
    if (std::holds_alternative<MenuBarLayout::Mark>(piece)) return MenuBarRenderer::markWidth;
    return MenuBarRenderer::traceWidth;
}

}  // namespace

// Pixels of one canvas; freed when the pool and every image over it let go.
struct MenuBarRenderer::Canvas {
    int width = 0;
    int height = 0;
    qsizetype bytesPerLine = 0;
    std::unique_ptr<uchar[]> bytes;

    static std::shared_ptr<Canvas> make(int width, int height) {
        // A panel readout is a few hundred pixels; anything far beyond is a fault.
        if (width <= 0 || height <= 0 || width > 8192 || height > 1024) return nullptr;
        auto canvas = std::make_shared<Canvas>();
        canvas->width = width;
        canvas->height = height;
        canvas->bytesPerLine = static_cast<qsizetype>(width) * 4;
        canvas->bytes.reset(new (std::nothrow) uchar[static_cast<std::size_t>(canvas->bytesPerLine * height)]());
        return canvas->bytes ? canvas : nullptr;
    }

    QImage image() { return QImage(bytes.get(), width, height, bytesPerLine, QImage::Format_ARGB32_Premultiplied); }

    // An image that keeps the canvas alive for as long as any copy of it lives.
    static QImage shared(const std::shared_ptr<Canvas>& canvas) {
        auto* keeper = new std::shared_ptr<Canvas>(canvas);
        return QImage(
            canvas->bytes.get(), canvas->width, canvas->height, canvas->bytesPerLine,
            QImage::Format_ARGB32_Premultiplied, [](void* info) { delete static_cast<std::shared_ptr<Canvas>*>(info); },
            keeper);
    }
};

std::size_t MenuBarRenderer::GlyphKeyHash::operator()(const GlyphKey& key) const noexcept {
    const std::size_t size = std::hash<double>{}(key.fontSize);
    return size ^ (std::hash<int>{}(key.alpha) << 1) ^ (std::hash<char32_t>{}(key.character) << 9);
}

MenuBarRenderer::MenuBarRenderer() = default;
MenuBarRenderer::~MenuBarRenderer() = default;

MenuBarLayout MenuBarRenderer::layout(AppModel& model) {
    return MenuBarLayout::make(model);
}

const QFont& MenuBarRenderer::font(FontRole role) {
    auto& slot = fonts_[static_cast<int>(role)];
    if (slot) return *slot;
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::Monospace);
    switch (role) {
    case FontRole::caption:
        font.setPointSizeF(8);
        font.setWeight(QFont::Medium);
        break;
    case FontRole::value:
        font.setPointSizeF(11);
        font.setWeight(QFont::DemiBold);
        break;
    case FontRole::pair:
        font.setPointSizeF(9.5);
        font.setWeight(QFont::Medium);
        break;
    }
    slot = font;
    return *slot;
}

QFont MenuBarRenderer::digitsFont(double size) const {
    // Bold and a little condensed, so that three characters fit a narrow slot.
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::Monospace);
    font.setWeight(QFont::Bold);
    font.setStretch(85);
    font.setPointSizeF(size);
    return font;
}

double MenuBarRenderer::advance(const QFont& font) {
    const double size = font.pointSizeF();
    if (auto found = advances_.find(size); found != advances_.end()) return found->second;
    const double value = QFontMetricsF(font, &metricsDevice()).horizontalAdvance(QLatin1Char('0'));
    advances_.emplace(size, value);
    return value;
}

double MenuBarRenderer::textWidth(const QFont& font, const std::string& text) {
    const auto key = std::make_pair(font.pointSizeF(), text);
    if (auto found = textWidths_.find(key); found != textWidths_.end()) return found->second;
    const double width =
        std::ceil(QFontMetricsF(font, &metricsDevice()).horizontalAdvance(QString::fromStdString(text)));
    textWidths_.emplace(key, width);
    return width;
}

double MenuBarRenderer::stackedWidth() {
    if (!stackedWidth_)
        stackedWidth_ = std::max(textWidth(font(FontRole::caption), "TCP"),
                                 textWidth(font(FontRole::value), std::string(MenuBarText::widest)));
    return *stackedWidth_;
}

double MenuBarRenderer::pairWidth() {
    if (!pairWidth_) pairWidth_ = textWidth(font(FontRole::pair), "R " + std::string(MenuBarText::widest));
    return *pairWidth_;
}

double MenuBarRenderer::width(const MenuBarLayout& layout) {
    double total = 0;
    for (std::size_t i = 0; i < layout.pieces.size(); ++i) {
        if (i > 0) total += gap;
        total += pieceWidth(layout.pieces[i], *this);
    }
    return std::max(1.0, std::ceil(total));
}

const MenuBarRenderer::Ink& MenuBarRenderer::resolveInk(const TrayAppearance& appearance, double scale, bool dimmed) {
    QString key = appearance.name + QLatin1Char('@') + QString::number(scale);
    if (dimmed) key += QStringLiteral("-dimmed");
    if (key == ink_.key) return ink_;
    const double base = dimmed ? 0.4 : 1;
    const QColor& label = appearance.label;
    ink_ = Ink{key,
               withAlpha(label, base),
               withAlpha(label, base * 0.7),
               withAlpha(label, base * 0.25),
               withAlpha(label, base * 0.45),
               label};
    // Cells and layers hold colour.
    glyphs_.clear();
    marks_.clear();
    badges_.clear();
    return ink_;
}

const MenuBarRenderer::GlyphCell& MenuBarRenderer::glyph(const QFont& font, const QColor& color, char32_t character,
                                                         double scale) {
    const GlyphKey key{font.pointSizeF(), color.alpha(), character};
    if (auto found = glyphs_.find(key); found != glyphs_.end()) return found->second;

    const QFontMetricsF metrics(font, &metricsDevice());
    const int width = static_cast<int>(std::ceil(advance(font) * scale)) + 4;
    const int height = static_cast<int>(
        std::ceil(scale * (metrics.ascent() + metrics.descent() + std::max(0.0, metrics.leading()))));
    GlyphCell cell;
    cell.pixels = QImage(width, height, QImage::Format_ARGB32_Premultiplied);
    if (cell.pixels.isNull()) return glyphs_.emplace(key, GlyphCell{}).first->second;
    cell.pixels.setDotsPerMeterX(dotsPerMeterAt72);
    cell.pixels.setDotsPerMeterY(dotsPerMeterAt72);
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
    return glyphs_.emplace(key, std::move(cell)).first->second;
}

const MenuBarRenderer::Layer& MenuBarRenderer::markLayer(MenuBarLayout::Mark mark, double x, double scale) {
    const auto key = std::make_tuple(mark, x, scale);
    if (auto found = marks_.find(key); found != marks_.end()) return found->second;
    // The piece and half the gaps beside it; the same transform as the
    // canvas's but for a whole-pixel shift, so the same coverage.
    const int left = static_cast<int>(std::floor((x - gap / 2) * scale));
    const int right = static_cast<int>(std::ceil((x + markWidth + gap / 2) * scale));
    Layer layer{QPoint(left, 0), QImage(right - left, static_cast<int>(barHeight * scale), QImage::Format_ARGB32_Premultiplied), {}};
    layer.pixels.fill(Qt::transparent);
    if (!layer.pixels.isNull()) {
        QPainter painter(&layer.pixels);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.translate(-left, 0);
        painter.scale(scale, scale);
        drawMark(painter, mark, x + 3, barHeight / 2, ink_.mark, 1);
    }
    // Only the rows with ink are laid.
    int top = layer.pixels.height(), bottom = 0;
    for (int y = 0; y < layer.pixels.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(layer.pixels.constScanLine(y));
        if (std::any_of(line, line + layer.pixels.width(), [](QRgb pixel) { return pixel != 0; })) {
            top = std::min(top, y);
            bottom = y + 1;
        }
    }
    layer.origin.ry() = std::min(top, bottom);
    layer.pixels = layer.pixels.copy(0, layer.origin.y(), layer.pixels.width(), std::max(0, bottom - top));
    return marks_.emplace(key, std::move(layer)).first->second;
}

const std::optional<MenuBarRenderer::Layer>& MenuBarRenderer::badgeLayer(MenuBarLayout::Mark mark, int side) {
    const auto key = std::make_pair(mark, side);
    if (auto found = badges_.find(key); found != badges_.end()) return found->second;
    const Badge badge(side);
    // The whole badge and the disc alone over a clear slot; the ring's
    // clearing read off an opaque white one.
    QImage whole = filled(side, Qt::transparent);
    QImage disc = filled(side, Qt::transparent);
    QImage ring = filled(side, Qt::white);
    if (whole.isNull() || disc.isNull() || ring.isNull()) return badges_.emplace(key, std::nullopt).first->second;
    const auto paint = [](QImage& image, const auto& parts) {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        parts(painter);
    };
    paint(whole, [&](QPainter& painter) {
        badge.clearRing(painter);
        badge.fillDisc(painter, ink_.mark);
        badge.cutMark(painter, mark);
    });
    paint(disc, [&](QPainter& painter) { badge.fillDisc(painter, ink_.mark); });
    paint(ring, [&](QPainter& painter) { badge.clearRing(painter); });
    const QRect area = badge.bounds() & whole.rect();
    Layer layer{area.topLeft(), whole.copy(area), {}};
    layer.keep.reserve(static_cast<std::size_t>(area.width() * area.height()));
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const int keep = qAlpha(ring.pixel(x, y));
            // Where something beneath survives, only the disc may lie over
            // it; were the mark's cut there too, laying would not be exact.
            if (keep > 0 && whole.pixel(x, y) != disc.pixel(x, y)) return badges_.emplace(key, std::nullopt).first->second;
            layer.keep.push_back(static_cast<uchar>(keep));
        }
    }
    return badges_.emplace(key, std::move(layer)).first->second;
}

void MenuBarRenderer::drawText(QImage& canvas, const QFont& font, const QColor& color, const std::string& text,
                               double x, double top, double boxWidth, double scale) {
    const std::u32string characters = QString::fromStdString(text).toStdU32String();
    const double step = advance(font);
    const double left = x + (boxWidth - step * static_cast<double>(characters.size())) / 2;
    const int topPixel = roundHalfAway(top * scale);
    for (std::size_t i = 0; i < characters.size(); ++i) {
        if (characters[i] == U' ') continue;
        const GlyphCell& cell = glyph(font, color, characters[i], scale);
        if (cell.columns.isEmpty()) continue;
        const int leftPixel = roundHalfAway(scale * (left + step * static_cast<double>(i))) - 2;
        // The ink rectangle, clipped to the canvas.
        const int x0 = std::max(cell.columns.begin, -leftPixel);
        const int x1 = std::min(cell.columns.end, canvas.width() - leftPixel);
        const int y0 = std::max(cell.rows.begin, -topPixel);
        const int y1 = std::min(cell.rows.end, canvas.height() - topPixel);
        if (x0 >= x1) continue;
        const auto bytes = static_cast<std::size_t>(x1 - x0) * 4;
        for (int y = y0; y < y1; ++y) {
            const uchar* source = cell.pixels.constScanLine(y) + static_cast<std::size_t>(x0) * 4;
            // The canvas wraps a buffer of our own: writing through bits() never copies it.
            uchar* target = canvas.bits() + (topPixel + y) * canvas.bytesPerLine() +
                            static_cast<std::size_t>(leftPixel + x0) * 4;
            for (std::size_t k = 0; k < bytes; ++k) target[k] = std::max(target[k], source[k]);
        }
    }
}

std::optional<QImage> MenuBarRenderer::render(const MenuBarLayout& layout, const TrayAppearance& appearance,
                                              double scale, const QColorSpace& colorSpace) {
    if (colorSpace != colorSpace_) {
        colorSpace_ = colorSpace;
        pool_.clear();
        glyphs_.clear();
        ink_ = Ink{};
    }
    const double widthPoints = width(layout);
    const int pixelWidth = static_cast<int>(widthPoints * scale);
    const int pixelHeight = static_cast<int>(barHeight * scale);
    if (pool_.empty() || pool_.front()->width != pixelWidth || pool_.front()->height != pixelHeight) {
        pool_.clear();
        for (int i = 0; i < 2; ++i) {
            auto canvas = Canvas::make(pixelWidth, pixelHeight);
            if (!canvas) {
                pool_.clear();
                return std::nullopt;
            }
            pool_.push_back(std::move(canvas));
        }
    }
    canvasIndex_ = (canvasIndex_ + 1) % pool_.size();
    const std::shared_ptr<Canvas>& canvas = pool_[canvasIndex_];
    const Ink& ink = resolveInk(appearance, scale, layout.dimmed);
    std::memset(canvas->bytes.get(), 0, static_cast<std::size_t>(canvas->bytesPerLine * canvas->height));

    QImage target = canvas->image();
    const double mid = barHeight / 2;
    {
        // Strokes first, each piece on clear pixels of its own; the text is
        // copied in afterwards, byte by byte.
        std::optional<QPainter> painter;
        const auto strokes = [&]() -> QPainter& {
            if (!painter) {
                painter.emplace(&target);
                painter->setRenderHint(QPainter::Antialiasing);
                painter->scale(scale, scale);
            }
            return *painter;
        };
        double x = 0;
        for (std::size_t i = 0; i < layout.pieces.size(); ++i) {
            if (i > 0) x += gap;
            const auto& piece = layout.pieces[i];
            if (const auto* trace = std::get_if<MenuBarLayout::Trace>(&piece)) {
                drawTrace(strokes(), trace->levels, QRectF(x, mid - 8, traceWidth, 16), ink.text, ink.baseline, 1.25);
            } else if (const auto* traces = std::get_if<MenuBarLayout::Traces>(&piece)) {
                drawTrace(strokes(), traces->top, QRectF(x, mid - 8, traceWidth, 7), ink.text, ink.baseline, 1.25);
                drawTrace(strokes(), traces->bottom, QRectF(x, mid + 1, traceWidth, 7), ink.text, ink.baseline, 1.25);
            } else if (const auto* mark = std::get_if<MenuBarLayout::Mark>(&piece); mark && *mark != MenuBarLayout::Mark::none) {
                // The same every render: drawn once, then laid.
                if (painter) painter->end();
                painter.reset();
                lay(target, markLayer(*mark, x, scale));
            }
            x += pieceWidth(piece, *this);
        }
    }
    double x = 0;
    for (std::size_t i = 0; i < layout.pieces.size(); ++i) {
        if (i > 0) x += gap;
        const auto& piece = layout.pieces[i];
        if (const auto* stacked = std::get_if<MenuBarLayout::Stacked>(&piece)) {
            drawText(target, font(FontRole::caption), ink.caption, stacked->caption, x, mid - 11, stackedWidth(), scale);
            drawText(target, font(FontRole::value), ink.text, stacked->value, x, mid - 2.5, stackedWidth(), scale);
        } else if (const auto* pair = std::get_if<MenuBarLayout::Pair>(&piece)) {
            drawText(target, font(FontRole::pair), ink.text, pair->top, x, mid - 11, pairWidth(), scale);
            drawText(target, font(FontRole::pair), ink.text, pair->bottom, x, mid - 0.5, pairWidth(), scale);
        }
        x += pieceWidth(piece, *this);
    }
    // Pixels are in the cached colour space; the image carries none, which
    // readers take as sRGB, and tagging it would copy the buffer.
    return Canvas::shared(canvas);
}

const MenuBarRenderer::DigitSize& MenuBarRenderer::digitSize(std::size_t count, double width, double height) {
    // The largest size (points are pixels here) whose characters fit the
    // width, below three quarters of the height; found once per length and box.
    const auto key = std::make_tuple(std::max<std::size_t>(1, count), width, height);
    auto found = compactSizes_.find(key);
    if (found == compactSizes_.end()) {
        double size = std::floor(height * 0.75);
        for (; size > 6; size -= 0.5) {
            if (advance(digitsFont(size)) * static_cast<double>(std::get<0>(key)) <= width - 1) break;
        }
        QFont font = digitsFont(size);
        const double ascent = QFontMetricsF(font, &metricsDevice()).ascent();
        found = compactSizes_.emplace(key, DigitSize{std::move(font), ascent}).first;
    }
    return found->second;
}

QImage MenuBarRenderer::renderCompact(const CompactReadout& readout, const TrayAppearance& appearance, int side,
                                      double scale) {
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (image.isNull()) return image;
    const double base = readout.dimmed ? 0.4 : 1;
    // Pixels, not points: the ink at scale 1 keeps the glyph cells' colours consistent.
    const Ink& ink = resolveInk(appearance, 1, readout.dimmed);
    const double s = side;
    const bool traceOnly = readout.digits.empty();
    // Target both: two rows of digits only where both stay legible.
    const bool stacked = !traceOnly && !readout.routerDigits.empty() && side >= stackedSide;
    const auto length = [](const std::string& text) { return QString::fromStdString(text).toStdU32String().size(); };

    // Behind the digits the trace fills the slot, faint; without digits it
    // stands alone at full strength, below the badge when there is one (the
    // newest point is at the right). Target both: the router's above the internet's.
    if (!readout.trace.empty() || !readout.routerTrace.empty()) {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor line = traceOnly ? ink.text : withAlpha(ink.mark, base * 0.35);
        const QColor baseline = traceOnly ? ink.secondary : withAlpha(ink.mark, base * 0.2);
        const double width = std::max(1.0, s / 16) * (traceOnly ? 1.25 : 1);
        const double top = traceOnly && readout.mark != MenuBarLayout::Mark::none ? Badge(s).diameter + 1 : 1;
        const QRectF box(1, top, s - 2, s - 1 - top);
        if (readout.routerTrace.empty()) {
            drawTrace(painter, readout.trace, box, line, baseline, width);
        } else {
            const double half = (box.height() - 1) / 2;
            drawTrace(painter, readout.routerTrace, QRectF(box.left(), box.top(), box.width(), half), line, baseline, width);
            drawTrace(painter, readout.trace, QRectF(box.left(), box.bottom() - half, box.width(), half), line, baseline,
                      width);
        }
    }

    // Digits as large as the slot allows, drawn from the glyph cells like
    // the wide readout's text. Bottom-aligned, they leave the top right
    // corner to the badge; stacked, the router's row keeps left of it.
    const double bottom = s - std::max(1.0, std::round(s / 12));
    if (stacked) {
        const double row = s / 2;
        const double topWidth = s - Badge(s).diameter - 1;
        const DigitSize& lower = digitSize(length(readout.digits), s, row);
        const DigitSize& upper = digitSize(length(readout.routerDigits), topWidth, row);
        drawText(image, lower.font, ink.text, readout.digits, 0, bottom - lower.ascent, s, 1);
        drawText(image, upper.font, ink.text, readout.routerDigits, 0, bottom - row - upper.ascent, topWidth, 1);
    } else if (!traceOnly) {
        const DigitSize& digits = digitSize(length(readout.digits), s, s);
        drawText(image, digits.font, ink.text, readout.digits, 0, bottom - digits.ascent, s, 1);
    }

    // The router's state beside a lone internet value: a dot in the top left
    // corner, full when it answers, a ring when slow or lossy, a cross when down.
    if (readout.router != CompactReadout::Router::none && !stacked && !traceOnly) {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        const double diameter = std::round(s * 0.3);
        const QPointF centre(diameter / 2 + 0.5, diameter / 2 + 0.5);
        const double radius = diameter / 2;
        const double pen = std::max(1.0, diameter / 5);
        painter.setPen(Qt::NoPen);
        painter.setCompositionMode(QPainter::CompositionMode_Clear);
        painter.setBrush(Qt::black);
        painter.drawEllipse(centre, radius + 1, radius + 1);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.setBrush(Qt::NoBrush);
        switch (readout.router) {
        case CompactReadout::Router::none: break;
        case CompactReadout::Router::ok:
            painter.setBrush(ink.text);
            painter.drawEllipse(centre, radius, radius);
            break;
        case CompactReadout::Router::problem:
            painter.setPen(QPen(ink.text, pen));
            painter.drawEllipse(centre, radius - pen / 2, radius - pen / 2);
            break;
        case CompactReadout::Router::down: {
            QPen cross(ink.text, pen * 1.2);
            cross.setCapStyle(Qt::RoundCap);
            painter.setPen(cross);
            const double arm = radius - pen / 2;
            painter.drawLine(centre + QPointF(-arm, -arm), centre + QPointF(arm, arm));
            painter.drawLine(centre + QPointF(arm, -arm), centre + QPointF(-arm, arm));
            break;
        }
        }
    }

    if (readout.mark != MenuBarLayout::Mark::none) {
        if (const auto& layer = badgeLayer(readout.mark, side)) {
            lay(image, *layer);
        } else {
            const Badge badge(side);
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing);
            badge.clearRing(painter);
            badge.fillDisc(painter, ink.mark);
            badge.cutMark(painter, readout.mark);
        }
    }
    image.setDevicePixelRatio(scale);
    return image;
}

QString MenuBarRenderer::accessibilityLabel(AppModel& model) {
    const auto context = VerdictTexts::Context::current();
    if (const auto until = model.pausedUntil())
        return QStringLiteral("Paused until %1.").arg(VerdictTexts::timeText(*until, context));
    const MonitorSnapshot& snapshot = model.snapshot();
    QStringList parts{VerdictTexts::verdictTitle(snapshot.verdict) + QLatin1Char('.')};
    const auto number = [&](double value) {
        return value < 9.95 ? context.locale.toString(value, 'f', 1) : context.locale.toString(std::round(value), 'f', 0);
    };
    for (const auto& target : snapshot.targets) {
        const Metrics& metrics = target.metrics;
        if (!metrics.latest || target.state.kind == TargetState::Kind::down) continue;
        if (target.target.role == TargetRole::internet(0) && target.status != TargetStatus::warmingUp) {
            const long loss = metrics.sent > 0 ? std::lround(static_cast<double>(metrics.lost) * 100 /
                                                             static_cast<double>(metrics.sent))
                                               : 0;
            parts << QStringLiteral("Internet %1 milliseconds, jitter %2, loss %3 percent.")
                         .arg(number(*metrics.latest), number(metrics.jitter.value_or(0)), QString::number(loss));
        }
    }
    for (const auto& target : snapshot.targets) {
        if (target.target.role == TargetRole::router() && target.status == TargetStatus::icmp &&
            target.metrics.latest && target.state.kind != TargetState::Kind::down)
            parts << QStringLiteral("Router %1 milliseconds.").arg(number(*target.metrics.latest));
    }
    return parts.join(QLatin1Char(' '));
}

}  // namespace nerivane
