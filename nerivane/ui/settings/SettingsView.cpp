#include "nerivane/ui/settings/SettingsView.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <algorithm>

#include "nerivane/core/AppModel.h"
#include "nerivane/core/Preferences.h"
#include "nerivane/core/ProbingInterval.h"
#include "nerivane/ui/settings/HostField.h"
#include "nerivane/ui/settings/HostPicker.h"
#include "nerivane/ui/settings/LaunchAtLoginSwitch.h"
#include "nerivane/ui/settings/SegmentedPicker.h"
#include "nerivane/ui/settings/SettingsStyle.h"
#include "nerivane/updates/Updater.h"

namespace nerivane {

namespace {

using SettingsStyle::HintKind;

constexpr std::array menuBarTargets{MenuBarTarget::internet, MenuBarTarget::router, MenuBarTarget::both};
constexpr std::array displayStyles{DisplayStyle::text, DisplayStyle::trace, DisplayStyle::textAndTrace};
constexpr std::array accents{Accent::phosphor, Accent::cyan, Accent::magenta, Accent::amber, Accent::system};

template <typename T, std::size_t N>
int indexOf(const std::array<T, N>& choices, const T& value) {
    const auto found = std::find(choices.begin(), choices.end(), value);
    return found == choices.end() ? -1 : static_cast<int>(found - choices.begin());
}

template <typename T, std::size_t N>
QStringList labels(const std::array<T, N>& choices, QString (*label)(T)) {
    QStringList out;
    for (const T& choice : choices) out.append(label(choice));
    return out;
}

QString stored(std::string_view text) { return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())); }

SettingsView::Status modelStatus(AppModel& model) {
    return {[&model] { return model.system().slowRateReason(model.snapshot().path); },
            [&model] { return model.notificationsDenied(); }};
}

}  // namespace

const std::array<int, 3> SettingsView::retentionChoices{7, 30, 90};

SettingsView::SettingsView(AppModel& model, QWidget* parent)
    : SettingsView(model.preferences(), modelStatus(model), LaunchAtLogin(), parent) {
    connect(&model, &AppModel::snapshotApplied, this, &SettingsView::refreshStatus);
    connect(&model, &AppModel::notificationsDeniedChanged, this, &SettingsView::refreshStatus);
    connect(&model, &AppModel::changed, this, &SettingsView::refreshStatus);
}

SettingsView::SettingsView(Preferences& preferences, Status status, LaunchAtLogin login, QWidget* parent)
    : QWidget(parent), preferences_(preferences), status_(std::move(status)) {
    build(std::move(login));
    syncFromPreferences();
    refreshStatus();
    bind();
}

void SettingsView::showUpdates(Updater& updater) {
    auto* page = static_cast<QVBoxLayout*>(layout());
    // Before the closing stretch.
    delete page->takeAt(page->count() - 1);
    QVBoxLayout* updates = SettingsStyle::section(tr("UPDATES"), page, this);
    QCheckBox* check = SettingsStyle::trailingSwitch(tr("check automatically"), updates, this);
    QCheckBox* download = SettingsStyle::trailingSwitch(tr("download automatically"), updates, this);
    check->setChecked(updater.automaticallyChecksForUpdates());
    download->setChecked(updater.automaticallyDownloadsUpdates());
    connect(check, &QCheckBox::clicked, &updater, &Updater::setAutomaticallyChecksForUpdates);
    connect(download, &QCheckBox::clicked, &updater, &Updater::setAutomaticallyDownloadsUpdates);
    auto* now = new QPushButton(tr("check now"), this);
    now->setEnabled(!updater.isChecking());
    connect(now, &QPushButton::clicked, &updater, &Updater::checkForUpdates);
    connect(&updater, &Updater::checkingChanged, now, [now, &updater] { now->setEnabled(!updater.isChecking()); });
    updates->addWidget(now, 0, Qt::AlignLeft);
    page->addStretch(1);
}

