// The report as one self-contained HTML page: inline style sheet (screen,
// dark scheme, print on one to three A4 or Letter pages for a week) and
// inline SVG pictures, no script, and no address but the homepage's as text,
// so that it opens offline and fetches nothing. Its words are the popup's.
// Pure text building over HistoryReport's figures; any thread.
#pragma once

#include <optional>
#include <string>

#include "NerivaneKit/history/HistoryReport.h"
#include "NerivaneKit/path/NetworkPath.h"

namespace nerivane::HistoryReportPage {

// What the history file does not hold; the application knows it, the
// command-line tool mostly does not.
struct Facts {
    // The path's interface kind; none when unknown (the command-line tool).
    std::optional<NetworkPath::Kind> connection;
    std::string version;
    // The time zone's name ("Europe/Berlin"); the offset is always shown.
    std::optional<std::string> zoneName;
    // Only when the user asked for it: nothing private beyond the CSV's.
    std::optional<std::string> wifiName;
    bool operator==(const Facts&) const = default;
};

// Shown, as text only.
inline constexpr const char* homepage = "nerivane.org";
// Incidents listed at most; the rest are counted and left to the events export.
inline constexpr std::size_t listedIncidents = 30;

// "Over the last 7 days the internet was down 4 times for 23 minutes in all;
// latency was good 96 % of the time; uploads added 480 ms (grade F)."
std::string summary(const HistoryReport::Figures& figures);

std::string html(const HistoryReport::Figures& figures, const Facts& facts);

// The local zone's name from TZ or /etc/localtime; none when unknown.
std::optional<std::string> localZoneName();

}  // namespace nerivane::HistoryReportPage
