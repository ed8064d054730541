#include "nerivane/app/ConsoleReadout.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "NerivaneKit/text/MenuBarText.h"
#include "NerivaneKit/platform/NumberText.h"
#include "nerivane/core/LoadTexts.h"
#include "nerivane/core/LookupTexts.h"
#include "nerivane/core/MenuBarLayout.h"

namespace nerivane {
namespace {

QString qtext(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string clockText(double date, const VerdictTexts::Context& context) {
    return VerdictTexts::timeText(date, context).toStdString();
}

// ------------------------------------------------------------ text rows

// Characters as the terminal counts them: every text here is one column a
// code point (no wide or combining characters).
std::size_t width(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// At most `columns` wide, with an ellipsis where it was cut; a row that
// wrapped would move every row below it.
std::string fitted(const std::string& text, std::size_t columns) {
    if (width(text) <= columns) return text;
    std::string cut;
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool starts = (text[i] & 0xC0) != 0x80;
        if (starts && ++count > columns - 1) break;
        cut += text[i];
    }
    return cut + "\u2026";
}

std::string padded(const std::string& text, std::size_t columns, bool right) {
    const std::string cut = fitted(text, columns);
    const std::string fill(columns - width(cut), ' ');
    return right ? fill + cut : cut + fill;
}

// The fixed columns of the target rows: name, host, then the figures.
constexpr std::size_t roleColumns = 15, hostColumns = 24, figureColumns = 9, lossColumns = 6;

std::string targetRow(const std::string& role, const std::string& host, const std::string& last, const std::string& median,
                      const std::string& p95, const std::string& loss, const std::string& state) {
    return padded(role, roleColumns, false) + padded(host, hostColumns, false) + padded(last, figureColumns, true) +
           padded(median, figureColumns, true) + padded(p95, figureColumns, true) + padded(loss, lossColumns, true) +
           "  " + state;
}

std::string lossText(const Metrics& metrics) {
    if (metrics.sent == 0) return "\u2014";
    return NumberText::percent(static_cast<double>(metrics.lost) * 100 / static_cast<double>(metrics.sent));
}

// A target's state in words, as its change line and its row say it.
std::string stateWords(const TargetSnapshot& target) {
    switch (target.status) {
    case TargetStatus::pingNotPermitted: return "ping not permitted";
    case TargetStatus::doesntAnswerPing: return "does not answer ping";
    case TargetStatus::unreachableVPN: return "unreachable through the VPN";
    case TargetStatus::warmingUp:
    case TargetStatus::icmp:
    case TargetStatus::tcp: break;
    }
    std::string words;
    switch (target.state.kind) {
    case TargetState::Kind::measuring: words = "measuring"; break;
    case TargetState::Kind::ok: words = "ok"; break;
    case TargetState::Kind::down: words = "down"; break;
    case TargetState::Kind::bad: {
        std::string problems = text(target.state.problems);
        std::replace(problems.begin(), problems.end(), ',', ' ');
        words = problems.empty() ? "trouble" : problems;
        break;
    }
    }
    if (target.status == TargetStatus::tcp) words += " (TCP)";
    if (target.answeredLocally) words += ", answered locally";
    return words;
}

std::string roleName(const TargetRole& role) { return role.text(); }

// What is probed: the address, or for a host given by name the name (the
// IPv6 partner's host is its IPv4 twin, the router's a word: neither says more).
bool isName(const TargetSnapshot& target) {
    const std::string& host = target.target.host;
    return target.target.role != TargetRole::router() && host != target.target.address.text() &&
           host.find_first_not_of("0123456789abcdefABCDEF:.%") != std::string::npos;
}
std::string hostColumn(const TargetSnapshot& target) {
    return isName(target) ? target.target.host : target.target.address.text();
}
std::string targetLabel(const TargetSnapshot& target) {
    const std::string address = target.target.address.text();
    return roleName(target.target.role) + " " + (isName(target) ? target.target.host + " (" + address + ")" : address);
}

// The DNS row: "checking" until a server is known, rather than "none known".
std::string lookupsText(const LookupSnapshot& lookups) {
    if (!lookups.namedServer() && lookups.health == LookupSnapshot::Health::unknown) return "checking";
    return LookupTexts::rowText(lookups).toStdString();
}

std::string pathText(const NetworkPath& path) {
    if (!path.isSatisfied) return "Path: no network";
    std::string text = "Path: " + path.primaryInterface.value_or("?") + " (" + std::string(nerivane::text(path.kind));
    if (path.isVPN) text += ", VPN over " + path.physicalInterface.value_or("?");
    text += ")";
    if (path.routerIPv4) text += ", router " + path.routerIPv4->text();
    if (path.routerIPv6) text += (path.routerIPv4 ? " and " : ", router ") + path.routerIPv6->text();
    return text;
}

std::string verdictText(const MonitorSnapshot& snapshot, std::optional<double> offlineSince,
                        const VerdictTexts::Context& context) {
    return VerdictTexts::verdictTitle(snapshot).toStdString() + "  " +
           VerdictTexts::verdictExplanation(snapshot, offlineSince, context).toStdString();
}

// ------------------------------------------------------------ JSON

QJsonValue number(const std::optional<double>& value, int decimals) {
    return value && std::isfinite(*value) ? QJsonValue(NumberText::rounded(*value, decimals)) : QJsonValue(QJsonValue::Null);
}
// Milliseconds and seconds, both to the microsecond.
QJsonValue milliseconds(const std::optional<double>& value) { return number(value, 3); }
QJsonValue seconds(const std::optional<double>& value) { return number(value, 6); }

QJsonValue string(const std::optional<std::string>& value) {
    return value ? QJsonValue(QString::fromStdString(*value)) : QJsonValue(QJsonValue::Null);
}

// A moment as two keys: `key` in ISO 8601 with the offset, `keyUnixSeconds` beside it.
void putTime(QJsonObject& object, const QString& key, std::optional<double> date, const VerdictTexts::Context& context) {
    QJsonValue iso(QJsonValue::Null);
    if (date) {
        const auto time = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::llround(*date * 1000)), context.zone);
        iso = time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
    }
    object.insert(key, iso);
    object.insert(key + QStringLiteral("UnixSeconds"), seconds(date));
}

QJsonObject line(const char* type, const VerdictTexts::Context& context) {
    QJsonObject object{{QStringLiteral("type"), QString::fromLatin1(type)}, {QStringLiteral("schema"), ConsoleReadout::jsonSchema}};
    putTime(object, QStringLiteral("time"), context.now, context);
    return object;
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
    const auto inMilliseconds = [](const std::optional<double>& secondsValue) {
        return milliseconds(secondsValue ? std::optional<double>(*secondsValue * 1000) : std::nullopt);
    };
    QJsonArray servers;
    for (const auto& entry : lookups->servers) {
        servers.append(QJsonObject{
            {QStringLiteral("address"), QString::fromStdString(entry.server.address)},
            {QStringLiteral("port"), entry.server.port},
            {QStringLiteral("link"), entry.server.link.empty() ? QJsonValue(QJsonValue::Null)
                                                                : QJsonValue(QString::fromStdString(entry.server.link))},
            {QStringLiteral("medianMs"), inMilliseconds(entry.medianSeconds)},
            {QStringLiteral("failuresLastMinute"), entry.failuresLastMinute},
            {QStringLiteral("latestFailure"), entry.latestFailure ? QJsonValue(qtext(text(*entry.latestFailure)))
                                                                  : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("lastAnswerAgeSeconds"), seconds(entry.lastAnswerAge)},
        });
    }
    return QJsonObject{
        {QStringLiteral("health"), qtext(text(lookups->health))},
        {QStringLiteral("servers"), servers},
        {QStringLiteral("systemMs"), inMilliseconds(lookups->systemSeconds)},
        {QStringLiteral("systemFailed"), lookups->systemFailed},
        {QStringLiteral("missingName"), lookups->missingName.empty()
                                            ? QJsonValue(QJsonValue::Null)
                                            : QJsonValue(QString::fromStdString(lookups->missingName))},
    };
}

QJsonValue bitsPerSecond(double value) { return QJsonValue(std::round(std::max(value, 0.0))); }

QJsonObject directionJson(const DirectionLoad& load, const VerdictTexts::Context& context) {
    // The figures the grade rests on: the internet's, else the router's.
    const auto& role = load.internet ? load.internet : load.router;
    auto field = [&](double RoleLoad::*member) { return milliseconds(role ? std::optional<double>((*role).*member) : std::nullopt); };
    QJsonObject object{
        {QStringLiteral("grade"), load.grade ? QJsonValue(qtext(text(*load.grade))) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("role"), role ? QJsonValue(load.internet ? QStringLiteral("internet") : QStringLiteral("router"))
                                      : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("addedMs"), field(&RoleLoad::added)},
        {QStringLiteral("idleMs"), field(&RoleLoad::idleMedian)},
        {QStringLiteral("busyMs"), field(&RoleLoad::busyMedian)},
        {QStringLiteral("busyProbes"), role ? QJsonValue(role->busyReplies) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("busyLost"), role ? QJsonValue(role->busyLost) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("routerAddedMs"), milliseconds(load.router ? std::optional<double>(load.router->added) : std::nullopt)},
        {QStringLiteral("queue"), qtext(text(load.queue))},
        {QStringLiteral("lastBusyBitsPerSecond"),
         load.lastBusy ? bitsPerSecond(load.lastBusyBitsPerSecond) : QJsonValue(QJsonValue::Null)},
    };
    putTime(object, QStringLiteral("lastBusy"), load.lastBusy, context);
    return object;
}

QJsonValue loadJson(const std::optional<LoadSnapshot>& load, const VerdictTexts::Context& context) {
    if (!load) return QJsonValue(QJsonValue::Null);
    return QJsonObject{
        {QStringLiteral("interface"), QString::fromStdString(load->interfaceName)},
        {QStringLiteral("sentBytes"), static_cast<double>(load->sentBytes)},
        {QStringLiteral("receivedBytes"), static_cast<double>(load->receivedBytes)},
        {QStringLiteral("uploadBitsPerSecond"), bitsPerSecond(load->uploadBitsPerSecond)},
        {QStringLiteral("downloadBitsPerSecond"), bitsPerSecond(load->downloadBitsPerSecond)},
        {QStringLiteral("capacity"),
         QJsonObject{{QStringLiteral("uploadBitsPerSecond"), bitsPerSecond(load->capacity.uploadBitsPerSecond)},
                     {QStringLiteral("downloadBitsPerSecond"), bitsPerSecond(load->capacity.downloadBitsPerSecond)}}},
        {QStringLiteral("now"), qtext(text(load->now))},
        {QStringLiteral("upload"), directionJson(load->upload, context)},
        {QStringLiteral("download"), directionJson(load->download, context)},
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
            {QStringLiteral("roundTripMs"), milliseconds(hop.roundTripMilliseconds)},
            {QStringLiteral("destination"), hop.isDestination},
        });
    }
    return array;
}

