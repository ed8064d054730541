// The popup's colours from the desktop palette: the five accents, the
// secondary ink, the warning orange, the failure red and the grades' green,
// each chosen for a light or a dark palette, and the colour of a target's
// state or of a grade. Pure functions; main thread (they read QPalette
// values only).
#pragma once

#include <QColor>
#include <QPalette>

#include "NerivaneKit/analysis/TargetState.h"
#include "NerivaneKit/load/LoadGrade.h"
#include "nerivane/core/Accent.h"

namespace nerivane::CardColors {

// Dark when the window text is lighter than the window.
bool isDark(const QPalette& palette);
// "system" follows the palette's highlight; the others have a light-palette
// and a dark-palette shade that both keep their contrast.
QColor accent(Accent accent, const QPalette& palette);
QColor secondary(const QPalette& palette);
QColor orange(const QPalette& palette);
QColor red(const QPalette& palette);
// The line of the index-th host of a card (1 on; the first takes its
// state's colour): hues from the Okabe-Ito set, apart for any colour vision
// and from the accents, each 3:1 on the card.
QColor hostColour(std::size_t index, const QPalette& palette);
// A card's fill, a little off the window colour.
QColor cardFill(const QPalette& palette);
// ok: the accent; measuring: secondary; bad: orange; down: red.
QColor state(TargetState::Kind kind, const QColor& accent, const QPalette& palette);
// A grade of latency under load: A+ and A green, B and C orange, D and F red.
QColor grade(LoadGrade grade, const QPalette& palette);
// a blended towards b by the fraction t.
QColor mix(const QColor& a, const QColor& b, double t);
// The contrast ratio of two opaque colours, 1 to 21, by relative luminance.
double contrast(const QColor& a, const QColor& b);
// colour, or the nearest shade of it (towards black or white, away from
// ground) that stands out from ground by ratio: 4.5 for text, 3 for
// large text and graphics. A desktop palette or an accent can be too faint.
QColor legible(const QColor& colour, const QColor& ground, double ratio = 4.5);
// Text in the secondary ink, legible on a card and on the window.
QColor secondaryText(const QPalette& palette);

}  // namespace nerivane::CardColors
