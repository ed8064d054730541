// The words for latency under load: throughput ("20.0 Mbit/s"), one
// direction's grade and figures, and the terminal readout's load row. Pure
// functions; any thread.
#pragma once

#include <QString>

#include "NerivaneKit/load/LoadSnapshot.h"
#include "nerivane/core/VerdictTexts.h"

namespace nerivane::LoadTexts {

// "0 kbit/s", "640 kbit/s", "20.0 Mbit/s", "1.2 Gbit/s".
QString rateText(double bitsPerSecond);
// "upload F +480 ms (20 ms idle, 500 ms busy), queue beyond the router, busy at 14:02"
// or "upload not graded yet".
QString directionText(LoadDirection direction, const DirectionLoad& load, const VerdictTexts::Context& context);
// "eth0 up 20.0 Mbit/s down 480 kbit/s (capacity 20.0 Mbit/s / 1.2 Mbit/s); upload ...; download ..."
QString rowText(const LoadSnapshot& load, const VerdictTexts::Context& context);

}  // namespace nerivane::LoadTexts
