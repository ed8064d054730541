// The words for name lookups' health: the DNS row of the internet card and
// the terminal readout ("192.0.2.53 · 12 ms · no failures"), and the health's
// own word. Pure functions; any thread.
#pragma once

#include <QString>
#include <optional>

#include "NerivaneKit/lookup/LookupSnapshot.h"

namespace nerivane::LookupTexts {

// The named server (and how many more), its median lookup time over five
// minutes and the failures of every server in the last minute; how long ago
// it last answered instead when its latest probe failed; a chosen probe name
// that does not exist instead of the failures.
QString rowText(const LookupSnapshot& lookups);
// "last answer 40 s ago", "last answer 2 min ago", "no answer yet".
QString lastAnswerText(std::optional<double> age);
// "Checking", "Fine", "Slow", "Failing".
QString healthText(LookupSnapshot::Health health);

}  // namespace nerivane::LookupTexts
