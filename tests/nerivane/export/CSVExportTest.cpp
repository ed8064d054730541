#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>

#include <ctime>

#include "NerivaneKit/history/History.h"
#include "nerivane/export/AtomicFile.h"
#include "nerivane/export/CSVExport.h"
#include "support/HistoryTestSupport.h"
#include "support/qt/QtSupport.h"

namespace nerivane {
namespace {

TEST(AtomicFile, ReplacesOnSuccessAndLeavesNothingHalfWrittenOnFailure) {
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("export.csv"));
    ASSERT_EQ(AtomicFile::write(path, "old\n"), std::nullopt);
    ASSERT_EQ(AtomicFile::write(path, "new\n"), std::nullopt);
    EXPECT_EQ(test::fileBytes(path), "new\n");

    // A write that fails half-way (the file size limit stands in for a full
    // disk, and holds for root too): the reason is given, the old file stays,
    // and no temporary file is left beside it.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const rlimit small{16, old.rlim_max};
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const auto error = AtomicFile::write(path, QByteArray(4096, 'x'));
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(error->contains(QStringLiteral("too large"), Qt::CaseInsensitive)) << error->toStdString();
    EXPECT_EQ(test::fileBytes(path), "new\n");
    EXPECT_EQ(QDir(directory.path()).entryList(QDir::Files), QStringList{QStringLiteral("export.csv")});
}

// "Everything" exports all that is stored, also with a retention that keeps
// everything (0); a damaged row in 1970 costs one line and one gap line, not
// a line per missing hour or minute since.
TEST(CSVExport, EverythingIsAllThatIsStoredAndAGapIsOneLine) {
    TempFolder folder;
    LogStore logs(quietLogs());
    History::Options options;
    options.timeZone = TimeZone::utc();
    options.log = Log("history", std::string(Log::defaultSubsystem), logs);
    History history(folder.path("history.sqlite"), options);
    const double now = static_cast<double>(std::time(nullptr));
    const std::int64_t minute = HistoryQueries::minuteStart(unixDate(now)).value();
    history.withQueries([&](const HistoryQueries& store) {
        using V = Database::Value;
        // The damaged row: an hour in 1970, as a roll-up would leave it.
        for (const auto& [start, seconds] : {std::pair<std::int64_t, std::int64_t>{0, 3600}, {minute - 7200, 60}, {minute - 3600, 60}}) {
            putPeriod(store.database(), start, seconds, "measured");
            putAggregate(store.database(), start, seconds, 60, 0, 0, 1.5, 2, 0.25);
        }
        for (const double start : {120.0, now - 40 * 86400})
            store.database().run(HistoryWriter::insertEventSQL, {V::text("outage"), V::text("router"), V::text("router"),
                                                         V::text("192.168.1.1"), V::real(start), V::real(start + 60), V::null()});
    });
    const auto lines = [](const std::optional<std::string>& text) {
        return text ? std::count(text->begin(), text->end(), '\n') : -1;
    };
    const std::string first = "\n1970-01-01T00:00:00Z,3600,measured,router,";
    struct Case {
        int retention;
        // The header, the rows and one line per gap before, between and after them.
        long measurements;
        bool damagedRow;
        long events;
    };
    for (const Case& test : {Case{0, 1 + 3 + 3, true, 1 + 2}, Case{90, 1 + 2 + 3, false, 1 + 1}}) {
        history.setRetentionDays(test.retention);
        const auto measurements = CSVExport::read(&history, CSVExport::Kind::aggregates, CSVExport::Range::all, now);
        EXPECT_EQ(lines(measurements), test.measurements) << test.retention << "\n" << measurements.value_or("").substr(0, 2000);
        EXPECT_EQ(measurements.value_or("").find(first) != std::string::npos, test.damagedRow) << test.retention;
        const auto events = CSVExport::read(&history, CSVExport::Kind::events, CSVExport::Range::all, now);
        EXPECT_EQ(lines(events), test.events) << test.retention;
    }
}

}  // namespace
}  // namespace nerivane
