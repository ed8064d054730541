// Draws the menu-bar readout: the wide layout (traces, stacked or paired
// texts, the mark) into a bitmap as tall as a panel, and the compact readout
// (large latency digits, a corner badge, a faint trace) into a square tray
// slot; and says the state in words for screen readers. Text comes from a
// cache of glyph cells rasterised once per size, alpha and character and
// copied with a lighten composite; traces are stroked every render, the mark
// and the compact badge are stroked once per ink and laid from then on.
// Owned by the status item controller (or the console's snapshot writer);
// main thread only, its caches are unsynchronised.
#pragma once

#include <QColor>
#include <QColorSpace>
#include <QFont>
#include <QImage>
#include <QString>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "nerivane/core/MenuBarLayout.h"
#include "nerivane/ui/menubar/CompactReadout.h"
#include "nerivane/ui/menubar/TrayAppearance.h"

namespace nerivane {

class AppModel;

class MenuBarRenderer {
public:
    // The panel's thickness the wide layout is drawn for, in points.
    static constexpr double barHeight = 24;
    // Room between adjacent pieces, in points.
    static constexpr double gap = 4;
    static constexpr double traceWidth = 28;
    static constexpr double markWidth = 6;
    // The smallest square slot that holds target both's two values stacked.
    static constexpr int stackedSide = 32;

    // The colours of one appearance, scale and dim state.
    struct Ink {
        QString key;
        QColor text;
        QColor caption;
        QColor baseline;
        QColor secondary;
        QColor mark;
    };

    struct GlyphKey {
        double fontSize = 0;
        int alpha = 0;
        char32_t character = 0;
        bool operator==(const GlyphKey&) const = default;
    };

    // A half-open pixel range.
    struct Range {
        int begin = 0;
        int end = 0;
        bool isEmpty() const { return end <= begin; }
        bool operator==(const Range&) const = default;
    };

    struct GlyphCell {
        QImage pixels;  // premultiplied ARGB
        Range columns;  // the columns and rows that hold ink; empty without ink
        Range rows;
    };

    // Strokes that do not change between renders (the mark, the compact
    // badge), drawn once over a clear canvas and laid over later canvases
    // with the raster engine's own arithmetic: keep is how much of each pixel
    // beneath survives the layer's clearing (empty: all of it), then the
    // pixels go over what is left.
    struct Layer {
        QPoint origin;
        QImage pixels;  // premultiplied ARGB
        std::vector<uchar> keep;
    };

    MenuBarRenderer();
    ~MenuBarRenderer();
    MenuBarRenderer(const MenuBarRenderer&) = delete;
    MenuBarRenderer& operator=(const MenuBarRenderer&) = delete;

    static MenuBarLayout layout(AppModel& model);

    // The wide readout at the backing scale; none when no canvas could be
    // made. The image shares its buffer with one of two canvases used in
    // turn: it stays intact through the next render, not the one after.
    std::optional<QImage> render(const MenuBarLayout& layout, const TrayAppearance& appearance, double scale,
                                 const QColorSpace& colorSpace = QColorSpace(QColorSpace::SRgb));

    // The compact readout in a square of side pixels (device pixels at ratio
    // scale); a new image every time.
    QImage renderCompact(const CompactReadout& readout, const TrayAppearance& appearance, int side, double scale = 1);

    // Box widths in points, computed once from the fonts.
    double stackedWidth();
    double pairWidth();
    // Sum of the pieces' widths and gaps, rounded up, at least 1.
    double width(const MenuBarLayout& layout);

    // "Paused until 3:05 PM." or "Good. Internet 12 milliseconds, jitter 1.2, loss 0 percent. Router 0.4 milliseconds."
    static QString accessibilityLabel(AppModel& model);

    // For tests: the ink last resolved and the glyph cells held.
    const Ink& ink() const { return ink_; }
    std::size_t glyphCount() const { return glyphs_.size(); }

private:
    struct GlyphKeyHash {
        std::size_t operator()(const GlyphKey& key) const noexcept;
    };
    struct Canvas;
    enum class FontRole { caption, value, pair };

    const Ink& resolveInk(const TrayAppearance& appearance, double scale, bool dimmed);
    const QFont& font(FontRole role);
    QFont digitsFont(double size) const;
    double advance(const QFont& font);
    double textWidth(const QFont& font, const std::string& text);
    const GlyphCell& glyph(const QFont& font, const QColor& color, char32_t character, double scale);
    const Layer& markLayer(MenuBarLayout::Mark mark, double x, double scale);
    const std::optional<Layer>& badgeLayer(MenuBarLayout::Mark mark, int side);
    void drawText(QImage& canvas, const QFont& font, const QColor& color, const std::string& text, double x,
                  double top, double boxWidth, double scale);

    QColorSpace colorSpace_{QColorSpace::SRgb};
    std::vector<std::shared_ptr<Canvas>> pool_;
    std::size_t canvasIndex_ = 0;
    Ink ink_;
    std::unordered_map<GlyphKey, GlyphCell, GlyphKeyHash> glyphs_;
    // Layers hold colour, like the cells. A mark per place and scale; a badge
    // per side, none where it cannot be laid exactly (then it is painted).
    std::map<std::tuple<MenuBarLayout::Mark, double, double>, Layer> marks_;
    std::map<std::pair<MenuBarLayout::Mark, int>, std::optional<Layer>> badges_;
    std::unordered_map<double, double> advances_;
    std::map<std::pair<double, std::string>, double> textWidths_;
    std::optional<double> stackedWidth_;
    std::optional<double> pairWidth_;
    // The three fonts of the wide readout, made once.
    std::optional<QFont> fonts_[3];
    // Compact digits: the largest font that fits and its ascent, per text length and box.
    struct DigitSize {
        QFont font;
        double ascent = 0;
    };
    const DigitSize& digitSize(std::size_t count, double width, double height);
    std::map<std::tuple<std::size_t, double, double>, DigitSize> compactSizes_;
};

}  // namespace nerivane
