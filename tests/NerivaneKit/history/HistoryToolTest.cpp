// Black-box tests of the nerivane-history program: its output and exit codes.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>

#include "NerivaneKit/history/HistoryTestSupport.h"

namespace nerivane {
namespace {

using Value = Database::Value;

std::string programPath() {
    if (const char* bin = std::getenv("NERIVANE_BIN_DIR")) return std::string(bin) + "/nerivane-history";
    // Run by hand: the program sits next to the test executable.
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "nerivane-history").string();
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

class HistoryToolTest : public ::testing::Test {
protected:
    TempFolder folder;
    const std::string db = folder.path("history.sqlite");
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    // Ten minutes back: well inside every window however long the test takes.
    const std::int64_t minute = *HistoryStore::minuteStart(now) - 600;

    static std::string slurp(const std::string& path) {
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    Result run(const std::string& arguments, const std::string& environment = "") {
        const std::string command = "env -u NERIVANE_HISTORY TZ=UTC " + environment + " " + quoted(programPath()) + " " +
                                    arguments + " >" + quoted(folder.path("out")) + " 2>" + quoted(folder.path("err"));
        const int status = std::system(command.c_str());
        return Result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(folder.path("out")), slurp(folder.path("err"))};
    }

    void makeHistory() {
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
        store.db->run(HistoryStore::insertPeriodSQL,
                      {Value::integer(minute - 10 * 86400), Value::integer(60), Value::text("paused"), Value::null()});
        store.db->run(HistoryStore::insertPeriodSQL,
                      {Value::integer(minute - 400 * 86400), Value::integer(3600), Value::text("paused"), Value::null()});
    }
};

TEST_F(HistoryToolTest, HelpAndUsageErrors) {
    Result help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: nerivane-history", 0), 0u) << help.out;

    for (const std::string& bad : {std::string(""), std::string("frobnicate"), std::string("export pictures --range day"),
                                   std::string("export events"), std::string("export events --range year"),
                                   std::string("chart --range hour"), std::string("chart --range all --role router"),
                                   std::string("chart --range hour --role gateway"), std::string("events --limit 0"),
                                   std::string("events --limit"), std::string("stats --colour")}) {
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
    Result directory = run("events --db " + quoted(folder.path("dir.sqlite")));
    EXPECT_EQ(directory.status, 1);
    EXPECT_NE(directory.err.find("is a folder"), std::string::npos) << directory.err;

    std::ofstream(folder.path("text.sqlite")) << std::string(5000, 'x');
    Result text = run("export events --range day --db " + quoted(folder.path("text.sqlite")));
    EXPECT_EQ(text.status, 1);
    EXPECT_NE(text.err.find("file is not a database"), std::string::npos) << text.err;
    EXPECT_TRUE(text.out.empty());

    Database(folder.path("other.sqlite")).execute("CREATE TABLE t (x)");
    Result other = run("stats --db " + quoted(folder.path("other.sqlite")));
    EXPECT_EQ(other.status, 1);
    EXPECT_NE(other.err.find("not a nerivane history database"), std::string::npos) << other.err;
}

TEST_F(HistoryToolTest, ExportsEventsChartAndStats) {
    makeHistory();
    const std::string stamp = TimeZone::utc().iso8601(minute);

    Result measurements = run("export measurements --range hour", "NERIVANE_HISTORY=" + quoted(db));
    ASSERT_EQ(measurements.status, 0) << measurements.err;
    EXPECT_EQ(std::count(measurements.out.begin(), measurements.out.end(), '\n'), 61);
    EXPECT_EQ(measurements.out.rfind("start,period_s,state,target,", 0), 0u);
    EXPECT_NE(measurements.out.find("\n" + stamp + ",60,measured,1.1.1.1,1.1.1.1,icmp,3,1,0,33.3,10.000,14.000,4.000,-60\n"),
              std::string::npos)
        << measurements.out;

    Result events = run("export events --range day --db " + quoted(db));
    ASSERT_EQ(events.status, 0) << events.err;
    EXPECT_EQ(events.out, "start,end,duration_s,type,target,address,worst_rtt_ms\n" +
                              TimeZone::utc().iso8601(minute - 100) + "," + TimeZone::utc().iso8601(minute - 50) +
                              ",50.0,outage,router,192.168.1.1,\n" + TimeZone::utc().iso8601(minute + 5) + "," +
                              TimeZone::utc().iso8601(minute + 9) + ",4.0,spike,\"lab, west\",10.0.0.9,250.000\n");

    Result latest = run("events --limit 1 --db " + quoted(db));
    ASSERT_EQ(latest.status, 0) << latest.err;
    EXPECT_EQ(std::count(latest.out.begin(), latest.out.end(), '\n'), 2);
    EXPECT_NE(latest.out.find(",spike,"), std::string::npos);

    Result chart = run("chart --range hour --role 'internet[0]' --db " + quoted(db));
    ASSERT_EQ(chart.status, 0) << chart.err;
    EXPECT_EQ(std::count(chart.out.begin(), chart.out.end(), '\n'), 61);
    EXPECT_NE(chart.out.find("\n" + stamp + ",measured,10.000,14.000,33.3,-60\n"), std::string::npos) << chart.out;
    EXPECT_NE(chart.out.find(",not_running,-,-,-,-\n"), std::string::npos);

    Result stats = run("stats --db " + quoted(db));
    ASSERT_EQ(stats.status, 0) << stats.err;
    EXPECT_NE(stats.out.find("periods: 2 minute rows, 1 hour rows\n"), std::string::npos) << stats.out;
    EXPECT_NE(stats.out.find("aggregates: 1 minute rows, 0 hour rows\n"), std::string::npos) << stats.out;
    EXPECT_NE(stats.out.find("events: 2\n"), std::string::npos) << stats.out;
    EXPECT_NE(stats.out.find("oldest period: " + TimeZone::utc().iso8601(minute - 400 * 86400)), std::string::npos);

    // Reading rolled up, pruned and created nothing.
    Database check(db);
    EXPECT_EQ(count(check, "SELECT count(*) FROM periods"), 3);
    EXPECT_EQ(count(check, "SELECT count(*) FROM periods WHERE start < " + std::to_string(minute - 300 * 86400)), 1);
}

}  // namespace
}  // namespace nerivane
