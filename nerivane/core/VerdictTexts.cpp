#include "nerivane/core/VerdictTexts.h"

#include <QCoreApplication>
#include <QDateTime>
#include <algorithm>
#include <array>
#include <cmath>

#include <unistd.h>

#include "NerivaneKit/platform/NumberText.h"

namespace nerivane::VerdictTexts {
namespace {

// Every literal the user reads goes through the translation tables; without
// a translator installed the source text comes back.
QString tr(const char* text) {
    return QCoreApplication::translate("VerdictTexts", text);
}

QString fromStd(const std::string& text) {
    return QString::fromStdString(text);
}

// One decimal below 9.95, whole numbers from there, in the locale's digits.
QString spokenNumber(double value, const Context& context) {
    return value < 9.95 ? context.locale.toString(value, 'f', 1) : context.locale.toString(std::round(value), 'f', 0);
}

const TargetSnapshot* routerSnapshot(const MonitorSnapshot& snapshot) {
    for (const auto& target : snapshot.targets) {
        if (target.target.role == TargetRole::router()) return &target;
    }
    return nullptr;
}

// The provider's edge when ping measures it.
const TargetSnapshot* providerSnapshot(const MonitorSnapshot& snapshot) {
    for (const auto& target : snapshot.targets) {
        if (target.target.role == TargetRole::provider() &&
            (target.status == TargetStatus::icmp || target.status == TargetStatus::warmingUp))
            return &target;
    }
    return nullptr;
}

// A router that does not answer ping, directly or behind a VPN, or that this
// user may not ping, cannot be measured.
bool isUnmeasurable(const TargetSnapshot* router) {
    return router == nullptr || router->status == TargetStatus::doesntAnswerPing ||
           router->status == TargetStatus::unreachableVPN || router->status == TargetStatus::pingNotPermitted;
}

bool isPingRefused(const MonitorSnapshot& snapshot) {
    return std::any_of(snapshot.targets.begin(), snapshot.targets.end(),
                       [](const TargetSnapshot& target) { return target.status == TargetStatus::pingNotPermitted; });
}

// A sentence may start with a summary ("slow replies from ..."); it should
// still start with a capital.
QString capitalized(QString text) {
    if (!text.isEmpty() && text.front().isLower()) text.front() = text.front().toUpper();
    return text;
}

// The locale's short time format with the seconds after the minutes, in
// the separator it puts before the minutes: "h:mm:ss AP", "HH.mm.ss".
QString secondsFormat(const QLocale& locale) {
    QString format = locale.timeFormat(QLocale::ShortFormat);
    if (format.contains(QLatin1String("ss"))) return format;
    const qsizetype minutes = format.indexOf(QLatin1String("mm"));
    if (minutes < 0) return format;
    const QString separator = minutes > 0 ? QString(format[minutes - 1]) : QStringLiteral(":");
    return format.insert(minutes + 2, separator + QLatin1String("ss"));
}

// The month-and-day part of a date: the locale's long date format without
// weekday and year, with the abbreviated month name. Tokens are runs of one
// pattern letter, quoted literals and separators; a weekday takes the
// separator after it along, a year the one before it and a literal after it
// when the year comes first or last.
QString monthDayFormat(const QLocale& locale) {
    struct Token {
        QString text;
        bool field = false;
    };
    const QString format = locale.dateFormat(QLocale::LongFormat);
    std::vector<Token> tokens;
    for (qsizetype i = 0; i < format.size();) {
        const QChar c = format[i];
        if (c.isLetter() && c.unicode() < 128) {
            qsizetype j = i;
            while (j < format.size() && format[j] == c) ++j;
            tokens.push_back({format.mid(i, j - i), true});
            i = j;
            continue;
        }
        qsizetype j = i;
        if (c == QLatin1Char('\'')) {
            ++j;
            while (j < format.size()) {
                if (format[j] == QLatin1Char('\'')) {
                    if (j + 1 < format.size() && format[j + 1] == QLatin1Char('\'')) {
                        j += 2;
                        continue;
                    }
                    ++j;
                    break;
                }
                ++j;
            }
        } else {
            ++j;
        }
        const QString piece = format.mid(i, j - i);
        if (!tokens.empty() && !tokens.back().field) {
            tokens.back().text += piece;
        } else {
            tokens.push_back({piece, false});
        }
        i = j;
    }

    std::vector<Token> kept;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const Token& token = tokens[i];
        const bool weekday = token.field && token.text.startsWith(QLatin1String("ddd"));
        const bool year = token.field && token.text.front() == QLatin1Char('y');
        if (weekday) {
            if (i + 1 < tokens.size() && !tokens[i + 1].field) ++i;
            continue;
        }
        if (year) {
            const bool leading = kept.empty();
            if (!kept.empty() && !kept.back().field) kept.pop_back();
            // A literal that belongs to the year ("yyyy年", "yyyy 'г'.") goes too.
            if (i + 1 < tokens.size() && !tokens[i + 1].field && (leading || i + 2 == tokens.size())) ++i;
            continue;
        }
        kept.push_back(token);
    }

