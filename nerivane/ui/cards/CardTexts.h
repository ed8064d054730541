// The words of the popup's cards: notes, host tags, state lines, the
// statistics with their spoken forms, the custom card's loss line, the Wi-Fi
// values and the event rows. Pure functions of values; the cards call them on
// the main thread, tests call them with fixed contexts.
#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <optional>
#include <vector>

#include "NerivaneKit/analysis/Incident.h"
#include "NerivaneKit/analysis/Metrics.h"
#include "NerivaneKit/analysis/NetworkEvent.h"
#include "NerivaneKit/analysis/TargetSnapshot.h"
#include "NerivaneKit/analysis/Verdict.h"
#include "NerivaneKit/path/NetworkPath.h"
#include "nerivane/core/TraceSample.h"
#include "nerivane/core/VerdictTexts.h"
#include "nerivane/core/WiFiInfo.h"

namespace nerivane::CardTexts {

using VerdictTexts::Context;

// One labelled value of a card, with what a screen reader says for it.
struct Value {
    QString label;
    QString value;
    // "ms", "s" or empty.
    QString unit;
    QString spoken;
    // What a short label means: its tooltip and accessible description.
    QString meaning = QString();
    bool operator==(const Value&) const = default;
};

// "INTERNET" card without hosts: "Measuring" before the first verdict, else
// "No internet host resolved".
QString internetNote(Verdict verdict);
// The router card's note in place of the router's rows; none when the router
// is measured like any other target.
std::optional<QString> routerNote(const std::optional<TargetSnapshot>& router);

// "IPv6", "TCP", "answered locally", in that order, as they apply.
QStringList hostTags(const TargetSnapshot& target);
// The name a host row shows: the host as the user gave it; for the router
// its address (its host is the word "router", the card's title already), and
// for the IPv6 partner its own address (its host is its IPv4 twin's).
QString hostName(const TargetSnapshot& target);

// Empty for a target that is fine. The verdict is the snapshot's, passed only
// to the router's line (a slow router is harmless while the verdict is good).
QString stateLine(const TargetSnapshot& target, std::optional<Verdict> verdict, const Context& context);

// med, p95, min, jit, loss.
std::array<Value, 5> statistics(const Metrics& metrics, const Context& context);

// Lost samples sent within the last 60 seconds before now.
int lostInLastMinute(const std::vector<TraceSample>& samples, double now);
QString lostLine(int lost);

// "Wi‑Fi", "Ethernet", "Cellular", "Other".
QString pathKindName(NetworkPath::Kind kind);

// signal, noise, snr, rate, band (the band only with some part known).
std::vector<Value> wifiValues(const WiFiInfo& info);
// "ch 36 · 5 GHz · 80 MHz" with the unknown parts left out; empty when none is known.
QString channelLine(const WiFiInfo& info);

struct EventTexts {
    // "Internet down", "Spike".
    QString title;
    // "1.1.1.1, 8.8.8.8, IPv6", "router".
    QString targets;
    // Empty without a worst round-trip time.
    QString worst;
    QString duration;
    QString start;
    QString spoken;
    bool operator==(const EventTexts&) const = default;
};
EventTexts eventTexts(const Incident& incident, const Context& context);

inline constexpr const char* noEvents = "No outages or spikes";
inline constexpr const char* firstRunTitle = "WELCOME";
// Everything that leaves the computer, and nothing more: the probes, the
// name lookup that checks the DNS servers (dnsProbeName), and the update
// check when the build has one.
QString firstRunText(const QString& dnsProbeName, bool checksForUpdates);
inline constexpr const char* firstRunTargets = "The targets can be changed in settings.";

}  // namespace nerivane::CardTexts
