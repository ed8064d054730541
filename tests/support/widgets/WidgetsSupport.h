// Test support for widgets: one QApplication for the whole test program, on
// the offscreen platform unless QT_QPA_PLATFORM names another, so tests that
// render run without a display; a fixed look (Fusion, DejaVu Sans, a light or
// dark palette); and saving a render when NERIVANE_PICTURES names a folder,
// so a person can check the pictures. Main thread.
#pragma once

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QStyle>
#include <QStyleFactory>
#include <cstdlib>

#include "support/qt/QtSupport.h"

namespace nerivane::test {

// Created on first use and never destroyed, like the core tests' application.
inline QApplication& widgetsApplication() {
    static int argc = 1;
    static char name[] = "test_nerivane_ui";
    static char* argv[] = {name, nullptr};
    static QApplication* app = (setenv("QT_QPA_PLATFORM", "offscreen", 0), new QApplication(argc, argv));
    return *app;
}

// Runs the event loop until the condition holds or the time is up.
template <typename Condition>
bool waitForWidgets(Condition condition, int milliseconds = 10000) {
    widgetsApplication();
    return waitUntil(condition, milliseconds);
}

inline QPalette scenePalette(bool dark) {
    static QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"));
    QPalette palette = fusion->standardPalette();
    if (!dark) return palette;
    const QColor window(0x2b, 0x2d, 0x31), base(0x1e, 0x1f, 0x22), text(0xe8, 0xe8, 0xea);
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
        for (auto role : {QPalette::Window, QPalette::AlternateBase}) palette.setColor(group, role, window);
        for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) palette.setColor(group, role, text);
        palette.setColor(group, QPalette::Base, base);
        palette.setColor(group, QPalette::Button, QColor(0x3a, 0x3c, 0x41));
        palette.setColor(group, QPalette::Highlight, QColor(0x3d, 0x8e, 0xe0));
    }
    return palette;
}

// Fixed look whatever the machine: Fusion, DejaVu Sans (9 points unless
// NERIVANE_FONT_POINTS says), no icon theme.
inline void fixLook(bool dark) {
    widgetsApplication();
    if (QApplication::font().family() != QStringLiteral("DejaVu Sans")) {
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        // NERIVANE_FONT_POINTS: a desktop's larger font, for the checks that nothing is cut.
        const int points = qEnvironmentVariableIntValue("NERIVANE_FONT_POINTS");
        QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), points > 0 ? points : 9));
        QIcon::setThemeSearchPaths({});
        QIcon::setThemeName(QString());
    }
    QApplication::setPalette(scenePalette(dark));
}

inline void keepPicture(const QImage& image, const QString& name) {
    const QString folder = qEnvironmentVariable("NERIVANE_PICTURES");
    if (!folder.isEmpty()) image.save(QDir(folder).filePath(name));
}

}  // namespace nerivane::test
