#include "tools/nerivane-history/Report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "NerivaneKit/history/HistoryReport.h"
#include "NerivaneKit/history/HistoryReportPage.h"
#include "NerivaneKit/text/CommandHelp.h"

namespace nerivane::HistoryTool {

int report(const std::function<HistoryQueries()>& open, HistoryReport::Span span, double end,
           const std::optional<std::string>& out) {
    const HistoryQueries queries = open();
    HistoryReportPage::Facts facts;
    facts.version = NERIVANE_VERSION;
    facts.zoneName = HistoryReportPage::localZoneName();
    const std::string page = HistoryReportPage::html(HistoryReport::read(queries, span, dateFromUnixSeconds(end)), facts);
    if (!out) {
        std::cout << page;
        return 0;
    }
    // Whole or not at all: written beside the target, then renamed over it.
    const std::string temporary = *out + ".part";
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file << page;
    file.close();
    std::error_code error;
    if (file) std::filesystem::rename(temporary, *out, error);
    if (!file || error) {
        const std::string reason = error ? error.message() : std::strerror(errno);
        std::filesystem::remove(temporary, error);
        std::cerr << CommandHelp::errorLine("nerivane-history", "cannot write " + *out + ": " + reason);
        return 1;
    }
    return 0;
}

}  // namespace nerivane::HistoryTool
