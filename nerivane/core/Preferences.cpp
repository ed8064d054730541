#include "nerivane/core/Preferences.h"

#include <QStandardPaths>
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "NerivaneKit/lookup/NameLookups.h"
#include "NerivaneKit/platform/Log.h"
#include "nerivane/core/HostValidation.h"
#include "nerivane/core/ProbingInterval.h"

namespace nerivane {
namespace {

const QString displayStyleKey = QStringLiteral("displayStyle");
const QString menuBarTargetKey = QStringLiteral("menuBarTarget");
const QString trayLabelKey = QStringLiteral("trayLabel");
const QString intervalKey = QStringLiteral("interval");
const QString batteryIntervalKey = QStringLiteral("batteryInterval");
const QString primaryHostKey = QStringLiteral("primaryHost");
const QString secondaryHostKey = QStringLiteral("secondaryHost");
const QString probeIPv6Key = QStringLiteral("probeIPv6");
const QString customHostsKey = QStringLiteral("customHosts");
const QString dnsProbeNameKey = QStringLiteral("dnsProbeName");
// Served by every DNS server that resolves names on the internet.
const QString defaultDNSProbeName = QString::fromLatin1(NameLookups::defaultName);
const QString keepMonitoringWhileLockedKey = QStringLiteral("keepMonitoringWhileLocked");
const QString retentionDaysKey = QStringLiteral("retentionDays");
const QString notifyOutagesKey = QStringLiteral("notifyOutages");
const QString notifyVerdictChangesKey = QStringLiteral("notifyVerdictChanges");
const QString accentKey = QStringLiteral("accent");
const QString didShowFirstRunKey = QStringLiteral("didShowFirstRun");
const QString didShowPanelHintKey = QStringLiteral("didShowPanelHint");
const QString automaticallyChecksForUpdatesKey = QStringLiteral("automaticallyChecksForUpdates");
const QString automaticallyDownloadsUpdatesKey = QStringLiteral("automaticallyDownloadsUpdates");
const QString metricsListenKey = QStringLiteral("metricsListen");

const QString defaultPrimaryHost = QStringLiteral("1.1.1.1");

// Typed reads. An INI file hands every value back as text, while values set
// in this process come back with their own types, so each reader takes both.
// What cannot be read as the type is nothing for texts and lists, and 0 or
// false for numbers and booleans.

bool isNumber(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

std::optional<QString> readString(const QVariant& value) {
    if (value.typeId() == QMetaType::QString || value.typeId() == QMetaType::QByteArray || isNumber(value)) {
        return value.toString();
    }
    return std::nullopt;
}

double readDouble(const QVariant& value) {
    if (isNumber(value) || value.typeId() == QMetaType::Bool) return value.toDouble();
    if (value.typeId() == QMetaType::QString) {
        bool ok = false;
        const double number = value.toString().trimmed().toDouble(&ok);
        return ok ? number : 0;
    }
    return 0;
}

int readInteger(const QVariant& value) {
    double number = 0;
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString().trimmed();
        bool ok = false;
        const qlonglong whole = text.toLongLong(&ok);
        if (ok) {
            number = static_cast<double>(whole);
        } else {
            number = text.toDouble(&ok);
            if (!ok) return 0;
        }
    } else {
        number = readDouble(value);
    }
    if (!std::isfinite(number)) return 0;
    number = std::trunc(number);
    if (number > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (number < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
    return static_cast<int>(number);
}

bool readBool(const QVariant& value) {
    if (value.typeId() == QMetaType::Bool) return value.toBool();
    if (isNumber(value)) return value.toDouble() != 0;
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString().trimmed();
        if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) return true;
        if (text.compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0) return true;
        bool ok = false;
        const double number = text.toDouble(&ok);
        return ok && number != 0;
    }
    return false;
}

std::optional<QStringList> readStringList(const QVariant& value) {
    if (value.typeId() == QMetaType::QStringList) return value.toStringList();
    // An INI file writes a list of one entry as that entry alone.
    if (value.typeId() == QMetaType::QString) return QStringList{value.toString()};
    if (value.typeId() == QMetaType::QVariantList) {
        QStringList list;
        for (const QVariant& entry : value.toList()) {
            const auto text = readString(entry);
            if (!text) return std::nullopt;
            list.append(*text);
        }
        return list;
    }
    return std::nullopt;
}

template <typename Enum>
Enum readEnum(const QVariant& value, std::optional<Enum> (*parse)(std::string_view), Enum fallback) {
    const auto text = readString(value);
    if (!text) return fallback;
    const QByteArray utf8 = text->toUtf8();
    return parse(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size()))).value_or(fallback);
}

