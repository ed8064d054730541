// Test support for the Qt side: readable QString failures, one
// QCoreApplication for the whole test program, and waiting on its event loop.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QThread>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QStringList& list, std::ostream* out) {
    *out << '[' << list.join(QStringLiteral(", ")).toStdString() << ']';
}

namespace nerivane::test {

// Created on first use and never destroyed: Qt's D-Bus threads may still
// hold on to it while static objects go away at exit.
inline QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "test_core";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = QCoreApplication::instance() ? QCoreApplication::instance()
                                                                 : new QCoreApplication(argc, argv);
    return *app;
}

// The bytes of a file, "<missing>" when it cannot be read.
inline QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Runs the event loop until the condition holds or the time is up (generous:
// the machine may be loaded). Returns whether the condition held.
template <typename Condition>
bool waitUntil(Condition condition, int milliseconds = 10000) {
    application();
    QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

}  // namespace nerivane::test
