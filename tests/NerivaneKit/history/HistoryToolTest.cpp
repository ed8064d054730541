// Black-box tests of the nerivane-history program: its output and exit codes.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "support/HistoryTestSupport.h"

namespace nerivane {
namespace {

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

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
    const std::int64_t minute = *HistoryStore::minuteStart(now) - 600;

    std::string slurp(const std::string& name) {
        std::stringstream text;
        text << std::ifstream(folder.path(name)).rdbuf();
        return text.str();
    }
    Result run(const std::string& arguments, const std::string& environment = "") {
        // Run by hand, the program sits next to the test executable.
        const char* bin = std::getenv("NERIVANE_BIN_DIR");
        const std::string program = bin ? std::string(bin) + "/nerivane-history"
                                        : (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "nerivane-history").string();
        const std::string command = "env -u NERIVANE_HISTORY TZ=UTC " + environment + " " + quoted(program) + " " +
                                    arguments + " >" + quoted(folder.path("out")) + " 2>" + quoted(folder.path("err"));
        const int status = std::system(command.c_str());
        return Result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp("out"), slurp("err")};
    }
};

TEST_F(HistoryToolTest, HelpAndUsageErrors) {
    Result help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: nerivane-history", 0), 0u) << help.out;

    for (const std::string bad : {"", "frobnicate", "export pictures --range day", "export events",
                                  "export events --range year", "chart --range hour", "chart --range all --role router",
                                  "chart --range hour --role gateway", "events --limit 0", "events --limit",
                                  "stats --colour", "export events --range day --end soon",
                                  "export events --range day --end -1", "export events --range day --end inf",
                                  "export events --range day --end 99999999999", "stats --end 1"}) {
        Result result = run(bad + " --db " + quoted(db));
        EXPECT_EQ(result.status, 2) << bad;
        EXPECT_NE(result.err.find("nerivane-history: "), std::string::npos) << bad;
        EXPECT_TRUE(result.out.empty()) << bad;
    }
    EXPECT_FALSE(std::filesystem::exists(db)) << "usage errors create nothing";
}

TEST_F(HistoryToolTest, MissingOrUnreadableDatabases) {
    Result missing = run("stats --db " + quoted(db));
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "nerivane-history: no history database at " + db + "\n");
    EXPECT_FALSE(std::filesystem::exists(db)) << "a read must not create the file";

    std::filesystem::create_directory(folder.path("dir.sqlite"));
    std::ofstream(folder.path("text.sqlite")) << std::string(5000, 'x');
    Database(folder.path("other.sqlite")).execute("CREATE TABLE t (x)");
    for (const auto& [command, message] : std::vector<std::pair<std::string, std::string>>{
             {"events --db " + quoted(folder.path("dir.sqlite")), "is a folder"},
             {"export events --range day --db " + quoted(folder.path("text.sqlite")), "file is not a database"},
             {"stats --db " + quoted(folder.path("other.sqlite")), "not a nerivane history database"}}) {
        Result result = run(command);
        EXPECT_EQ(result.status, 1) << command;
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty()) << command;
    }
}

