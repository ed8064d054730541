// Test support for widgets: one QApplication for the whole test program, on
// the offscreen platform unless QT_QPA_PLATFORM names another, so tests that
// render run without a display. Call application() before any widget exists.
#pragma once

#include <QApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QThread>
#include <cstdlib>

namespace nerivane::test {

// Created on first use and never destroyed, like the core tests' application.
inline QApplication& widgetsApplication() {
    static int argc = 1;
    static char name[] = "test_nerivane_ui";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Runs the event loop until the condition holds or the time is up.
template <typename Condition>
bool waitForWidgets(Condition condition, int milliseconds = 10000) {
    widgetsApplication();
    QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

}  // namespace nerivane::test
