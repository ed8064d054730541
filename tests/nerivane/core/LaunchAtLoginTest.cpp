// Launch at login against a scratch XDG_CONFIG_HOME (a folder it cannot
// make: the settings page's switch, SettingsTest).
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <vector>

#include "nerivane/core/LaunchAtLogin.h"
#include "support/qt/QtSupport.h"

namespace nerivane {
namespace {

TEST(LaunchAtLogin, OnWritesAnEntryThatStartsTheProgramOffRemovesItAndAHiddenEntryReadsAsOff) {
    QTemporaryDir config;
    const QString path = LaunchAtLogin::defaultEntryPath(config.path(), QStringLiteral("/nonexistent"));
    EXPECT_EQ(LaunchAtLogin::defaultEntryPath(QStringLiteral("relative"), QStringLiteral("/home/u")),
              "/home/u/.config/autostart/org.nerivane.Nerivane.desktop");

    // A blank, $ and % are quoted and escaped, so the session starts the right program.
    const LaunchAtLogin login(path, QStringLiteral("/opt/my apps/a$b/100%/nerivane"));
    EXPECT_FALSE(login.isEnabled());
    EXPECT_TRUE(!login.setEnabled(true) && login.isEnabled());
    const QString entry = QString::fromUtf8(test::fileBytes(path));
    EXPECT_TRUE(entry.startsWith("[Desktop Entry]\n") && entry.contains("\nExec=\"/opt/my apps/a\\\\$b/100%%/nerivane\"\n")) << entry.toStdString();
    EXPECT_TRUE(!login.setEnabled(false) && !QFile::exists(path));

    QFile hidden(path);
    ASSERT_TRUE(hidden.open(QIODevice::WriteOnly) && hidden.write("[Desktop Entry]\nType=Application\nExec=/usr/bin/nerivane\nHidden=true\n") > 0);
    hidden.close();
    EXPECT_FALSE(login.isEnabled());
    EXPECT_TRUE(!login.setEnabled(true) && login.isEnabled()) << "on replaces the hidden entry";
}

// A path that could end the Exec line and add keys of its own (Hidden, a
// second Exec) is refused with the error under the switch, and never written;
// the entry's text keeps such a path on its one line as string escapes.
TEST(LaunchAtLogin, APathWithLineBreaksOrTabsIsRefusedAndNeverSplitsTheEntry) {
    QTemporaryDir config;
    const QString path = LaunchAtLogin::defaultEntryPath(config.path(), {});
    for (const auto& [program, exec] : std::vector<std::pair<QString, QString>>{
             {"/opt/n\nHidden=true/nerivane", "Exec=\"/opt/n\\nHidden=true/nerivane\""},
             {"/opt/n\rExec=/tmp/evil/nerivane", "Exec=\"/opt/n\\rExec=/tmp/evil/nerivane\""},
             {"/opt/n\tX/nerivane", "Exec=\"/opt/n\\tX/nerivane\""}}) {
        SCOPED_TRACE(program.toStdString());
        const auto error = LaunchAtLogin(path, program).setEnabled(true);
        ASSERT_TRUE(error.has_value());
        EXPECT_TRUE(error->contains("control character")) << error->toStdString();
        EXPECT_FALSE(QFile::exists(path));
        const QStringList lines = LaunchAtLogin::entryText(program).split(u'\n', Qt::SkipEmptyParts);
        EXPECT_EQ(lines.size(), 7);
        EXPECT_TRUE(lines.contains(exec)) << lines.join(u'|').toStdString();
        for (const QString& line : lines) EXPECT_FALSE(line.contains(u'\r') || line.startsWith("Hidden")) << line.toStdString();
    }
}

}  // namespace
}  // namespace nerivane