QJsonObject targetJson(const TargetSnapshot& target, const VerdictTexts::Context& context) {
    const Metrics& metrics = target.metrics;
    QJsonObject object{
        {QStringLiteral("role"), QString::fromStdString(target.target.role.text())},
        {QStringLiteral("host"), QString::fromStdString(target.target.host)},
        {QStringLiteral("address"), QString::fromStdString(target.target.address.text())},
        {QStringLiteral("status"), qtext(text(target.status))},
        {QStringLiteral("state"), qtext(text(target.state.kind))},
        {QStringLiteral("problems"), problemTexts(target.state.problems)},
        {QStringLiteral("answeredLocally"), target.answeredLocally},
        {QStringLiteral("metrics"),
         QJsonObject{
             {QStringLiteral("latestMs"), milliseconds(metrics.latest)},
             {QStringLiteral("medianMs"), milliseconds(metrics.median)},
             {QStringLiteral("p95Ms"), milliseconds(metrics.p95)},
             {QStringLiteral("baselineMs"), milliseconds(metrics.baseline)},
             {QStringLiteral("jitterMs"), milliseconds(metrics.jitter)},
             {QStringLiteral("probesSent"), metrics.sent},
             {QStringLiteral("probesLost"), metrics.lost},
             {QStringLiteral("probesLate"), metrics.late},
         }},
    };
    putTime(object, QStringLiteral("outageSince"), target.outageSince, context);
    return object;
}

}  // namespace

