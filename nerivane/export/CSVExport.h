// Saving stored history as CSV, below the file dialog: the kinds and ranges
// the events card offers with their menu words, the suggested file name, the
// time window of a range, and producing the text through the history off the
// main thread.
// Stateless; produce() may be called from the main thread, the read runs on
// Qt's global thread pool and blocks there on the history queue.
#pragma once

#include <QDate>
#include <QFuture>
#include <QString>
#include <optional>
#include <string>
#include <utility>

namespace nerivane {

class History;

namespace CSVExport {

enum class Kind { aggregates, events };
enum class Range { hour, day, week, all };

inline constexpr Kind allKinds[] = {Kind::aggregates, Kind::events};
inline constexpr Range allRanges[] = {Range::hour, Range::day, Range::week, Range::all};

// What the events card's export menu hands to the export action. A plain value.
struct Choice {
    Kind kind = Kind::aggregates;
    Range range = Range::hour;
    bool operator==(const Choice&) const = default;
};

// "Measurements", "Events".
QString label(Kind kind);
// "Last Hour", "Last 24 Hours", "Last 7 Days", "Everything".
QString label(Range range);

// The message shown when there is no history or the read failed; nothing is written then.
QString readFailureText();

// "nerivane-measurements-2026-03-14.csv", "nerivane-events-2026-03-14.csv".
QString suggestedFileName(Kind kind, const QDate& today);
// With the local date of today.
QString suggestedFileName(Kind kind);

// [from, now] in Unix seconds; `all` reaches back retentionDays days, or
// without limit when retentionDays is below 1 (nothing is deleted then).
std::pair<double, double> window(Range range, double now, int retentionDays);

// The CSV text for the range, read now on the calling thread (which must not
// be history's queue); none without history or when the read failed, which
// is logged as "history read: ...".
std::optional<std::string> read(History* history, Kind kind, Range range, double now);

// The same on a background thread: the future finishes with the text or none.
// The history must outlive the read.
QFuture<std::optional<std::string>> produce(History* history, Kind kind, Range range, double now);

}  // namespace CSVExport
}  // namespace nerivane
