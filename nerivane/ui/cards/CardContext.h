// What every card is drawn with besides the model: the locale, time zone and
// moment of its texts, and the accent colour. A plain value the popup view
// makes on each refresh; main thread.
#pragma once

#include <QColor>

#include "nerivane/core/VerdictTexts.h"

namespace nerivane {

struct CardContext {
    VerdictTexts::Context texts;
    QColor accent;
};

}  // namespace nerivane
