#include "nerivane/app/ConsoleReadout.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "NerivaneKit/text/MenuBarText.h"

namespace nerivane {
namespace {

constexpr const char* dash = "\u2014";
constexpr const char* lostMark = "\u00b7";
constexpr const char* blocks[] = {"\u2581", "\u2582", "\u2583", "\u2584", "\u2585", "\u2586", "\u2587", "\u2588"};
// The trace floors of the menu bar: a router answers in a few milliseconds.
constexpr double routerFloor = 2;
constexpr double internetFloor = 10;

std::size_t characters(const std::string& text) {
    // UTF-8: count every byte that does not continue a character.
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(),
                                                  [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string padded(const std::string& text) {
    const std::size_t width = MenuBarText::widest.size();
    const std::size_t length = characters(text);
    return length >= width ? text : std::string(width - length, ' ') + text;
}

const TargetSnapshot* find(const MonitorSnapshot& snapshot, const TargetRole& role) {
    for (const auto& target : snapshot.targets) {
        if (target.target.role == role) return &target;
    }
    return nullptr;
}

std::string valueText(const TargetSnapshot* target) {
    if (target == nullptr || (target->status != TargetStatus::icmp && target->status != TargetStatus::tcp) ||
        target->state.kind == TargetState::Kind::down)
        return dash;
    return MenuBarText::value(target->metrics.latest);
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

QString stateText(TargetState::Kind kind) {
    switch (kind) {
    case TargetState::Kind::bad: return QStringLiteral("bad");
    case TargetState::Kind::measuring: return QStringLiteral("measuring");
    case TargetState::Kind::ok: return QStringLiteral("ok");
    case TargetState::Kind::down: return QStringLiteral("down");
    }
    return {};
}

QJsonArray problemTexts(Problems problems) {
    QJsonArray texts;
    if (problems.contains(Problems::loss())) texts.append(QStringLiteral("loss"));
    if (problems.contains(Problems::jitter())) texts.append(QStringLiteral("jitter"));
    if (problems.contains(Problems::latency())) texts.append(QStringLiteral("latency"));
    return texts;
}

QString kindText(NetworkPath::Kind kind) {
    switch (kind) {
    case NetworkPath::Kind::wifi: return QStringLiteral("wifi");
    case NetworkPath::Kind::ethernet: return QStringLiteral("ethernet");
    case NetworkPath::Kind::cellular: return QStringLiteral("cellular");
    case NetworkPath::Kind::other: return QStringLiteral("other");
    }
    return {};
}

QJsonObject pathJson(const NetworkPath& path) {
    const auto address = [](const std::optional<ProbeAddress>& value) {
        return value ? QJsonValue(QString::fromStdString(value->text())) : QJsonValue(QJsonValue::Null);
    };
    return QJsonObject{
        {QStringLiteral("satisfied"), path.isSatisfied},
        {QStringLiteral("kind"), kindText(path.kind)},
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

QJsonObject targetJson(const TargetSnapshot& target) {
    const Metrics& metrics = target.metrics;
    return QJsonObject{
        {QStringLiteral("role"), QString::fromStdString(target.target.role.text())},
        {QStringLiteral("host"), QString::fromStdString(target.target.host)},
        {QStringLiteral("address"), QString::fromStdString(target.target.address.text())},
        {QStringLiteral("status"), QString::fromUtf8(text(target.status).data(), static_cast<qsizetype>(text(target.status).size()))},
        {QStringLiteral("state"), stateText(target.state.kind)},
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

QString qtext(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

ConsoleReadout::Writer ConsoleReadout::standardOutput() {
    return [](const std::string& line) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        // Lines are read as they come, by people and by pipes.
        std::fflush(stdout);
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

std::string ConsoleReadout::traceText(const std::vector<std::optional<double>>& values, double floorMilliseconds) {
    const auto levels = MenuBarText::traceLevels(values, floorMilliseconds);
    std::string text;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!values[i]) {
            text += lostMark;
            continue;
        }
        const long index = std::clamp(std::lround(levels[i] * 7), 0L, 7L);
        text += blocks[index];
    }
    return text;
}

std::string ConsoleReadout::readoutText(const MonitorSnapshot& snapshot, const std::vector<std::optional<double>>& internet,
                                        const std::vector<std::optional<double>>& router, DisplayStyle style,
                                        MenuBarTarget target, bool paused) {
    std::vector<std::string> pieces;
    const auto* internetTarget = find(snapshot, TargetRole::internet(0));
    const auto* routerTarget = find(snapshot, TargetRole::router());
    if (target == MenuBarTarget::both) {
        if (style != DisplayStyle::text)
            pieces.push_back("R " + traceText(router, routerFloor) + " I " + traceText(internet, internetFloor));
        if (style != DisplayStyle::trace)
            pieces.push_back("R " + padded(valueText(routerTarget)) + " I " + padded(valueText(internetTarget)));
    } else {
        const bool isRouter = target == MenuBarTarget::router;
        const auto* shown = isRouter ? routerTarget : internetTarget;
        if (style != DisplayStyle::text) {
            auto trace = traceText(isRouter ? router : internet, isRouter ? routerFloor : internetFloor);
            if (!trace.empty()) pieces.push_back(std::move(trace));
        }
        if (style != DisplayStyle::trace) {
            const std::string caption = shown != nullptr && shown->status == TargetStatus::tcp ? "TCP" : "RTT";
            const std::string value = valueText(shown);
            pieces.push_back(caption + " " + (value == dash ? value : padded(value)));
        }
    }
    if (auto mark = MenuBarText::mark(snapshot.verdict, paused); !mark.empty()) pieces.push_back(std::move(mark));

    std::string text;
    for (const auto& piece : pieces) {
        if (!text.empty()) text += ' ';
        text += piece;
    }
    return text;
}

std::string ConsoleReadout::snapshotLine(const MonitorSnapshot& snapshot, std::optional<double> offlineSince,
                                         const std::string& readout, const VerdictTexts::Context& context) {
    std::string line = clockText(context.now, context);
    line += "  " + VerdictTexts::verdictTitle(snapshot).toStdString();
    if (!readout.empty()) line += "  " + readout;
    line += "  " + VerdictTexts::verdictExplanation(snapshot, offlineSince, context).toStdString();
    return line;
}

QJsonObject ConsoleReadout::snapshotJson(const MonitorSnapshot& snapshot, std::optional<double> offlineSince,
                                         const std::string& readout, const VerdictTexts::Context& context) {
    QJsonArray targets;
    for (const auto& target : snapshot.targets) targets.append(targetJson(target));
    return QJsonObject{
        {QStringLiteral("type"), QStringLiteral("snapshot")},
        {QStringLiteral("time"), isoText(context.now, context)},
        {QStringLiteral("date"), context.now},
        {QStringLiteral("verdict"), qtext(text(snapshot.verdict))},
        {QStringLiteral("title"), VerdictTexts::verdictTitle(snapshot)},
        {QStringLiteral("explanation"), VerdictTexts::verdictExplanation(snapshot, offlineSince, context)},
        {QStringLiteral("readout"), QString::fromStdString(readout)},
        {QStringLiteral("internet"),
         snapshot.internet ? QJsonValue(stateText(snapshot.internet->kind)) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("ipv6Problem"), snapshot.ipv6Problem},
        {QStringLiteral("offlineSince"), number(offlineSince)},
        {QStringLiteral("path"), pathJson(snapshot.path)},
        {QStringLiteral("targets"), targets},
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
    const auto& preferences = model_.preferences();
    const std::string readout = readoutText(model_.snapshot(), model_.traceValues(TargetRole::internet(0)),
                                            model_.traceValues(TargetRole::router()), preferences.displayStyle(),
                                            preferences.menuBarTarget(), model_.pausedUntil().has_value());
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
