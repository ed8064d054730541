#include "nerivane/export/DiagnosticsService.h"

#include <QDBusMessage>

#include "nerivane/export/DiagnosticsReport.h"

namespace nerivane {

DiagnosticsService::DiagnosticsService(AppModel& model, QObject* parent) : QObject(parent), model_(model) {}

bool DiagnosticsService::registerOn(AppModel& model, QObject* parent, QDBusConnection connection) {
    auto* service = new DiagnosticsService(model, parent);
    if (connection.registerObject(QString::fromUtf8(objectPath), service, QDBusConnection::ExportAllSlots)) {
        return true;
    }
    delete service;
    return false;
}

QString DiagnosticsService::Report() {
    // The events are read off the main thread; the reply follows when they are in.
    setDelayedReply(true);
    QDBusMessage request = message();
    QDBusConnection bus = connection();
    DiagnosticsReport::collect(model_, this, [request, bus](const QString& report) mutable {
        bus.send(request.createReply(report));
    });
    return QString();
}

}  // namespace nerivane
