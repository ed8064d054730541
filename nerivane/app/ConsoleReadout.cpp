#include "nerivane/app/ConsoleReadout.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdio>

#include "nerivane/core/LoadTexts.h"
#include "nerivane/core/LookupTexts.h"

namespace nerivane {
namespace {


QString qtext(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string clockText(double date, const VerdictTexts::Context& context) {
    const auto time = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::llround(date * 1000)), context.zone);
    return time.toString(QStringLiteral("HH:mm:ss")).toStdString();
}

QString isoText(double date, const VerdictTexts::Context& context) {
    const auto time = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::llround(date * 1000)), context.zone);
    return time.toString(Qt::ISODateWithMs);
}

QJsonValue number(const std::optional<double>& value) {
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QJsonValue string(const std::optional<std::string>& value) {
    return value ? QJsonValue(QString::fromStdString(*value)) : QJsonValue(QJsonValue::Null);
}

QJsonArray problemTexts(Problems problems) {
    QJsonArray texts;
    for (const auto& [problem, name] : problemNames) {
        if (problems.contains(problem)) texts.append(qtext(name));
    }
    return texts;
}

QJsonObject pathJson(const NetworkPath& path) {
    const auto address = [](const std::optional<ProbeAddress>& value) {
        return value ? QJsonValue(QString::fromStdString(value->text())) : QJsonValue(QJsonValue::Null);
    };
    return QJsonObject{
        {QStringLiteral("satisfied"), path.isSatisfied},
        {QStringLiteral("kind"), qtext(text(path.kind))},
        {QStringLiteral("interface"), string(path.primaryInterface)},
        {QStringLiteral("physicalInterface"), string(path.physicalInterface)},
        {QStringLiteral("vpn"), path.isVPN},
        {QStringLiteral("ipv4"), path.hasIPv4},
        {QStringLiteral("ipv6"), path.hasIPv6},
        {QStringLiteral("routerIPv4"), address(path.routerIPv4)},
        {QStringLiteral("routerIPv6"), address(path.routerIPv6)},
        {QStringLiteral("expensive"), path.isExpensive},
        {QStringLiteral("constrained"), path.isConstrained},
    };
}

QJsonValue lookupsJson(const std::optional<LookupSnapshot>& lookups) {
    if (!lookups) return QJsonValue(QJsonValue::Null);
    QJsonArray servers;
    for (const auto& entry : lookups->servers) {
        servers.append(QJsonObject{
            {QStringLiteral("address"), QString::fromStdString(entry.server.address)},
            {QStringLiteral("port"), entry.server.port},
            {QStringLiteral("link"), entry.server.link.empty() ? QJsonValue(QJsonValue::Null)
                                                                : QJsonValue(QString::fromStdString(entry.server.link))},
            {QStringLiteral("medianSeconds"), number(entry.medianSeconds)},
            {QStringLiteral("failuresLastMinute"), entry.failuresLastMinute},
            {QStringLiteral("latestFailure"), entry.latestFailure ? QJsonValue(qtext(text(*entry.latestFailure)))
                                                                  : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("lastAnswerAgeSeconds"), number(entry.lastAnswerAge)},
        });
    }
    return QJsonObject{
        {QStringLiteral("health"), qtext(text(lookups->health))},
        {QStringLiteral("servers"), servers},
        {QStringLiteral("systemSeconds"), number(lookups->systemSeconds)},
        {QStringLiteral("systemFailed"), lookups->systemFailed},
        {QStringLiteral("missingName"), lookups->missingName.empty()
                                            ? QJsonValue(QJsonValue::Null)
                                            : QJsonValue(QString::fromStdString(lookups->missingName))},
    };
}

QJsonObject directionJson(const DirectionLoad& load) {
    // The figures the grade rests on: the internet's, else the router's.
    const auto& role = load.internet ? load.internet : load.router;
    auto field = [&](double RoleLoad::*member) { return role ? QJsonValue((*role).*member) : QJsonValue(QJsonValue::Null); };
    return QJsonObject{
        {QStringLiteral("grade"), load.grade ? QJsonValue(qtext(text(*load.grade))) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("role"), role ? QJsonValue(load.internet ? QStringLiteral("internet") : QStringLiteral("router"))
                                      : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("addedMs"), field(&RoleLoad::added)},
        {QStringLiteral("idleMs"), field(&RoleLoad::idleMedian)},
        {QStringLiteral("busyMs"), field(&RoleLoad::busyMedian)},
        {QStringLiteral("busyProbes"), role ? QJsonValue(role->busyReplies) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("busyLost"), role ? QJsonValue(role->busyLost) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("routerAddedMs"), load.router ? QJsonValue(load.router->added) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("queue"), qtext(text(load.queue))},
        {QStringLiteral("lastBusy"), number(load.lastBusy)},
        {QStringLiteral("lastBusyBps"), load.lastBusy ? QJsonValue(load.lastBusyBitsPerSecond) : QJsonValue(QJsonValue::Null)},
    };
}

QJsonValue loadJson(const std::optional<LoadSnapshot>& load) {
    if (!load) return QJsonValue(QJsonValue::Null);
    return QJsonObject{
        {QStringLiteral("interface"), QString::fromStdString(load->interfaceName)},
        {QStringLiteral("uploadBps"), load->uploadBitsPerSecond},
        {QStringLiteral("downloadBps"), load->downloadBitsPerSecond},
        {QStringLiteral("capacity"),
         QJsonObject{{QStringLiteral("uploadBps"), load->capacity.uploadBitsPerSecond},
                     {QStringLiteral("downloadBps"), load->capacity.downloadBitsPerSecond}}},
        {QStringLiteral("now"), qtext(text(load->now))},
        {QStringLiteral("upload"), directionJson(load->upload)},
        {QStringLiteral("download"), directionJson(load->download)},
    };
}

// The newest sweep toward the first internet host, one object a TTL.
QJsonArray hopsJson(const std::vector<HopSweep::Hop>& hops) {
    QJsonArray array;
    for (const auto& hop : hops) {
        array.append(QJsonObject{
            {QStringLiteral("ttl"), hop.ttl},
            {QStringLiteral("address"), hop.address ? QJsonValue(QString::fromStdString(hop.address->text()))
                                                    : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("name"), hop.name.empty() ? QJsonValue(QJsonValue::Null) : QJsonValue(QString::fromStdString(hop.name))},
            {QStringLiteral("roundTripMs"), number(hop.roundTripMilliseconds)},
            {QStringLiteral("destination"), hop.isDestination},
        });
    }
    return array;
}

QJsonObject targetJson(const TargetSnapshot& target) {
    const Metrics& metrics = target.metrics;
    return QJsonObject{
        {QStringLiteral("role"), QString::fromStdString(target.target.role.text())},
        {QStringLiteral("host"), QString::fromStdString(target.target.host)},
        {QStringLiteral("address"), QString::fromStdString(target.target.address.text())},
        {QStringLiteral("status"), qtext(text(target.status))},
        {QStringLiteral("state"), qtext(text(target.state.kind))},
        {QStringLiteral("problems"), problemTexts(target.state.problems)},
        {QStringLiteral("answeredLocally"), target.answeredLocally},
        {QStringLiteral("outageSince"), number(target.outageSince)},
        {QStringLiteral("metrics"),
         QJsonObject{
             {QStringLiteral("latest"), number(metrics.latest)},
             {QStringLiteral("median"), number(metrics.median)},
             {QStringLiteral("p95"), number(metrics.p95)},
             {QStringLiteral("baseline"), number(metrics.baseline)},
             {QStringLiteral("jitter"), number(metrics.jitter)},
             {QStringLiteral("sent"), metrics.sent},
             {QStringLiteral("lost"), metrics.lost},
             {QStringLiteral("late"), metrics.late},
         }},
    };
}

}  // namespace

