// The words for latency under load: throughput ("12 Mbit/s"), the popup's
// "Under load" card ("Upload", "+480 ms", "Queue beyond the router", "during
// an upload at 12 Mbit/s, 4 minutes ago"), one direction's grade and figures
// and the terminal readout's load row. Pure functions; any thread.
#pragma once

#include <QString>

#include "NerivaneKit/load/LoadSnapshot.h"
#include "nerivane/core/VerdictTexts.h"

namespace nerivane::LoadTexts {

// "Upload", "Download".
QString directionName(LoadDirection direction);
// "A+" .. "F", as stored.
QString gradeText(LoadGrade grade);
// The grade's meaning in words: "A+: no added delay" .. "F: unusable while busy".
QString gradeMeaning(LoadGrade grade);
// The internet's added round trip with a sign: "+480 ms", "+4.2 ms", "+0.0 ms".
QString addedText(double milliseconds);
// "Queue beyond the router", "Queue on this side of the router", "Where the queue is not yet known".
QString queueText(QueuePlace place);
// "850 kbit/s", "12 Mbit/s", "1.2 Gbit/s".
QString rateText(double bitsPerSecond);
// "just now", "1 minute ago", "4 minutes ago", "3 hours ago", else the time ("Jan 5, 3:05 PM").
QString agoText(double date, const VerdictTexts::Context& context);
// When the direction was last busy and how fast: "during an upload at
// 12 Mbit/s, 4 minutes ago"; empty while it never was.
QString lastSeenText(const DirectionLoad& load, LoadDirection direction, const VerdictTexts::Context& context);
// One direction for a screen reader: "Upload: grade F, 480 milliseconds
// added, queue beyond the router, during an upload at 12 Mbit/s, 4 minutes ago".
QString spokenDirection(const DirectionLoad& load, LoadDirection direction, const VerdictTexts::Context& context);
// Whether the snapshot has a grade in either direction (the card shows then).
bool hasGrade(const LoadSnapshot& load);
// "upload F +480 ms (20 ms idle, 500 ms busy), queue beyond the router, busy at 14:02"
// or "upload not graded yet".
QString directionText(LoadDirection direction, const DirectionLoad& load, const VerdictTexts::Context& context);
// What the rates are measured against while the link is not idle: "capacity
// 20 Mbit/s / 1.2 Mbit/s" from history, "highest seen 3 Mbit/s / 1 Mbit/s"
// while history has no figure (mixed per direction); empty while idle.
QString capacityText(const LoadSnapshot& load);
// "eth0 up 20 Mbit/s down 480 kbit/s (capacity 20 Mbit/s / 1.2 Mbit/s); upload ...; download ...",
// without the parenthesis while the link is idle.
QString rowText(const LoadSnapshot& load, const VerdictTexts::Context& context);

}  // namespace nerivane::LoadTexts
