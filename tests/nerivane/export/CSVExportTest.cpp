#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QDateTime>
#include <cmath>
#include <csignal>

#include "NerivaneKit/history/History.h"
#include "support/qt/QtSupport.h"
#include "nerivane/export/AtomicFile.h"
#include "nerivane/export/CSVExport.h"

namespace nerivane {
namespace {

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

TEST(AtomicFile, ReplacesOnSuccessAndLeavesNothingHalfWrittenOnFailure) {
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("export.csv"));
    ASSERT_EQ(AtomicFile::write(path, "old\n"), std::nullopt);
    ASSERT_EQ(AtomicFile::write(path, "new\n"), std::nullopt);
    EXPECT_EQ(contents(path), "new\n");

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
    EXPECT_EQ(contents(path), "new\n");
    EXPECT_EQ(QDir(directory.path()).entryList(QDir::Files), QStringList{QStringLiteral("export.csv")});
}

TEST(AtomicFile, AFolderThatTakesNoFilesGivesTheSystemsReason) {
    // /proc takes no new files, whoever asks, root too.
    EXPECT_FALSE(AtomicFile::write(QStringLiteral("/proc/nerivane-events.csv"), "start,end\n").value_or(QString()).isEmpty());
}

TEST(CSVExportRead, ProducesTheTextOffTheCallingThreadAndNothingWithoutHistory) {
    test::application();
    History history(std::nullopt);
    // Retention prunes by the real clock, so the event is a recent one.
    const double now = std::floor(static_cast<double>(QDateTime::currentSecsSinceEpoch()) / 60) * 60;
    history.record(NetworkEvent{NetworkEvent::Kind::spike, TargetRole::internet(0), "1.1.1.1",
                                *ProbeAddress::parse("1.1.1.1"), now - 600, now - 590, 310.5});
    auto future = CSVExport::produce(&history, CSVExport::Kind::events, CSVExport::Range::hour, now);
    future.waitForFinished();
    const std::optional<std::string> text = future.result();
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(text->substr(0, text->find('\n')), "start,end,duration_s,type,target,address,worst_rtt_ms");
    EXPECT_NE(text->find(",10.0,spike,1.1.1.1,1.1.1.1,310.500\n"), std::string::npos) << *text;

    auto none = CSVExport::produce(nullptr, CSVExport::Kind::aggregates, CSVExport::Range::all, now);
    none.waitForFinished();
    EXPECT_EQ(none.result(), std::nullopt);
    EXPECT_EQ(CSVExport::readFailureText(), QStringLiteral("The history could not be read."));
}

}  // namespace
}  // namespace nerivane