ConsoleReadout::Writer ConsoleReadout::standardOutput(std::function<void()> onClosed) {
    return [onClosed = std::move(onClosed), closed = false](const std::string& line) mutable {
        if (closed) return;
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        // Lines are read as they come, by people and by pipes.
        if (std::fflush(stdout) == 0 || errno != EPIPE) return;
        closed = true;
        if (onClosed) onClosed();
    };
}

ConsoleReadout::ConsoleReadout(AppModel& model, Format format, Writer write, QObject* parent)
    : QObject(parent), model_(model), format_(format), write_(std::move(write)) {
    connect(&model_, &AppModel::snapshotApplied, this, &ConsoleReadout::handleSnapshotApplied);
    connect(&model_, &AppModel::eventApplied, this, &ConsoleReadout::handleEventApplied);
    connect(&model_, &AppModel::alertPosted, this, &ConsoleReadout::handleAlertPosted);
    connect(&model_, &AppModel::isLockPausedChanged, this, &ConsoleReadout::handleProbingChanged);
    connect(&model_, &AppModel::pausedUntilChanged, this, &ConsoleReadout::handleProbingChanged);
}

// ---------------------------------------------------------------- texts

std::string ConsoleReadout::snapshotLine(const MonitorSnapshot& snapshot, std::optional<double> offlineSince,
                                         const std::string& readout, const VerdictTexts::Context& context) {
    std::string line = clockText(context.now, context);
    line += "  " + VerdictTexts::verdictTitle(snapshot).toStdString();
    if (!readout.empty()) line += "  " + readout;
    line += "  " + VerdictTexts::verdictExplanation(snapshot, offlineSince, context).toStdString();
    // A host that is not probed for want of an address would otherwise just be missing.
    for (const auto& lookup : snapshot.unresolved) line += "  " + lookup.shownText();
    if (snapshot.lookups) line += "  DNS " + LookupTexts::rowText(*snapshot.lookups).toStdString();
    if (snapshot.load) line += "  Load " + LoadTexts::rowText(*snapshot.load, context).toStdString();
    return line;
}

