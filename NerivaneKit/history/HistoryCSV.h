// The two CSV layouts of the history export: measurements (one line per target
// and period, plus lines for periods without measurements and for gaps) and
// events. Pure text builders; the history service runs them on its queue
// after a forced flush. Numbers are formatted the POSIX way whatever the
// process locale, timestamps in the queries' time zone.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "NerivaneKit/analysis/NetworkEvent.h"
#include "NerivaneKit/history/AggregateRow.h"
#include "NerivaneKit/history/HistoryQueries.h"
#include "NerivaneKit/history/PeriodRow.h"
#include "NerivaneKit/history/TimeZone.h"

namespace nerivane::HistoryCSV {

inline constexpr std::string_view measurementsHeader =
    "start,period_s,state,target,address,protocol,sent,lost,late,loss_pct,median_ms,p95_ms,jitter_ms,rssi_dbm,"
    "dns_median_ms,dns_failures,sent_bytes,received_bytes,busy_upload_median_ms,busy_download_median_ms";
inline constexpr std::string_view eventsHeader = "start,end,duration_s,type,target,address,worst_rtt_ms";

// Takes the text piece by piece, in order.
using Sink = std::function<void(std::string_view piece)>;

// Quotes a text holding a comma, a double quote, a carriage return or a line
// feed (doubling its quotes); any other text is returned unchanged.
std::string escape(std::string_view text);
// value with a fixed number of decimals and "." as separator, like "%.3f" in the C locale.
std::string fixed(double value, int decimals);

// The measurements text for [from, end): rows read from the window and one
// line per gap where nothing is stored, its length as period_s; before
// `boundary` (a whole hour) the window starts at an hour.
// The aggregate rows in any order; lines of one period are written by role
// order and address.
void measurements(const std::vector<PeriodRow>& periods, const std::vector<AggregateRow>& aggregates, Date from,
                  Date end, std::int64_t boundary, const TimeZone& zone, const Sink& write);
std::string measurements(const std::vector<PeriodRow>& periods, const std::vector<AggregateRow>& aggregates,
                         Date from, Date end, std::int64_t boundary, const TimeZone& zone);
std::string events(const std::vector<NetworkEvent>& events, const TimeZone& zone);

// Reads the history for [from, to) and builds the text; the current minute of
// `now` is never exported. Throws Database::Error.
// The text goes to write in pieces of about 64 KB, so that a long history
// need not be held whole.
void exportAggregates(const HistoryQueries& queries, Date from, Date to, Date now, const Sink& write);
std::string exportAggregates(const HistoryQueries& queries, Date from, Date to, Date now);
std::string exportEvents(const HistoryQueries& queries, Date from, Date to);

}  // namespace nerivane::HistoryCSV
