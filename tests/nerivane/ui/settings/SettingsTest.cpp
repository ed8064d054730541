// The settings page as a user drives it: choices land in the preferences at
// once (second host off leaves one internet target), a host field refuses
// what is not a host and keeps the stored one, the hints follow the
// slow-rate reason and the notification refusal, and the launch-at-login
// switch writes the autostart entry or shows why it could not.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include "support/widgets/WidgetsSupport.h"
#include "nerivane/core/Preferences.h"
#include "nerivane/ui/settings/HostField.h"
#include "nerivane/ui/settings/HostPicker.h"
#include "nerivane/ui/settings/LaunchAtLoginSwitch.h"
#include "nerivane/ui/settings/SegmentedPicker.h"
#include "nerivane/ui/settings/SettingsView.h"

namespace nerivane {
namespace {

struct Page {
    QTemporaryDir folder;
    Preferences preferences{folder.filePath("prefs.conf")};
    std::optional<SlowRateReason> reason;
    bool denied = false;
    QString entry = folder.filePath("config/autostart/org.nerivane.Nerivane.desktop");
    std::unique_ptr<SettingsView> view;

    Page() {
        test::widgetsApplication();
        view = std::make_unique<SettingsView>(
            preferences, SettingsView::Status{[this] { return reason; }, [this] { return denied; }},
            LaunchAtLogin(entry, QStringLiteral("/usr/bin/nerivane")));
        view->resize(380, 900);
        view->show();
    }
    template <typename T>
    T& find(const char* name) {
        auto* found = view->findChild<T*>(QString::fromLatin1(name));
        if (!found) throw std::runtime_error(std::string("no control ") + name);
        return *found;
    }
    void choose(const char* picker, const QString& choice) {
        for (auto* button : find<QWidget>(picker).findChildren<QToolButton*>())
            if (button->text() == choice) return button->click();
        throw std::runtime_error("no choice " + choice.toStdString());
    }
    void type(QLineEdit& edit, const QString& text) {
        edit.setFocus();
        edit.selectAll();
        QTest::keyClick(&edit, Qt::Key_Backspace);
        QTest::keyClicks(&edit, text);
        QTest::keyClick(&edit, Qt::Key_Return);
    }
};

TEST(SettingsView, ChoicesAreStoredAtOnceAndTheHintsAndTheLoginSwitchFollow) {
    Page page;
    Preferences& p = page.preferences;
    page.choose("secondaryHost", "off");
    page.choose("displayStyle", "both");
    page.choose("interval", QString::fromUtf8("½s"));
    page.find<QCheckBox>("notifyOutages").click();
    // Stored at once: a second reader of the file sees the choices.
    Preferences reread(page.folder.filePath("prefs.conf"));
    EXPECT_EQ(reread.secondaryHost(), "");
    EXPECT_EQ(reread.displayStyle(), DisplayStyle::textAndTrace);
    EXPECT_EQ(reread.interval(), 0.5);
    EXPECT_TRUE(reread.notifyOutages());
    // The model turning notifications off (a refusal) moves the switch back.
    p.setNotifyOutages(false);
    EXPECT_FALSE(page.find<QCheckBox>("notifyOutages").isChecked());

    // A stored battery interval that cannot be one reads as the one probed.
    p.setBatteryInterval(0);
    page.reason = SlowRateReason::battery;
    page.view->refreshStatus();
    EXPECT_EQ(page.find<QLabel>("rateHint").text(), "On battery now, so probing every 5s.");
    p.setBatteryInterval(5);
    for (const auto& [reason, denied, hint] :
         {std::tuple<std::optional<SlowRateReason>, bool, const char*>{SlowRateReason::lowPowerMode, true, "The power saver profile is on, so probing every 5s."},
          {SlowRateReason::expensivePath, false, "This network is a hotspot or metered, so probing every 5s."},
          {std::nullopt, true, "The battery interval also applies with the power saver profile, and on metered networks."}}) {
        std::tie(page.reason, page.denied) = std::tie(reason, denied);
        page.view->refreshStatus();
        EXPECT_EQ(page.find<QLabel>("rateHint").text(), QString::fromUtf8(hint));
        EXPECT_EQ(page.find<QLabel>("notificationsWarning").isVisible(), denied) << hint;
    }

    // Launch at login writes the autostart entry and takes it away.
    auto& login = page.find<LaunchAtLoginSwitch>("launchAtLogin");
    login.toggle().click();
    EXPECT_TRUE(login.isOn() && QFile::exists(page.entry));
    login.toggle().click();
    EXPECT_FALSE(login.isOn() || QFile::exists(page.entry));
    // A file where the autostart folder belongs (fails for root too): the
    // switch stays off, names the folder, and the file is left as it was.
    QTemporaryDir config;
    ASSERT_TRUE(QFile(config.filePath("autostart")).open(QIODevice::WriteOnly));
    LaunchAtLoginSwitch blocked(LaunchAtLogin(config.filePath("autostart/org.nerivane.Nerivane.desktop"), "/usr/bin/nerivane"));
    blocked.toggle().click();
    EXPECT_FALSE(blocked.isOn());
    EXPECT_EQ(blocked.errorText(), "Couldn't create the folder " + config.filePath("autostart") + ".");
    EXPECT_EQ(test::fileBytes(config.filePath("autostart")), "");

    // Drawn with the last hint, the warning and a refused host.
    page.choose("primaryHost", "other");
    page.type(page.find<HostPicker>("primaryHost").field().edit(), "1.1.1.1:53");
    page.view->resize(page.view->width(), page.view->sizeHint().height());
    for (bool dark : {false, true}) {
        page.view->setPalette(test::scenePalette(dark));
        test::keepPicture(page.view->grab().toImage(), QStringLiteral("settings-page-%1.png").arg(dark ? "dark" : "light"));
    }
}

TEST(SettingsView, HostFieldsRefuseWhatIsNotAHostAndKeepTheStoredOne) {
    Page page;
    Preferences& p = page.preferences;
    auto& primary = page.find<HostPicker>("primaryHost");

    page.choose("primaryHost", "other");
    ASSERT_TRUE(primary.field().isVisible());
    EXPECT_EQ(p.primaryHost(), "1.1.1.1") << "other stores nothing until a host is committed";
    page.type(primary.field().edit(), "https://dns.example/");
    EXPECT_EQ(p.primaryHost(), "1.1.1.1");
    EXPECT_EQ(primary.field().errorText(), "Enter the host alone, not a web address.");
    page.type(primary.field().edit(), "  dns.example ");
    EXPECT_EQ(p.primaryHost(), "dns.example");
    EXPECT_EQ(primary.field().errorText(), "");
    page.type(primary.field().edit(), "");
    EXPECT_EQ(p.primaryHost(), "dns.example") << "the primary host cannot be emptied";

    auto& second = page.find<HostField>("customHost1");
    page.type(second.edit(), "nas.lan:8080");
    EXPECT_EQ(second.errorText(), "Enter the host without a port.");
    EXPECT_TRUE(p.customHosts().isEmpty());
    page.type(second.edit(), "nas.lan");
    page.type(page.find<HostField>("customHost0").edit(), "two words");
    EXPECT_EQ(p.customHosts(), (QStringList{"", "nas.lan"})) << "the second field stays the second entry";
    page.type(second.edit(), "");
    EXPECT_TRUE(p.customHosts().isEmpty()) << "an empty custom field removes its host";
}

}  // namespace
}  // namespace nerivane
