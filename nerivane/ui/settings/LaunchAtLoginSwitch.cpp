#include "nerivane/ui/settings/LaunchAtLoginSwitch.h"

#include <QCheckBox>
#include <QLabel>
#include <QVBoxLayout>

#include "nerivane/ui/settings/SettingsStyle.h"

namespace nerivane {

LaunchAtLoginSwitch::LaunchAtLoginSwitch(LaunchAtLogin login, QWidget* parent)
    : QWidget(parent), login_(std::move(login)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    toggle_ = SettingsStyle::trailingSwitch(tr("launch at login"), layout, this);
    error_ = SettingsStyle::hint(QString(), SettingsStyle::HintKind::warning, this);
    error_->hide();
    layout->addWidget(error_);
    connect(toggle_, &QCheckBox::clicked, this, &LaunchAtLoginSwitch::handleClicked);
    refresh();
}

bool LaunchAtLoginSwitch::isOn() const { return toggle_->isChecked(); }

QString LaunchAtLoginSwitch::errorText() const { return error_->isHidden() ? QString() : error_->text(); }

void LaunchAtLoginSwitch::refresh() { toggle_->setChecked(login_.isEnabled()); }

void LaunchAtLoginSwitch::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refresh();
}

void LaunchAtLoginSwitch::handleClicked(bool on) {
    const auto error = login_.setEnabled(on);
    error_->setText(error.value_or(QString()));
    error_->setVisible(error.has_value());
    toggle_->setAccessibleDescription(error.value_or(QString()));
    // What the file now says, whether or not the change went through.
    refresh();
}

}  // namespace nerivane
