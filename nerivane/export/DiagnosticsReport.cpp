#include "nerivane/export/DiagnosticsReport.h"

#include <sys/utsname.h>

#include <QDateTime>
#include <QFile>
#include <QFutureWatcher>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <exception>

#include "NerivaneKit/history/History.h"
#include "NerivaneKit/history/HistoryCSV.h"
#include "NerivaneKit/history/HistoryQueries.h"
#include "NerivaneKit/platform/Log.h"
#include "NerivaneKit/platform/NumberText.h"
#include "nerivane/core/AppModel.h"
#include "nerivane/core/Preferences.h"

namespace nerivane {
namespace {

// A number of seconds or milliseconds as its shortest exact decimal, always
// with a fraction: 1.0, 0.5, 12.345.
QString decimal(double value) {
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, error == std::errc() ? end : buffer);
    if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) text += ".0";
    return QString::fromStdString(text);
}

QString decimal(const std::optional<double>& value) {
    return value ? decimal(*value) : QStringLiteral("none");
}

QString boolean(bool value) {
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

QString orNone(const std::optional<std::string>& text) {
    return text ? QString::fromStdString(*text) : QStringLiteral("none");
}

QString orNone(const std::optional<ProbeAddress>& address) {
    return address ? QString::fromStdString(address->text()) : QStringLiteral("none");
}

// "ok", "down", "measuring", or "bad(loss+jitter+latency)" with the problems held.
QString stateText(const TargetState& state) {
    switch (state.kind) {
    case TargetState::Kind::measuring: return QStringLiteral("measuring");
    case TargetState::Kind::ok: return QStringLiteral("ok");
    case TargetState::Kind::down: return QStringLiteral("down");
    case TargetState::Kind::bad: break;
    }
    QStringList problems;
    if (state.problems.contains(Problems::loss())) problems << QStringLiteral("loss");
    if (state.problems.contains(Problems::jitter())) problems << QStringLiteral("jitter");
    if (state.problems.contains(Problems::latency())) problems << QStringLiteral("latency");
    return QStringLiteral("bad(%1)").arg(problems.join(u'+'));
}

QString iso(const TimeZone& zone, double unixSeconds) {
    return QString::fromStdString(zone.iso8601(static_cast<std::int64_t>(std::floor(unixSeconds))));
}

QString settingsLine(const DiagnosticsReport::Settings& s) {
    QStringList hosts{s.primaryHost};
    if (!s.secondaryHost.isEmpty()) hosts << s.secondaryHost;
    const QString custom = s.customHosts.isEmpty() ? QStringLiteral("none") : s.customHosts.join(u',');
    return QStringLiteral("settings") + " style=" + QString::fromUtf8(text(s.style)) +
           " target=" + QString::fromUtf8(text(s.target)) + " interval=" + decimal(s.interval) +
           "s battery-interval=" + decimal(s.batteryInterval) + "s accent=" + QString::fromUtf8(text(s.accent)) +
           " hosts=" + hosts.join(u',') + " custom=" + custom + " ipv6=" + boolean(s.probeIPv6) +
           " keep-while-locked=" + boolean(s.keepMonitoringWhileLocked) +
           " retention=" + QString::number(s.retentionDays) + "d notify-outages=" + boolean(s.notifyOutages) +
           " notify-verdicts=" + boolean(s.notifyVerdictChanges);
}

// Throughput in whole bits per second.
QString bits(double bitsPerSecond) {
    return QString::number(std::llround(bitsPerSecond));
}

void appendLoad(QStringList& lines, const LoadSnapshot& load, const TimeZone& zone) {
    lines << QStringLiteral("under load:");
    lines << QStringLiteral("traffic interface=") + QString::fromStdString(load.interfaceName) +
                 " now=" + QString::fromUtf8(text(load.now)) + " upload-bps=" + bits(load.uploadBitsPerSecond) +
                 " download-bps=" + bits(load.downloadBitsPerSecond) +
                 " capacity-upload-bps=" + bits(load.capacity.uploadBitsPerSecond) +
                 " capacity-download-bps=" + bits(load.capacity.downloadBitsPerSecond);
    for (const LoadDirection direction : {LoadDirection::upload, LoadDirection::download}) {
        const DirectionLoad& figures = load.direction(direction);
        QString line = QString::fromUtf8(text(direction)) + ": grade=" +
                       (figures.grade ? QString::fromUtf8(text(*figures.grade)) : QStringLiteral("none")) +
                       " queue=" + QString::fromUtf8(text(figures.queue));
        for (const auto& [name, role] : {std::pair{"internet", &figures.internet}, std::pair{"router", &figures.router}}) {
            if (!*role) continue;
            const RoleLoad& r = **role;
            line += QStringLiteral(" ") + name + "-idle=" + decimal(r.idleMedian) + " " + name +
                    "-busy=" + decimal(r.busyMedian) + " " + name + "-added=" + decimal(r.added) + " " + name +
                    "-busy-probes=" + QString::number(r.busyReplies) + " " + name + "-busy-lost=" +
                    QString::number(r.busyLost);
        }
        if (figures.lastBusy)
            line += QStringLiteral(" last-busy=") + iso(zone, *figures.lastBusy) +
                    " last-busy-bps=" + bits(figures.lastBusyBitsPerSecond);
        lines << line;
    }
}

void appendLive(QStringList& lines, const DiagnosticsReport::Live& live, const TimeZone& zone) {
    QString probing = QStringLiteral("probing interval=") + decimal(live.probingInterval);
    if (live.stoppedWhileLocked) probing += QStringLiteral(", stopped while locked");
    lines << probing;
    if (!live.metricsEndpoint.empty()) lines << QStringLiteral("metrics ") + QString::fromStdString(live.metricsEndpoint);

    const MonitorSnapshot& snapshot = live.snapshot;
    QString verdict = QStringLiteral("verdict ") + QString::fromUtf8(text(snapshot.verdict));
    if (live.pausedUntil) verdict += QStringLiteral(" (paused until ") + iso(zone, *live.pausedUntil) + u')';
    if (snapshot.ipv6Problem) verdict += QStringLiteral(", IPv6 problem");
    lines << verdict;

    const NetworkPath& path = snapshot.path;
    lines << QStringLiteral("path satisfied=") + boolean(path.isSatisfied) + " kind=" + QString::fromUtf8(text(path.kind)) +
                 " interface=" + orNone(path.primaryInterface) + " physical=" + orNone(path.physicalInterface) +
                 " vpn=" + boolean(path.isVPN) + " ipv4=" + boolean(path.hasIPv4) + " ipv6=" + boolean(path.hasIPv6) +
                 " expensive=" + boolean(path.isExpensive) + " constrained=" + boolean(path.isConstrained);
    lines << QStringLiteral("router ipv4=") + orNone(path.routerIPv4) + " ipv6=" + orNone(path.routerIPv6);

    lines << QStringLiteral("targets:");
    for (const TargetSnapshot& target : snapshot.targets) {
        const Metrics& m = target.metrics;
        QString line = QString::fromStdString(target.target.role.text()) + ": " +
                       QString::fromStdString(target.target.host) + u' ' +
                       QString::fromStdString(target.target.address.text());
        if (target.answeredLocally) line += QStringLiteral(" answered-locally");
        line += QStringLiteral(" status=") + QString::fromUtf8(text(target.status)) + " state=" + stateText(target.state) +
                " median=" + decimal(m.median) + " p95=" + decimal(m.p95) + " min=" + decimal(m.baseline) +
                " jitter=" + decimal(m.jitter) + " sent=" + QString::number(m.sent) + " lost=" + QString::number(m.lost) +
                " late=" + QString::number(m.late);
        lines << line;
    }
    // The newest sweep toward the first internet host: "hop 2 100.64.0.1 (name) 1.2 ms".
    for (const auto& hop : snapshot.hops) {
        QString line = QStringLiteral("hop ") + QString::number(hop.ttl) + u' ' +
                       (hop.address ? QString::fromStdString(hop.address->text()) : QStringLiteral("*"));
        if (!hop.name.empty()) line += QStringLiteral(" (") + QString::fromStdString(hop.name) + u')';
        if (hop.roundTripMilliseconds) line += u' ' + decimal(hop.roundTripMilliseconds) + QStringLiteral(" ms");
        if (hop.isDestination) line += QStringLiteral(" destination");
        lines << line;
    }
    if (snapshot.lookups) {
        const LookupSnapshot& lookups = *snapshot.lookups;
        lines << QStringLiteral("dns health=") + QString::fromUtf8(text(lookups.health)) +
                     " system=" + (lookups.systemFailed ? QStringLiteral("failed") : decimal(lookups.systemSeconds));
        for (const auto& entry : lookups.servers) {
            lines << QStringLiteral("dns server ") + QString::fromStdString(entry.server.address) +
                         (entry.server.link.empty() ? QString() : QStringLiteral(" link=") + QString::fromStdString(entry.server.link)) +
                         " median=" + decimal(entry.medianSeconds) +
                         " failures-last-minute=" + QString::number(entry.failuresLastMinute) + " latest=" +
                         (entry.latestFailure ? QString::fromUtf8(text(*entry.latestFailure)) : QStringLiteral("answered"));
        }
    }
    if (snapshot.load) appendLoad(lines, *snapshot.load, zone);
}

std::optional<QString> prettyName(const QString& osRelease) {
    for (const QString& line : osRelease.split(u'\n')) {
        if (!line.startsWith(QStringLiteral("PRETTY_NAME="))) continue;
        QString value = line.mid(12).trimmed();
        if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') && value.back() == value.front()) {
            value = value.mid(1, value.size() - 2);
        }
        value.replace(QStringLiteral("\\\""), QStringLiteral("\""));
        if (!value.isEmpty()) return value;
    }
    return std::nullopt;
}

}  // namespace

