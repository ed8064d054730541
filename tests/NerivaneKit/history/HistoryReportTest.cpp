#include "NerivaneKit/history/HistoryReport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <iomanip>
#include <set>
#include <sstream>

#include "NerivaneKit/history/HistoryCSV.h"
#include "NerivaneKit/history/HistoryReportPage.h"
#include "NerivaneKit/statistics/Statistics.h"
#include "support/HistoryTestSupport.h"

namespace nerivane {
namespace {

std::vector<std::string> fields(const std::string& line) {
    // The generated custom host's name is quoted ("nas, ""the"" box"); the columns read here come before or after it whole.
    std::vector<std::string> out;
    std::string field;
    bool quoted = false;
    for (char c : line) {
        if (c == '"') quoted = !quoted;
        else if (c == ',' && !quoted) out.push_back(std::exchange(field, {}));
        else field += c;
    }
    out.push_back(field);
    return out;
}

std::vector<std::vector<std::string>> rows(const std::string& csv) {
    std::vector<std::vector<std::string>> out;
    std::istringstream lines(csv);
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) out.push_back(fields(line));
    return out;
}

// "2026-03-14T13:00:00+01:00" in Unix seconds.
std::int64_t unixTime(const std::string& text) {
    std::tm parts{};
    std::istringstream(text) >> std::get_time(&parts, "%Y-%m-%dT%H:%M:%S");
    const int offset = text.size() > 19 && text[19] != 'Z' ? std::stoi(text.substr(20, 2)) * 3600 + std::stoi(text.substr(23, 2)) * 60 : 0;
    return static_cast<std::int64_t>(timegm(&parts)) - (text.size() > 19 && text[19] == '-' ? -offset : offset);
}

std::optional<double> nearestRank(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return Statistics::percentile(values, fraction);
}

// A 30-day history through the real write path, with internet outages
// written into it: the figures of its week and month reports must be the
// ones its CSV export holds.
TEST(HistoryReport, FiguresOfAThirtyDayHistoryAgreeWithItsExport) {
    HistoryWriter store(std::make_shared<Database>(":memory:"), TimeZone::fixed(3600));
    store.prepareSchema();
    const double end = generateHistory(store, noon, 30 * 1440);
    // Internet outages in the last week: 1.1.1.1 and its IPv6 partner lost
    // every probe for 7, 12 and 20 minutes, and said so as events.
    const Target ipv6{TargetRole::internetIPv6(), "1.1.1.1", *ProbeAddress::parse("2606:4700:4700::1111")};
    for (const auto& [day, minutes] : {std::pair{24, 7}, {26, 12}, {28, 20}}) {
        const double at = noon + day * 86400.0 + 3 * 3600 + 7;
        store.addEvent(outage(cloudflare(), at, at + minutes * 60));
        store.addEvent(outage(ipv6, at + 1, at + minutes * 60 + 2));
        store.database().run("UPDATE aggregates SET lost = sent, median = NULL, p95 = NULL, jitter = NULL WHERE role IN "
                      "('internet[0]', 'internet-ipv6') AND start >= ? AND start < ?",
                      {Database::Value::real(at - 7), Database::Value::real(at - 7 + minutes * 60)});
    }
    store.flush(unixDate(end), unixDate(end), true);

    for (const auto span : {HistoryReport::Span::week, HistoryReport::Span::month}) {
        SCOPED_TRACE(std::string(HistoryReport::text(span)));
        const HistoryReport::Figures figures = HistoryReport::read(store.queries(), span, unixDate(end + 30));
        ASSERT_EQ(figures.to, end);
        ASSERT_EQ(figures.days.size(), span == HistoryReport::Span::week ? 8u : 31u) << "local days, cut to the window";
        const auto measurements = rows(HistoryCSV::exportAggregates(store.queries(), unixDate(figures.from), unixDate(figures.to), unixDate(figures.to)));
        const auto events = rows(HistoryCSV::exportEvents(store.queries(), unixDate(figures.from), unixDate(figures.to)));

        // States and reach per period, as the export's lines tell them.
        HistoryReport::StateSeconds states;
        HistoryReport::Reach reach;
        std::map<std::string, std::tuple<std::int64_t, bool, bool, bool>> internet;
        std::set<std::string> periods;
        std::vector<double> medians, p95s;
        for (const auto& line : measurements) {
            const std::int64_t seconds = std::stoll(line[1]);
            if (periods.insert(line[0]).second) states[*parseMinuteState(line[2])] += seconds;
            const bool isInternet = line[4] == "1.1.1.1" || line[4] == "2606:4700:4700::1111";
            if (line[2] != "measured" || !isInternet || std::stoll(line[6]) == 0) continue;
            auto& [length, replied, poor, seen] = internet[line[0]];
            length = seconds;
            seen = true;
            replied = replied || std::stoll(line[7]) < std::stoll(line[6]);
            poor = poor || (!line[11].empty() && std::stod(line[11]) > 150) || (!line[12].empty() && std::stod(line[12]) > 30);
        }
        for (const auto& [start, period] : internet) {
            const auto& [length, replied, poor, seen] = period;
            reach.probedSeconds += length;
            if (replied) reach.reachableSeconds += length;
            if (replied && !poor) reach.goodSeconds += length;
        }
        EXPECT_EQ(figures.states, states) << "paused, asleep and silent minutes, not outages";
        EXPECT_GT(figures.states.at(MinuteState::notRunning), 0);
        EXPECT_EQ(figures.reach, reach);
        std::int64_t greyed = 0;
        for (const auto& [from, to] : figures.unmonitored) greyed += to - from;
        EXPECT_EQ(greyed, figures.unmonitoredSeconds()) << "the chart greys every minute not measured";
        EXPECT_LT(reach.reachableSeconds, reach.probedSeconds);
        std::int64_t dayProbed = 0;
        for (const auto& day : figures.days) dayProbed += day.reach.probedSeconds;
        EXPECT_EQ(dayProbed, reach.probedSeconds);

        // Outages that cut the machine off: two targets at once, as the
        // events export lists them (a router alone does not).
        std::map<std::string, std::pair<int, double>> outages;
        for (const auto& line : events) {
            if (line[3] != "outage") continue;
            auto& [hits, seconds] = outages[line[0].substr(0, 16)];
            ++hits;
            seconds = std::max(seconds, std::stod(line[2]));
        }
        std::size_t downs = 0;
        double downSeconds = 0;
        for (const auto& [start, outage] : outages) {
            if (outage.first < 2) continue;
            ++downs;
            downSeconds += outage.second;
        }
        EXPECT_EQ(figures.downs().size(), downs);
        EXPECT_NEAR(figures.downSeconds(), downSeconds, downs * 2.0);
        EXPECT_GE(downs, 3u);

        // The internet host's medians and 95th percentiles of each local day.
        const HistoryReport::Series* main = figures.mainSeries();
        ASSERT_NE(main, nullptr);
        ASSERT_EQ(main->role, TargetRole::internet(0));
        for (std::size_t i = 0; i < figures.days.size(); ++i) {
            const auto& day = figures.days[i];
            medians.clear();
            p95s.clear();
            for (const auto& line : measurements) {
                if (line[4] != "1.1.1.1") continue;
                const std::int64_t start = unixTime(line[0]);
                if (start < day.start || start >= day.end) continue;
                if (!line[10].empty()) medians.push_back(std::stod(line[10]));
                if (!line[11].empty()) p95s.push_back(std::stod(line[11]));
            }
            // The export writes three decimals.
            EXPECT_NEAR(main->days[i].median.value_or(-1), nearestRank(medians, 0.5).value_or(-1), 0.0005) << i;
            EXPECT_NEAR(main->days[i].p95.value_or(-1), nearestRank(p95s, 0.95).value_or(-1), 0.0005) << i;
        }

        const std::string page = HistoryReportPage::html(figures, {NetworkPath::Kind::ethernet, "1.2.3", "Europe/Berlin", std::nullopt});
        const std::string summary = HistoryReportPage::summary(figures);
        EXPECT_NE(page.find(summary), std::string::npos);
        EXPECT_NE(summary.find("down " + std::to_string(downs) + " times for "), std::string::npos) << summary;
        for (const char* fetching : {"://", "<script", "src=", "href=", "url(", "@import"})
            EXPECT_EQ(page.find(fetching), std::string::npos) << fetching;
    }
}

}  // namespace
}  // namespace nerivane
