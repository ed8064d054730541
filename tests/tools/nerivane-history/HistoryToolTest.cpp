// Black-box tests of the nerivane-history program: its output and exit codes.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <fstream>

#include "NerivaneKit/history/HistoryFile.h"
#include "NerivaneKit/history/HistoryReport.h"
#include "NerivaneKit/history/HistoryReportPage.h"
#include "support/HistoryTestSupport.h"

namespace nerivane {
namespace {

// The temporary folder's names hold no quote.
std::string quoted(const std::string& text) { return "'" + text + "'"; }

struct Result {
    int status = -1;
    std::string out, err;
};

class HistoryToolTest : public ::testing::Test {
protected:
    TempFolder folder;
    const std::string db = folder.path("history.sqlite");
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    // Ten minutes back: well inside every window however long the test takes.
    const std::int64_t minute = *HistoryQueries::minuteStart(unixDate(now)) - 600;

    Result run(const std::string& arguments, const std::string& environment = "") {
        // Run by hand, the program sits next to the test executable.
        const char* bin = std::getenv("NERIVANE_BIN_DIR");
        const std::string program = bin ? std::string(bin) + "/nerivane-history"
                                        : (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "nerivane-history").string();
        const std::string command = "env -u NERIVANE_HISTORY TZ=UTC " + environment + " " + quoted(program) + " " +
                                    arguments + " >" + quoted(folder.path("out")) + " 2>" + quoted(folder.path("err"));
        const int status = std::system(command.c_str());
        return Result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, fileState(folder.path("out")).bytes, fileState(folder.path("err")).bytes};
    }
};

TEST_F(HistoryToolTest, UsageErrorsAndUnreadableDatabasesPrintNothingAndCreateNothing) {
    EXPECT_EQ(run("--help").out.rfind("usage: nerivane-history", 0), 0u);
    EXPECT_EQ(run("--version").out, "nerivane-history " NERIVANE_VERSION "\n");
    std::filesystem::create_directory(folder.path("dir.sqlite"));
    std::ofstream(folder.path("text.sqlite")) << std::string(5000, 'x');
    Database(folder.path("other.sqlite")).execute("CREATE TABLE t (x)");
    struct Case {
        std::string arguments;
        int status;
        std::string message;
    };
    std::vector<Case> cases{{"stats --db " + quoted(db), 1, "no history database at " + db},
                            {"events --db " + quoted(folder.path("dir.sqlite")), 1, "is a folder"},
                            {"export events --range day --db " + quoted(folder.path("text.sqlite")), 1, "file is not a database"},
                            {"stats --db " + quoted(folder.path("other.sqlite")), 1, "not a nerivane history database"},
                            {"chart --range hour --role internet", 2, "unknown role 'internet'; roles: router, provider, internet0, internet1, internet-ipv6,"},
                            {"stats --colour", 2, "unknown option '--colour'"}};
    for (const std::string bad : {"", "frobnicate", "export pictures --range day", "export events", "export events --range year",
                                  "chart --range hour", "chart --range all --role router", "chart --range hour --role gateway",
                                  "events --limit 0", "events --limit", "stats --json", "export events --range day --json", "grades --range day --csv --json", "export events --range day --end soon",
                                  "export events --range day --end -1", "export events --range day --end inf",
                                  "export events --range day --end 99999999999", "stats --end 1",
                                  "grades", "grades --range year", "grades now --range day"})
        cases.push_back({bad + " --db " + quoted(db), 2, ""});
    for (const auto& [arguments, status, message] : cases) {
        SCOPED_TRACE(arguments);
        Result result = run(arguments);
        EXPECT_EQ(result.status, status);
        // One line in one style: "nerivane-history: MESSAGE".
        EXPECT_EQ(result.err.rfind("nerivane-history: ", 0), 0u) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty());
    }
    EXPECT_FALSE(std::filesystem::exists(db)) << "a failed or mistaken run must not create the file";
}