    QString result;
    for (const Token& token : kept) {
        result += token.field && token.text == QLatin1String("MMMM") ? QStringLiteral("MMM") : token.text;
    }
    return result.isEmpty() ? QStringLiteral("MMM d") : result;
}

QDateTime dateTime(double unixSeconds, const QTimeZone& zone) {
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::llround(unixSeconds * 1000)), zone);
}

}  // namespace

Context Context::current() {
    // With no locale set (LANG unset or "C", as in services and the lab) Qt's
    // C locale joins lists with bare commas; the texts are English, so their
    // lists and times should be too.
    QLocale locale;
    if (locale.language() == QLocale::C) locale = QLocale(QLocale::English, QLocale::UnitedStates);
    return {locale, QTimeZone::systemTimeZone(), static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000,
            static_cast<unsigned>(getgid())};
}

QString verdictTitle(Verdict verdict) {
    switch (verdict) {
    case Verdict::measuring: return tr("Measuring");
    case Verdict::good: return tr("Good");
    case Verdict::internetProblem: return tr("Internet problem");
    case Verdict::internetDown: return tr("Internet down");
    case Verdict::localProblem: return tr("Local network problem");
    case Verdict::localDown: return tr("Local network down");
    case Verdict::connectionProblem: return tr("Connection problem");
    case Verdict::connectionDown: return tr("Connection down");
    case Verdict::internetUnmeasured: return tr("Can't measure the internet");
    case Verdict::offline: return tr("Offline");
    case Verdict::lookupsFailing: return tr("Name lookups failing");
    case Verdict::lookupsSlow: return tr("Name lookups slow");
    case Verdict::slowWhileBusy: return tr("Slow while the connection is busy");
    case Verdict::providerDown: return tr("Provider's network down");
    case Verdict::providerProblem: return tr("Provider's network problem");
    case Verdict::signInNeeded: return tr("Sign in to this network");
    }
    return QString();
}

QString verdictTitle(const MonitorSnapshot& snapshot) {
    if (snapshot.verdict == Verdict::internetUnmeasured && isPingRefused(snapshot)) return tr("Ping not permitted");
    return verdictTitle(snapshot.verdict);
}

