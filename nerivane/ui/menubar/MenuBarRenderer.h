// Draws the menu-bar readout: the wide layout (traces, stacked or paired
// texts, the mark) into a bitmap as tall as a panel, and the compact readout
// (large latency digits, a corner badge, a faint trace) into a square tray
// slot, each where its geometry puts the parts. Text comes from the glyph
// cache; traces are stroked every render, the mark and the compact badge
// are stroked once per ink and laid from then on. Owned by the status item
// controller (or the console's snapshot writer); main thread only, its
// caches are unsynchronised.
#pragma once

#include <QColor>
#include <QColorSpace>
#include <QImage>
#include <QString>
#include <map>
#include <optional>
#include <tuple>
#include <vector>

#include "nerivane/core/CompactReadout.h"
#include "nerivane/core/MenuBarLayout.h"
#include "nerivane/ui/menubar/GlyphCache.h"
#include "nerivane/ui/menubar/ReadoutFonts.h"
#include "nerivane/ui/menubar/ReadoutGeometry.h"
#include "nerivane/ui/menubar/ReadoutLayer.h"
#include "nerivane/ui/menubar/TrayAppearance.h"

namespace nerivane {

class MenuBarRenderer {
public:
    // The colours of one appearance, scale and dim state.
    struct Ink {
        QString key;
        QColor text;
        QColor caption;
        QColor baseline;
        QColor secondary;
        QColor mark;
    };

    // The wide readout at the backing scale; none when no canvas could be
    // made. The image shares its buffer with one of two canvases used in
    // turn until either is drawn again while the other still holds it: then
    // the canvas takes a new buffer, and the image stays as it is.
    std::optional<QImage> render(const MenuBarLayout& layout, const TrayAppearance& appearance, double scale,
                                 const QColorSpace& colorSpace = QColorSpace(QColorSpace::SRgb));

    // The compact readout in a square of side pixels (device pixels at ratio
    // scale); a new image every time.
    QImage renderCompact(const CompactReadout& readout, const TrayAppearance& appearance, int side, double scale = 1);

    // The fonts and measures the geometry is computed with.
    ReadoutFonts& fonts() { return fonts_; }

private:
    const Ink& resolveInk(const TrayAppearance& appearance, double scale, bool dimmed);
    const ReadoutLayer& markLayer(MenuBarLayout::Mark mark, double x, double scale);
    const std::optional<ReadoutLayer>& badgeLayer(MenuBarLayout::Mark mark, int side);

    QColorSpace colorSpace_{QColorSpace::SRgb};
    // The wide readout's two canvases, used in turn.
    QImage canvases_[2];
    std::size_t canvasIndex_ = 0;
    Ink ink_;
    ReadoutFonts fonts_;
    GlyphCache glyphs_;
    // Layers hold colour, like the cells. A mark per place and scale; a badge
    // per side, none where it cannot be laid exactly (then it is painted).
    std::map<std::tuple<MenuBarLayout::Mark, double, double>, ReadoutLayer> marks_;
    std::map<std::pair<MenuBarLayout::Mark, int>, std::optional<ReadoutLayer>> badges_;
};

}  // namespace nerivane
