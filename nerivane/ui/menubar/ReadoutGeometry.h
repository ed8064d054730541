// Where the readout's parts go, worked out before anything is drawn: for
// the wide readout (in points) each piece's box, its traces' boxes and its
// lines of text; for the compact readout in a square slot (in pixels) the
// traces' boxes and line width, the digits' size and baseline, the router's
// dot and the badge. A value computed from the layout or readout and the
// slot, with text measured by the renderer's fonts; both render paths draw
// from it. Main thread, like the fonts it measures with.
#pragma once

#include <QFont>
#include <QPointF>
#include <QRectF>
#include <optional>
#include <vector>

#include "nerivane/core/CompactReadout.h"
#include "nerivane/core/MenuBarLayout.h"

namespace nerivane {

class ReadoutFonts;

struct ReadoutGeometry {
    // The panel's thickness the wide layout is drawn for, in points.
    static constexpr double barHeight = 24;
    // Room between adjacent pieces, in points.
    static constexpr double gap = 4;
    static constexpr double traceWidth = 28;
    static constexpr double markWidth = 6;
    // The smallest square slot that holds target both's two values stacked.
    static constexpr int stackedSide = 32;

    // A line of text centred in a box: the box's left edge and width, the line's top.
    struct Line {
        double left = 0;
        double top = 0;
        double width = 0;
        bool operator==(const Line&) const = default;
    };

    // One piece of the wide readout.
    struct Piece {
        double x = 0;
        double width = 0;
        // A trace: [0]; two traces: the router's [0] above the internet's [1].
        QRectF traces[2];
        // Stacked: the caption [0] above the value [1]; a pair: its two rows.
        Line lines[2];
    };

    struct Wide {
        std::vector<Piece> pieces;
        // The pieces and the gaps between them, rounded up, at least 1.
        double width = 1;
    };

    struct Circle {
        QPointF centre;
        double radius = 0;
        bool operator==(const Circle&) const = default;
    };

    // The compact badge in the top right corner: a disc on a cleared ring.
    struct Badge {
        double diameter = 0;
        Circle disc;
    };

    // A row of compact digits; no font for none. The font is a copy (an
    // implicitly shared handle), so the geometry outlives the fonts' cache.
    struct Digits {
        std::optional<QFont> font;
        Line line;
    };

    // The share of a compact slot's height the digits take beside a trace.
    static constexpr double traceDigitsShare = 0.75;

    struct Compact {
        // No digits: the trace stands alone.
        bool traceOnly = false;
        // Target both's two rows of digits, where both stay legible.
        bool stacked = false;
        // The traces' boxes, only where there is a trace: the internet's (or
        // the router target's) fills the slot, or lies under the router's.
        bool traced = false;
        QRectF trace;
        std::optional<QRectF> routerTrace;
        double traceLine = 1;
        // Bottom-aligned digits; stacked, the router's row above, left of the badge.
        Digits digits;
        Digits routerDigits;
        // The router's state beside a lone value, in the top left corner; pen is its stroke.
        std::optional<Circle> dot;
        double dotPen = 1;
        Badge badge;
    };

    static Wide wide(const MenuBarLayout& layout, ReadoutFonts& fonts);
    static Compact compact(const CompactReadout& readout, int side, ReadoutFonts& fonts);
    static Badge badge(double side);
};

}  // namespace nerivane