ConsoleReadout::Writer ConsoleReadout::standardOutput(std::function<void()> onClosed) {
    return [onClosed = std::move(onClosed), closed = false](const std::string& text) mutable {
        if (closed) return;
        bool gone = false;
        if (text.empty()) {
            // A pipe whose reader has gone polls as an error: found without
            // waiting for the next line, which may be a minute away.
            pollfd output{STDOUT_FILENO, 0, 0};
            gone = ::poll(&output, 1, 0) == 1 && (output.revents & POLLERR) != 0;
        } else {
            std::fwrite(text.data(), 1, text.size(), stdout);
            // Lines are read as they come, by people and by pipes.
            gone = std::fflush(stdout) != 0 && errno == EPIPE;
        }
        if (!gone) return;
        closed = true;
        if (onClosed) onClosed();
    };
}

ConsoleReadout::Layout ConsoleReadout::layoutFor(bool logsToTerminal) {
    return ::isatty(STDOUT_FILENO) == 1 && !logsToTerminal ? Layout::statusArea : Layout::lines;
}

ConsoleReadout::ConsoleReadout(AppModel& model, Format format, Layout layout, Writer write, QObject* parent)
    : QObject(parent), model_(model), format_(format), layout_(format == Format::json ? Layout::lines : layout),
      write_(std::move(write)) {
    connect(&model_, &AppModel::snapshotApplied, this, &ConsoleReadout::handleSnapshotApplied);
    connect(&model_, &AppModel::eventApplied, this, &ConsoleReadout::handleEventApplied);
    connect(&model_, &AppModel::alertPosted, this, &ConsoleReadout::handleAlertPosted);
    connect(&model_, &AppModel::isLockPausedChanged, this, &ConsoleReadout::handleProbingChanged);
    connect(&model_, &AppModel::pausedUntilChanged, this, &ConsoleReadout::handleProbingChanged);
    if (format_ == Format::text && layout_ == Layout::lines) {
        connect(&heartbeat_, &QTimer::timeout, this, &ConsoleReadout::handleHeartbeat);
        heartbeat_.start(60'000);
    }
}

VerdictTexts::Context ConsoleReadout::context() const {
    auto context = VerdictTexts::Context::current();
    context.withSeconds = true;
    return context;
}

// ---------------------------------------------------------------- texts

std::vector<std::string> ConsoleReadout::statusRows(const MonitorSnapshot& snapshot, std::optional<double> offlineSince,
                                                    std::optional<double> pausedUntil,
                                                    const VerdictTexts::Context& context, int columns) {
    const auto fit = static_cast<std::size_t>(std::max(columns, 20));
    std::vector<std::string> rows;
    const std::string mark(MenuBarText::glyph(MenuBarText::mark(snapshot.verdict, pausedUntil.has_value())));
    std::string verdict = clockText(context.now, context) + "  " + (mark.empty() ? " " : mark) + " ";
    verdict += pausedUntil ? VerdictTexts::spokenReadout(snapshot, pausedUntil, context).toStdString()
                           : verdictText(snapshot, offlineSince, context);
    rows.push_back(verdict);
    rows.push_back(targetRow("", "", "last", "median", "p95", "loss", "state"));
    for (const auto& target : snapshot.targets) {
        const Metrics& m = target.metrics;
        // A target that is down has no latest round trip, only an old one.
        const bool down = target.state.kind == TargetState::Kind::down;
        rows.push_back(targetRow(roleName(target.target.role), hostColumn(target),
                                 NumberText::milliseconds(down ? std::nullopt : m.latest),
                                 NumberText::milliseconds(m.median), NumberText::milliseconds(m.p95), lossText(m),
                                 stateWords(target)));
    }
    for (const auto& lookup : snapshot.unresolved)
        rows.push_back(padded(roleName(lookup.role), roleColumns, false) + lookup.shownText());
    if (snapshot.lookups) rows.push_back(padded("DNS", roleColumns, false) + lookupsText(*snapshot.lookups));
    if (snapshot.load) rows.push_back(padded("Load", roleColumns, false) + LoadTexts::rowText(*snapshot.load, context).toStdString());
    for (auto& row : rows) row = fitted(row, fit - 1);
    return rows;
}

std::string ConsoleReadout::heartbeatLine(const MonitorSnapshot& snapshot, const VerdictTexts::Context& context) {
    std::string line = clockText(context.now, context) + "  " + VerdictTexts::verdictTitle(snapshot).toStdString();
    for (const auto& target : snapshot.targets) {
        line += " \u00b7 " + targetLabel(target) + " " +
                NumberText::milliseconds(target.metrics.median) + " (p95 " + NumberText::milliseconds(target.metrics.p95) +
                ", loss " + lossText(target.metrics) + ")";
    }
    if (snapshot.lookups) line += " \u00b7 DNS " + lookupsText(*snapshot.lookups);
    return line;
}

QJsonObject ConsoleReadout::snapshotJson(const MonitorSnapshot& snapshot, std::optional<double> offlineSince,
                                         const std::string& readout, const VerdictTexts::Context& context) {
    QJsonArray targets;
    for (const auto& target : snapshot.targets) targets.append(targetJson(target, context));
    QJsonArray unresolved;
    for (const auto& lookup : snapshot.unresolved) {
        unresolved.append(QJsonObject{
            {QStringLiteral("role"), QString::fromStdString(lookup.role.text())},
            {QStringLiteral("host"), QString::fromStdString(lookup.host)},
            {QStringLiteral("state"), qtext(text(lookup.state))},
            {QStringLiteral("text"), QString::fromStdString(lookup.shownText())},
        });
    }
    QJsonObject object = line("snapshot", context);
    object.insert(QStringLiteral("verdict"), qtext(text(snapshot.verdict)));
    object.insert(QStringLiteral("title"), VerdictTexts::verdictTitle(snapshot));
    object.insert(QStringLiteral("explanation"), VerdictTexts::verdictExplanation(snapshot, offlineSince, context));
    object.insert(QStringLiteral("readout"), QString::fromStdString(readout));
    object.insert(QStringLiteral("internet"),
                  snapshot.internet ? QJsonValue(qtext(text(snapshot.internet->kind))) : QJsonValue(QJsonValue::Null));
    object.insert(QStringLiteral("ipv6Problem"), snapshot.ipv6Problem);
    putTime(object, QStringLiteral("offlineSince"), offlineSince, context);
    object.insert(QStringLiteral("path"), pathJson(snapshot.path));
    object.insert(QStringLiteral("targets"), targets);
    object.insert(QStringLiteral("unresolved"), unresolved);
    object.insert(QStringLiteral("lookups"), lookupsJson(snapshot.lookups));
    object.insert(QStringLiteral("load"), loadJson(snapshot.load, context));
    object.insert(QStringLiteral("hops"), hopsJson(snapshot.hops));
    return object;
}

QJsonObject ConsoleReadout::eventJson(const NetworkEvent& event, const VerdictTexts::Context& context) {
    QJsonObject object = line("event", context);
    object.insert(QStringLiteral("kind"), qtext(text(event.kind)));
    object.insert(QStringLiteral("role"), QString::fromStdString(event.role.text()));
    object.insert(QStringLiteral("host"), QString::fromStdString(event.host));
    object.insert(QStringLiteral("address"), QString::fromStdString(event.address.text()));
    putTime(object, QStringLiteral("start"), event.start, context);
    putTime(object, QStringLiteral("end"), event.end, context);
    object.insert(QStringLiteral("durationSeconds"), seconds(event.duration()));
    object.insert(QStringLiteral("worstRttMs"), milliseconds(event.worstRTT));
    return object;
}

QJsonObject ConsoleReadout::notificationJson(const Notifier::Content& content, const VerdictTexts::Context& context) {
    QJsonObject object = line("notification", context);
    object.insert(QStringLiteral("title"), content.title);
    object.insert(QStringLiteral("body"), content.body);
    object.insert(QStringLiteral("sound"), content.sound);
    return object;
}

std::vector<std::string> ConsoleReadout::changeLines(const MonitorSnapshot& snapshot, const VerdictTexts::Context& context) {
    const std::string stamp = clockText(context.now, context) + "  ";
    std::vector<std::string> lines;
    if (const std::string path = pathText(snapshot.path); path != pathShown_) {
        pathShown_ = path;
        lines.push_back(stamp + path);
    }
    // Only the title decides: the explanation's figures change every round.
    if (const std::string title = VerdictTexts::verdictTitle(snapshot).toStdString(); title != verdictShown_) {
        verdictShown_ = title;
        lines.push_back(stamp + verdictText(snapshot, model_.offlineSince(), context));
    }
    std::map<std::string, std::string> targets;
    for (const auto& target : snapshot.targets) {
        const std::string key = roleName(target.target.role) + " " + target.target.address.text();
        const std::string words = stateWords(target);
        targets[key] = words;
        const auto before = targetsShown_.find(key);
        // A new target's first measurements are no change worth a line.
        const bool changed = before == targetsShown_.end() ? words != "measuring" : before->second != words;
        if (changed) lines.push_back(stamp + targetLabel(target) + ": " + words);
    }
    targetsShown_ = std::move(targets);
    std::vector<std::string> unresolved;
    for (const auto& lookup : snapshot.unresolved) unresolved.push_back(lookup.shownText());
    for (const auto& text : unresolved) {
        if (std::find(unresolvedShown_.begin(), unresolvedShown_.end(), text) == unresolvedShown_.end())
            lines.push_back(stamp + text);
    }
    unresolvedShown_ = std::move(unresolved);
    return lines;
}

// ------------------------------------------------------------ reactions

void ConsoleReadout::show(const std::vector<std::string>& lines) {
    if (layout_ == Layout::lines) {
        for (const auto& text : lines) write_(text + "\n");
        return;
    }
    winsize size{};
    const int columns = ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    const auto rows = statusRows(model_.snapshot(), model_.offlineSince(), model_.pausedUntil(), context(), columns);
    // Back to the area's first row; the lines take its place and push it
    // down, or it is written over row by row.
    std::string text;
    if (areaHeight_ > 0) text += "\r\x1b[" + std::to_string(areaHeight_) + "A";
    if (!lines.empty()) text += "\x1b[J";
    for (const auto& line : lines) text += line + "\n";
    for (const auto& row : rows) text += row + "\x1b[K\n";
    if (rows.size() < areaHeight_ && lines.empty()) text += "\x1b[J";
    areaHeight_ = rows.size();
    write_(text);
}

void ConsoleReadout::handleSnapshotApplied() {
    const auto now = context();
    if (format_ == Format::json) {
        writeJson(snapshotJson(model_.snapshot(), model_.offlineSince(), MenuBarLayout::make(model_).text(), now));
        return;
    }
    const auto lines = changeLines(model_.snapshot(), now);
    if (layout_ == Layout::statusArea || !lines.empty()) {
        show(lines);
    } else {
        write_({});
    }
}

void ConsoleReadout::handleEventApplied(const NetworkEvent& event) {
    const auto now = context();
    if (format_ == Format::json) {
        writeJson(eventJson(event, now));
        return;
    }
    show({clockText(now.now, now) + "  Event: " + event.logLine() + " (from " + clockText(event.start, now) + " to " +
          clockText(event.end, now) + ")"});
}

void ConsoleReadout::handleAlertPosted(const AlertTracker::Alert& alert, const MonitorSnapshot& snapshot) {
    const auto now = context();
    const auto content = Notifier::content(alert, snapshot, now);
    if (format_ == Format::json) {
        writeJson(notificationJson(content, now));
        return;
    }
    show({clockText(now.now, now) + "  Notification: " + content.title.toStdString() + ": " + content.body.toStdString()});
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
    const auto now = context();
    if (format_ == Format::json) {
        QJsonObject object = line("probing", now);
        object.insert(QStringLiteral("running"), !reason.has_value());
        object.insert(QStringLiteral("reason"), string(reason));
        putTime(object, QStringLiteral("pausedUntil"), model_.pausedUntil(), now);
        writeJson(object);
        return;
    }
    std::string text = clockText(now.now, now) + "  ";
    if (!reason) {
        text += "Probing resumed";
    } else if (*reason == "paused") {
        text += "Probing paused until " + clockText(*model_.pausedUntil(), now);
    } else {
        text += "Probing stopped while the screen is locked";
    }
    show({text});
}

void ConsoleReadout::handleHeartbeat() { write_(heartbeatLine(model_.snapshot(), context()) + "\n"); }

void ConsoleReadout::writeJson(QJsonObject object) {
    write_(QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + "\n");
}

}  // namespace nerivane
