// The top of the popup: the product name with its symbol, the status (the
// verdict's title, or the pause line), the explanation, and the network line
// with its "via VPN" and "IPv6 problem" tags; while a portal waits for the
// user, a "Sign in" button that opens its page. Refreshed from the model by
// the popup view; main thread.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QWidget>
#include <functional>

#include "nerivane/ui/cards/CardContext.h"

namespace nerivane {

class AppModel;

class PopoverHeader : public QWidget {
    Q_OBJECT

public:
    // openSignInPage: what the "Sign in" button does; without it there is no button.
    explicit PopoverHeader(QWidget* parent = nullptr, std::function<void(const QUrl&)> openSignInPage = {});

    void refresh(const AppModel& model, const CardContext& context);

    // "Paused until 4:05 PM", or the verdict's title.
    static QString statusText(const AppModel& model, const CardContext& context);

    QString status() const { return status_->text(); }
    QString explanation() const { return explanation_->text(); }
    QString network() const { return network_->text(); }
    QString vpnTag() const { return vpn_->isHidden() ? QString() : vpn_->text(); }
    QString ipv6Tag() const { return ipv6_->isHidden() ? QString() : ipv6_->text(); }
    // The page the "Sign in" button opens; empty while it is not shown.
    QUrl signInURL() const { return signIn_->isHidden() ? QUrl() : signInURL_; }
    QPushButton* signInButton() const { return signIn_; }

private:
    QLabel* symbol_;
    QLabel* name_;
    QLabel* status_;
    QLabel* explanation_;
    QLabel* network_;
    QLabel* vpn_;
    QLabel* ipv6_;
    QPushButton* signIn_;
    QUrl signInURL_;
    std::function<void(const QUrl&)> openSignInPage_;
};

}  // namespace nerivane
