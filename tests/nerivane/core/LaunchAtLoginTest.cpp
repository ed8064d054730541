// Launch at login against a scratch XDG_CONFIG_HOME.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "support/qt/QtSupport.h"
#include "nerivane/core/LaunchAtLogin.h"

namespace nerivane {
namespace {

QString readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
}

TEST(LaunchAtLogin, OnWritesAnEntryThatStartsTheProgramOffRemovesItAndAHiddenEntryReadsAsOff) {
    QTemporaryDir config;
    const QString path = LaunchAtLogin::defaultEntryPath(config.path(), QStringLiteral("/nonexistent"));
    EXPECT_EQ(path, config.path() + "/autostart/org.nerivane.Nerivane.desktop");
    EXPECT_EQ(LaunchAtLogin::defaultEntryPath(QStringLiteral("relative"), QStringLiteral("/home/u")),
              "/home/u/.config/autostart/org.nerivane.Nerivane.desktop");

    // A blank, $ and % are quoted and escaped, so the session starts the right program.
    const LaunchAtLogin login(path, QStringLiteral("/opt/my apps/a$b/100%/nerivane"));
    EXPECT_FALSE(login.isEnabled());
    EXPECT_EQ(login.setEnabled(true), std::nullopt);
    EXPECT_TRUE(login.isEnabled());
    const QString entry = readAll(path);
    EXPECT_TRUE(entry.startsWith("[Desktop Entry]\n") && entry.contains("\nType=Application\n")) << entry.toStdString();
    EXPECT_TRUE(entry.contains("\nExec=\"/opt/my apps/a\\\\$b/100%%/nerivane\"\n")) << entry.toStdString();
    EXPECT_TRUE(LaunchAtLogin::entryText("/usr/bin/nerivane").contains("\nExec=/usr/bin/nerivane\n"));

    EXPECT_EQ(login.setEnabled(false), std::nullopt);
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_EQ(login.setEnabled(false), std::nullopt) << "off twice is not an error";

    writeFile(path, "[Desktop Entry]\nType=Application\nExec=/usr/bin/nerivane\nHidden=true\n");
    EXPECT_FALSE(login.isEnabled());
    EXPECT_EQ(login.setEnabled(true), std::nullopt);
    EXPECT_TRUE(login.isEnabled()) << "on replaces the hidden entry";
}

TEST(LaunchAtLogin, AFolderThatCannotBeMadeGivesTheErrorTextAndChangesNothing) {
    QTemporaryDir config;
    // A plain file where the autostart folder should be: fails for root too.
    writeFile(config.path() + "/autostart", "not a folder");
    const LaunchAtLogin login(LaunchAtLogin::defaultEntryPath(config.path(), QString()), QStringLiteral("/usr/bin/nerivane"));
    const auto error = login.setEnabled(true);
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(error->contains(config.path() + "/autostart")) << error->toStdString();
    EXPECT_FALSE(login.isEnabled());
    EXPECT_EQ(readAll(config.path() + "/autostart"), "not a folder");
}

}  // namespace
}  // namespace nerivane
