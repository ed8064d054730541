// The report command of nerivane-history: the HTML report of a window of
// history, to a file or to standard output.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "NerivaneKit/history/HistoryStore.h"

namespace nerivane::HistoryTool {

// --range day|week|month|all, the window's end (Unix seconds), --out FILE.
// open gives the store once the words are known to be right. Returns the
// exit status: 0 written, 1 the file could not be written, 2 a usage error
// (told on standard error). Throws what open and the reads throw.
int report(const std::function<HistoryStore()>& open, const std::optional<std::string>& range, double end,
           const std::optional<std::string>& out);

}  // namespace nerivane::HistoryTool
