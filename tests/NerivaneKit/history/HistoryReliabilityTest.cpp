// Fault injection against real files: a writer killed mid-flush, a second
// writer, files that are not (or no longer) databases, and a full disk.
#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>

#include <atomic>
#include <chrono>
#include <fstream>

#include "NerivaneKit/history/History.h"
#include "support/HistoryTestSupport.h"

namespace nerivane {
namespace {

using Value = Database::Value;

// Six targets, one probe each per second of the minute.
void recordMinute(HistoryWriter& store, std::int64_t minute) {
    for (int second = 0; second < 60; ++second) {
        for (std::uint8_t host = 1; host <= 6; ++host) {
            const Target target{TargetRole::custom(host), "h", ProbeAddress::v4({10, 0, 0, host})};
            const double at = static_cast<double>(minute) + second;
            store.record(second % 17 == 0 ? lost(target, at) : reply(target, at, 5 + second % 7));
        }
    }
}

TEST(HistoryReliability, AKilledWriterLeavesEveryFlushedMinute) {
    TempFolder folder;
    const std::string path = folder.path("history.sqlite");
    Child child = Child::run([&](int report) {
        HistoryWriter store = openStore(path);
        std::int64_t minute = noonSeconds;
        for (int batch = 0;; ++batch) {
            for (int i = 0; i < 120; ++i, minute += 60) recordMinute(store, minute);
            Child::say(report, "start " + std::to_string(batch));
            store.flush(unixDate(static_cast<double>(minute)), unixDate(static_cast<double>(minute)), true);
            Child::say(report, "done " + std::to_string(minute));
        }
    });
    std::int64_t flushedUpTo = 0;
    // Killed as soon as its fourth flush has begun.
    for (std::string line; (line = child.readLine()) != "start 3";) {
        ASSERT_FALSE(line.empty()) << "the writer ended early";
        if (line.rfind("done ", 0) == 0) flushedUpTo = std::stoll(line.substr(5));
    }
    kill(child.pid, SIGKILL);
    ASSERT_TRUE(WIFSIGNALED(child.wait()));
    ASSERT_GT(flushedUpTo, 0);

    History history(path, History::Options());
    history.withQueries([&](const HistoryQueries& store) {
        EXPECT_EQ(store.database().query("PRAGMA integrity_check"), (std::vector<Database::Row>{{Value::text("ok")}}));
        const std::vector<Value> window{Value::real(noon), Value::real(static_cast<double>(flushedUpTo))};
        const auto minutes = static_cast<std::size_t>((flushedUpTo - noonSeconds) / 60);
        EXPECT_EQ(store.periods("start + seconds > ? AND start < ?", window).size(), minutes);
        EXPECT_EQ(store.aggregates("start + seconds > ? AND start < ?", window).size(), minutes * 6);
    });
}

TEST(HistoryReliability, ASecondProcessOnTheFileRunsWithoutHistoryAndSaysWhoWrites) {
    TempFolder folder;
    const std::string path = folder.path("history.sqlite");
    int hold[2];
    ASSERT_EQ(pipe(hold), 0);
    Child first = Child::run([&](int report) {
        close(hold[1]);
        History history(path, History::Options());
        // Dated now: the first maintenance would delete a row of long ago.
        const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        history.record({reply(router(), now, 2)}, MinuteState::measured);
        history.close();
        Child::say(report, "writing");
        char c;
        while (read(hold[0], &c, 1) > 0) {}  // holds the file until the test lets go
    });
    close(hold[0]);
    ASSERT_EQ(first.readLine(), "writing");
    EXPECT_EQ(errorOf([&] { History second(path, History::Options()); }),
              "history in use by another nerivane, process " + std::to_string(first.pid));
    // A reader such as nerivane-history is no writer and is not kept out.
    EXPECT_EQ(count(*std::make_unique<Database>(path), "SELECT count(*) FROM periods"), 1);
    close(hold[1]);
    ASSERT_EQ(first.wait(), 0);
    History next(path, History::Options());
    EXPECT_EQ(next.withQueries([](const HistoryQueries& store) { return store.periods("1", {}).size(); }), 1u);
}

TEST(HistoryReliability, FilesThatAreNoDatabaseFailToOpen) {
    TempFolder folder;
    std::vector<std::string> bad{folder.path("notes.sqlite"), folder.path("folder.sqlite")};
    std::ofstream(bad[0]) << std::string(20000, 'n');
    std::filesystem::create_directory(bad[1]);
    // A real history file, cut short.
    const std::string full = folder.path("full.sqlite");
    {
        HistoryWriter store = openStore(full);
        for (int i = 0; i < 200; ++i) recordMinute(store, noonSeconds + 60 * i);
        store.flush(unixDate(noon + 86400), unixDate(noon + 86400), true);
    }
    for (std::uintmax_t cut : {std::filesystem::file_size(full) / 2, std::uintmax_t{4096}, std::uintmax_t{50}}) {
        bad.push_back(folder.path("cut-" + std::to_string(cut) + ".sqlite"));
        std::filesystem::copy_file(full, bad.back());
        std::filesystem::resize_file(bad.back(), cut);
    }
    for (const std::string& path : bad) {
        const std::string text = errorOf([&] { History(path, History::Options()); });
        EXPECT_TRUE(text.rfind("open: ", 0) == 0 || text.rfind("execute: ", 0) == 0) << path << ": " << text;
    }
}

// A scan hands the rows in key order with their values as stored; a row its
// reader refuses ends the read with the reader's own exception and leaves
// the statement ready for the next read; the row function is nothing
// outside a scan.
TEST(HistoryReliability, AScanEndsWithTheReadersFailureAndReadsAgainAfterwards) {
    Database db(std::nullopt);
    db.execute("CREATE TABLE t (k INTEGER PRIMARY KEY, v) WITHOUT ROWID;"
               "INSERT INTO t VALUES (3, NULL), (1, 'a'), (2, 2.5), (4, 'b' || char(0) || 'c');");
    const std::string sql = std::string("SELECT ") + Database::rowsFunction + "(k, v) FROM t WHERE k >= ?";
    auto read = [&](std::int64_t from, std::int64_t refused) {
        std::vector<Database::Row> rows;
        db.scan(sql, {Value::integer(from)}, [&](const Database::Cursor& row) {
            if (row.integer(0) == refused) throw std::out_of_range("refused");
            rows.push_back({row.value(0), row.value(1)});
            EXPECT_EQ(row.columnCount(), 2);
        });
        return rows;
    };
    EXPECT_THROW(read(1, 2), std::out_of_range);
    EXPECT_EQ(read(2, 0), (std::vector<Database::Row>{{Value::integer(2), Value::real(2.5)},
                                                       {Value::integer(3), Value::null()},
                                                       {Value::integer(4), Value::text("b")}}));
    EXPECT_EQ(errorOf([&] { db.query(sql, {Value::integer(1)}); }).rfind("query: ", 0), 0u);
}

// The child's side of the full-disk test; returns what went wrong, or "".
std::string fillTheDisk(const std::string& mountPoint) {
    if (unshare(CLONE_NEWNS) != 0) return "skip: no mount namespace";
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return "skip: cannot make mounts private";
    if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m") != 0) return "skip: cannot mount tmpfs";

    auto date = std::make_shared<std::atomic<double>>(noon);
    LogStore logs(quietLogs());
    History::Options options;
    options.date = [date] { return date->load(); };
    options.log = Log("history", std::string(Log::defaultSubsystem), logs);
    History history(mountPoint + "/history.sqlite", options);
    auto runMinutes = [&](int first, int last) {
        for (int minute = first; minute < last; ++minute) {
            std::vector<ProbeRecord> probes;
            for (int second = 0; second < 60; ++second) probes.push_back(reply(router(), noon + minute * 60 + second, 3));
            history.record(probes, MinuteState::measured);
            for (int tick = 0; tick < 6; ++tick) {
                *date = *date + 10;
                history.tick();
            }
        }
    };
    runMinutes(0, 5);
    const std::string filler = mountPoint + "/filler";
    for (std::ofstream out(filler); out.write(std::string(4096, 'x').data(), 4096) && out.flush();) {}
    runMinutes(5, 12);
    if (logs.entries(std::chrono::seconds(600)).empty()) return "no write failed on the full file system";
    unlink(filler.c_str());
    runMinutes(12, 14);
    history.close();

    // One row per minute: 14 rows of 60 probes each are every minute whole.
    const auto whole = history.withQueries([](const HistoryQueries& store) { return count(store.database(), "SELECT count(*) FROM aggregates WHERE sent = 60"); });
    return whole == 14 ? "" : "whole minutes stored: " + std::to_string(whole);
}

TEST(HistoryReliability, WritesFailingOnAFullDiskAreRetriedWithoutLoss) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    TempFolder folder;
    const std::string mountPoint = folder.path("small");
    std::filesystem::create_directory(mountPoint);
    // The child mounts in its own mount namespace: the mount ends with it.
    Child child = Child::run([&](int report) {
        std::string problem;
        try {
            problem = fillTheDisk(mountPoint);
        } catch (const std::exception& error) {
            problem = std::string("exception: ") + error.what();
        }
        Child::say(report, problem.empty() ? "ok" : problem);
    });
    const std::string result = child.readLine();
    child.wait();
    if (result.rfind("skip: ", 0) == 0) GTEST_SKIP() << result;
    EXPECT_EQ(result, "ok");
}

}  // namespace
}  // namespace nerivane