void SettingsView::build(LaunchAtLogin login) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(10, 4, 10, 10);
    page->setSpacing(3);
    const auto note = [this](const QString& text, QVBoxLayout* section) {
        section->addWidget(SettingsStyle::hint(text, HintKind::note, this));
    };

    QVBoxLayout* menuBar = SettingsStyle::section(tr("PANEL"), page, this);
    menuBarTarget_ = new SegmentedPicker(tr("show"), {tr("internet"), tr("router"), tr("both")}, this);
    displayStyle_ = new SegmentedPicker(tr("style"), {tr("text"), tr("trace"), tr("both")}, this);
    SettingsStyle::row(tr("show"), menuBarTarget_, menuBar, this);
    SettingsStyle::row(tr("style"), displayStyle_, menuBar, this);
    trayLabel_ = SettingsStyle::trailingSwitch(tr("show the value beside the icon"), menuBar, this);

    QVBoxLayout* probing = SettingsStyle::section(tr("PROBING"), page, this);
    interval_ = new SegmentedPicker(tr("on power"), labels(ProbingInterval::choices, &ProbingInterval::label), this);
    batteryInterval_ =
        new SegmentedPicker(tr("on battery"), labels(ProbingInterval::batteryChoices, &ProbingInterval::label), this);
    SettingsStyle::row(tr("on power"), interval_, probing, this);
    SettingsStyle::row(tr("on battery"), batteryInterval_, probing, this);
    probeIPv6_ = SettingsStyle::trailingSwitch(tr("IPv6 on dual-stack networks"), probing, this);
    keepMonitoringWhileLocked_ = SettingsStyle::trailingSwitch(tr("keep monitoring while locked"), probing, this);
    note(tr("For overnight logging. Otherwise probing stops while the screen is locked."), probing);
    rateHint_ = SettingsStyle::hint(QString(), HintKind::note, this);
    probing->addWidget(rateHint_);

    QVBoxLayout* targets = SettingsStyle::section(tr("TARGETS"), page, this);
    primaryHost_ = new HostPicker(tr("internet"), false, this);
    secondaryHost_ = new HostPicker(tr("second"), true, this);
    SettingsStyle::row(tr("internet"), primaryHost_, targets, this);
    SettingsStyle::row(tr("second"), secondaryHost_, targets, this);
    note(tr("Pick hosts from different providers, so one provider's bad day doesn't look like your ISP's."), targets);
    auto* custom = new QWidget(this);
    auto* customColumn = new QVBoxLayout(custom);
    customColumn->setContentsMargins(0, 0, 0, 0);
    customColumn->setSpacing(3);
    for (auto& field : customHosts_) {
        field = new HostField(tr("host or IP, optional"), true, custom);
        customColumn->addWidget(field);
    }
    SettingsStyle::row(tr("custom"), custom, targets, this);
    note(tr("Custom targets get their own cards and history, and don't affect the verdict."), targets);

    QVBoxLayout* history = SettingsStyle::section(tr("HISTORY"), page, this);
    retention_ = new SegmentedPicker(tr("keep"), labels(retentionChoices, &Preferences::retentionLabel), this);
    SettingsStyle::row(tr("keep"), retention_, history, this);
    note(tr("Per-minute detail is kept for 7 days, hourly after that."), history);

    QVBoxLayout* notifications = SettingsStyle::section(tr("NOTIFICATIONS"), page, this);
    notifyOutages_ = SettingsStyle::trailingSwitch(tr("internet outages"), notifications, this);
    notifyVerdictChanges_ = SettingsStyle::trailingSwitch(tr("verdict changes"), notifications, this);
    note(tr("Outages after 10 seconds and when they end; verdicts that hold for 30 seconds."), notifications);
    // Refused on Linux means no notification service answered or it said no.
    notificationsWarning_ = SettingsStyle::hint(
        tr("Notifications are turned off for nerivane, or no notification service is running. "
           "Check the desktop's notification settings."),
        HintKind::warning, this);
    notifications->addWidget(notificationsWarning_);

    QVBoxLayout* general = SettingsStyle::section(tr("GENERAL"), page, this);
    accent_ = new SegmentedPicker(tr("accent"), labels(accents, +[](Accent a) { return stored(text(a)); }), this);
    SettingsStyle::row(tr("accent"), accent_, general, this);
    launchAtLogin_ = new LaunchAtLoginSwitch(std::move(login), this);
    general->addWidget(launchAtLogin_);
    page->addStretch(1);

    // Names for finding the controls (tests, accessibility tools).
    menuBarTarget_->setObjectName(QStringLiteral("menuBarTarget"));
    displayStyle_->setObjectName(QStringLiteral("displayStyle"));
    trayLabel_->setObjectName(QStringLiteral("trayLabel"));
    interval_->setObjectName(QStringLiteral("interval"));
    batteryInterval_->setObjectName(QStringLiteral("batteryInterval"));
    probeIPv6_->setObjectName(QStringLiteral("probeIPv6"));
    keepMonitoringWhileLocked_->setObjectName(QStringLiteral("keepMonitoringWhileLocked"));
    rateHint_->setObjectName(QStringLiteral("rateHint"));
    primaryHost_->setObjectName(QStringLiteral("primaryHost"));
    secondaryHost_->setObjectName(QStringLiteral("secondaryHost"));
    customHosts_[0]->setObjectName(QStringLiteral("customHost0"));
    customHosts_[1]->setObjectName(QStringLiteral("customHost1"));
    retention_->setObjectName(QStringLiteral("retentionDays"));
    notifyOutages_->setObjectName(QStringLiteral("notifyOutages"));
    notifyVerdictChanges_->setObjectName(QStringLiteral("notifyVerdictChanges"));
    notificationsWarning_->setObjectName(QStringLiteral("notificationsWarning"));
    accent_->setObjectName(QStringLiteral("accent"));
    launchAtLogin_->setObjectName(QStringLiteral("launchAtLogin"));
}

