// The desktop portal's color-scheme, read at start and followed through
// SettingChanged, on a private bus with a stand-in portal, back to the
// fallback for "no preference". (The tray's own colours are read under X11:
// the XEmbed tray harness sets them on a real tray.)

#include <gtest/gtest.h>

#include <QDBusVariant>
#include <QSignalSpy>

#include "support/widgets/WidgetsSupport.h"
#include "support/qt/PrivateBus.h"
#include "nerivane/ui/menubar/TrayAppearanceWatcher.h"

namespace nerivane {
namespace {

const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settings = QStringLiteral("org.freedesktop.portal.Settings");

class TrayAppearanceWatcherTest : public test::BusTest {
protected:
    void SetUp() override {
        test::widgetsApplication();
        BusTest::SetUp();
    }
};

TEST_F(TrayAppearanceWatcherTest, PortalColorSchemeAndItsChanges) {
    services->object(portalPath).setMethod(settings, QStringLiteral("Read"), [](const QDBusMessage& call) -> std::optional<QVariantList> {
        if (call.arguments().value(0) != QStringLiteral("org.freedesktop.appearance") ||
            call.arguments().value(1) != QStringLiteral("color-scheme"))
            return std::nullopt;
        // Read answers a variant holding the setting's variant.
        return QVariantList{QVariant::fromValue(QDBusVariant(QVariant::fromValue(QDBusVariant(QVariant(2u)))))};
    });
    ASSERT_TRUE(services->own(QStringLiteral("org.freedesktop.portal.Desktop")));

    TrayAppearanceWatcher watcher(*client);
    ASSERT_TRUE(test::waitForWidgets([&] { return watcher.appearance().name == QStringLiteral("light"); }));
    EXPECT_EQ(watcher.appearance().source, TrayAppearance::Source::colorScheme);

    QSignalSpy changed(&watcher, &TrayAppearanceWatcher::appearanceChanged);
    services->emitSignal(portalPath, settings, QStringLiteral("SettingChanged"),
                         {QStringLiteral("org.freedesktop.appearance"), QStringLiteral("color-scheme"),
                          QVariant::fromValue(QDBusVariant(QVariant(1u)))});
    ASSERT_TRUE(test::waitForWidgets([&] { return changed.count() == 1; }));
    EXPECT_EQ(watcher.appearance().name, QStringLiteral("dark"));
    EXPECT_EQ(watcher.appearance().source, TrayAppearance::Source::colorScheme);

    // Other settings change nothing; "no preference" falls back.
    services->emitSignal(portalPath, settings, QStringLiteral("SettingChanged"),
                         {QStringLiteral("org.gnome.desktop.interface"), QStringLiteral("color-scheme"),
                          QVariant::fromValue(QDBusVariant(QVariant(2u)))});
    services->emitSignal(portalPath, settings, QStringLiteral("SettingChanged"),
                         {QStringLiteral("org.freedesktop.appearance"), QStringLiteral("color-scheme"),
                          QVariant::fromValue(QDBusVariant(QVariant(0u)))});
    ASSERT_TRUE(test::waitForWidgets([&] { return changed.count() == 2; }));
    EXPECT_EQ(watcher.appearance().source, TrayAppearance::Source::fallback);
    services->release(QStringLiteral("org.freedesktop.portal.Desktop"));
}

}  // namespace
}  // namespace nerivane
