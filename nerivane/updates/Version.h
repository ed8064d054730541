// Release versions compared the way people number them: part by part, each
// part as a number, so 1.10 is newer than 1.9 and 1.2 equals 1.2.0. Pure.
#pragma once

#include <QStringView>

namespace nerivane::Version {

// Negative, zero or positive as a is older than, the same as or newer than b.
// A part's leading digits are its number (none: 0); a missing part counts 0.
int compare(QStringView a, QStringView b);

}  // namespace nerivane::Version
