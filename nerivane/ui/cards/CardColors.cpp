#include "nerivane/ui/cards/CardColors.h"

#include <algorithm>
#include <cmath>

namespace nerivane::CardColors {

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::WindowText).lightness() > palette.color(QPalette::Window).lightness();
}

QColor mix(const QColor& a, const QColor& b, double t) {
    const auto blend = [t](double x, double y) { return x + (y - x) * t; };
    return QColor::fromRgbF(static_cast<float>(blend(a.redF(), b.redF())), static_cast<float>(blend(a.greenF(), b.greenF())),
                            static_cast<float>(blend(a.blueF(), b.blueF())), static_cast<float>(blend(a.alphaF(), b.alphaF())));
}

double contrast(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& c) {
        const auto linear = [](float v) { return v <= 0.04045f ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const double x = luminance(a), y = luminance(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

QColor legible(const QColor& colour, const QColor& ground, double ratio) {
    // A little above the ratio: antialiased strokes rarely reach the full ink.
    ratio *= 1.05;
    if (contrast(colour, ground) >= ratio) return colour;
    // Away from the ground: darker on a light one, lighter on a dark one.
    const QColor end = contrast(Qt::black, ground) >= contrast(Qt::white, ground) ? QColor(Qt::black) : QColor(Qt::white);
    for (int step = 1; step <= 20; ++step) {
        const QColor shade = mix(colour, end, step / 20.0);
        if (contrast(shade, ground) >= ratio) return shade;
    }
    return end;
}

QColor secondaryText(const QPalette& palette) { return legible(secondary(palette), cardFill(palette)); }

QColor accent(Accent accent, const QPalette& palette) {
    const bool dark = isDark(palette);
    switch (accent) {
    case Accent::phosphor: return dark ? QColor(0x4a, 0xde, 0x80) : QColor(0x18, 0x8a, 0x48);
    case Accent::cyan: return dark ? QColor(0x3c, 0xd4, 0xee) : QColor(0x0b, 0x7f, 0x99);
    case Accent::magenta: return dark ? QColor(0xf0, 0x6e, 0xd8) : QColor(0xb0, 0x24, 0x96);
    case Accent::amber: return dark ? QColor(0xf6, 0xc0, 0x3a) : QColor(0x9a, 0x62, 0x0a);
    case Accent::system: return palette.color(QPalette::Highlight);
    }
    return palette.color(QPalette::Highlight);
}

QColor secondary(const QPalette& palette) {
    // Subdued, yet 4.5:1 on a card (a shade off the window) in both palettes.
    return mix(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.3);
}

QColor orange(const QPalette& palette) { return isDark(palette) ? QColor(0xff, 0xa2, 0x4a) : QColor(0xc8, 0x5a, 0x00); }

QColor red(const QPalette& palette) { return isDark(palette) ? QColor(0xff, 0x6b, 0x6b) : QColor(0xc6, 0x28, 0x28); }

QColor grade(LoadGrade grade, const QPalette& palette) {
    switch (grade) {
    case LoadGrade::aPlus:
    case LoadGrade::a: return isDark(palette) ? QColor(0x4a, 0xde, 0x80) : QColor(0x18, 0x8a, 0x48);
    case LoadGrade::b:
    case LoadGrade::c: return orange(palette);
    case LoadGrade::d:
    case LoadGrade::f: return red(palette);
    }
    return secondary(palette);
}

QColor hostColour(std::size_t index, const QPalette& palette) {
    // Blue, reddish purple, sky blue, vermillion; the dark palette takes the lighter of each pair.
    static const QColor light[] = {QColor(0x00, 0x72, 0xb2), QColor(0xcc, 0x79, 0xa7), QColor(0x56, 0xb4, 0xe9), QColor(0xd5, 0x5e, 0x00)};
    static const QColor dark[] = {QColor(0x56, 0xb4, 0xe9), QColor(0xcc, 0x79, 0xa7), QColor(0x00, 0x9e, 0xe0), QColor(0xe6, 0x9f, 0x00)};
    const std::size_t slot = (index == 0 ? 0 : index - 1) % std::size(light);
    const QColor colour = isDark(palette) ? dark[slot] : light[slot];
    return legible(legible(colour, palette.color(QPalette::Window), 3), cardFill(palette), 3);
}

QColor cardFill(const QPalette& palette) {
    return mix(palette.color(QPalette::Window), palette.color(QPalette::WindowText), isDark(palette) ? 0.07 : 0.045);
}

QColor state(TargetState::Kind kind, const QColor& accentColour, const QPalette& palette) {
    switch (kind) {
    case TargetState::Kind::ok: return accentColour;
    case TargetState::Kind::measuring: return secondary(palette);
    case TargetState::Kind::bad: return orange(palette);
    case TargetState::Kind::down: return red(palette);
    }
    return secondary(palette);
}

}  // namespace nerivane::CardColors