DiagnosticsReport::Facts DiagnosticsReport::Facts::current() {
    Facts facts;
    facts.version = QStringLiteral(NERIVANE_VERSION);
#ifdef NERIVANE_BUILD
    facts.build = QStringLiteral(NERIVANE_BUILD);
#else
    facts.build = facts.version;
#endif
    facts.system = systemLine();
    facts.now = static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000;
    facts.zone = TimeZone::current();
    return facts;
}

DiagnosticsReport::Settings DiagnosticsReport::Settings::from(const Preferences& p) {
    return Settings{p.displayStyle(), p.menuBarTarget(), p.interval(), p.batteryInterval(), p.accent(),
                    p.primaryHost(), p.secondaryHost(), p.customHosts(), p.probeIPv6(),
                    p.keepMonitoringWhileLocked(), p.retentionDays(), p.notifyOutages(), p.notifyVerdictChanges()};
}

DiagnosticsReport::Live DiagnosticsReport::Live::from(AppModel& model) {
    Live live;
    live.probingInterval = model.monitorInterval().value_or(model.preferences().interval());
    live.stoppedWhileLocked = model.isLockPaused();
    live.pausedUntil = model.pausedUntil();
    live.snapshot = model.snapshot();
    live.metricsEndpoint = model.metricsEndpoint();
    return live;
}

