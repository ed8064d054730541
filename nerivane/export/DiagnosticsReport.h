// The plain-text support report: build and system, every setting, the
// probing state, the network path, each target with its metrics, the latest
// stored events and the application's own log of the last ten minutes.
// text() is pure over Contents; the live parts are gathered on the main
// thread, the events are read off it (collect), and a report without a
// running instance is built from the stored settings and history (offline).
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "NerivaneKit/analysis/MonitorSnapshot.h"
#include "NerivaneKit/analysis/NetworkEvent.h"
#include "NerivaneKit/history/TimeZone.h"
#include "NerivaneKit/platform/LogStore.h"
#include "nerivane/core/Accent.h"
#include "nerivane/core/DisplayStyle.h"
#include "nerivane/core/MenuBarTarget.h"

namespace nerivane {

class AppModel;
class History;
class HistoryQueries;
class Preferences;

class DiagnosticsReport {
public:
    static constexpr int eventLimit = 50;
    static constexpr std::chrono::seconds logWindow{600};

    struct Facts {
        QString version;
        QString build;
        // "Linux Debian GNU/Linux 12 (bookworm) 6.1.0-18-amd64"
        QString system;
        // Unix seconds.
        double now = 0;
        TimeZone zone = TimeZone::utc();
        // This build, this machine, this moment, the local zone.
        static Facts current();
    };

    struct Settings {
        DisplayStyle style = DisplayStyle::textAndTrace;
        MenuBarTarget target = MenuBarTarget::internet;
        double interval = 0;
        double batteryInterval = 0;
        Accent accent = Accent::phosphor;
        QString primaryHost;
        QString secondaryHost;
        QStringList customHosts;
        bool probeIPv6 = false;
        bool keepMonitoringWhileLocked = false;
        int retentionDays = 0;
        bool notifyOutages = false;
        bool notifyVerdictChanges = false;
        static Settings from(const Preferences& preferences);
    };

    // What only a running instance knows.
    struct Live {
        double probingInterval = 0;
        bool stoppedWhileLocked = false;
        std::optional<double> pausedUntil;
        MonitorSnapshot snapshot;
        // The metrics endpoint's state; empty while it is off.
        std::string metricsEndpoint;
        static Live from(AppModel& model);
    };

    struct Contents {
        Facts facts;
        Settings settings;
        // None: no instance is running, and the report says so.
        std::optional<Live> live;
        // Without live: the process id of an instance that writes the
        // history but did not answer (no session bus in common, as with a
        // system service).
        std::optional<long> silentInstance;
        // Newest first.
        std::vector<NetworkEvent> events;
        std::vector<std::string> log;
    };

    static QString text(const Contents& contents);

    // "Linux ", the PRETTY_NAME of an os-release text (or "Linux" without
    // one), a blank and the kernel release.
    static QString systemLine(const QString& osRelease, const QString& kernelRelease);
    // From /etc/os-release (else /usr/lib/os-release) and uname.
    static QString systemLine();

    // This application's messages of the last ten minutes, oldest first.
    static std::vector<std::string> logLines(const LogStore& store = LogStore::shared());
    // The latest stored events, newest first; none without history or when
    // the read fails (logged as "history read: ..."). Not on the main thread.
    static std::vector<NetworkEvent> latestEvents(History* history);
    // The same from queries of a file opened for reading (throws Database::Error).
    static std::vector<NetworkEvent> latestEvents(const HistoryQueries& queries);

    // The live report: state taken now on the main thread, events read on a
    // background thread, done called on context's thread with the text
    // (not at all if context is gone by then). The read holds a reader of
    // the history, not the history: a model destroyed meanwhile waits for a
    // read under way, and a later one finds no events.
    static void collect(AppModel& model, QObject* context, std::function<void(const QString&)> done);
    // Without a running instance: the stored settings and the events read
    // from the file (newest first).
    static QString offline(const Preferences& preferences, std::vector<NetworkEvent> events,
                           std::optional<long> silentInstance = std::nullopt);
};

}  // namespace nerivane
