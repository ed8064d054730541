#include "nerivane/ui/menubar/ReadoutGeometry.h"

#include <QString>
#include <algorithm>
#include <cmath>

#include "nerivane/ui/menubar/ReadoutFonts.h"

namespace nerivane {
namespace {

std::size_t characters(const std::string& text) {
    return QString::fromStdString(text).toStdU32String().size();
}

}  // namespace

ReadoutGeometry::Wide ReadoutGeometry::wide(const MenuBarLayout& layout, ReadoutFonts& fonts) {
    const double mid = barHeight / 2;
    Wide geometry;
    geometry.pieces.reserve(layout.pieces.size());
    double x = 0;
    for (std::size_t i = 0; i < layout.pieces.size(); ++i) {
        if (i > 0) x += gap;
        Piece piece{x, traceWidth, {}, {}};
        const auto& shown = layout.pieces[i];
        if (std::holds_alternative<MenuBarLayout::Trace>(shown)) {
            piece.traces[0] = QRectF(x, mid - 8, traceWidth, 16);
        } else if (std::holds_alternative<MenuBarLayout::Traces>(shown)) {
            piece.traces[0] = QRectF(x, mid - 8, traceWidth, 7);
            piece.traces[1] = QRectF(x, mid + 1, traceWidth, 7);
        } else if (std::holds_alternative<MenuBarLayout::Stacked>(shown)) {
            piece.width = fonts.stackedWidth();
            piece.lines[0] = {x, mid - 11, piece.width};
            piece.lines[1] = {x, mid - 2.5, piece.width};
        } else if (std::holds_alternative<MenuBarLayout::Pair>(shown)) {
            piece.width = fonts.pairWidth();
            piece.lines[0] = {x, mid - 11, piece.width};
            piece.lines[1] = {x, mid - 0.5, piece.width};
        } else {
            piece.width = markWidth;
        }
        x += piece.width;
        geometry.pieces.push_back(piece);
    }
    geometry.width = std::max(1.0, std::ceil(x));
    return geometry;
}

ReadoutGeometry::Badge ReadoutGeometry::badge(double side) {
    const double diameter = std::round(side * 0.38);
    return {diameter, {QPointF(side - diameter / 2 - 0.5, diameter / 2 + 0.5), diameter / 2}};
}

ReadoutGeometry::Compact ReadoutGeometry::compact(const CompactReadout& readout, int side, ReadoutFonts& fonts) {
    const double s = side;
    Compact geometry;
    geometry.badge = badge(s);
    geometry.traceOnly = readout.digits.empty();
    geometry.stacked = !geometry.traceOnly && !readout.routerDigits.empty() && side >= stackedSide;

    // Without digits the trace keeps below the badge when there is one.
    geometry.traced = !readout.trace.empty() || !readout.routerTrace.empty();
    if (geometry.traced) {
        geometry.traceLine = std::max(1.0, s / 16) * (geometry.traceOnly ? 1.25 : 1);
        const double top =
            geometry.traceOnly && readout.mark != MenuBarLayout::Mark::none ? geometry.badge.diameter + 1 : 1;
        const QRectF box(1, top, s - 2, s - 1 - top);
        geometry.trace = box;
        if (!readout.routerTrace.empty()) {
            const double half = (box.height() - 1) / 2;
            geometry.routerTrace = QRectF(box.left(), box.top(), box.width(), half);
            geometry.trace = QRectF(box.left(), box.bottom() - half, box.width(), half);
        }
    }

    const double bottom = s - std::max(1.0, std::round(s / 12));
    if (geometry.stacked) {
        const double row = s / 2;
        const double topWidth = s - geometry.badge.diameter - 1;
        const auto& lower = fonts.digitSize(characters(readout.digits), s, row);
        const auto& upper = fonts.digitSize(characters(readout.routerDigits), topWidth, row);
        geometry.digits = {lower.font, {0, bottom - lower.ascent, s}};
        geometry.routerDigits = {upper.font, {0, bottom - row - upper.ascent, topWidth}};
    } else if (!geometry.traceOnly) {
        // Beside a trace the digits leave it a band at the top: never one through the other.
        const double height = geometry.traced ? std::round(s * traceDigitsShare) : s;
        const auto& digits = fonts.digitSize(characters(readout.digits), s, height);
        geometry.digits = {digits.font, {0, bottom - digits.ascent, s}};
    }

    if (readout.router != CompactReadout::Router::none && !geometry.stacked && !geometry.traceOnly) {
        const double diameter = std::round(s * 0.3);
        geometry.dot = Circle{QPointF(diameter / 2 + 0.5, diameter / 2 + 0.5), diameter / 2};
        geometry.dotPen = std::max(1.0, diameter / 5);
    }

    // With digits, the internet's trace takes the band above them, between
    // the router's dot and the badge; two rows of digits leave it no room.
    if (geometry.traced && !geometry.traceOnly) {
        geometry.routerTrace.reset();
        const double left = geometry.dot ? geometry.dot->centre.x() + geometry.dot->radius + 2 : 1;
        const double right = readout.mark != MenuBarLayout::Mark::none ? s - geometry.badge.diameter - 2 : s - 1;
        const double top = 1, lowest = geometry.digits.line.top - 1;
        if (geometry.stacked || lowest - top < 4 || right - left < 6) {
            geometry.traced = false;
        } else {
            geometry.trace = QRectF(left, top, right - left, lowest - top);
            geometry.traceLine = std::max(1.0, s / 20);
        }
    }
    return geometry;
}

}  // namespace nerivane
