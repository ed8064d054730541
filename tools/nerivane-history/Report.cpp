#include "tools/nerivane-history/Report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "NerivaneKit/history/HistoryReport.h"
#include "NerivaneKit/history/HistoryReportPage.h"

namespace nerivane::HistoryTool {

int report(const std::function<HistoryStore()>& open, const std::optional<std::string>& range, double end,
           const std::optional<std::string>& out) {
    const auto span = range ? HistoryReport::parseSpan(*range) : std::nullopt;
    if (!span) {
        std::cerr << "nerivane-history: report needs --range day|week|month|all\n(see nerivane-history --help)\n";
        return 2;
    }
    if (out && out->empty()) {
        std::cerr << "nerivane-history: --out needs a file name\n(see nerivane-history --help)\n";
        return 2;
    }
    const HistoryStore store = open();
    HistoryReportPage::Facts facts;
    facts.version = NERIVANE_VERSION;
    facts.zoneName = HistoryReportPage::localZoneName();
    const std::string page = HistoryReportPage::html(HistoryReport::read(store, *span, end), facts);
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
        std::cerr << "nerivane-history: cannot write " << *out << ": " << reason << "\n";
        return 1;
    }
    return 0;
}

}  // namespace nerivane::HistoryTool