void SettingsView::bind() {
    Preferences& p = preferences_;
    connect(menuBarTarget_, &SegmentedPicker::activated, this,
            [&p](int i) { p.setMenuBarTarget(menuBarTargets.at(static_cast<std::size_t>(i))); });
    connect(displayStyle_, &SegmentedPicker::activated, this,
            [&p](int i) { p.setDisplayStyle(displayStyles.at(static_cast<std::size_t>(i))); });
    connect(interval_, &SegmentedPicker::activated, this,
            [&p](int i) { p.setInterval(ProbingInterval::choices.at(static_cast<std::size_t>(i))); });
    connect(batteryInterval_, &SegmentedPicker::activated, this,
            [&p](int i) { p.setBatteryInterval(ProbingInterval::batteryChoices.at(static_cast<std::size_t>(i))); });
    connect(trayLabel_, &QCheckBox::clicked, &p, &Preferences::setTrayLabel);
    connect(probeIPv6_, &QCheckBox::clicked, &p, &Preferences::setProbeIPv6);
    connect(keepMonitoringWhileLocked_, &QCheckBox::clicked, &p, &Preferences::setKeepMonitoringWhileLocked);
    connect(primaryHost_, &HostPicker::hostChosen, &p, &Preferences::setPrimaryHost);
    connect(secondaryHost_, &HostPicker::hostChosen, &p, &Preferences::setSecondaryHost);
    for (HostField* field : customHosts_) connect(field, &HostField::committed, this, &SettingsView::commitCustomHosts);
    connect(retention_, &SegmentedPicker::activated, this,
            [&p](int i) { p.setRetentionDays(retentionChoices.at(static_cast<std::size_t>(i))); });
    connect(notifyOutages_, &QCheckBox::clicked, &p, &Preferences::setNotifyOutages);
    connect(notifyVerdictChanges_, &QCheckBox::clicked, &p, &Preferences::setNotifyVerdictChanges);
    connect(accent_, &SegmentedPicker::activated, this,
            [&p](int i) { p.setAccent(accents.at(static_cast<std::size_t>(i))); });

    for (auto changed : {&Preferences::menuBarTargetChanged, &Preferences::displayStyleChanged, &Preferences::trayLabelChanged,
                         &Preferences::intervalChanged, &Preferences::batteryIntervalChanged,
                         &Preferences::probeIPv6Changed, &Preferences::keepMonitoringWhileLockedChanged,
                         &Preferences::primaryHostChanged, &Preferences::secondaryHostChanged,
                         &Preferences::customHostsChanged, &Preferences::retentionDaysChanged,
                         &Preferences::notifyOutagesChanged, &Preferences::notifyVerdictChangesChanged,
                         &Preferences::accentChanged}) {
        connect(&p, changed, this, &SettingsView::syncFromPreferences);
    }
    connect(&p, &Preferences::batteryIntervalChanged, this, &SettingsView::refreshStatus);
}

void SettingsView::syncFromPreferences() {
    const Preferences& p = preferences_;
    menuBarTarget_->setCurrentIndex(indexOf(menuBarTargets, p.menuBarTarget()));
    displayStyle_->setCurrentIndex(indexOf(displayStyles, p.displayStyle()));
    trayLabel_->setChecked(p.trayLabel());
    interval_->setCurrentIndex(indexOf(ProbingInterval::choices, p.interval()));
    batteryInterval_->setCurrentIndex(indexOf(ProbingInterval::batteryChoices, p.batteryInterval()));
    probeIPv6_->setChecked(p.probeIPv6());
    keepMonitoringWhileLocked_->setChecked(p.keepMonitoringWhileLocked());
    primaryHost_->setHost(p.primaryHost());
    secondaryHost_->setHost(p.secondaryHost());
    const QStringList custom = p.customHosts();
    for (std::size_t i = 0; i < customHosts_.size(); ++i) {
        const auto index = static_cast<qsizetype>(i);
        customHosts_[i]->setHost(index < custom.size() ? custom.at(index).trimmed() : QString());
    }
    retention_->setCurrentIndex(indexOf(retentionChoices, p.retentionDays()));
    notifyOutages_->setChecked(p.notifyOutages());
    notifyVerdictChanges_->setChecked(p.notifyVerdictChanges());
    accent_->setCurrentIndex(indexOf(accents, p.accent()));
}

void SettingsView::commitCustomHosts() {
    // Positions are kept, so the second field stays the second host; empty
    // entries at the end are left out (empty ones count as no host).
    QStringList hosts;
    for (HostField* field : customHosts_) hosts.append(field->host());
    while (!hosts.isEmpty() && hosts.back().isEmpty()) hosts.removeLast();
    preferences_.setCustomHosts(hosts);
}

void SettingsView::refreshStatus() {
    const auto reason = status_.slowRateReason ? status_.slowRateReason() : std::nullopt;
    // The interval the monitor uses, not the stored one: a hand-edited
    // batteryInterval=0 probes every 5 s and must not read as every ½ s.
    // Without a reason the hint names no interval.
    const auto interval = ProbingInterval::fromStored(preferences_.interval(), preferences_.batteryInterval());
    rateHint_->setText(settingsHint(reason, interval.forReason(reason)));
    const bool denied = status_.notificationsDenied && status_.notificationsDenied();
    // The page may not be shown yet; the label's own flag is what counts.
    notificationsWarning_->setHidden(!denied);
}

void SettingsView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refreshStatus();
}

}  // namespace nerivane
