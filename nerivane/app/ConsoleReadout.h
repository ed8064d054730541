// The terminal front end: a line per applied snapshot (local time, verdict
// title, the menu-bar readout the preferences select, the explanation), per
// network event, per notification posted and per stop or resumption of
// probing; as text or as one JSON object per line. Owned by the application
// delegate while no tray item is shown; main thread.
#pragma once

#include <QJsonObject>
#include <QObject>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "nerivane/core/AppModel.h"
#include "nerivane/core/MenuBarLayout.h"
#include "nerivane/core/Notifier.h"
#include "nerivane/core/VerdictTexts.h"

namespace nerivane {

class ConsoleReadout : public QObject {
    Q_OBJECT

public:
    enum class Format { text, json };
    // Takes one finished line, without its newline.
    using Writer = std::function<void(const std::string& line)>;

    // Standard output, flushed after every line; onClosed runs once when a
    // write fails because the reader went away.
    static Writer standardOutput(std::function<void()> onClosed = {});

    ConsoleReadout(AppModel& model, Format format, Writer write, QObject* parent = nullptr);

    static std::string snapshotLine(const MonitorSnapshot& snapshot, std::optional<double> offlineSince,
                                    const std::string& readout, const VerdictTexts::Context& context);
    static QJsonObject snapshotJson(const MonitorSnapshot& snapshot, std::optional<double> offlineSince,
                                    const std::string& readout, const VerdictTexts::Context& context);
    static std::string eventLine(const NetworkEvent& event, const VerdictTexts::Context& context);
    static QJsonObject eventJson(const NetworkEvent& event);
    static std::string notificationLine(const Notifier::Content& content, const VerdictTexts::Context& context);
    static QJsonObject notificationJson(const Notifier::Content& content, const VerdictTexts::Context& context);

private:
    void handleSnapshotApplied();
    void handleEventApplied(const NetworkEvent& event);
    void handleAlertPosted(const AlertTracker::Alert& alert, const MonitorSnapshot& snapshot);
    void handleProbingChanged();
    void writeJson(QJsonObject object);

    AppModel& model_;
    Format format_;
    Writer write_;
    // Why probing stands still as last reported: none while it runs.
    std::optional<std::string> stoppedBy_;
};

}  // namespace nerivane
