#include "nerivane/ui/menubar/MenuBarRenderer.h"

#include <QPainter>
#include <QVarLengthArray>
#include <algorithm>
#include <cmath>
#include <cstring>

namespace nerivane {
namespace {

// Where nothing tells the panel's lightness, the light glyphs sit on a dark
// rounded plate of their own: legible on a light panel as on a dark one, and
// calmer than an outline around every stroke.
void addPlate(QImage& image, const QColor& plate) {
    QImage backed(image.size(), image.format());
    backed.fill(Qt::transparent);
    QPainter painter(&backed);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(plate);
    const double radius = std::min(image.width(), image.height()) * 0.2;
    painter.drawRoundedRect(QRectF(image.rect()), radius, radius);
    painter.drawImage(0, 0, image);
    painter.end();
    image = std::move(backed);
}

// The digits' colour for a problem or an outage, legible on the panel the
// label colour is made for: light tones on a dark panel, dark on a light one.
std::optional<QColor> stateInk(MenuBarLayout::Mark mark, const QColor& label) {
    const bool darkPanel = label.lightnessF() > 0.5;
    switch (mark) {
    case MenuBarLayout::Mark::problem: return darkPanel ? QColor(0xff, 0xb3, 0x47) : QColor(0x8a, 0x5a, 0x00);
    case MenuBarLayout::Mark::down: return darkPanel ? QColor(0xff, 0x70, 0x70) : QColor(0xc0, 0x18, 0x18);
    case MenuBarLayout::Mark::none:
    case MenuBarLayout::Mark::paused: return std::nullopt;
    }
    return std::nullopt;
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


// The compact badge's strokes: a disc in the mark colour with the mark cut
// out of it, on a ring cleared from whatever lies beneath.
void clearRing(QPainter& painter, const ReadoutGeometry::Badge& badge) {
    painter.setPen(Qt::NoPen);
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.setBrush(Qt::black);
    painter.drawEllipse(badge.disc.centre, badge.disc.radius + 1, badge.disc.radius + 1);
}

void fillDisc(QPainter& painter, const ReadoutGeometry::Badge& badge, const QColor& color) {
    painter.setPen(Qt::NoPen);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setBrush(color);
    painter.drawEllipse(badge.disc.centre, badge.disc.radius, badge.disc.radius);
}

void cutMark(QPainter& painter, const ReadoutGeometry::Badge& badge, MenuBarLayout::Mark mark) {
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    drawMark(painter, mark, badge.disc.centre.x(), badge.disc.centre.y(), Qt::black, badge.diameter / 14);
}

// The pixels the badge's ring may touch.
QRect ringBounds(const ReadoutGeometry::Badge& badge) {
    const QPointF centre = badge.disc.centre;
    const double radius = badge.disc.radius;
    return QRectF(centre.x() - radius - 1, centre.y() - radius - 1, 2 * radius + 2, 2 * radius + 2)
        .toAlignedRect()
        .adjusted(-1, -1, 1, 1);
}

void paintBadge(QPainter& painter, const ReadoutGeometry::Badge& badge, MenuBarLayout::Mark mark, const QColor& color) {
    clearRing(painter, badge);
    fillDisc(painter, badge, color);
    cutMark(painter, badge, mark);
}

QImage filled(int side, QColor color) {
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(color);
    return image;
}

// The router's state: a full dot when it answers, a ring when slow or lossy, a cross when down.
void drawRouterDot(QPainter& painter, CompactReadout::Router router, const ReadoutGeometry::Circle& dot, double pen,
                   const QColor& color) {
    const QPointF centre = dot.centre;
    const double radius = dot.radius;
    painter.setPen(Qt::NoPen);
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.setBrush(Qt::black);
    painter.drawEllipse(centre, radius + 1, radius + 1);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setBrush(Qt::NoBrush);
    switch (router) {
    case CompactReadout::Router::none: break;
    case CompactReadout::Router::ok:
        painter.setBrush(color);
        painter.drawEllipse(centre, radius, radius);
        break;
    case CompactReadout::Router::problem:
        painter.setPen(QPen(color, pen));
        painter.drawEllipse(centre, radius - pen / 2, radius - pen / 2);
        break;
    case CompactReadout::Router::down: {
        QPen cross(color, pen * 1.2);
        cross.setCapStyle(Qt::RoundCap);
        painter.setPen(cross);
        const double arm = radius - pen / 2;
        painter.drawLine(centre + QPointF(-arm, -arm), centre + QPointF(arm, arm));
        painter.drawLine(centre + QPointF(arm, -arm), centre + QPointF(-arm, arm));
        break;
    }
    }
}

// A wide readout is a few hundred pixels; anything far beyond is a fault.
bool isCanvasSize(int width, int height) {
    return width > 0 && height > 0 && width <= 8192 && height <= 1024;
}

}  // namespace

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

const ReadoutLayer& MenuBarRenderer::markLayer(MenuBarLayout::Mark mark, double x, double scale) {
    using G = ReadoutGeometry;
    const auto key = std::make_tuple(mark, x, scale);
    if (auto found = marks_.find(key); found != marks_.end()) return found->second;
    // The piece and half the gaps beside it; the same transform as the
    // canvas's but for a whole-pixel shift, so the same coverage.
    const int left = static_cast<int>(std::floor((x - G::gap / 2) * scale));
    const int right = static_cast<int>(std::ceil((x + G::markWidth + G::gap / 2) * scale));
    ReadoutLayer layer{QPoint(left, 0),
                       QImage(right - left, static_cast<int>(G::barHeight * scale), QImage::Format_ARGB32_Premultiplied),
                       {}};
    layer.pixels.fill(Qt::transparent);
    if (!layer.pixels.isNull()) {
        QPainter painter(&layer.pixels);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.translate(-left, 0);
        painter.scale(scale, scale);
        drawMark(painter, mark, x + 3, G::barHeight / 2, ink_.mark, 1);
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

const std::optional<ReadoutLayer>& MenuBarRenderer::badgeLayer(MenuBarLayout::Mark mark, int side) {
    const auto key = std::make_pair(mark, side);
    if (auto found = badges_.find(key); found != badges_.end()) return found->second;
    const auto badge = ReadoutGeometry::badge(side);
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
    paint(whole, [&](QPainter& painter) { paintBadge(painter, badge, mark, ink_.mark); });
    paint(disc, [&](QPainter& painter) { fillDisc(painter, badge, ink_.mark); });
    paint(ring, [&](QPainter& painter) { clearRing(painter, badge); });
    const QRect area = ringBounds(badge) & whole.rect();
    ReadoutLayer layer{area.topLeft(), whole.copy(area), {}};
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

std::optional<QImage> MenuBarRenderer::render(const MenuBarLayout& layout, const TrayAppearance& appearance,
                                              double scale, const QColorSpace& colorSpace) {
    if (colorSpace != colorSpace_) {
        colorSpace_ = colorSpace;
        for (auto& canvas : canvases_) canvas = QImage();
        glyphs_.clear();
        ink_ = Ink{};
    }
    const ReadoutGeometry::Wide geometry = ReadoutGeometry::wide(layout, fonts_);
    const int pixelWidth = static_cast<int>(geometry.width * scale);
    const int pixelHeight = static_cast<int>(ReadoutGeometry::barHeight * scale);
    if (!isCanvasSize(pixelWidth, pixelHeight)) return std::nullopt;
    canvasIndex_ = (canvasIndex_ + 1) % std::size(canvases_);
    QImage& target = canvases_[canvasIndex_];
    // A canvas an image handed out still holds is left to that image.
    if (target.width() != pixelWidth || target.height() != pixelHeight || !target.isDetached())
        target = QImage(pixelWidth, pixelHeight, QImage::Format_ARGB32_Premultiplied);
    if (target.isNull()) return std::nullopt;
    const Ink& ink = resolveInk(appearance, scale, layout.dimmed);
    std::memset(target.bits(), 0, static_cast<std::size_t>(target.sizeInBytes()));

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
        for (std::size_t i = 0; i < layout.pieces.size(); ++i) {
            const auto& piece = layout.pieces[i];
            const auto& place = geometry.pieces[i];
            if (const auto* trace = std::get_if<MenuBarLayout::Trace>(&piece)) {
                drawTrace(strokes(), trace->levels, place.traces[0], ink.text, ink.baseline, 1.25);
            } else if (const auto* traces = std::get_if<MenuBarLayout::Traces>(&piece)) {
                drawTrace(strokes(), traces->top, place.traces[0], ink.text, ink.baseline, 1.25);
                drawTrace(strokes(), traces->bottom, place.traces[1], ink.text, ink.baseline, 1.25);
            } else if (const auto* mark = std::get_if<MenuBarLayout::Mark>(&piece);
                       mark && *mark != MenuBarLayout::Mark::none) {
                // The same every render: drawn once, then laid.
                if (painter) painter->end();
                painter.reset();
                markLayer(*mark, place.x, scale).layOver(target);
            }
        }
    }
    const auto text = [&](ReadoutFonts::Role role, const QColor& color, const std::string& shown,
                          const ReadoutGeometry::Line& line) {
        glyphs_.draw(target, fonts_, fonts_.font(role), color, shown, line.left, line.top, line.width, scale);
    };
    for (std::size_t i = 0; i < layout.pieces.size(); ++i) {
        const auto& piece = layout.pieces[i];
        const auto& lines = geometry.pieces[i].lines;
        if (const auto* stacked = std::get_if<MenuBarLayout::Stacked>(&piece)) {
            text(ReadoutFonts::Role::caption, ink.caption, stacked->caption, lines[0]);
            text(ReadoutFonts::Role::value, ink.text, stacked->value, lines[1]);
        } else if (const auto* pair = std::get_if<MenuBarLayout::Pair>(&piece)) {
            text(ReadoutFonts::Role::pair, ink.text, pair->top, lines[0]);
            text(ReadoutFonts::Role::pair, ink.text, pair->bottom, lines[1]);
        }
    }
    // Pixels are in the cached colour space; the image carries none, which
    // readers take as sRGB, and tagging it would copy the buffer.
    return target;
}

QImage MenuBarRenderer::renderCompact(const CompactReadout& readout, const TrayAppearance& appearance, int side,
                                      double scale) {
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (image.isNull()) return image;
    const double base = readout.dimmed ? 0.4 : 1;
    // Pixels, not points: the ink at scale 1 keeps the glyph cells' colours consistent.
    const Ink& ink = resolveInk(appearance, 1, readout.dimmed);
    const ReadoutGeometry::Compact geometry = ReadoutGeometry::compact(readout, side, fonts_);

    // The state in the glyphs themselves, not only in the badge.
    const QColor text = readout.dimmed ? ink.text : stateInk(readout.mark, appearance.label).value_or(ink.text);

    // Above the digits the trace is lighter; without digits it stands alone
    // at full strength (the newest point is at the right).
    if (geometry.traced) {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor line = geometry.traceOnly ? text : withAlpha(text, base * 0.75);
        const QColor baseline = geometry.traceOnly ? ink.secondary : withAlpha(ink.mark, base * 0.25);
        if (geometry.routerTrace)
            drawTrace(painter, readout.routerTrace, *geometry.routerTrace, line, baseline, geometry.traceLine);
        drawTrace(painter, readout.trace, geometry.trace, line, baseline, geometry.traceLine);
    }

    // Digits drawn from the glyph cells like the wide readout's text.
    const auto digits = [&, colour = text](const std::string& digitText, const ReadoutGeometry::Digits& row) {
        if (row.font) glyphs_.draw(image, fonts_, *row.font, colour, digitText, row.line.left, row.line.top, row.line.width, 1);
    };
    digits(readout.digits, geometry.digits);
    digits(readout.routerDigits, geometry.routerDigits);

    if (geometry.dot) {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        drawRouterDot(painter, readout.router, *geometry.dot, geometry.dotPen, ink.text);
    }

    if (readout.mark != MenuBarLayout::Mark::none) {
        if (const auto& layer = badgeLayer(readout.mark, side)) {
            layer->layOver(image);
        } else {
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing);
            paintBadge(painter, geometry.badge, readout.mark, ink.mark);
        }
    }
    if (appearance.source == TrayAppearance::Source::fallback) addPlate(image, QColor(0x1a, 0x1a, 0x1a, 0xe6));
    image.setDevicePixelRatio(scale);
    return image;
}

}  // namespace nerivane
