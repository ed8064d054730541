#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <thread>

#include "nerivane/export/AtomicFile.h"
#include "nerivane/export/DevChecks.h"

namespace nerivane {
namespace {

TEST(DevChecks, ReplacesTheFileAndWritesWholeLinesFromAnyThread) {
    QTemporaryDir root;
    const QString path = root.filePath(QStringLiteral("dev.log"));
    ASSERT_EQ(AtomicFile::write(path, "left over from an earlier run\n"), std::nullopt);

    std::atomic<std::uint64_t> clock{5'000'000'000};
    DevChecks::Sources sources;
    sources.wifi = [] { return std::optional<DevChecks::WiFiReading>(); };
    sources.monotonic = [&] { return clock.load(); };
    sources.continuous = [&] { return clock.load(); };
    auto log = DevChecks::open(path.toStdString(), sources);
    ASSERT_NE(log, nullptr);
    clock += 1'250'000'000;
    log->write("first");
    std::thread other([&] { log->write("second"); });
    other.join();
    log->flush();

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 6);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("    0.000 developer log started pid=")));
    EXPECT_TRUE(lines[2].startsWith(QStringLiteral("    0.000 log entries=")));
    EXPECT_EQ((QStringList{lines[1], lines[3], lines[4], lines[5]}),
              (QStringList{"    0.000 wifi none", "    0.000 clock asleep=0.000s since start", "    1.250 first", "    1.250 second"}));

    EXPECT_EQ(DevChecks::open(root.filePath(QStringLiteral("missing/dev.log")).toStdString()), nullptr);
}

}  // namespace
}  // namespace nerivane
