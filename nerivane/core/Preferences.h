// Every user setting of the application, persisted in an INI file through
// QSettings and announced per property when it changes. Created once at launch
// by the application and shared by reference; main thread only.
//
// A read of a key the user never wrote yields its registered default (eight keys
// have one); a value that is absent without a default, or cannot be read as the
// property's type, yields the property's fallback. Nothing clamps a value: a
// number written by other means is taken as read. Every set writes through to
// the file at once; only a value that differs from the old one is announced.
#pragma once

#include <QObject>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <memory>

#include "NerivaneKit/lookup/LookupSettings.h"
#include "NerivaneKit/probing/TargetSettings.h"
#include "nerivane/core/Accent.h"
#include "nerivane/core/DisplayStyle.h"
#include "nerivane/core/MenuBarTarget.h"

namespace nerivane {

class Preferences : public QObject {
    Q_OBJECT

public:
    // The user's store: nerivane/nerivane.conf under the XDG config directory.
    explicit Preferences(QObject* parent = nullptr);
    // An INI file at the given path.
    explicit Preferences(const QString& path, QObject* parent = nullptr);
    // Any QSettings store.
    explicit Preferences(std::unique_ptr<QSettings> store, QObject* parent = nullptr);
    ~Preferences() override;

    DisplayStyle displayStyle() const { return displayStyle_; }
    MenuBarTarget menuBarTarget() const { return menuBarTarget_; }
    // The readout's text beside the tray icon, for hosts that show a label.
    bool trayLabel() const { return trayLabel_; }
    // Seconds between probes, and while a slow-rate reason holds.
    double interval() const { return interval_; }
    double batteryInterval() const { return batteryInterval_; }
    QString primaryHost() const { return primaryHost_; }
    // Empty: no second internet host.
    QString secondaryHost() const { return secondaryHost_; }
    bool probeIPv6() const { return probeIPv6_; }
    QStringList customHosts() const { return customHosts_; }
    bool keepMonitoringWhileLocked() const { return keepMonitoringWhileLocked_; }
    int retentionDays() const { return retentionDays_; }
    bool notifyOutages() const { return notifyOutages_; }
    bool notifyVerdictChanges() const { return notifyVerdictChanges_; }
    Accent accent() const { return accent_; }
    bool didShowFirstRun() const { return didShowFirstRun_; }
    // The window's note on getting a panel item was dismissed.
    bool didShowPanelHint() const { return didShowPanelHint_; }
    // The update checker's two switches ("check automatically", "download automatically").
    bool automaticallyChecksForUpdates() const { return automaticallyChecksForUpdates_; }
    bool automaticallyDownloadsUpdates() const { return automaticallyDownloadsUpdates_; }
    // ADDR:PORT of the Prometheus metrics endpoint; empty: no endpoint. Followed while running.
    QString metricsListen() const { return metricsListen_; }
    // The name the DNS health probes ask for; checked like a host. Read at start.
    QString dnsProbeName() const { return dnsProbeName_; }

    void setDisplayStyle(DisplayStyle value);
    void setMenuBarTarget(MenuBarTarget value);
    void setTrayLabel(bool value);
    void setInterval(double value);
    void setBatteryInterval(double value);
    void setPrimaryHost(const QString& value);
    void setSecondaryHost(const QString& value);
    void setProbeIPv6(bool value);
    void setCustomHosts(const QStringList& value);
    void setKeepMonitoringWhileLocked(bool value);
    void setRetentionDays(int value);
    void setNotifyOutages(bool value);
    void setNotifyVerdictChanges(bool value);
    void setAccent(Accent value);
    void setDidShowFirstRun(bool value);
    void setDidShowPanelHint(bool value);
    void setAutomaticallyChecksForUpdates(bool value);
    void setAutomaticallyDownloadsUpdates(bool value);
    void setMetricsListen(const QString& value);

    // What the probe engine is given: trimmed hosts, a blank primary replaced
    // by "1.1.1.1", a blank or repeated secondary dropped, blank custom hosts
    // dropped and at most two of them kept.
    TargetSettings targetSettings() const;
    // What the DNS health probes are given: the DNS probe name, the default
    // when the stored one is not a host name.
    LookupSettings lookupSettings() const;

    // The store behind the properties.
    QSettings& defaults() { return *store_; }

    // "30d".
    static QString retentionLabel(int days);
    // Where the user's store lives.
    static QString defaultPath();

signals:
    void displayStyleChanged();
    void menuBarTargetChanged();
    void trayLabelChanged();
    void intervalChanged();
    void batteryIntervalChanged();
    void primaryHostChanged();
    void secondaryHostChanged();
    void probeIPv6Changed();
    void customHostsChanged();
    void keepMonitoringWhileLockedChanged();
    void retentionDaysChanged();
    void notifyOutagesChanged();
    void notifyVerdictChangesChanged();
    void accentChanged();
    void didShowFirstRunChanged();
    void didShowPanelHintChanged();
    void automaticallyChecksForUpdatesChanged();
    void automaticallyDownloadsUpdatesChanged();
    void metricsListenChanged();

private:
    // The stored value of a key, or its registered default.
    QVariant read(const QString& key) const;
    void write(const QString& key, const QVariant& value);
    template <typename T>
    void assign(T& field, const T& value, const QString& key, const QVariant& stored,
                void (Preferences::*changed)());

    std::unique_ptr<QSettings> store_;
    QVariantMap registered_;
    bool reportedWriteFailure_ = false;

    DisplayStyle displayStyle_ = DisplayStyle::textAndTrace;
    MenuBarTarget menuBarTarget_ = MenuBarTarget::internet;
    bool trayLabel_ = true;
    double interval_ = 0;
    double batteryInterval_ = 0;
    QString primaryHost_;
    QString dnsProbeName_;
    QString secondaryHost_;
    bool probeIPv6_ = false;
    QStringList customHosts_;
    bool keepMonitoringWhileLocked_ = false;
    int retentionDays_ = 0;
    bool notifyOutages_ = false;
    bool notifyVerdictChanges_ = false;
    Accent accent_ = Accent::phosphor;
    bool didShowFirstRun_ = false;
    bool didShowPanelHint_ = false;
    bool automaticallyChecksForUpdates_ = false;
    bool automaticallyDownloadsUpdates_ = false;
    QString metricsListen_;
};

}  // namespace nerivane