TEST_F(HistoryToolTest, ExportsEventsChartAndStatsWithoutChangingTheFile) {
    {
        HistoryStore store = openStore(db);
        const double m = static_cast<double>(minute);
        store.record(reply(cloudflare(), m + 1, 10));
        store.record(reply(cloudflare(), m + 2, 14));
        store.record(lost(cloudflare(), m + 3));
        store.recordRSSI(m + 4, -60);
        store.addEvent(outage(router(), m - 100, m - 50));
        store.addEvent(spike(Target{TargetRole::custom(0), "lab, west", *ProbeAddress::parse("10.0.0.9")}, m + 5, m + 9, 250));
        store.flush(m + 60, m + 60, true);
        // Rows a maintenance pass would roll up or delete: the tool must leave them.
        putPeriod(*store.db, minute - 10 * 86400, 60, "paused");
        putPeriod(*store.db, minute - 400 * 86400, 3600, "paused");
    }
    const auto iso = [](std::int64_t time) { return TimeZone::utc().iso8601(time); };
    auto lines = [](const std::string& text) { return std::count(text.begin(), text.end(), '\n'); };

    Result measurements = run("export measurements --range hour", "NERIVANE_HISTORY=" + quoted(db));
    ASSERT_EQ(measurements.status, 0) << measurements.err;
    EXPECT_EQ(lines(measurements.out), 61);
    EXPECT_EQ(measurements.out.rfind("start,period_s,state,target,", 0), 0u);
    EXPECT_NE(measurements.out.find("\n" + iso(minute) + ",60,measured,1.1.1.1,1.1.1.1,icmp,3,1,0,33.3,10.000,14.000,4.000,-60\n"),
              std::string::npos)
        << measurements.out;

    // A window ending inside the stored minute leaves that minute out, as the
    // application's export at that moment does; one ending after it holds it.
    const std::string inMinute = std::to_string(minute + 30), afterMinute = std::to_string(minute + 60);
    Result before = run("export measurements --range hour --end " + inMinute + " --db " + quoted(db));
    Result after = run("export measurements --range hour --end " + afterMinute + " --db " + quoted(db));
    ASSERT_EQ(before.status, 0) << before.err;
    EXPECT_EQ(before.out.substr(before.out.rfind('\n', before.out.size() - 2) + 1),
              iso(minute - 60) + ",60,not_running,,,,,,,,,,,\n");
    EXPECT_EQ(after.out.substr(after.out.rfind('\n', after.out.size() - 2) + 1).rfind(iso(minute) + ",60,measured,", 0), 0u)
        << after.out;

    // "all" with a retention of a century starts at the oldest row, not with
    // a century of "not running" lines.
    Result all = run("export measurements --range all --retention 36500 --db " + quoted(db));
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_LT(lines(all.out), 25000);
    EXPECT_NE(all.out.find("\n" + iso(minute - 400 * 86400) + ",3600,paused,"), std::string::npos);

    Result events = run("export events --range day --db " + quoted(db));
    ASSERT_EQ(events.status, 0) << events.err;
    EXPECT_EQ(events.out, "start,end,duration_s,type,target,address,worst_rtt_ms\n" + iso(minute - 100) + "," +
                              iso(minute - 50) + ",50.0,outage,router,192.168.1.1,\n" + iso(minute + 5) + "," +
                              iso(minute + 9) + ",4.0,spike,\"lab, west\",10.0.0.9,250.000\n");

    Result latest = run("events --limit 1 --db " + quoted(db));
    ASSERT_EQ(latest.status, 0) << latest.err;
    EXPECT_EQ(lines(latest.out), 2);
    EXPECT_NE(latest.out.find(",spike,"), std::string::npos);

    Result chart = run("chart --range hour --role 'internet[0]' --db " + quoted(db));
    ASSERT_EQ(chart.status, 0) << chart.err;
    EXPECT_EQ(lines(chart.out), 61);
    EXPECT_NE(chart.out.find("\n" + iso(minute) + ",measured,10.000,14.000,33.3,-60\n"), std::string::npos) << chart.out;
    EXPECT_NE(chart.out.find(",not_running,-,-,-,-\n"), std::string::npos);

    Result stats = run("stats --db " + quoted(db));
    ASSERT_EQ(stats.status, 0) << stats.err;
    for (const std::string line : {"periods: 2 minute rows, 1 hour rows\n", "aggregates: 1 minute rows, 0 hour rows\n",
                                   "events: 2\n"})
        EXPECT_NE(stats.out.find(line), std::string::npos) << stats.out;
    EXPECT_NE(stats.out.find("oldest period: " + iso(minute - 400 * 86400)), std::string::npos) << stats.out;

    // Reading rolled up, pruned and created nothing.
    Database check(db);
    EXPECT_EQ(count(check, "SELECT count(*) FROM periods"), 3);
    EXPECT_EQ(count(check, "SELECT count(*) FROM periods WHERE start < " + std::to_string(minute - 300 * 86400)), 1);
}

}  // namespace
}  // namespace nerivane
