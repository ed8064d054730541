// The top of the popup: the product name, the status (the verdict's title,
// or "Paused until" and the time), the explanation and the network line
// (kind, "via VPN", "IPv6 problem"). Follows the model while it lives. Made
// by the status item controller for each popup; main thread.
#pragma once

#include <QLabel>
#include <QWidget>
#include <optional>

#include "NerivaneKit/analysis/MonitorSnapshot.h"
#include "nerivane/core/VerdictTexts.h"

namespace nerivane {

class AppModel;

class PopoverHeader : public QWidget {
    Q_OBJECT

public:
    explicit PopoverHeader(AppModel& model, QWidget* parent = nullptr);

    // "Paused until 3:05 PM" (the date left out) or the verdict's title.
    static QString statusText(const MonitorSnapshot& snapshot, std::optional<double> pausedUntil,
                              const VerdictTexts::Context& context);
    // Rich text: "Wi\u2011Fi", "Ethernet", "Cellular" or "Other", then "via VPN"
    // in a secondary colour and "IPv6 problem" in orange where they hold.
    static QString networkLine(const MonitorSnapshot& snapshot);

private:
    void update();

    AppModel& model_;
    QLabel* status_;
    QLabel* explanation_;
    QLabel* network_;
};

}  // namespace nerivane
