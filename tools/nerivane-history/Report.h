// The report command of nerivane-history: the HTML report of a window of
// history, to a file or to standard output.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "NerivaneKit/history/HistoryReport.h"
#include "NerivaneKit/history/HistoryQueries.h"

namespace nerivane::HistoryTool {

// The span's report ending at end (Unix seconds), to out or to standard
// output; open gives the queries. Returns the exit status: 0 written, 1 when
// the file could not be written (told on standard error). Throws what open
// and the reads throw.
int report(const std::function<HistoryQueries()>& open, HistoryReport::Span span, double end,
           const std::optional<std::string>& out);

}  // namespace nerivane::HistoryTool