QString verdictExplanation(const MonitorSnapshot& snapshot, std::optional<double> offlineSince,
                           const Context& context) {
    const auto measured = snapshot.measuredInternetTargets();
    std::optional<QString> internetSummary;
    if (const auto summary = ProblemSummary::of(measured)) internetSummary = summaryText(*summary, context);
    const TargetSnapshot* router = routerSnapshot(snapshot);

    // Before an outage can be told, silence is all there is to say.
    const bool problem = snapshot.verdict == Verdict::internetProblem || snapshot.verdict == Verdict::localProblem ||
                         snapshot.verdict == Verdict::connectionProblem;
    if (problem && snapshot.internetSilentSince) return silenceText(*snapshot.internetSilentSince, context);

    switch (snapshot.verdict) {
    case Verdict::measuring:
        return tr("The first verdict comes after 10 seconds of probes.");
    case Verdict::good:
        if (router != nullptr && router->status == TargetStatus::pingNotPermitted)
            return tr("The internet is fine. Ping isn't permitted, so the router can't be measured.");
        if (isUnmeasurable(router)) return tr("The internet is fine. The router can't be measured.");
        if (!router->slowToOwnPings &&
            (router->state.kind == TargetState::Kind::measuring || router->state.kind == TargetState::Kind::ok)) {
            return tr("Router and internet are fine.");
        }
        return tr("The internet is fine. The router is slow to answer ping.");
    case Verdict::internetProblem:
        return tr("Router is fine; %1.").arg(internetSummary.value_or(tr("trouble beyond it")));
    case Verdict::internetDown:
        if (const auto* provider = providerSnapshot(snapshot); provider && provider->state.kind == TargetState::Kind::ok)
            return tr("Router and your provider's edge %1 are fine, but no internet host answers beyond your provider.")
                .arg(fromStd(provider->target.address.text()));
        return tr("Router is fine, but no internet host answers.");
    case Verdict::localProblem: {
        // U+2011 keeps "Wi-Fi" on one line.
        const QString prefix = snapshot.path.kind == NetworkPath::Kind::wifi ? tr("Wi\u2011Fi or the router")
                                                                             : tr("The local network or the router");
        std::optional<ProblemSummary> routerSummary;
        if (router != nullptr) routerSummary = ProblemSummary::of(std::span<const TargetSnapshot>(router, 1));
        if (!routerSummary) return prefix + QLatin1Char('.');
        return tr("%1: %2.").arg(prefix, summaryText(*routerSummary, context));
    }
    case Verdict::localDown:
        return tr("Can't reach the router.");
    case Verdict::connectionProblem:
        return tr("%1. The router can't be measured, so local and internet trouble can't be told apart.")
            .arg(capitalized(internetSummary.value_or(tr("Trouble on the way to the internet"))));
    case Verdict::connectionDown:
        return tr("No internet host answers. The router can't be measured, so local and internet trouble can't "
                  "be told apart.");
    case Verdict::internetUnmeasured: {
        const bool answeredLocally = std::any_of(snapshot.targets.begin(), snapshot.targets.end(),
                                                 [](const TargetSnapshot& target) { return target.answeredLocally; });
        if (answeredLocally) return tr("Something on the local network answers for the internet hosts.");
        if (isPingRefused(snapshot)) {
            // Without a closing full stop, so the command can be copied as it is.
            return tr("Ping isn't permitted for this user (group %1). Allow it with: "
                      "sudo sysctl -w net.ipv4.ping_group_range=\"0 %1\"")
                .arg(context.groupID);
        }
        return tr("The internet hosts couldn't be resolved.");
    }
    case Verdict::offline:
        if (!offlineSince) return tr("No network.");
        return tr("No network since %1.").arg(timeText(*offlineSince, context));
    case Verdict::lookupsFailing:
    case Verdict::lookupsSlow:
        return lookupExplanation(snapshot, context);
    case Verdict::slowWhileBusy:
        return loadExplanation(snapshot);
    case Verdict::providerDown: {
        const auto* provider = providerSnapshot(snapshot);
        const QString address = provider ? fromStd(provider->target.address.text()) : tr("hop");
        return tr("Your router is fine; its upstream %1 doesn't answer either. Call your provider.").arg(address);
    }
    case Verdict::providerProblem: {
        const auto* provider = providerSnapshot(snapshot);
        const QString address = provider ? fromStd(provider->target.address.text()) : tr("its first hop");
        return tr("Router is fine; %1. It starts in your provider's network: %2 shows it too.")
            .arg(internetSummary.value_or(tr("trouble beyond it")), address);
    }
    case Verdict::signInNeeded:
        return tr("This network wants you to sign in before it lets traffic through.");
    }
    return QString();
}

QString silenceText(double since, const Context& context) {
    return tr("No reply from the internet for %1.").arg(durationText(context.now - since, context));
}

