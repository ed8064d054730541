// The running instance's answer to "nerivane --diagnostics": the method
// Report on interface org.nerivane.Nerivane.Diagnostics at objectPath, which
// replies with the live report once its events have been read. Owned by the
// application delegate (Qt parent); main thread.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>

namespace nerivane {

class AppModel;

class DiagnosticsService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.nerivane.Nerivane.Diagnostics")

public:
    static constexpr const char* serviceName = "org.nerivane.Nerivane";
    // A terminal instance's name: the tray's own would make a later tray
    // launch take it for itself already running. Queued, so that with
    // several terminal instances one answers and the next takes over.
    static constexpr const char* consoleServiceName = "org.nerivane.Nerivane.Console";
    static constexpr const char* objectPath = "/org/nerivane/Nerivane/Diagnostics";
    static constexpr const char* interfaceName = "org.nerivane.Nerivane.Diagnostics";

    DiagnosticsService(AppModel& model, QObject* parent = nullptr);

    // Makes a service parented to `parent` and exports it on the connection
    // (the session bus by default); false when the path could not be taken.
    // The bus name itself is the single-instance code's business.
    static bool registerOn(AppModel& model, QObject* parent,
                           QDBusConnection connection = QDBusConnection::sessionBus());

public slots:
    QString Report();

private:
    AppModel& model_;
};

}  // namespace nerivane