TEST_F(HistoryToolTest, ExportsEventsAndChartWithoutChangingTheFile) {
    {
        HistoryWriter store = openStore(db);
        const double m = static_cast<double>(minute);
        // Out of time order, with a late reply; the loss breaks the pair 10-30 for the jitter.
        for (const auto& probe : {reply(cloudflare(), m + 4, 34), reply(cloudflare(), m + 1, 10), reply(cloudflare(), m + 3, 30),
                                  lost(cloudflare(), m + 2), late(cloudflare(), m + 5, 2500)})
            store.record(probe);
        store.recordRSSI(unixDate(m + 4), -60);
        // Counters read: the minute is quiet. The next one has 12 replies while uploading.
        store.recordTraffic({m + 30, 1, 5000, 7000});
        for (int i = 0; i < 12; ++i) {
            ProbeRecord busy = reply(cloudflare(), m + 60 + i, 80);
            busy.load = LoadClass::upload;
            store.record(busy);
        }
        store.addEvent(outage(router(), m - 100, m - 50));
        store.addEvent(spike(Target{TargetRole::custom(0), "lab, west", *ProbeAddress::parse("10.0.0.9")}, m + 5, m + 9, 250));
        store.flush(unixDate(m + 120), unixDate(m + 120), true);
        // Rows a maintenance pass would roll up or delete: the tool must leave them.
        putPeriod(store.database(), minute - 10 * 86400, 60, "paused");
        putPeriod(store.database(), minute - 400 * 86400, 3600, "paused");
    }
    const auto iso = [](std::int64_t time) { return TimeZone::utc().iso8601(time); };
    auto ok = [&](const std::string& arguments, const std::string& environment = "") {
        Result result = run(arguments + (environment.empty() ? " --db " + quoted(db) : ""), environment);
        EXPECT_EQ(result.status, 0) << arguments << ": " << result.err;
        return result.out;
    };

    const std::string measurements = ok("export measurements --range hour --csv", "NERIVANE_HISTORY=" + quoted(db));
    // The header, the gap before the stored minutes, the two minutes, the gap after them.
    EXPECT_EQ(std::count(measurements.begin(), measurements.end(), '\n'), 5);
    EXPECT_NE(measurements.find("\n" + iso(minute) + ",60,measured,1.1.1.1,1.1.1.1,icmp,4,1,1,25.0,30.000,34.000,4.000,-60,,,5000,7000,,\n"), std::string::npos);
    // Grades for people in units, for machines in CSV (empty for nothing) and JSON (null).
    const std::string grades = ok("grades --range hour");
    EXPECT_EQ(grades.substr(grades.find("sent")),
              "sent 5.0 kB, received 7.0 kB\n\n"
              "direction  role      idle   busy   added  busy replies  grade\n"
              "upload     router    -      -      -      0             -\n"
              "upload     internet  30 ms  80 ms  50 ms  12            B\n"
              "download   router    -      -      -      0             -\n"
              "download   internet  30 ms  -      -      0             -\n");
    const std::string csv = ok("grades --range hour --csv");
    EXPECT_NE(csv.find("_ms,busy_replies,grade,sent_bytes,received_bytes,from,to\nupload,router,,,,0,,5000,7000,"), std::string::npos) << csv;
    EXPECT_NE(csv.find("\nupload,internet,30.000,80.000,50.000,12,B,5000,7000,"), std::string::npos) << csv;
    EXPECT_NE(ok("grades --range hour --json").find("\"sentBytes\":5000,\"receivedBytes\":7000,\"grades\":[{\"direction\":\"upload\","
                                                   "\"role\":\"router\",\"idleMedianMs\":null"), std::string::npos);
    EXPECT_NE(ok("chart --range hour --role internet0 --csv").find("\n" + iso(minute) + ",measured,30.000,34.000,25.0,-60\n"), std::string::npos);
    EXPECT_NE(ok("chart --range hour --role internet-0").find("30 ms   34 ms  25 %  \u2588"), std::string::npos);
    // A window ending inside the stored minute leaves that minute out, as the
    // application's export at that moment does; one ending after it holds it.
    const auto last = [](const std::string& text) { return text.substr(text.rfind('\n', text.size() - 2) + 1); };
    EXPECT_EQ(last(ok("export measurements --range hour --end " + std::to_string(minute + 30))),
              iso(minute - 3600) + ",3600,not_running,,,,,,,,,,,,,,,,,\n");
    EXPECT_EQ(last(ok("export measurements --range hour --end " + std::to_string(minute + 60))).rfind(iso(minute) + ",60,measured,", 0), 0u);
    EXPECT_EQ(ok("export events --range day"),
              "start,end,duration_s,type,target,address,worst_rtt_ms\n" + iso(minute - 100) + "," + iso(minute - 50) +
                  ",50.0,outage,router,192.168.1.1,\n" + iso(minute + 5) + "," + iso(minute + 9) +
                  ",4.0,spike,\"lab, west\",10.0.0.9,250.000\n");
    // Reading rolled up, pruned and created nothing.
    Database check(db);
    EXPECT_EQ(count(check, "SELECT count(*) FROM periods"), 4);
    EXPECT_EQ(count(check, "SELECT count(*) FROM periods WHERE start < " + std::to_string(minute - 300 * 86400)), 1);
}

