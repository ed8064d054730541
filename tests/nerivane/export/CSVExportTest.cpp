#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>

#include "nerivane/export/AtomicFile.h"

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

}  // namespace
}  // namespace nerivane