QString loadExplanation(const MonitorSnapshot& snapshot) {
    if (!snapshot.load) return tr("Latency rises while the connection is busy.");
    const LoadSnapshot& load = *snapshot.load;
    // The direction busy now; else the one busy last.
    LoadDirection direction = LoadDirection::upload;
    if (isBusy(load.now, LoadDirection::download) && !isBusy(load.now, LoadDirection::upload))
        direction = LoadDirection::download;
    else if (!isBusy(load.now, LoadDirection::upload) &&
             load.download.lastBusy.value_or(0) > load.upload.lastBusy.value_or(0))
        direction = LoadDirection::download;
    const DirectionLoad& figures = load.direction(direction);
    const auto& role = figures.internet ? figures.internet : figures.router;

    const QString rise = role ? (direction == LoadDirection::upload
                                     ? tr("Latency rises from %1 to %2 while you upload.")
                                     : tr("Latency rises from %1 to %2 while you download."))
                                    .arg(millisecondsText(role->idleMedian), millisecondsText(role->busyMedian))
                              : (direction == LoadDirection::upload ? tr("Latency rises while you upload.")
                                                                    : tr("Latency rises while you download."));
    QString cure;
    if (figures.queue == QueuePlace::thisSide) {
        cure = snapshot.path.kind == NetworkPath::Kind::wifi
                   ? tr("The queue builds up before the router, on the Wi\u2011Fi link; moving closer to the "
                        "access point or using a cable helps.")
                   : tr("The queue builds up before the router, in this computer or its link; a fair queue "
                        "on this computer (fq_codel or CAKE) fixes it.");
    } else if (figures.queue == QueuePlace::beyondRouter) {
        // The router's own replies stay fast: the queue is on its way out, at
        // its uplink or in the modem, not where the router answers.
        cure = tr("The queue builds up beyond the router, on the way out to the internet (bufferbloat); "
                  "Smart Queue Management (CAKE or fq_codel) in the router, set a little below the line's "
                  "speed, fixes it.");
    } else {
        cure = tr("Where the queue builds up is not yet known; Smart Queue Management (CAKE or fq_codel) "
                  "in the router usually fixes it.");
    }
    return rise + QLatin1Char(' ') + cure;
}

QString lookupExplanation(const MonitorSnapshot& snapshot, const Context& context) {
    if (!snapshot.lookups) return QString();
    const auto& lookups = *snapshot.lookups;
    const auto named = lookups.namedServer();
    const QString server = named ? fromStd(named->server.address) : tr("unknown");
    if (snapshot.verdict == Verdict::lookupsSlow) {
        return tr("Your DNS server %1 takes %2 to answer. Pages load slowly although the connection works. "
                  "Restart the router, or set another DNS server.")
            .arg(server, millisecondsText(named && named->medianSeconds
                                              ? std::optional<double>(*named->medianSeconds * 1000)
                                              : std::nullopt));
    }
    QStringList addresses;
    for (const auto& entry : lookups.servers) addresses.append(fromStd(entry.server.address));
    // Every server answers, yet the system's own lookup fails: the fault is
    // on this computer (its resolver), not at the servers.
    if (named && !named->latestFailure && lookups.systemFailed) {
        return tr("Name lookups on this computer fail, although your DNS server %1 answers when asked directly. "
                  "Pages will not load although the connection works. Check this computer's resolver "
                  "(systemd-resolved or /etc/resolv.conf).")
            .arg(server);
    }
    QString failure = tr("does not answer");
    if (named && named->latestFailure) {
        switch (*named->latestFailure) {
        case LookupFailure::servfail: failure = tr("fails every lookup (SERVFAIL)"); break;
        case LookupFailure::refused: failure = tr("refuses lookups"); break;
        // Only after the default name was refused as well: a chosen name that
        // does not exist is shown on the DNS row, not blamed on the server.
        case LookupFailure::nxdomain: failure = tr("says that well-known names do not exist"); break;
        case LookupFailure::noAddress: failure = tr("answers lookups without an address"); break;
        case LookupFailure::timeout:
        case LookupFailure::unreachable:
        case LookupFailure::other: break;
        }
    }
    const QString who = addresses.size() > 1 ? tr("Your DNS servers %1 fail; %2 %3.")
                                                   .arg(andList(addresses, context), server, failure)
                                             : tr("Your DNS server %1 %2.").arg(server, failure);
    return who + QLatin1Char(' ') +
           tr("Pages will not load although the connection works. Restart the router, or set another DNS server.");
}