QString DiagnosticsReport::text(const Contents& contents) {
    const Facts& facts = contents.facts;
    QStringList lines;
    lines << QStringLiteral("nerivane %1 (%2)").arg(facts.version, facts.build);
    lines << facts.system;
    lines << QStringLiteral("time ") + iso(facts.zone, facts.now);
    lines << settingsLine(contents.settings);
    if (contents.live) {
        appendLive(lines, *contents.live, facts.zone);
    } else if (contents.silentInstance) {
        lines << QStringLiteral("an instance is running (process %1) but does not answer on this session bus: "
                                "no probing state, path or targets")
                     .arg(*contents.silentInstance);
    } else {
        lines << QStringLiteral("no instance is running: no probing state, path or targets");
    }

    lines << QStringLiteral("events (latest 50, newest first):");
    for (const NetworkEvent& event : contents.events) {
        QString line = iso(facts.zone, event.start) + u' ' + QString::fromUtf8(nerivane::text(event.kind)) + u' ' +
                       QString::fromStdString(event.host) + u' ' + QString::fromStdString(event.address.text()) +
                       u' ' + QString::fromStdString(NumberText::duration(event.duration()));
        if (event.worstRTT) line += " worst " + QString::fromStdString(NumberText::milliseconds(event.worstRTT));
        lines << line;
    }

    // Only a running instance keeps a log worth showing.
    if (contents.live || !contents.log.empty()) {
        lines << QStringLiteral("log (last 10 minutes):");
        for (const std::string& message : contents.log) lines << QString::fromStdString(message);
    }
    return lines.join(u'\n') + u'\n';
}

