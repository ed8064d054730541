// The words the user reads about the monitor's state: a verdict's title and
// its one-sentence explanation, the summary of a problem, and the formats of
// percentages, milliseconds, durations and times of day. Pure functions used
// by the notifier, the popover, the status item and the console readout; any thread.
#pragma once

#include <QLocale>
#include <QString>
#include <QStringList>
#include <QTimeZone>
#include <optional>
#include <string>
#include <vector>

#include "NerivaneKit/analysis/MonitorSnapshot.h"
#include "NerivaneKit/analysis/ProblemSummary.h"
#include "NerivaneKit/analysis/Verdict.h"

namespace nerivane::VerdictTexts {

// The locale, time zone and present moment the texts are written for.
struct Context {
    QLocale locale;
    QTimeZone zone;
    // Unix seconds; decides whether a time lies today.
    double now = 0;
    // The user's group, which the fix for a refused ping names.
    unsigned groupID = 0;
    // Times of day with their seconds, for a line that logs (the console's).
    bool withSeconds = false;

    // The user's locale and time zone, now.
    static Context current();
};

// "Good", "Internet down", ...
QString verdictTitle(Verdict verdict);
// The verdict's title, or "Ping not permitted" when that is why the internet
// cannot be measured.
QString verdictTitle(const MonitorSnapshot& snapshot);

// The sentence under the title. offlineSince (Unix seconds) is when the
// network went away, for the offline verdict.
QString verdictExplanation(const MonitorSnapshot& snapshot, std::optional<double> offlineSince,
                           const Context& context = Context::current());

// "No reply from the internet for 3 s.": every internet host silent since
// the date (Unix seconds), before an outage could be told.
QString silenceText(double since, const Context& context = Context::current());

// The explanation of the two name-lookup verdicts: the server named, what
// it does wrong, and what to do.
QString lookupExplanation(const MonitorSnapshot& snapshot, const Context& context = Context::current());

// The explanation of slowWhileBusy: the busy direction, the idle and busy
// round trips, and the cure that fits where the queue is.
QString loadExplanation(const MonitorSnapshot& snapshot);

// "4.2% loss to 1.1.1.1 and 8.8.8.8", "slow replies from the router (p95 240 ms)",
// "12 ms jitter to 8.8.8.8".
QString summaryText(ProblemSummary::Kind kind, double value, const std::vector<std::string>& hosts,
                    const Context& context = Context::current());
QString summaryText(const ProblemSummary& summary, const Context& context = Context::current());

// The hosts as one "and" list in the locale's words ("a and b", "a, b, and c").
QString andList(const QStringList& items, const Context& context = Context::current());

// "0%", "4.2%" below 9.95, then whole percent ("10%").
QString percentText(double percent);
// The menu-bar latency text spaced for reading: "12 ms", "1.2 s", "—".
QString millisecondsText(std::optional<double> milliseconds);
// For screen readers: "12 milliseconds", "no value".
QString spokenMilliseconds(std::optional<double> milliseconds, const Context& context = Context::current());
// The readout for screen readers: "Paused until 3:05 PM." while paused,
// else the verdict's title, the internet's latency, jitter and loss, and the
// router's latency where ping measures it: "Good. Internet 12 milliseconds,
// jitter 1.2, loss 0 percent. Router 0.4 milliseconds."
QString spokenReadout(const MonitorSnapshot& snapshot, std::optional<double> pausedUntil,
                      const Context& context = Context::current());
// Rounded to whole seconds, at least 1; the two leading units of hours,
// minutes and seconds with zero units left out: "1 h 5 min", "2 min 5 s", "42 s".
QString durationText(double seconds, const Context& context = Context::current());
// A date (Unix seconds) of today as its time alone ("3:05 PM", with
// seconds "3:05:12 PM"); any other date with abbreviated month and day as
// well ("Jan 5, 3:05 PM").
QString timeText(double date, const Context& context = Context::current());

}  // namespace nerivane::VerdictTexts
