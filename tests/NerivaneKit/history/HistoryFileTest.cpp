#include "NerivaneKit/history/HistoryFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <fstream>

#include "NerivaneKit/history/History.h"
#include "NerivaneKit/platform/ApplicationId.h"
#include "support/HistoryTestSupport.h"

namespace nerivane {
namespace {

std::int64_t pragma(Database& db, const std::string& name) { return count(db, "PRAGMA " + name); }

// A copy of from at to; returns to.
std::string copy(const std::string& from, const std::string& to) {
    std::filesystem::copy_file(from, to);
    return to;
}

// A link at `at` to target; returns target.
std::string link(const std::string& target, const std::string& at) {
    EXPECT_EQ(::symlink(target.c_str(), at.c_str()), 0) << at;
    return target;
}

// What the history path may reach: a link, a file of another program or of
// another user, and a link in the lock file's place are each refused before
// anything is written; the file they reach keeps its bytes and its mode, and
// no lock file appears.
TEST(HistoryFileTest, RefusesWhatIsNotItsOwnAndChangesNothing) {
    TempFolder folder;
    const std::string text = folder.path("notes.txt");
    std::ofstream(text) << "dear diary\n";
    ::chmod(text.c_str(), 0644);
    const auto foreign = [&](const std::string& name, const std::string& setup) {
        const std::string path = folder.path(name);
        Database(path).execute("CREATE TABLE contacts (name TEXT); INSERT INTO contacts VALUES ('ada');" + setup);
        ::chmod(path.c_str(), 0644);
        return path;
    };
    const std::string other = foreign("other.db", "PRAGMA user_version = 7;");
    struct Case {
        std::string name;
        // Makes the history path (or its lock) and returns the file to watch.
        std::function<std::string(const std::string& path)> make;
        std::string message;
    };
    const std::vector<Case> cases{
        {"link to a text file", [&](const std::string& path) { return link(text, path); }, "is a symbolic link"},
        {"link to another program's database", [&](const std::string& path) { return link(other, path); },
         "is a symbolic link"},
        {"another program's database in place", [&](const std::string& path) { return copy(other, path); },
         "another program's table contacts"},
        {"a database marked by another program",
         [&](const std::string& path) {
             Database(path).execute("PRAGMA application_id = 1234");
             return path;
         },
         "application id 0x000004D2 of another program"},
        {"a text file in place", [&](const std::string& path) { return copy(text, path); }, "not a nerivane history database"},
        {"a file of another user",
         [&](const std::string& path) {
             openStore(path);
             if (::chown(path.c_str(), 65534, 65534) != 0) ADD_FAILURE() << "chown needs root";
             return path;
         },
         "belongs to another user"},
        {"a link in the lock's place", [&](const std::string& path) { return link(text, path + ".lock"); },
         ".lock is a symbolic link"},
    };
    int index = 0;
    for (const Case& test : cases) {
        const std::string path = folder.path("case" + std::to_string(index++) + "/history.sqlite");
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        const std::string watched = test.make(path);
        const FileState before = fileState(watched);
        const std::string error = errorOf([&] { History history(path); });
        EXPECT_NE(error.find(test.message), std::string::npos) << test.name << ": " << error;
        EXPECT_EQ(fileState(watched), before) << test.name;
        EXPECT_EQ(std::make_tuple(fileState(text).bytes, fileState(text).mode), std::make_tuple(std::string("dear diary\n"), mode_t{S_IFREG | 0644})) << test.name;
        for (const char* suffix : {"-wal", "-shm", "-journal"})
            EXPECT_FALSE(std::filesystem::exists(watched + suffix)) << test.name << suffix;
        if (watched != text) {
            EXPECT_FALSE(std::filesystem::exists(path + ".lock")) << test.name;
        }
    }

}

// Files of both earlier layouts (version 1 without the lookup columns, 2
// without the traffic and busy ones), unmarked, each with a period and an
// aggregate: read alone they show their rows with the new figures as none and
// keep every byte; opened for writing they are marked, gain the columns, keep
// the rows and take new figures (traffic, and name lookups).
TEST(HistoryFileTest, EarlierLayoutsAreReadAsTheyStandAndAreMarkedAndGainTheNewColumns) {
    TempFolder folder;
    for (std::int64_t version : {1, 2}) {
        SCOPED_TRACE(version);
        const std::string path = folder.path("v" + std::to_string(version) + ".sqlite");
        const std::string row = std::to_string(noonSeconds);
        Database(path).execute(HistorySchema::schemaScript + (version == 2 ? HistorySchema::lookupColumnsSQL : "") +
                               "PRAGMA user_version = " + std::to_string(version) + "; INSERT INTO periods (start, seconds, state) "
                               "VALUES (" + row + ", 60, 'measured'); INSERT INTO aggregates VALUES (" + row +
                               ", 60, 'router', 'router', '192.168.1.1', 'icmp', 2, 0, 0, 5, 6, 1);");
        const FileState before = fileState(path);
        const PeriodRow stored{noonSeconds, 60, MinuteState::measured, {}, {}, {}, {}, {}, {}, {}};
        {
            const HistoryQueries reader(HistoryFile::openReadOnly(path));
            EXPECT_EQ(reader.periods("1", {}), std::vector{stored});
            EXPECT_EQ(figures(reader.aggregates("1", {}).at(0)), (Figures{2, 0, 0, 5.0, 6.0, 1.0}));
            EXPECT_EQ(reader.aggregates("1", {}).at(0).busyUploadReplies, std::nullopt);
            EXPECT_EQ(reader.linkCapacity(unixDate(noon + 60)), LinkCapacity{});
        }
        EXPECT_EQ(fileState(path), before);
        EXPECT_FALSE(std::filesystem::exists(path + "-wal"));
        double date = noon + 185;
        History::Options options;
        options.date = [&] { return date; };
        History history(path, options);
        history.record({TrafficSample{noon + 90, 1, 100, 200}});
        // Three servers answer in 30, 10 and 20 ms, one times out.
        LookupSnapshot lookups;
        lookups.latestRound = 1000;
        for (std::optional<double> seconds : {std::optional(0.030), std::optional<double>(), std::optional(0.010),
                                              std::optional(0.020)})
            lookups.servers.push_back({{"10.0.0.53", 53, {}}, {}, 0, seconds ? std::nullopt : std::optional(LookupFailure::timeout), seconds});
        history.record(lookups);
        date = noon + 190;
        history.record(lookups);  // the same round again: taken once
        date = noon + 245;
        lookups.latestRound = 1060;
        lookups.servers = {lookups.servers[1]};
        history.record(lookups);
        history.close();
        history.withQueries([&](const HistoryQueries& store) {
            EXPECT_EQ(pragma(store.database(), "application_id"), databaseApplicationId);
            EXPECT_EQ(pragma(store.database(), "user_version"), HistoryFile::schemaVersion);
            EXPECT_TRUE(store.schema().hasLookupColumns() && store.schema().hasLoadColumns());
            EXPECT_EQ(figures(store.aggregates("1", {}).at(0)), (Figures{2, 0, 0, 5.0, 6.0, 1.0}));
            const auto periods = store.periods("1", {});
            ASSERT_EQ(periods.size(), 4u);
            EXPECT_EQ(periods[0], stored) << "kept as it was";
            EXPECT_EQ(std::vector(periods.begin() + 2, periods.end()),
                      (std::vector<PeriodRow>{{noonSeconds + 180, 60, MinuteState::measured, {}, 20.0, 1, {}, {}, {}, {}},
                                              {noonSeconds + 240, 60, MinuteState::measured, {}, {}, 1, {}, {}, {}, {}}}));
            EXPECT_EQ(std::tuple(periods[0].sentBytes, periods[1].sentBytes, periods[1].receivedBytes),
                      std::tuple(std::optional<std::int64_t>(), std::optional<std::int64_t>(100), std::optional<std::int64_t>(200)));
        });
    }
}

// Every stored value of a table as text, in key order.
std::string dump(Database& db, const std::string& table, const std::string& key) {
    std::string text;
    for (const Database::Row& row : db.query("SELECT * FROM " + table + " ORDER BY " + key)) {
        for (const Database::Value& value : row) {
            if (auto* integer = value.asInteger()) text += "i" + std::to_string(*integer);
            else if (auto* real = value.asReal()) text += "r" + std::to_string(std::bit_cast<std::uint64_t>(*real));
            else if (auto* string = value.asText()) text += "t" + *string;
            else text += "n";
            text += '|';
        }
        text += '\n';
    }
    return text;
}
std::string dumpAll(Database& db) {
    return dump(db, "periods", "start, seconds") + dump(db, "aggregates", "start, seconds, role, address, protocol") + dump(db, "events", "id");
}

// A file of the layout before the keyed tables, every column of every table
// filled by the write path (and one damaged row), moves to the keyed tables
// with every value as it was, in one transaction: when a step fails, the
// file keeps its layout, version and bytes, and the next open migrates it.
TEST(HistoryFileTest, TheKeyedTablesTakeEveryValueOfAFileOfThePreviousLayoutInOneStep) {
    TempFolder folder;
    const std::string path = folder.path("v3.sqlite");
    {
        HistoryWriter generated(std::make_shared<Database>(std::nullopt), TimeZone::utc());
        generated.prepareSchema();
        generateHistory(generated, noon, 8 * 1440 + 90);
        Database file(path);
        file.execute(HistorySchema::schemaScript + HistorySchema::lookupColumnsSQL + HistorySchema::loadColumnsSQL +
                     "PRAGMA user_version = 3;");
        generated.database().execute("ATTACH '" + path + "' AS v3; "
                              "INSERT INTO v3.periods SELECT * FROM periods; INSERT INTO v3.aggregates SELECT * FROM aggregates; "
                              "INSERT INTO v3.events SELECT * FROM events; "
                              "INSERT INTO v3.aggregates (start, seconds, role, host, address, protocol, sent, lost, late, median) "
                              "VALUES (60.5, 60, 'gateway', 'x', 'y', 'icmp', 'many', 0, 0, 'fast'); DETACH v3");
    }
    std::string before;
    {
        Database file(path);
        EXPECT_EQ(pragma(file, "user_version"), 3);
        EXPECT_EQ(count(file, "SELECT count(*) FROM periods WHERE rssi IS NULL OR dns_median IS NULL OR dns_failures IS NULL "
                              "OR sent_bytes IS NULL OR received_bytes IS NULL OR peak_sent_bps IS NULL OR "
                              "peak_received_bps IS NULL"), count(file, "SELECT count(*) FROM periods WHERE state <> 'measured' OR "
                              "dns_median IS NULL"));
        EXPECT_GT(count(file, "SELECT count(*) FROM aggregates WHERE busy_upload_median IS NOT NULL AND "
                              "busy_download_median IS NOT NULL AND jitter IS NOT NULL AND seconds = 3600"), 0);
        before = dumpAll(file);
        // A leftover of the new layout's name makes the rebuild fail half-way.
        file.execute("CREATE TABLE aggregates_keyed (x)");
    }
    {
        HistorySchema schema(std::make_shared<Database>(path));
        EXPECT_NE(errorOf([&] { schema.prepareSchema(); }).find("aggregates_keyed"), std::string::npos);
        EXPECT_EQ(pragma(schema.database(), "user_version"), 3);
        EXPECT_EQ(count(schema.database(), "SELECT count(*) FROM sqlite_master WHERE name = 'periods_keyed'"), 0);
        schema.database().execute("DROP TABLE aggregates_keyed");
        EXPECT_EQ(dumpAll(schema.database()), before);
    }
    HistorySchema schema(std::make_shared<Database>(path));
    schema.prepareSchema();
    EXPECT_TRUE(schema.hasKeyedTables() && schema.hasLoadColumns() && schema.hasLookupColumns());
    EXPECT_EQ(pragma(schema.database(), "user_version"), HistoryFile::schemaVersion);
    EXPECT_EQ(count(schema.database(), "SELECT count(*) FROM sqlite_master WHERE sql LIKE '%WITHOUT ROWID'"), 2);
    EXPECT_EQ(count(schema.database(), "SELECT count(*) FROM sqlite_master WHERE name LIKE '%keyed'"), 0);
    EXPECT_EQ(dumpAll(schema.database()), before);
}

}  // namespace
}  // namespace nerivane