QString DiagnosticsReport::systemLine(const QString& osRelease, const QString& kernelRelease) {
    QString line = QStringLiteral("Linux");
    if (auto name = prettyName(osRelease)) line += u' ' + *name;
    if (!kernelRelease.isEmpty()) line += u' ' + kernelRelease;
    return line;
}

QString DiagnosticsReport::systemLine() {
    QString osRelease;
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        QFile file(QString::fromUtf8(path));
        if (file.open(QIODevice::ReadOnly)) {
            osRelease = QString::fromUtf8(file.readAll());
            break;
        }
    }
    struct utsname names {};
    const QString kernel = uname(&names) == 0 ? QString::fromUtf8(names.release) : QString();
    return systemLine(osRelease, kernel);
}

std::vector<std::string> DiagnosticsReport::logLines(const LogStore& store) {
    std::vector<std::string> lines;
    for (const LogEntry& entry : store.entries(logWindow, Log::defaultSubsystem)) {
        // One message per line, even a message that spans several.
        std::string message = entry.message;
        std::replace(message.begin(), message.end(), '\n', ' ');
        lines.push_back(std::move(message));
    }
    return lines;
}

std::vector<NetworkEvent> DiagnosticsReport::latestEvents(History* history) {
    if (!history) return {};
    try {
        return history->latestEvents(eventLimit);
    } catch (const std::exception& error) {
        Log("app").error(std::string("history read: ") + error.what());
        return {};
    }
}

void DiagnosticsReport::collect(AppModel& model, QObject* context, std::function<void(const QString&)> done) {
    Contents contents;
    contents.facts = Facts::current();
    contents.settings = Settings::from(model.preferences());
    contents.live = Live::from(model);
    contents.log = logLines();

    auto* watcher = new QFutureWatcher<std::vector<NetworkEvent>>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context,
                     [watcher, contents = std::move(contents), done = std::move(done)]() mutable {
                         contents.events = watcher->result();
                         watcher->deleteLater();
                         done(text(contents));
                     });
    const History::Reader reader = model.history() ? model.history()->reader() : History::Reader();
    watcher->setFuture(QtConcurrent::run([reader] {
        std::vector<NetworkEvent> events;
        reader.read([&](History& history) { events = latestEvents(&history); });
        return events;
    }));
}

std::vector<NetworkEvent> DiagnosticsReport::latestEvents(const HistoryQueries& queries) {
    return queries.events("1 ORDER BY start DESC LIMIT ?", {Database::Value::integer(eventLimit)});
}

QString DiagnosticsReport::offline(const Preferences& preferences, std::vector<NetworkEvent> events,
                                   std::optional<long> silentInstance) {
    Contents contents;
    contents.silentInstance = silentInstance;
    contents.facts = Facts::current();
    contents.settings = Settings::from(preferences);
    contents.events = std::move(events);
    contents.log = logLines();
    return text(contents);
}

}  // namespace nerivane