QJsonObject ConsoleReadout::snapshotJson(const MonitorSnapshot& snapshot, std::optional<double> offlineSince,
                                         const std::string& readout, const VerdictTexts::Context& context) {
    QJsonArray targets;
    for (const auto& target : snapshot.targets) targets.append(targetJson(target));
    QJsonArray unresolved;
    for (const auto& lookup : snapshot.unresolved) {
        unresolved.append(QJsonObject{
            {QStringLiteral("role"), QString::fromStdString(lookup.role.text())},
            {QStringLiteral("host"), QString::fromStdString(lookup.host)},
            {QStringLiteral("state"), qtext(text(lookup.state))},
            {QStringLiteral("text"), QString::fromStdString(lookup.shownText())},
        });
    }
    return QJsonObject{
        {QStringLiteral("type"), QStringLiteral("snapshot")},
        {QStringLiteral("time"), isoText(context.now, context)},
        {QStringLiteral("date"), context.now},
        {QStringLiteral("verdict"), qtext(text(snapshot.verdict))},
        {QStringLiteral("title"), VerdictTexts::verdictTitle(snapshot)},
        {QStringLiteral("explanation"), VerdictTexts::verdictExplanation(snapshot, offlineSince, context)},
        {QStringLiteral("readout"), QString::fromStdString(readout)},
        {QStringLiteral("internet"),
         snapshot.internet ? QJsonValue(qtext(text(snapshot.internet->kind))) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("ipv6Problem"), snapshot.ipv6Problem},
        {QStringLiteral("offlineSince"), number(offlineSince)},
        {QStringLiteral("path"), pathJson(snapshot.path)},
        {QStringLiteral("targets"), targets},
        {QStringLiteral("unresolved"), unresolved},
        {QStringLiteral("lookups"), lookupsJson(snapshot.lookups)},
        {QStringLiteral("load"), loadJson(snapshot.load)},
        {QStringLiteral("hops"), hopsJson(snapshot.hops)},
    };
}

