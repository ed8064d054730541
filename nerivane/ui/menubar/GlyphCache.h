// The readout's text as pixels: a cell per font size, alpha and character,
// rasterised once and copied onto a canvas with a lighten composite (the
// larger of each byte), which is exact over a clear canvas and keeps
// strokes drawn before. Holds colour: cleared when the ink changes. Owned
// by the renderer; main thread only, unsynchronised.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <string>
#include <unordered_map>

namespace nerivane {

class ReadoutFonts;

class GlyphCache {
public:
    // A half-open pixel range.
    struct Range {
        int begin = 0;
        int end = 0;
        bool isEmpty() const { return end <= begin; }
        bool operator==(const Range&) const = default;
    };

    struct Cell {
        QImage pixels;  // premultiplied ARGB
        Range columns;  // the columns and rows that hold ink; empty without ink
        Range rows;
    };

    // The characters of text, one advance apart, centred in the box that
    // starts at left and is width wide; their line's top at top. Points,
    // drawn at scale; the canvas must own its buffer (no copy is made).
    void draw(QImage& canvas, ReadoutFonts& fonts, const QFont& font, const QColor& color, const std::string& text,
              double left, double top, double width, double scale);

    void clear() { cells_.clear(); }

private:
    struct Key {
        double fontSize = 0;
        int alpha = 0;
        char32_t character = 0;
        // The state inks share the cache with the panel's ink.
        unsigned rgb = 0;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const noexcept;
    };

    const Cell& cell(ReadoutFonts& fonts, const QFont& font, const QColor& color, char32_t character, double scale);

    std::unordered_map<Key, Cell, KeyHash> cells_;
};

}  // namespace nerivane
