// The top of the popup: the product name with its symbol, the status (the
// verdict's title, or the pause line), the explanation, and the network line
// with its "via VPN" and "IPv6 problem" tags. Refreshed from the model by the
// popup view; main thread.
#pragma once

#include <QLabel>
#include <QWidget>

#include "nerivane/ui/cards/CardContext.h"

namespace nerivane {

class AppModel;

class PopoverHeader : public QWidget {
    Q_OBJECT

public:
    explicit PopoverHeader(QWidget* parent = nullptr);

    void refresh(const AppModel& model, const CardContext& context);

    // "Paused until 4:05 PM", or the verdict's title.
    static QString statusText(const AppModel& model, const CardContext& context);

    QString status() const { return status_->text(); }
    QString explanation() const { return explanation_->text(); }
    QString network() const { return network_->text(); }
    QString vpnTag() const { return vpn_->isHidden() ? QString() : vpn_->text(); }
    QString ipv6Tag() const { return ipv6_->isHidden() ? QString() : ipv6_->text(); }

private:
    QLabel* symbol_;
    QLabel* name_;
    QLabel* status_;
    QLabel* explanation_;
    QLabel* network_;
    QLabel* vpn_;
    QLabel* ipv6_;
};

}  // namespace nerivane
