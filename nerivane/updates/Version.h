// Release versions compared the way people number them: part by part, each
// part as a number, so 1.10 is newer than 1.9 and 1.2 equals 1.2.0. A
// pre-release ("1.3-rc1", "1.3beta") comes before its release, so whoever
// runs one is offered the final. Pure.
#pragma once

#include <QStringView>

namespace nerivane::Version {

// Negative, zero or positive as a is older than, the same as or newer than b.
// A part's leading digits are its number (none: 0); a missing part counts 0.
// With equal numbers, text after a part's digits marks a pre-release: older
// than none, and two such tags in natural order (rc9 before rc10).
int compare(QStringView a, QStringView b);

}  // namespace nerivane::Version
