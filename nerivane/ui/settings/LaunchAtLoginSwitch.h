// The launch-at-login switch with the error text under it, shared by the
// settings page and the first-run card. Its state is read back from the
// autostart entry whenever it is shown or switched. Main thread.
#pragma once

#include <QWidget>

#include "nerivane/core/LaunchAtLogin.h"

class QCheckBox;
class QLabel;

namespace nerivane {

class LaunchAtLoginSwitch : public QWidget {
    Q_OBJECT

public:
    explicit LaunchAtLoginSwitch(LaunchAtLogin login = LaunchAtLogin(), QWidget* parent = nullptr);

    bool isOn() const;
    // Empty unless the last change failed.
    QString errorText() const;
    QCheckBox& toggle() { return *toggle_; }
    // Reads the state from the entry again.
    void refresh();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void handleClicked(bool on);

    LaunchAtLogin login_;
    QCheckBox* toggle_ = nullptr;
    QLabel* error_ = nullptr;
};

}  // namespace nerivane