// A host from the file passes the checks a typed one does: a hand-edited
// "0" or "127.1" would otherwise be probed as an address that this machine
// or nobody answers. A blank one keeps its own meaning (default or none).
QString checkedHost(const QString& key, const QString& value, const QString& fallback) {
    if (value.trimmed().isEmpty()) return value;
    const auto problem = hostProblem(value);
    if (!problem) return value;
    QString shown = value;
    for (QChar& c : shown) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) c = u'?';
    }
    Log("app").error("settings: " + key.toStdString() + " \"" + shown.toStdString() + "\" is not used (" +
                     hostProblemText(*problem).toStdString() + "); " +
                     (fallback.isEmpty() ? std::string("left out") : "using " + fallback.toStdString()));
    return fallback;
}

QString enumText(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

Preferences::Preferences(QObject* parent)
    : Preferences(std::make_unique<QSettings>(defaultPath(), QSettings::IniFormat), parent) {}

Preferences::Preferences(const QString& path, QObject* parent)
    : Preferences(std::make_unique<QSettings>(path, QSettings::IniFormat), parent) {}

Preferences::Preferences(std::unique_ptr<QSettings> store, QObject* parent)
    : QObject(parent), store_(std::move(store)) {
    registered_ = {
        {intervalKey, ProbingInterval::defaultSeconds},
        {batteryIntervalKey, ProbingInterval::defaultBatterySeconds},
        {primaryHostKey, defaultPrimaryHost},
        {secondaryHostKey, QStringLiteral("8.8.8.8")},
        {probeIPv6Key, true},
        {dnsProbeNameKey, defaultDNSProbeName},
        {retentionDaysKey, 30},
        {automaticallyChecksForUpdatesKey, true},
        {trayLabelKey, true},
    };

    displayStyle_ = readEnum(read(displayStyleKey), parseDisplayStyle, DisplayStyle::textAndTrace);
    menuBarTarget_ = readEnum(read(menuBarTargetKey), parseMenuBarTarget, MenuBarTarget::internet);
    trayLabel_ = readBool(read(trayLabelKey));
    interval_ = readDouble(read(intervalKey));
    batteryInterval_ = readDouble(read(batteryIntervalKey));
    primaryHost_ = checkedHost(primaryHostKey, readString(read(primaryHostKey)).value_or(defaultPrimaryHost),
                               defaultPrimaryHost);
    secondaryHost_ = checkedHost(secondaryHostKey, readString(read(secondaryHostKey)).value_or(QString()),
                                 registered_.value(secondaryHostKey).toString());
    probeIPv6_ = readBool(read(probeIPv6Key));
    customHosts_ = readStringList(read(customHostsKey)).value_or(QStringList());
    // A refused custom host leaves its field empty, so the other keeps its place.
    for (QString& host : customHosts_) host = checkedHost(customHostsKey, host, QString());
    keepMonitoringWhileLocked_ = readBool(read(keepMonitoringWhileLockedKey));
    retentionDays_ = readInteger(read(retentionDaysKey));
    notifyOutages_ = readBool(read(notifyOutagesKey));
    notifyVerdictChanges_ = readBool(read(notifyVerdictChangesKey));
    accent_ = readEnum(read(accentKey), parseAccent, Accent::phosphor);
    didShowFirstRun_ = readBool(read(didShowFirstRunKey));
    didShowPanelHint_ = readBool(read(didShowPanelHintKey));
    automaticallyChecksForUpdates_ = readBool(read(automaticallyChecksForUpdatesKey));
    automaticallyDownloadsUpdates_ = readBool(read(automaticallyDownloadsUpdatesKey));
    metricsListen_ = readString(read(metricsListenKey)).value_or(QString());
    dnsProbeName_ = readString(read(dnsProbeNameKey)).value_or(defaultDNSProbeName);
}

Preferences::~Preferences() = default;

QVariant Preferences::read(const QString& key) const {
    if (store_->contains(key)) return store_->value(key);
    return registered_.value(key);
}

void Preferences::write(const QString& key, const QVariant& value) {
    store_->setValue(key, value);
    store_->sync();
    if (store_->status() != QSettings::NoError && !reportedWriteFailure_) {
        // The value stays in effect for this run; say once that it will not last.
        reportedWriteFailure_ = true;
        Log("app").error("preferences could not be saved to " + store_->fileName().toStdString());
    }
}

template <typename T>
void Preferences::assign(T& field, const T& value, const QString& key, const QVariant& stored,
                         void (Preferences::*changed)()) {
    const bool differs = !(field == value);
    field = value;
    write(key, stored);
    if (differs) emit(this->*changed)();
}

void Preferences::setDisplayStyle(DisplayStyle value) {
    assign(displayStyle_, value, displayStyleKey, enumText(text(value)), &Preferences::displayStyleChanged);
}

void Preferences::setMenuBarTarget(MenuBarTarget value) {
    assign(menuBarTarget_, value, menuBarTargetKey, enumText(text(value)), &Preferences::menuBarTargetChanged);
}

void Preferences::setTrayLabel(bool value) {
    assign(trayLabel_, value, trayLabelKey, value, &Preferences::trayLabelChanged);
}

void Preferences::setInterval(double value) {
    assign(interval_, value, intervalKey, value, &Preferences::intervalChanged);
}

void Preferences::setBatteryInterval(double value) {
    assign(batteryInterval_, value, batteryIntervalKey, value, &Preferences::batteryIntervalChanged);
}

void Preferences::setPrimaryHost(const QString& value) {
    assign(primaryHost_, value, primaryHostKey, value, &Preferences::primaryHostChanged);
}

void Preferences::setSecondaryHost(const QString& value) {
    assign(secondaryHost_, value, secondaryHostKey, value, &Preferences::secondaryHostChanged);
}

void Preferences::setProbeIPv6(bool value) {
    assign(probeIPv6_, value, probeIPv6Key, value, &Preferences::probeIPv6Changed);
}

void Preferences::setCustomHosts(const QStringList& value) {
    assign(customHosts_, value, customHostsKey, value, &Preferences::customHostsChanged);
}

void Preferences::setKeepMonitoringWhileLocked(bool value) {
    assign(keepMonitoringWhileLocked_, value, keepMonitoringWhileLockedKey, value,
           &Preferences::keepMonitoringWhileLockedChanged);
}

void Preferences::setRetentionDays(int value) {
    assign(retentionDays_, value, retentionDaysKey, value, &Preferences::retentionDaysChanged);
}

void Preferences::setNotifyOutages(bool value) {
    assign(notifyOutages_, value, notifyOutagesKey, value, &Preferences::notifyOutagesChanged);
}

void Preferences::setNotifyVerdictChanges(bool value) {
    assign(notifyVerdictChanges_, value, notifyVerdictChangesKey, value, &Preferences::notifyVerdictChangesChanged);
}

void Preferences::setAccent(Accent value) {
    assign(accent_, value, accentKey, enumText(text(value)), &Preferences::accentChanged);
}

void Preferences::setDidShowFirstRun(bool value) {
    assign(didShowFirstRun_, value, didShowFirstRunKey, value, &Preferences::didShowFirstRunChanged);
}

void Preferences::setDidShowPanelHint(bool value) {
    assign(didShowPanelHint_, value, didShowPanelHintKey, value, &Preferences::didShowPanelHintChanged);
}

void Preferences::setAutomaticallyChecksForUpdates(bool value) {
    assign(automaticallyChecksForUpdates_, value, automaticallyChecksForUpdatesKey, value,
           &Preferences::automaticallyChecksForUpdatesChanged);
}

void Preferences::setAutomaticallyDownloadsUpdates(bool value) {
    assign(automaticallyDownloadsUpdates_, value, automaticallyDownloadsUpdatesKey, value,
           &Preferences::automaticallyDownloadsUpdatesChanged);
}

void Preferences::setMetricsListen(const QString& value) {
    assign(metricsListen_, value, metricsListenKey, value, &Preferences::metricsListenChanged);
}

TargetSettings Preferences::targetSettings() const {
    TargetSettings settings;
    QString primary = primaryHost_.trimmed();
    if (primary.isEmpty()) primary = defaultPrimaryHost;
    const QString secondary = secondaryHost_.trimmed();
    settings.internetHosts = {primary.toStdString()};
    if (!secondary.isEmpty() && secondary != primary) settings.internetHosts.push_back(secondary.toStdString());

    settings.probeIPv6 = probeIPv6_;

    settings.customHosts.clear();
    for (const QString& host : customHosts_) {
        const QString trimmed = host.trimmed();
        // Host names know no case; one host listed twice is probed once.
        const bool listed = std::any_of(settings.customHosts.begin(), settings.customHosts.end(), [&](const std::string& kept) {
            return QString::fromStdString(kept).compare(trimmed, Qt::CaseInsensitive) == 0;
        });
        if (trimmed.isEmpty() || listed) continue;
        settings.customHosts.push_back(trimmed.toStdString());
        if (settings.customHosts.size() == 2) break;
    }
    return settings;
}

LookupSettings Preferences::lookupSettings() const {
    // A name, not an address: the probe asks servers to resolve it.
    const QString name = dnsProbeName_.trimmed();
    const QString lastLabel = name.section(QLatin1Char('.'), -1, -1, QString::SectionSkipEmpty);
    bool numeric = false;
    lastLabel.toUInt(&numeric);
    const bool isName = !hostProblem(name) && !name.contains(QLatin1Char(':')) && !numeric;
    return LookupSettings{(isName ? name : defaultDNSProbeName).toStdString()};
}

QString Preferences::retentionLabel(int days) {
    return QString::number(days) + QLatin1Char('d');
}

QString Preferences::defaultPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/nerivane/nerivane.conf");
}

}  // namespace nerivane
