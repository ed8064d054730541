#include "nerivane/ui/settings/HostPicker.h"

#include <QLineEdit>
#include <QVBoxLayout>

#include "nerivane/ui/settings/HostField.h"
#include "nerivane/ui/settings/SegmentedPicker.h"

namespace nerivane {

const QStringList HostPicker::presets{QStringLiteral("1.1.1.1"), QStringLiteral("8.8.8.8"), QStringLiteral("9.9.9.9")};

HostPicker::HostPicker(const QString& name, bool allowsOff, QWidget* parent) : QWidget(parent), allowsOff_(allowsOff) {
    QStringList choices = presets;
    choices.append(tr("other"));
    if (allowsOff) choices.append(tr("off"));
    picker_ = new SegmentedPicker(name, choices, this);
    field_ = new HostField(tr("host name or IP"), false, this);
    field_->hide();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(3);
    layout->addWidget(picker_);
    layout->addWidget(field_);
    connect(picker_, &SegmentedPicker::activated, this, &HostPicker::handleActivated);
    connect(field_, &HostField::committed, this, [this](const QString& host) {
        host_ = host;
        emit hostChosen(host);
    });
}

void HostPicker::setHost(const QString& host) {
    host_ = host;
    const auto preset = presets.indexOf(host);
    if (preset >= 0) {
        picker_->setCurrentIndex(static_cast<int>(preset));
        field_->hide();
    } else if (host.isEmpty() && allowsOff_) {
        picker_->setCurrentIndex(otherIndex() + 1);
        field_->hide();
    } else {
        picker_->setCurrentIndex(otherIndex());
        field_->setHost(host);
        field_->show();
    }
}

void HostPicker::handleActivated(int index) {
    if (index == otherIndex()) {
        // Nothing is stored until the field commits a host.
        field_->setHost(presets.contains(host_) ? QString() : host_);
        field_->show();
        field_->edit().setFocus();
        return;
    }
    field_->hide();
    const QString host = index < otherIndex() ? presets.at(index) : QString();
    if (host == host_) return;
    host_ = host;
    emit hostChosen(host);
}

}  // namespace nerivane
