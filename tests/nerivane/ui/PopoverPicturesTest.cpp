// The popup as a person sees it: every scene on a light and a dark palette.
// With NERIVANE_PICTURES set, the pictures are written there to be looked at.

#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>

#include "support/widgets/PopoverHarness.h"

namespace nerivane {
namespace {

using test::PopoverHarness;

struct Scene {
    const char* name;
    void (*make)(PopoverHarness&);
};

const Scene allScenes[] = {
    {"good", test::scenes::good},
    {"internet-down", test::scenes::internetDown},
    {"local-problem", test::scenes::localProblem},
    {"vpn-ipv6", test::scenes::vpnWithIPv6Problem},
    {"offline", test::scenes::offline},
    {"paused", test::scenes::paused},
    {"first-run", test::scenes::firstRun},
};

TEST(PopoverPictures, EverySceneOnBothPalettes) {
    const char* folder = std::getenv("NERIVANE_PICTURES");
    if (folder == nullptr) GTEST_SKIP() << "NERIVANE_PICTURES names no folder to write to";
    for (const bool dark : {false, true}) {
        for (const auto& scene : allScenes) {
            test::fixLook(dark);
            PopoverHarness harness;
            scene.make(harness);
            PopoverActions actions;
            actions.exportData = [](ExportChoice) {};
            actions.copyDiagnostics = [](std::function<void()> done) { done(); };
            actions.dismissFirstRun = [&] { harness.state.dismissFirstRun(harness.preferences); };
            // Every control the later parts bring, with stand-ins.
            actions.availableUpdate = [] { return std::optional<QString>("1.2.0"); };
            actions.installUpdate = [] {};
            PopoverView::Places places;
            places.settingsPage = [] { return new QLabel(QStringLiteral("(the settings page)")); };
            auto view = harness.view(actions, places);
            const QImage image = harness.picture(*view);
            const QString name = QStringLiteral("%1/%2-%3.png").arg(QString::fromLocal8Bit(folder), QString::fromLatin1(scene.name),
                                                                    dark ? QStringLiteral("dark") : QStringLiteral("light"));
            EXPECT_TRUE(image.save(name)) << name.toStdString();
            if (scene.make == test::scenes::good) {
                harness.state.setShowingSettings(true);
                EXPECT_TRUE(PopoverSnapshot::render(*view).save(
                    QStringLiteral("%1/settings-%2.png").arg(QString::fromLocal8Bit(folder), dark ? "dark" : "light")));
            }
        }
    }
}

}  // namespace
}  // namespace nerivane