// The week's report opened by a real browser in a network namespace of its
// own (so nothing could leave it): printed, it takes one to three pages and
// its text holds the summary line; the file names no address to fetch.
// NERIVANE_PICTURES keeps the print and the light and dark screenshots.
TEST_F(HistoryToolTest, ReportOpensOfflineInABrowserAndPrintsOnOneToThreePages) {
    if (std::system("exec >/dev/null; command -v chromium && command -v pdftotext && command -v pdfinfo && command -v unshare >/dev/null") != 0)
        GTEST_SKIP() << "needs chromium and poppler-utils (scripts/setup)";
    const std::string isolate = std::system("unshare -n true 2>/dev/null") == 0 ? "unshare -n " : "unshare -rn ";
    double end = 0;
    {
        HistoryWriter store = openStore(db);
        store.database().execute("PRAGMA synchronous = OFF");
        end = generateHistory(store, noon, 8 * 1440);
    }
    const std::string page = folder.path("report.html");
    ASSERT_EQ(run("report --range week --end " + std::to_string(end) + " --db " + quoted(db) + " --out " + quoted(page)).status, 0);
    const std::string html = fileState(page).bytes;
    for (const char* fetching : {"://", "<script", "src=", "href=", "url(", "@import"})
        EXPECT_EQ(html.find(fetching), std::string::npos) << fetching;

    const std::string browser = isolate + "chromium --headless --no-sandbox --disable-gpu --no-first-run --user-data-dir=" +
                                quoted(folder.path("profile")) + " --hide-scrollbars --no-pdf-header-footer ";
    const std::string url = " file://" + page + " >/dev/null 2>&1";
    ASSERT_EQ(std::system((browser + "--print-to-pdf=" + quoted(folder.path("report.pdf")) + url).c_str()), 0);
    ASSERT_EQ(std::system((browser + "--window-size=1000,2600 --screenshot=" + quoted(folder.path("light.png")) + url).c_str()), 0);
    ASSERT_EQ(std::system((browser + "--blink-settings=preferredColorScheme=0 --window-size=1000,2600 --screenshot=" +
                           quoted(folder.path("dark.png")) + url).c_str()), 0);
    EXPECT_GT(fileState(folder.path("dark.png")).bytes.size(), 10000u);
    ASSERT_EQ(std::system(("pdfinfo " + quoted(folder.path("report.pdf")) + " >" + quoted(folder.path("info")) +
                           " && pdftotext " + quoted(folder.path("report.pdf")) + " " + quoted(folder.path("text"))).c_str()), 0);
    const std::string info = fileState(folder.path("info")).bytes;
    const auto pages = std::stoi(info.substr(info.find("Pages:") + 6));
    EXPECT_GE(pages, 1);
    EXPECT_LE(pages, 3);

    // The summary as the figures make it, in the printed text however the lines broke.
    const HistoryQueries store(HistoryFile::openReadOnly(db), TimeZone::utc());
    std::string summary = HistoryReportPage::summary(HistoryReport::read(store, HistoryReport::Span::week, unixDate(end)));
    auto words = [](std::string text) {
        std::replace(text.begin(), text.end(), '\n', ' ');
        std::string joined;
        for (char c : text)
            if (c != ' ' || (!joined.empty() && joined.back() != ' ')) joined += c;
        return joined;
    };
    EXPECT_NE(words(fileState(folder.path("text")).bytes).find(words(summary)), std::string::npos) << summary;

    if (const char* pictures = std::getenv("NERIVANE_PICTURES")) {
        std::system(("pdftoppm -png -r 60 " + quoted(folder.path("report.pdf")) + " " + quoted(std::string(pictures) + "/report-print")).c_str());
        for (const char* name : {"light.png", "dark.png"})
            std::filesystem::copy_file(folder.path(name), std::string(pictures) + "/report-" + name,
                                       std::filesystem::copy_options::overwrite_existing);
    }
}

}  // namespace
}  // namespace nerivane