QString summaryText(ProblemSummary::Kind kind, double value, const std::vector<std::string>& hosts,
                    const Context& context) {
    QStringList names;
    for (const auto& host : hosts) names.append(host == "router" ? tr("the router") : fromStd(host));
    const QString list = andList(names, context);
    switch (kind) {
    case ProblemSummary::Kind::loss: return tr("%1 loss to %2").arg(percentText(value), list);
    case ProblemSummary::Kind::latency: return tr("slow replies from %1 (p95 %2)").arg(list, millisecondsText(value));
    case ProblemSummary::Kind::jitter: return tr("%1 jitter to %2").arg(millisecondsText(value), list);
    }
    return QString();
}

QString summaryText(const ProblemSummary& summary, const Context& context) {
    return summaryText(summary.kind, summary.value, summary.hosts, context);
}

QString andList(const QStringList& items, const Context& context) {
    return context.locale.createSeparatedList(items);
}

QString percentText(double percent) { return fromStd(NumberText::percent(percent)); }

QString millisecondsText(std::optional<double> milliseconds) { return fromStd(NumberText::milliseconds(milliseconds)); }

QString spokenMilliseconds(std::optional<double> milliseconds, const Context& context) {
    if (!milliseconds || !std::isfinite(*milliseconds)) return tr("no value");
    return tr("%1 milliseconds").arg(spokenNumber(*milliseconds, context));
}

QString spokenReadout(const MonitorSnapshot& snapshot, std::optional<double> pausedUntil, const Context& context) {
    if (pausedUntil) return tr("Paused until %1.").arg(timeText(*pausedUntil, context));
    QStringList parts{verdictTitle(snapshot.verdict) + QLatin1Char('.')};
    for (const auto& target : snapshot.targets) {
        const Metrics& metrics = target.metrics;
        if (!metrics.latest || target.state.kind == TargetState::Kind::down) continue;
        if (target.target.role == TargetRole::internet(0) && target.status != TargetStatus::warmingUp) {
            const long loss = metrics.sent > 0 ? std::lround(static_cast<double>(metrics.lost) * 100 /
                                                             static_cast<double>(metrics.sent))
                                               : 0;
            parts << tr("Internet %1 milliseconds, jitter %2, loss %3 percent.")
                         .arg(spokenNumber(*metrics.latest, context), spokenNumber(metrics.jitter.value_or(0), context),
                              QString::number(loss));
        }
    }
    // The router only as ping measures it.
    for (const auto& target : snapshot.targets) {
        if (target.target.role == TargetRole::router() && target.status == TargetStatus::icmp &&
            target.metrics.latest && target.state.kind != TargetState::Kind::down)
            parts << tr("Router %1 milliseconds.").arg(spokenNumber(*target.metrics.latest, context));
    }
    return parts.join(QLatin1Char(' '));
}

QString durationText(double seconds, const Context&) { return fromStd(NumberText::duration(seconds)); }

QString timeText(double date, const Context& context) {
    const QDateTime when = dateTime(date, context.zone);
    const QDateTime present = dateTime(context.now, context.zone);
    const QString time = context.withSeconds ? context.locale.toString(when.time(), secondsFormat(context.locale))
                                             : context.locale.toString(when.time(), QLocale::ShortFormat);
    if (when.date() == present.date()) return time;
    return tr("%1, %2").arg(context.locale.toString(when.date(), monthDayFormat(context.locale)), time);
}

}  // namespace nerivane::VerdictTexts
