// The fonts of the menu-bar readout and their measures: the wide readout's
// caption, value and pair fonts, the compact digits' font at any size, and
// the advances, text widths and digit sizes taken from them, each measured
// once and kept. Owned by the renderer; main thread only, unsynchronised.
#pragma once

#include <QFont>
#include <QImage>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>

namespace nerivane {

class ReadoutFonts {
public:
    enum class Role { caption, value, pair };

    // Compact digits at the largest size that fits a box, and that size's ascent.
    struct DigitSize {
        QFont font;
        double ascent = 0;
    };

    // Fonts are sized in points of 1/72 inch; at 72 dots per inch a point is
    // one pixel at scale 1, as on the panel. Glyph cells are made at this density.
    static constexpr int dotsPerMeterAt72 = 2835;
    // A device at that density, for measuring.
    static const QImage& metricsDevice();

    const QFont& font(Role role);
    // Bold and a little condensed, so that three characters fit a narrow slot.
    static QFont digitsFont(double size);
    // The advance of a digit: the fonts are monospaced.
    double advance(const QFont& font);
    // In points, rounded up.
    double textWidth(const QFont& font, const std::string& text);
    // The wide readout's box widths, in points: a stacked caption and value, a pair's row.
    double stackedWidth();
    double pairWidth();
    // The largest size (points are pixels here) whose count characters fit
    // the width, below three quarters of the height.
    const DigitSize& digitSize(std::size_t count, double width, double height);

private:
    std::optional<QFont> fonts_[3];
    std::unordered_map<double, double> advances_;
    std::map<std::pair<double, std::string>, double> textWidths_;
    std::optional<double> stackedWidth_;
    std::optional<double> pairWidth_;
    std::map<std::tuple<std::size_t, double, double>, DigitSize> digitSizes_;
};

}  // namespace nerivane