std::string ConsoleReadout::eventLine(const NetworkEvent& event, const VerdictTexts::Context& context) {
    return clockText(context.now, context) + "  Event: " + event.logLine() + " (from " +
           clockText(event.start, context) + " to " + clockText(event.end, context) + ")";
}

QJsonObject ConsoleReadout::eventJson(const NetworkEvent& event) {
    return QJsonObject{
        {QStringLiteral("type"), QStringLiteral("event")},
        {QStringLiteral("kind"), qtext(text(event.kind))},
        {QStringLiteral("role"), QString::fromStdString(event.role.text())},
        {QStringLiteral("host"), QString::fromStdString(event.host)},
        {QStringLiteral("address"), QString::fromStdString(event.address.text())},
        {QStringLiteral("start"), event.start},
        {QStringLiteral("end"), event.end},
        {QStringLiteral("duration"), event.duration()},
        {QStringLiteral("worstRTT"), number(event.worstRTT)},
    };
}

std::string ConsoleReadout::notificationLine(const Notifier::Content& content, const VerdictTexts::Context& context) {
    return clockText(context.now, context) + "  Notification: " + content.title.toStdString() + ": " +
           content.body.toStdString();
}

QJsonObject ConsoleReadout::notificationJson(const Notifier::Content& content, const VerdictTexts::Context& context) {
    return QJsonObject{
        {QStringLiteral("type"), QStringLiteral("notification")},
        {QStringLiteral("time"), isoText(context.now, context)},
        {QStringLiteral("title"), content.title},
        {QStringLiteral("body"), content.body},
        {QStringLiteral("sound"), content.sound},
    };
}

// ------------------------------------------------------------ reactions

void ConsoleReadout::handleSnapshotApplied() {
    const auto context = VerdictTexts::Context::current();
    const std::string readout = MenuBarLayout::make(model_).text();
    if (format_ == Format::json) {
        writeJson(snapshotJson(model_.snapshot(), model_.offlineSince(), readout, context));
    } else {
        write_(snapshotLine(model_.snapshot(), model_.offlineSince(), readout, context));
    }
}

void ConsoleReadout::handleEventApplied(const NetworkEvent& event) {
    if (format_ == Format::json) {
        writeJson(eventJson(event));
    } else {
        write_(eventLine(event, VerdictTexts::Context::current()));
    }
}

void ConsoleReadout::handleAlertPosted(const AlertTracker::Alert& alert, const MonitorSnapshot& snapshot) {
    const auto context = VerdictTexts::Context::current();
    const auto content = Notifier::content(alert, snapshot, context);
    if (format_ == Format::json) {
        writeJson(notificationJson(content, context));
    } else {
        write_(notificationLine(content, context));
    }
}

void ConsoleReadout::handleProbingChanged() {
    std::optional<std::string> reason;
    if (model_.pausedUntil()) {
        reason = "paused";
    } else if (model_.isLockPaused()) {
        reason = "locked";
    }
    if (reason == stoppedBy_) return;
    stoppedBy_ = reason;
    const auto context = VerdictTexts::Context::current();
    if (format_ == Format::json) {
        writeJson(QJsonObject{
            {QStringLiteral("type"), QStringLiteral("probing")},
            {QStringLiteral("time"), isoText(context.now, context)},
            {QStringLiteral("running"), !reason.has_value()},
            {QStringLiteral("reason"), string(reason)},
        });
        return;
    }
    std::string line = clockText(context.now, context) + "  ";
    if (!reason) {
        line += "Probing resumed";
    } else if (*reason == "paused") {
        line += "Probing paused until " + clockText(*model_.pausedUntil(), context);
    } else {
        line += "Probing stopped while the screen is locked";
    }
    write_(line);
}

void ConsoleReadout::writeJson(QJsonObject object) {
    write_(QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString());
}

}  // namespace nerivane
